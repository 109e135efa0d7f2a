#include "app/ReceiverQuery.h"

#include "app/MainForm.h"

#include <QTimer>
#include <algorithm>
#include <utility>

namespace {

bool AllStrokes(const QByteArray& Bytes) {
    return std::all_of(Bytes.begin(), Bytes.end(),
                       [](char b) { return TfMainform::BellOfChar(static_cast<unsigned char>(b)) != 0; });
}

}  // namespace

bool TDelaysAnswer::AnyDelay() const {
    return std::any_of(DelaysMs.begin(), DelaysMs.end(), [](int ms) { return ms != 0; });
}

TDelaysAnswer ParseDelaysAnswer(const QByteArray& Bytes, bool Ended, const QList<std::int64_t>& ArrivalNs) {
    TDelaysAnswer answer;
    answer.Bytes = Bytes;
    const int bells = int(answer.DelaysMs.size());
    if (!Ended) {
        // Several bytes in one burst, and nothing after: the receiver began
        // to answer and stopped (its line was cut or it was reset); strokes
        // come one at a time, a pause between them.
        bool oneBurst = Bytes.size() >= 2 && ArrivalNs.size() == Bytes.size();
        for (qsizetype i = 1; oneBurst && i < ArrivalNs.size(); ++i)
            oneBurst = ArrivalNs[i] - ArrivalNs[i - 1] <= TReceiverQuery::kBurstGapNs;
        // Strokes alone mean the receiver kept quiet while the bells rang.
        answer.Kind = Bytes.isEmpty()      ? TDelaysAnswer::NoAnswer
                      : !AllStrokes(Bytes) ? TDelaysAnswer::Garbage
                      : oneBurst           ? TDelaysAnswer::Cut
                                           : TDelaysAnswer::StrokeBetween;
        return answer;
    }
    const int body = int(Bytes.size()) - 1;
    if (body == bells) {
        answer.Kind = TDelaysAnswer::Read;
        for (int i = 0; i < bells; ++i) answer.DelaysMs[i] = static_cast<unsigned char>(Bytes[i]) * 10;
    } else if (body > bells && body <= bells + 16) {
        // A delay byte may look like any stroke ("1" is 0.49 s), so which
        // bytes were strokes cannot be told: only that some were.
        answer.Kind = TDelaysAnswer::StrokeBetween;
    } else {
        answer.Kind = TDelaysAnswer::Garbage;
    }
    return answer;
}

TReceiverQuery::TReceiverQuery(QObject* Parent)
    : QObject(Parent), FEchoTimer(new QTimer(this)), FDelaysTimer(new QTimer(this)) {
    for (QTimer* timer : {FEchoTimer, FDelaysTimer}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    FEchoTimer->setInterval(kEchoWaitMs);
    FDelaysTimer->setInterval(kAnswerWaitMs);
    connect(FEchoTimer, &QTimer::timeout, this, [this] { EchoOver(false); });
    connect(FDelaysTimer, &QTimer::timeout, this, [this] { DelaysOver(false); });
}

void TReceiverQuery::ExpectEcho(std::function<void(bool Answered)> Done) {
    FEchoDone = std::move(Done);
    FEchoTimer->start();
}

void TReceiverQuery::ExpectDelays(std::function<void(const TDelaysAnswer&)> Done) {
    FAnswer.clear();
    FArrivals.clear();
    FDelaysDone = std::move(Done);
    FDelaysTimer->start();
}

void TReceiverQuery::Abandon() {
    FEchoTimer->stop();
    FDelaysTimer->stop();
    FEchoDone = nullptr;
    FDelaysDone = nullptr;
    FAnswer.clear();
    FArrivals.clear();
}

bool TReceiverQuery::Take(unsigned char Byte, std::int64_t ArrivalNs) {
    if (FEchoDone && Byte == kAreYouThere && FAnswer.isEmpty()) {
        EchoOver(true);
        return true;
    }
    if (!FDelaysDone) return false;
    FAnswer.append(static_cast<char>(Byte));
    FArrivals.append(ArrivalNs);
    if (Byte == kEnd || FAnswer.size() >= kMaxAnswerBytes) DelaysOver(Byte == kEnd);
    return true;
}

// The answer is reported once the window is done with the byte at hand:
// a box shown from inside a line event would hold up every stroke behind it.
void TReceiverQuery::EchoOver(bool Answered) {
    FEchoTimer->stop();
    auto done = std::exchange(FEchoDone, nullptr);
    if (done)
        QMetaObject::invokeMethod(
            this, [done, Answered] { done(Answered); }, Qt::QueuedConnection);
}

void TReceiverQuery::DelaysOver(bool Ended) {
    FDelaysTimer->stop();
    auto done = std::exchange(FDelaysDone, nullptr);
    const TDelaysAnswer answer = ParseDelaysAnswer(std::exchange(FAnswer, QByteArray()), Ended,
                                                   std::exchange(FArrivals, QList<std::int64_t>()));
    if (done)
        QMetaObject::invokeMethod(
            this, [done, answer] { done(answer); }, Qt::QueuedConnection);
}
