#pragma once

// A real kernel pseudo-terminal for serial tests (link `util`). The code
// under test opens SlavePath() like a serial device; the test plays the far
// end of the line on the master.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

class PseudoTerminal {
public:
    PseudoTerminal() {
        int slave = -1;
        char name[256] = {};
        if (openpty(&FMaster, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        // The slave stays open here only until the code under test has it:
        // keeping it would hide a hang-up from the tested side.
        ::close(slave);
        FPath = name;
        fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    }
    ~PseudoTerminal() { CloseMaster(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& SlavePath() const { return FPath; }
    std::u16string SlavePathUtf16() const { return std::u16string(FPath.begin(), FPath.end()); }
    int Master() const { return FMaster; }

    void CloseMaster() {
        if (FMaster >= 0) ::close(FMaster);
        FMaster = -1;
    }

    // Sends every byte, waiting while the line is full.
    bool Send(const void* data, size_t size, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto* p = static_cast<const unsigned char*>(data);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (size > 0) {
            const ssize_t n = ::write(FMaster, p, size);
            if (n > 0) {
                p += n;
                size -= static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            if (std::chrono::steady_clock::now() > deadline) return false;
            pollfd pfd{FMaster, POLLOUT, 0};
            ::poll(&pfd, 1, 20);
        }
        return true;
    }
    bool Send(const std::string& text) { return Send(text.data(), text.size()); }

    // Receives exactly `size` bytes, or fewer when the limit passes first.
    std::vector<unsigned char> Receive(size_t size,
                                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::vector<unsigned char> data;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        unsigned char chunk[4096];
        while (data.size() < size && std::chrono::steady_clock::now() < deadline) {
            const ssize_t n = ::read(FMaster, chunk, std::min(sizeof chunk, size - data.size()));
            if (n > 0) {
                data.insert(data.end(), chunk, chunk + n);
                continue;
            }
            pollfd pfd{FMaster, POLLIN, 0};
            ::poll(&pfd, 1, 20);
        }
        return data;
    }

    // Reads what the tested side writes until Byte comes (true) or the limit
    // passes (false); what was read is dropped. Until the tested side opens
    // the line the master reads as hung up, which is waited out too.
    bool AwaitByte(unsigned char Byte, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        unsigned char chunk[256];
        while (std::chrono::steady_clock::now() < deadline) {
            const ssize_t n = ::read(FMaster, chunk, sizeof chunk);
            for (ssize_t i = 0; i < n; ++i)
                if (chunk[i] == Byte) return true;
            if (n > 0) continue;
            pollfd pfd{FMaster, POLLIN, 0};
            if (::poll(&pfd, 1, 20) > 0 && !(pfd.revents & POLLIN)) ::poll(nullptr, 0, 5);
        }
        return false;
    }

private:
    int FMaster = -1;
    std::string FPath;
};
