#pragma once

// "Sound Output": where the bells are heard. Lists the outputs ALSA offers
// ("default" first) and "No sound (null)", and shows the output now in use
// and whether the mixer runs at real-time priority. The main window stores
// the choice in [AUDIO] and moves the sound to it.

#include "platform/waveout/waveout.h"

#include <QDialog>
#include <QList>
#include <QString>
#include <functional>
#include <vector>

class QDialogButtonBox;
class QLabel;
class QListWidget;
class QPushButton;

class TfSoundOutput : public QDialog {
    Q_OBJECT

public:
    // One entry of the list: the output as stored, and as shown.
    struct TChoice {
        QString Output;
        QString Text;
    };

    // Where the list comes from: ALSA's device hints. Tests install their
    // own; returns the previous one. An empty one puts ALSA's back.
    using THintLister = std::function<std::vector<WaveOutHint>()>;
    static THintLister SetHintLister(THintLister Lister);

    // "default" first, the other hints, Current when no hint names it, and
    // "No sound (null)" last.
    static QList<TChoice> Choices(const QString& Current);

    explicit TfSoundOutput(QWidget* parent = nullptr);

    // The output of the selected entry; empty with none selected.
    QString Chosen() const;

    QListWidget* lbOutputs() const { return FOutputs; }
    QLabel* lCurrent() const { return FCurrent; }
    QLabel* lMixer() const { return FMixer; }
    QPushButton* bOK() const;
    QPushButton* bCancel() const;

private:
    QListWidget* FOutputs = nullptr;
    QLabel* FCurrent = nullptr;
    QLabel* FMixer = nullptr;
    QDialogButtonBox* FButtons = nullptr;
};
