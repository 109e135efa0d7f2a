#pragma once

// A tower's receiver on a pseudo-terminal that may know the program's
// questions (link `util`). A thread reads what the program sends, notes it,
// and answers as this receiver's kind would, one byte at a time at the
// line's pace; the test strikes bells through Send as on any line.
//
//   0xFD "are you there?"   a receiver that knows it echoes 0xFD
//   0xFE "your delays?"     12 bytes, bells 1-12 in hundredths of a second, 0xFF

#include "tests/support/PacedLine.h"
#include "tests/support/PseudoTerminal.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeReceiver {
public:
    static constexpr unsigned char kAreYouThere = 0xFD, kSendDelays = 0xFE, kEnd = 0xFF;

    // What the receiver sends back to each question (empty: nothing).
    struct Replies {
        std::string Echo;
        std::string Delays;
    };
    // A receiver that knows both questions and holds these delays
    // (hundredths of a second, bells 1 to 12).
    static Replies Answering(const std::array<unsigned char, 12>& Hundredths) {
        std::string delays(Hundredths.begin(), Hundredths.end());
        delays += char(kEnd);
        return {std::string(1, char(kAreYouThere)), delays};
    }
    // An older receiver: it answers neither.
    static Replies Silent() { return {}; }
    // One that answers, but nothing the program can read.
    static Replies Garbage() { return {std::string("\x80", 1), std::string("\x80\x01\x7f\x00\xc3", 5)}; }

    explicit FakeReceiver(Replies Answers, unsigned Baud = 2400)
        : FReplies(std::move(Answers)), FByteNs(ByteTimeNs(Baud)) {
        FThread = std::thread([this] { Run(); });
    }
    ~FakeReceiver() {
        FStop = true;
        FThread.join();
    }
    FakeReceiver(const FakeReceiver&) = delete;
    FakeReceiver& operator=(const FakeReceiver&) = delete;

    const std::string& SlavePath() const { return FLine.SlavePath(); }
    // Strokes, sent at once.
    bool Send(const std::string& Bytes) { return FLine.Send(Bytes.data(), Bytes.size()); }
    // Sent just before the answer to the delays question: strokes that
    // come in while the receiver answers.
    void SetBeforeDelays(std::string Bytes) {
        std::lock_guard lock(FLock);
        FBeforeDelays = std::move(Bytes);
    }

    // Everything the program has sent so far.
    std::vector<unsigned char> Received() const {
        std::lock_guard lock(FLock);
        return FReceived;
    }
    int CountReceived(unsigned char Byte) const {
        int n = 0;
        for (unsigned char b : Received()) n += b == Byte;
        return n;
    }

private:
    void Run() {
        while (!FStop) {
            pollfd pfd{FLine.Master(), POLLIN, 0};
            const int ready = ::poll(&pfd, 1, 5);
            if (ready <= 0 || !(pfd.revents & POLLIN)) {
                // Hung up until the program opens the line: wait for it.
                if (ready > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            unsigned char buffer[64];
            const ssize_t n = ::read(FLine.Master(), buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i) {
                std::string reply;
                {
                    std::lock_guard lock(FLock);
                    FReceived.push_back(buffer[i]);
                    if (buffer[i] == kAreYouThere) reply = FReplies.Echo;
                    if (buffer[i] == kSendDelays) reply = FBeforeDelays + FReplies.Delays;
                }
                // At the line's pace, as a receiver's serial port sends.
                for (char c : reply) {
                    SleepUntilNs(MonotonicNs() + FByteNs);
                    FLine.Send(&c, 1);
                }
            }
        }
    }

    PseudoTerminal FLine;
    Replies FReplies;
    std::int64_t FByteNs;
    std::string FBeforeDelays;
    mutable std::mutex FLock;
    std::vector<unsigned char> FReceived;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};
