#pragma once

// The two questions a tower's receiver may understand, and their answers.
// 0xFD asks "are you there?"; a receiver that knows it echoes 0xFD. 0xFE
// asks for the delays it holds: 12 bytes, bells 1 to 12 in hundredths of a
// second, then 0xFF. Older receivers answer neither.
//
// While a question waits, the window hands every received byte here
// first: what belongs to an answer never reaches the strokes. The echo
// wait takes only the echo byte (strokes keep striking); the delays wait
// takes every byte, so it is asked only while the bells are silent.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <array>
#include <cstdint>
#include <functional>

class QTimer;

// What came back for the delays question.
struct TDelaysAnswer {
    enum TKind {
        Read,           // 12 delays and the end byte, nothing else
        NoAnswer,       // nothing at all
        StrokeBetween,  // the answer came with strokes around it, or only strokes came
        Garbage,        // bytes that are no answer
        Cut,            // the answer began, back to back, and stopped short of its end
    };
    TKind Kind = NoAnswer;
    std::array<int, 12> DelaysMs{};  // bells 1 to 12, when Read
    QByteArray Bytes;                // everything taken while waiting

    bool AnyDelay() const;
};

// Reads what was taken while waiting; Ended when its last byte is the end
// byte (else the wait ran out). ArrivalNs, when given, holds when each byte
// came: an answer's bytes follow each other at the line's pace, while a
// stroke comes after a pause; without it every byte counts as apart.
TDelaysAnswer ParseDelaysAnswer(const QByteArray& Bytes, bool Ended,
                                const QList<std::int64_t>& ArrivalNs = {});

class TReceiverQuery : public QObject {
    Q_OBJECT

public:
    static constexpr unsigned char kAreYouThere = 0xFD;
    static constexpr unsigned char kSendDelays = 0xFE;
    static constexpr unsigned char kEnd = 0xFF;
    static constexpr int kEchoWaitMs = 250;
    static constexpr int kAnswerWaitMs = 500;
    // More than any answer with a few strokes in it: the rest is garbage.
    static constexpr int kMaxAnswerBytes = 64;
    // Bytes closer than this belong to one burst: a byte takes 4 ms at 2400
    // bits per second, and ringers' strokes are further apart than this.
    static constexpr std::int64_t kBurstGapNs = 20'000'000;

    explicit TReceiverQuery(QObject* Parent);

    // The question has just been sent: Done gets whether the echo came
    // within the wait. A new check replaces one still waiting.
    void ExpectEcho(std::function<void(bool Answered)> Done);
    // The delays question has just been sent: Done gets the answer once it
    // ends or the wait runs out.
    void ExpectDelays(std::function<void(const TDelaysAnswer&)> Done);
    bool WaitingForEcho() const { return static_cast<bool>(FEchoDone); }
    bool WaitingForDelays() const { return static_cast<bool>(FDelaysDone); }
    // Forgets both waits without reporting (the port closed).
    void Abandon();

    // A received byte and when it came (CLOCK_MONOTONIC ns): true when it
    // belongs to an answer and is no stroke.
    bool Take(unsigned char Byte, std::int64_t ArrivalNs = 0);

private:
    void EchoOver(bool Answered);
    void DelaysOver(bool Ended);

    QTimer* FEchoTimer;
    QTimer* FDelaysTimer;
    std::function<void(bool)> FEchoDone;
    std::function<void(const TDelaysAnswer&)> FDelaysDone;
    QByteArray FAnswer;
    QList<std::int64_t> FArrivals;
};
