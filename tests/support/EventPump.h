#pragma once

// Running the main thread's messages while a test waits for something that
// arrives through them (timers, device reports, serial events).

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <functional>
#include <thread>

// Handles the main thread's messages until Condition holds (true) or the
// time is up (false).
inline bool PumpUntil(const std::function<bool()>& Condition, int Seconds = 30) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
    while (!Condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

// Waits, without handling messages, until Condition holds (true) or the
// time is up (false): for what other threads bring about.
inline bool WaitUntil(const std::function<bool()>& Condition, int Milliseconds = 20000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(Milliseconds);
    while (!Condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Handles the main thread's messages for a while.
inline void PumpFor(int Milliseconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(Milliseconds);
    PumpUntil([&] { return std::chrono::steady_clock::now() > until; });
}
