// Stroke latency on a pseudo-terminal: from the far end writing one byte to
// the event wait waking and the byte being read, as the console does it.
// Also what one call costs on an idle port, and the throughput of one 1 MB
// transfer each way.

#include "platform/comm/comm.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

}  // namespace

int main() {
    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;
    close(slave);
    const std::string path = name;
    const std::u16string wide(path.begin(), path.end());
    HANDLE port = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) return 1;
    DCB dcb{};
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    SetCommState(port, &dcb);
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(port, &timeouts);
    SetCommMask(port, EV_RXCHAR);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);

    std::vector<double> latencies;
    for (int i = 0; i < 2000; ++i) {
        OVERLAPPED ov{};
        ov.hEvent = event;
        DWORD mask = 0;
        const bool pending = !WaitCommEvent(port, &mask, &ov) && GetLastError() == ERROR_IO_PENDING;
        const char stroke = static_cast<char>('1' + i % 8);
        const auto sent = Clock::now();
        if (write(master, &stroke, 1) != 1) return 1;
        if (pending) WaitForSingleObject(event, INFINITE);
        char c = 0;
        DWORD got = 0;
        OVERLAPPED rov{};
        ReadFile(port, &c, 1, &got, &rov);
        latencies.push_back(Micros(Clock::now() - sent));
        if (got != 1 || c != stroke) {
            std::printf("lost stroke %d\n", i);
            return 1;
        }
    }
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) { return latencies[static_cast<size_t>(q * (latencies.size() - 1))]; };
    std::printf("stroke to read, %zu strokes: median %.0f us, 99%% %.0f us, max %.0f us\n", latencies.size(),
                at(0.5), at(0.99), latencies.back());

    // What one entry point costs on an idle port: finding and holding the
    // port, its lock, and for ClearCommError a look at the line.
    auto perCall = [&](auto&& call) {
        std::vector<double> rounds;
        for (int r = 0; r < 21; ++r) {
            const auto start = Clock::now();
            for (int i = 0; i < 5000; ++i) call();
            rounds.push_back(Micros(Clock::now() - start) * 1000.0 / 5000);
        }
        std::sort(rounds.begin(), rounds.end());
        return rounds[rounds.size() / 2];
    };
    DWORD mask = 0, errors = 0;
    COMSTAT stat{};
    std::printf("one call, median of 21 rounds of 5000: GetCommMask %.0f ns, ClearCommError %.0f ns\n",
                perCall([&] { GetCommMask(port, &mask); }),
                perCall([&] { ClearCommError(port, &errors, &stat); }));

    // 1 MB out through the port, read at the far end.
    std::vector<unsigned char> data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 31);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    auto start = Clock::now();
    OVERLAPPED wov{};
    wov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written, &wov);
    size_t received = 0;
    std::vector<unsigned char> chunk(65536);
    while (received < data.size()) {
        const ssize_t n = read(master, chunk.data(), chunk.size());
        if (n > 0) {
            received += static_cast<size_t>(n);
        } else {
            pollfd pfd{master, POLLIN, 0};
            poll(&pfd, 1, 100);
        }
    }
    GetOverlappedResult(port, &wov, &written, TRUE);
    std::printf("1 MB out: %.1f MB/s\n", 1.0 / (Micros(Clock::now() - start) / 1e6));

    // 1 MB in, read by the port in 4 KB pieces.
    timeouts = COMMTIMEOUTS{0, 0, 0, 0, 0};
    SetCommTimeouts(port, &timeouts);
    start = Clock::now();
    std::thread sender([&] {
        size_t sent = 0;
        while (sent < data.size()) {
            const ssize_t n = write(master, data.data() + sent, std::min<size_t>(65536, data.size() - sent));
            if (n > 0) {
                sent += static_cast<size_t>(n);
            } else {
                pollfd pfd{master, POLLOUT, 0};
                poll(&pfd, 1, 100);
            }
        }
    });
    std::vector<unsigned char> in(data.size());
    for (size_t at = 0; at < in.size();) {
        OVERLAPPED rov{};
        rov.hEvent = wov.hEvent;
        DWORD got = 0;
        ReadFile(port, in.data() + at, 4096, &got, &rov);
        GetOverlappedResult(port, &rov, &got, TRUE);
        at += got;
    }
    sender.join();
    std::printf("1 MB in: %.1f MB/s, %s\n", 1.0 / (Micros(Clock::now() - start) / 1e6),
                in == data ? "intact" : "CORRUPTED");

    CloseHandle(wov.hEvent);
    CloseHandle(event);
    CloseHandle(port);
    close(master);
    return 0;
}
