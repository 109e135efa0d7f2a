// A stand-in for the tower's sensor interface: opens a pseudo-terminal,
// prints the path the console should open, and sends stroke characters.
//
//   receiver-sim [-i MS] [-n COUNT] [STROKES]
//
// STROKES is the sequence of characters to send, one per interval, repeated
// COUNT times (0: for ever). Default: rounds on eight bells, "12345678",
// every 250 ms. Bytes the console sends back are shown in hex.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Usage() {
    std::fprintf(stderr, "usage: receiver-sim [-i interval-ms] [-n repeats] [strokes]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    int intervalMs = 250;
    long repeats = 0;
    std::string strokes = "12345678";
    int opt;
    while ((opt = getopt(argc, argv, "i:n:h")) != -1) {
        switch (opt) {
            case 'i':
                intervalMs = std::atoi(optarg);
                break;
            case 'n':
                repeats = std::atol(optarg);
                break;
            default:
                Usage();
        }
    }
    if (optind < argc) strokes = argv[optind];
    if (intervalMs <= 0 || strokes.empty()) Usage();

    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    // Raw until the console sets the line up, so nothing is echoed back.
    termios raw{};
    if (tcgetattr(slave, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
    }
    // Our copy of the slave stays open so that the line survives the
    // console closing and reopening it.
    std::printf("%s\n", name);
    std::fflush(stdout);

    using Clock = std::chrono::steady_clock;
    auto next = Clock::now() + std::chrono::milliseconds(intervalMs);
    size_t at = 0;
    long rounds = 0;
    for (;;) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        pollfd pfd{master, POLLIN, 0};
        if (poll(&pfd, 1, wait > 0 ? static_cast<int>(wait) : 0) > 0 && (pfd.revents & POLLIN)) {
            unsigned char buffer[256];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) {
                std::fprintf(stderr, "received:");
                for (ssize_t i = 0; i < n; ++i) std::fprintf(stderr, " %02X", buffer[i]);
                std::fprintf(stderr, "\n");
            }
            continue;
        }
        if (Clock::now() < next) continue;
        const char c = strokes[at];
        if (write(master, &c, 1) != 1) {
            std::perror("write");
            return 1;
        }
        next += std::chrono::milliseconds(intervalMs);
        if (++at == strokes.size()) {
            at = 0;
            if (repeats > 0 && ++rounds == repeats) break;
        }
    }
    close(slave);
    close(master);
    return 0;
}
