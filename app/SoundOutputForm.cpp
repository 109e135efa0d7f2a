#include "app/SoundOutputForm.h"

#include "app/Widgets.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace {

const QString kDefault = QStringLiteral("default");
const QString kNull = QStringLiteral("null");

TfSoundOutput::THintLister& HintLister() {
    static TfSoundOutput::THintLister lister;
    return lister;
}

bool SameOutput(const QString& a, const QString& b) {
    auto norm = [](const QString& s) { return s.trimmed().isEmpty() ? kDefault : s.trimmed(); };
    return norm(a).compare(norm(b), Qt::CaseInsensitive) == 0;
}

}  // namespace

TfSoundOutput::THintLister TfSoundOutput::SetHintLister(THintLister Lister) {
    THintLister previous = std::move(HintLister());
    HintLister() = std::move(Lister);
    return previous;
}

QList<TfSoundOutput::TChoice> TfSoundOutput::Choices(const QString& Current) {
    const std::vector<WaveOutHint> hints = HintLister() ? HintLister()() : waveOutListAlsaOutputs();
    auto text = [](const QString& name, const QString& description) {
        return description.isEmpty() ? name : name + QStringLiteral(" - ") + description;
    };
    QList<TChoice> choices;
    QString defaultText = text(kDefault, QStringLiteral("the system's sound output"));
    for (const WaveOutHint& hint : hints) {
        const QString name = QString::fromStdString(hint.name);
        const QString description = QString::fromStdString(hint.description);
        if (name == kDefault) defaultText = text(name, description);
        // ALSA's own null plays nothing too, but unpaced; ours stands for it.
        else if (name != kNull)
            choices.append({name, text(name, description)});
    }
    choices.prepend({kDefault, defaultText});
    const bool listed = SameOutput(Current, kNull) ||
                        std::any_of(choices.begin(), choices.end(),
                                    [&](const TChoice& c) { return SameOutput(c.Output, Current); });
    if (!listed) choices.append({Current.trimmed(), Current.trimmed() + QStringLiteral(" - in use")});
    choices.append({kNull, QStringLiteral("No sound (null)")});
    return choices;
}

TfSoundOutput::TfSoundOutput(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("fSoundOutput"));
    setWindowTitle(QStringLiteral("Sound Output"));
    setAttribute(Qt::WA_DeleteOnClose);
    setFont(Tahoma(11));

    // The output runs from now on, so what it says is how it runs.
    waveOutGetNumDevs();
    const WaveOutStatus status = waveOutGetStatus();
    const QString current = QString::fromStdString(status.outputName);

    auto* layout = new QVBoxLayout(this);
    auto* heading = new QLabel(QStringLiteral("Play the bells on:"), this);
    layout->addWidget(heading);
    FOutputs = new QListWidget(this);
    FOutputs->setObjectName(QStringLiteral("lbOutputs"));
    for (const TChoice& choice : Choices(current)) {
        auto* item = new QListWidgetItem(choice.Text, FOutputs);
        item->setData(Qt::UserRole, choice.Output);
        item->setToolTip(choice.Text);
        if (SameOutput(choice.Output, current)) FOutputs->setCurrentItem(item);
    }
    // Wide enough for the names with their descriptions, within reason.
    FOutputs->setMinimumWidth(
        std::min(FOutputs->sizeHintForColumn(0) + 2 * FOutputs->frameWidth() + 24, 640));
    layout->addWidget(FOutputs);

    FCurrent = new QLabel(this);
    FCurrent->setObjectName(QStringLiteral("lCurrent"));
    FCurrent->setWordWrap(true);
    if (status.running)
        FCurrent->setText(QStringLiteral("Output: %1, running (%2 Hz, %3 ms from stroke to sound)")
                              .arg(current)
                              .arg(status.rate)
                              .arg(1000.0 * double(status.latencyFrames) / status.rate, 0, 'f', 1));
    else
        FCurrent->setText(
            QStringLiteral("Output: %1, not running: %2").arg(current, QString::fromStdString(status.error)));
    layout->addWidget(FCurrent);

    FMixer = new QLabel(this);
    FMixer->setObjectName(QStringLiteral("lMixer"));
    FMixer->setWordWrap(true);
    if (!status.running)
        FMixer->setText(QStringLiteral("Mixer: not running"));
    else if (status.realtime)
        FMixer->setText(QStringLiteral("Mixer: real-time priority (%1)")
                            .arg(QString::fromStdString(status.realtimeNote)));
    else
        FMixer->setText(QStringLiteral("Mixer: normal priority, real-time %1")
                            .arg(QString::fromStdString(status.realtimeNote)));
    layout->addWidget(FMixer);

    FButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    bOK()->setObjectName(QStringLiteral("bOK"));
    bCancel()->setObjectName(QStringLiteral("bCancel"));
    connect(FButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(FButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(FOutputs, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
    layout->addWidget(FButtons);
    resize(std::max(sizeHint().width(), 420), 300);
}

QString TfSoundOutput::Chosen() const {
    const QListWidgetItem* item = FOutputs->currentItem();
    return item ? item->data(Qt::UserRole).toString() : QString();
}

QPushButton* TfSoundOutput::bOK() const {
    return FButtons->button(QDialogButtonBox::Ok);
}

QPushButton* TfSoundOutput::bCancel() const {
    return FButtons->button(QDialogButtonBox::Cancel);
}
