#include "app/StrikingRecord.h"

#include "analysis/Lowndes.h"
#include "analysis/Striking.h"
#include "app/Program.h"
#include "platform/gui/Dialogs.h"
#include "platform/waveout/waveout.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <set>

// ---- TTouch ---------------------------------------------------------------------------

int TTouch::BellsStruck() const {
    std::set<int> bells;
    for (const TBlow& b : Blows) bells.insert(b.Bell);
    return static_cast<int>(bells.size());
}

std::int64_t TTouch::Ms(std::size_t Blow) const {
    return std::llround(static_cast<double>(Blows[Blow].HeardNs - Blows.front().HeardNs) / 1e6);
}

// ---- The Lowndes form -------------------------------------------------------------

char LowndesBell(int Bell) {
    return LowndesBellChar(Bell);
}

QByteArray LowndesLine(bool Handstroke, int Bell, std::int64_t Ms) {
    // The reader adds 0x10000 whenever a time is smaller than the one before.
    return LowndesBlowLine(Handstroke, Bell, Ms);
}

QByteArray LowndesText(const TTouch& Touch) {
    // The version 2 header; what we cannot know (the tower's name, the
    // method, the ringers) is left out rather than guessed.
    int tenor = 0;
    for (const TBlow& b : Touch.Blows) tenor = std::max(tenor, b.Bell);
    TLowndesFile file;
    file.Header = {
        {QStringLiteral("Lowndes"), QStringLiteral("Version 2")},
        {QStringLiteral("Creator"),
         QStringLiteral("%1 v%2").arg(QLatin1String(kProductTitle), QLatin1String(kProductVersion))},
        {QStringLiteral("RingingDateTime"), Touch.Started.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))},
        {QStringLiteral("Tenor"), QString::number(tenor)},
        {QStringLiteral("NumBellsRinging"), QString::number(Touch.BellsStruck())},
        // The blow lines count from the first blow.
        {QStringLiteral("FirstBlowMs"), QStringLiteral("0")},
    };
    if (!Touch.Settings.isEmpty()) file.Header.emplace_back(QStringLiteral("Settings"), Touch.Settings);
    QByteArray text = LowndesText(file);
    for (std::size_t i = 0; i < Touch.Blows.size(); ++i)
        text += LowndesLine(Touch.Blows[i].Handstroke, Touch.Blows[i].Bell, Touch.Ms(i)) + '\n';
    return text;
}

bool AnalyseTouch(const TTouch& Touch, TStrikingAnalysis& Result, QString* Error) {
    std::vector<TLowndesBlow> blows;
    blows.reserve(Touch.Blows.size());
    for (std::size_t i = 0; i < Touch.Blows.size(); ++i)
        blows.push_back(
            {Touch.Blows[i].Handstroke, Touch.Blows[i].Bell, Touch.Ms(i), static_cast<int>(i) + 1});
    TStrikingOptions options;
    options.Stage = Touch.BellsStruck();
    return AnalyseStriking(std::move(blows), options, Result, Error);
}

// ---- TStrikingRecord ----------------------------------------------------------------

TStrikingRecord::TStrikingRecord(QObject* Owner) : QObject(Owner) {
    FQuiet = new QTimer(this);
    FQuiet->setSingleShot(true);
    FQuiet->setTimerType(Qt::PreciseTimer);
    connect(FQuiet, &QTimer::timeout, this, [this] { EndTouch(); });
}

TStrikingRecord::~TStrikingRecord() {
    blockSignals(true);
    EndTouch();
}

void TStrikingRecord::SetActive(bool Value) {
    if (Value == Active()) return;
    if (!Value) EndTouch();
    FActive.store(Value, std::memory_order_relaxed);
    if (Value) WritePending();
}

void TStrikingRecord::SetFolder(const QString& Value) {
    if (Value == FFolder) return;
    FFolder = Value;
    // Another folder is another chance for what could not be written.
    FReported = false;
    WritePending();
}

QString TStrikingRecord::DefaultFolder() {
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty()) documents = QDir::homePath();
    return QDir(documents).filePath(QStringLiteral("Quorvel"));
}

void TStrikingRecord::ListeningStarted() {
    if (FStoppedNs) EndTouch();
    FListening = true;
    FStoppedNs = 0;
}

void TStrikingRecord::ListeningStopped() {
    if (!FListening) return;
    FListening = false;
    FStoppedNs = waveOutNowNs();
    // The touch ends once the strokes asked for before now have been heard:
    // the output's stroke latency and a margin for the reports on their way.
    const WaveOutStatus status = waveOutGetStatus();
    const int latencyMs = status.rate ? static_cast<int>(status.latencyFrames * 1000 / status.rate) : 0;
    FQuiet->start(latencyMs + 250);
}

void TStrikingRecord::Heard(int Bell, std::int64_t HeardNs, std::int64_t RequestNs, std::uint64_t Order) {
    if (!Active() || Bell < 1 || Bell > kRecordBells) return;
    if (!FListening && !(FStoppedNs && RequestNs < FStoppedNs)) return;
    if (!FTouch.Empty() && HeardNs - FTouch.Blows.back().HeardNs > kQuietNs) EndTouch();
    const bool hand = FSides[Bell].Next(HeardNs);
    if (FTouch.Empty()) {
        const std::int64_t agoMs = (waveOutNowNs() - HeardNs) / 1000000;
        FTouch.Started = QDateTime::currentDateTime().addMSecs(-agoMs);
    }
    // Blows begun in one block of the mixer are reported in slot order, not
    // in the order they were struck.
    auto at = FTouch.Blows.end();
    auto after = [&](const TBlow& b) {
        return b.HeardNs > HeardNs || (b.HeardNs == HeardNs && b.Order > Order);
    };
    while (at != FTouch.Blows.begin() && after(*std::prev(at))) --at;
    FTouch.Blows.insert(at, TBlow{Bell, hand, HeardNs, Order});
    if (FListening) Arm();
}

void TStrikingRecord::Arm() {
    const std::int64_t dueNs = FTouch.Blows.back().HeardNs + kQuietNs;
    FQuiet->start(static_cast<int>(std::max<std::int64_t>(0, (dueNs - waveOutNowNs()) / 1000000 + 1)));
}

void TStrikingRecord::EndTouch() {
    FQuiet->stop();
    FStoppedNs = 0;
    if (FTouch.Empty()) return;
    TTouch touch = std::move(FTouch);
    FTouch = TTouch();
    if (OnSettings) {
        std::set<int> bells;
        for (const TBlow& b : touch.Blows) bells.insert(b.Bell);
        touch.Settings = OnSettings(QList<int>(bells.begin(), bells.end()));
    }
    FLastTouch = touch;
    FPending.push_back(std::move(touch));
    WritePending();
    emit TouchEnded();
}

void TStrikingRecord::WritePending() {
    while (!FPending.empty()) {
        QString error;
        if (!Write(FPending.front(), error)) {
            Report(error);
            return;
        }
        FPending.erase(FPending.begin());
        FReported = false;
    }
}

bool TStrikingRecord::Write(TTouch& Touch, QString& Error) {
    const QString folder = Folder();
    if (!QDir().mkpath(folder)) {
        Error = QStringLiteral("Cannot create the folder %1").arg(QDir::toNativeSeparators(folder));
        return false;
    }
    const QString stem = QStringLiteral("touch-") + Touch.Started.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString path = QDir(folder).filePath(stem + QStringLiteral(".txt"));
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = QDir(folder).filePath(QStringLiteral("%1-%2.txt").arg(stem).arg(n));
    QSaveFile file(path);
    const QByteArray text = LowndesText(Touch);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        Error = QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    FLastFile = path;
    return true;
}

void TStrikingRecord::Report(const QString& Error) {
    if (FReported) return;
    FReported = true;
    // Not from inside whatever ended the touch (a port closing, a timer).
    const QString text =
        QStringLiteral(
            "The striking record could not be written.\r%1\rRinging goes on; the touch is kept and "
            "written when the next touch ends, or when the folder is changed in Ringing Options.")
            .arg(Error);
    QMetaObject::invokeMethod(
        this, [text] { MessageDlg(text, mtError); }, Qt::QueuedConnection);
}
