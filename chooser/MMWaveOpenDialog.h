#pragma once

// The wave file chooser: the file-open dialog with a panel that describes,
// draws and plays the selected file before the user confirms it. Selecting
// a file loads it into a private chain (wave file source -> ADPCM decoder ->
// PCM converter -> wave output device, as a bell's player has it, so that
// the dialog plays whatever a bell plays); the panel updates once the
// selection has rested for 50 ms, so scrolling through a folder stays
// quick. A file that is not a wave file cannot be confirmed ("Invalid
// WaveFile...").
//
// The panel: the Play/Stop button, "Preview" (draw the waveform), "Auto
// Play" (play each newly selected file), the "Format:" line, the waveform
// area and the picture area (the file's DISP bitmap, or our wave picture).
// The waveform is drawn from the file decoded to PCM by the same converters
// (see WaveScan.h): every format a bell plays, in one or two channels.

#include "chooser/MMOpenDialog.h"
#include "wavedata/MMWave.h"

#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>
#include <array>
#include <cstdint>
#include <vector>

class QCheckBox;
class QLabel;
class QPushButton;
class TMMADPCMConverter;
class TMMPCMConverter;
class TMMWaveFile;
class TMMWaveOut;
class TTimer;

class TMMWaveOpenDialog : public TMMCustomOpenDialog {
    Q_OBJECT
    Q_PROPERTY(bool Preview READ Preview WRITE SetPreview)
    Q_PROPERTY(bool AutoPlay READ AutoPlay WRITE SetAutoPlay)
    Q_PROPERTY(int DeviceID READ DeviceID WRITE SetDeviceID)
    Q_PROPERTY(QColor Color READ Color WRITE SetColor)
    Q_PROPERTY(QColor ForeColor READ ForeColor WRITE SetForeColor)
    Q_PROPERTY(QColor LocatorColor READ LocatorColor WRITE SetLocatorColor)

public:
    // The panel's controls, as DoCommand sees them.
    enum TControlId { idPlay = 1001, idPreview = 1002, idAutoPlay = 1003 };

    // Per pixel column of the waveform area: left first, left second, right
    // first, right second (extremes in the order they occur, 16-bit scale).
    using TColumn = std::array<std::int16_t, 4>;

    // The settle time of a selection, and the play-position line's step.
    static constexpr int kSelChangeDelayMs = 50;
    static constexpr int kPositionIntervalMs = 50;
    // Above this much data the scan shows a moving progress mark.
    static constexpr LONG kProgressBytes = 2097152;

    explicit TMMWaveOpenDialog(QObject* AOwner = nullptr);
    ~TMMWaveOpenDialog() override;

    bool Preview() const { return FPreview; }
    void SetPreview(bool Value) { FPreview = Value; }
    bool AutoPlay() const { return FAutoPlay; }
    void SetAutoPlay(bool Value) { FAutoPlay = Value; }
    int DeviceID() const { return FDeviceID; }
    void SetDeviceID(int Value) { FDeviceID = Value; }
    QColor Color() const { return FColor; }
    void SetColor(const QColor& Value) { FColor = Value; }
    QColor ForeColor() const { return FForeColor; }
    void SetForeColor(const QColor& Value) { FForeColor = Value; }
    QColor LocatorColor() const { return FLocatorColor; }
    void SetLocatorColor(const QColor& Value) { FLocatorColor = Value; }

    // ---- While the dialog runs (nullptr otherwise) ----
    QPushButton* PlayButton() const { return FPlayButton; }
    QCheckBox* PreviewBox() const { return FPreviewBox; }
    QCheckBox* AutoPlayBox() const { return FAutoPlayBox; }
    QLabel* InfoLabel() const { return FInfoLabel; }
    QWidget* ScopeWnd() const { return FScopeWnd; }
    QWidget* DIBWnd() const { return FDIBWnd; }
    TMMWaveOut* WaveOut() const { return FWaveOut; }
    TMMPCMConverter* PCMConvert() const { return FPCMConvert; }
    TMMWave* Wave() const;
    const std::vector<TColumn>& Data() const { return FData; }
    bool Updating() const { return FUpdating; }
    // The waveform area's picture less the frame: W x H.
    QRect ScopeRect() const;

protected:
    void DoCreate() override;
    void DoDestroy() override;
    void DoFileOK(const QString& FileName, bool& CanClose) override;
    void DoSelChanged(const QString& FileName) override;
    void DoCommand(QWidget* Dialog, QWidget* Control, int Id) override;
    QWidget* CreateTemplate(QWidget* Dialog) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

    void UpdateWave();
    void UpdatePlayParams();
    void CreatePCMData();
    void DrawPCMData();
    void DrawDISP();

    void PlayClick();
    void PreviewClick();
    void AutoPlayClick();

    bool FPreview = false;
    bool FAutoPlay = false;
    int FDeviceID = -1;  // the wave mapper
    QColor FColor = Qt::black;
    QColor FForeColor = QColor(0, 255, 0);
    QColor FLocatorColor = QColor(255, 0, 0);
    bool FUpdating = false;
    std::vector<TColumn> FData;
    std::int64_t FOldPos = -1;
    TMMWaveFile* FWaveFile = nullptr;
    TMMADPCMConverter* FADPCMConvert = nullptr;
    TMMPCMConverter* FPCMConvert = nullptr;
    TMMWaveOut* FWaveOut = nullptr;
    TTimer* FTimer = nullptr;
    QWidget* FScopeWnd = nullptr;
    QWidget* FDIBWnd = nullptr;

private:
    void WaveOutStart(QObject* Sender);
    void WaveOutStop(QObject* Sender);
    void TimerTick(QObject* Sender);
    void SelChangeTimer(QObject* Sender);
    bool CanPlay() const;
    // Data that the scan can draw: the converters make PCM of one or two
    // channels of it.
    bool CanPreview() const;
    void StartPlaying();
    // Loads FileName into the private wave, or empties it.
    void LoadWave(const QString& FileName);
    int ScopeY(int Value) const;
    int PositionX(std::int64_t Position) const;
    void DrawLocator(std::int64_t Position);
    void RepaintScope();
    void RepaintDIB();

    QPushButton* FPlayButton = nullptr;
    QCheckBox* FPreviewBox = nullptr;
    QCheckBox* FAutoPlayBox = nullptr;
    QLabel* FFormatLabel = nullptr;
    QLabel* FInfoLabel = nullptr;
    TTimer* FSelTimer = nullptr;
    QImage FScopeImage;  // what the waveform area shows
    bool FScopeValid = false;
    QImage FDIBImage;  // what the picture area shows
    bool FDIBValid = false;
    bool FDrawable = false;        // the selected wave can be drawn
    std::int64_t FScanFrames = 0;  // decoded frames the columns stand for
};

// Makes TMMWavePlayer::SelectFile run this dialog, starting at the player's
// file, with "Auto Play" off and "Preview" as it was left the last time.
void InstallWaveOpenDialog();

// What the program tells the installed dialog: the folder to open in when
// the bell's file gives none that exists (empty: Qt's own choice), and the
// settings file that keeps "Preview" between runs ([CHOOSER] Preview=0 or
// 1; empty: kept only while the program runs).
void SetWaveOpenDialogDefaults(const QString& InitialDir, const QString& SettingsFile);
