#pragma once

// The striking record: while listening, every bell that sounds is noted with
// the moment its first sample was heard (the mixer says so), its bell, and
// handstroke or backstroke. A touch ends after ten seconds without a blow or
// when listening stops, and is written as a Lowndes file, the form striking
// analysis tools read: one blow per line, "s b 0xTTTT" (stroke, bell, the
// time in milliseconds from the touch's first blow, wrapping at 0x10000),
// after a header of "#. Key: value" lines (Lowndes version 2) that names the
// program, the date, the bells and the tower's settings.

#include "ringing/StrokeSide.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

inline constexpr int kRecordBells = 16;

struct TStrikingAnalysis;

struct TBlow {
    int Bell = 0;  // 1 to 16
    bool Handstroke = true;
    std::int64_t HeardNs = 0;  // CLOCK_MONOTONIC at which its first sample was heard
    std::uint64_t Order = 0;   // the order struck, for blows heard in the same frame
};

struct TTouch {
    QDateTime Started;         // the local time of its first blow
    QString Settings;          // the tower's settings, for the header
    std::vector<TBlow> Blows;  // in the order heard

    bool Empty() const { return Blows.empty(); }
    // How many different bells were struck: the blows of one change.
    int BellsStruck() const;
    // A blow's time from the first blow, in whole milliseconds.
    std::int64_t Ms(std::size_t Blow) const;
};

// ---- The Lowndes form ----------------------------------------------------------

// "1"-"9", "0", "E", "T", then "A"-"D" for 13 to 16; '?' for no bell.
char LowndesBell(int Bell);
// One blow, exactly ten characters: "H 1 0x01F4".
QByteArray LowndesLine(bool Handstroke, int Bell, std::int64_t Ms);
// The whole file: the header, then one line per blow, each ending in LF.
QByteArray LowndesText(const TTouch& Touch);
// The touch's striking, measured as quorvel-touch measures a file of it.
bool AnalyseTouch(const TTouch& Touch, TStrikingAnalysis& Result, QString* Error);

// ---- The record -------------------------------------------------------------------

class TStrikingRecord : public QObject {
    Q_OBJECT

public:
    // Ten seconds without a blow end a touch; a bell's first blow after a
    // longer pause is a handstroke.
    static constexpr std::int64_t kQuietNs = TStrokeSide::kQuietNs;

    explicit TStrikingRecord(QObject* Owner = nullptr);
    ~TStrikingRecord() override;

    // Recording on or off (off at first). Switching it off ends a touch.
    bool Active() const { return FActive.load(std::memory_order_relaxed); }
    void SetActive(bool Value);
    // Where the files go; empty means the default.
    QString Folder() const { return FFolder.isEmpty() ? DefaultFolder() : FFolder; }
    void SetFolder(const QString& Value);
    // A "Quorvel" folder in the user's documents.
    static QString DefaultFolder();

    // The text the header gives for the tower's settings, asked when a
    // touch is written, with the bells it struck.
    std::function<QString(const QList<int>& Bells)> OnSettings;

    // The window's port opened or closed.
    void ListeningStarted();
    void ListeningStopped();

    // A bell heard (main thread): the window passes on the mixer's report
    // of each blow's first sound, and the order the blows were struck in
    // (two strokes read off the line together start in one frame).
    void Heard(int Bell, std::int64_t HeardNs, std::int64_t RequestNs, std::uint64_t Order = 0);

    const TTouch& Touch() const { return FTouch; }          // the one being rung
    const TTouch& LastTouch() const { return FLastTouch; }  // the last one ended
    QString LastFile() const { return FLastFile; }
    // Touches whose files could not be written yet; written at the next chance.
    int Pending() const { return static_cast<int>(FPending.size()); }

    // Ends the touch being rung now, writing it.
    void EndTouch();

signals:
    // A touch ended (LastTouch has it), whether or not its file was written.
    void TouchEnded();

private:
    void Arm();
    void WritePending();
    bool Write(TTouch& Touch, QString& Error);
    void Report(const QString& Error);

    std::atomic<bool> FActive{false};
    QString FFolder;
    bool FListening = false;
    // Strokes asked for before listening stopped are still in flight a
    // moment: they belong to the touch.
    std::int64_t FStoppedNs = 0;
    std::array<TStrokeSide, kRecordBells + 1> FSides{};
    TTouch FTouch;
    TTouch FLastTouch;
    QString FLastFile;
    std::vector<TTouch> FPending;
    bool FReported = false;
    class QTimer* FQuiet = nullptr;
};
