// A stand-in for the tower's sensor interface: opens a pseudo-terminal,
// prints the path the console should open, sends stroke characters, and
// answers the console's two questions as a receiver that knows them.
//
//   quorvel-receiver-sim [-i MS] [-n COUNT] [-d DELAYS] [-o] [STROKES]
//
// STROKES is the sequence of characters to send, one per interval, repeated
// COUNT times (0: for ever); an empty STROKES sends none and runs until
// stopped. Default: rounds on eight bells, "12345678", every 250 ms.
//
// 0xFD ("are you there?") is echoed. 0xFE ("your delays?") is answered with
// the delays of bells 1-12, one byte each in hundredths of a second, then
// 0xFF. DELAYS lists them in milliseconds, bell 1 first, comma-separated;
// bells not listed hold 0. -o plays an older receiver that answers neither.
// Bytes the console sends are shown in hex on stderr, each line written
// after the answer to what it shows.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

constexpr unsigned char kAreYouThere = 0xFD;
constexpr unsigned char kSendDelays = 0xFE;
constexpr unsigned char kEnd = 0xFF;
constexpr int kBells = 12;
// One byte of hundredths, and 0xFF ends the answer.
constexpr long kMaxDelayMs = 2540;

constexpr const char* kUsage =
    "usage: quorvel-receiver-sim [-i interval-ms] [-n repeats] [-d delays-ms] [-o] [strokes]\n"
    "  -i MS      time between two strokes (default 250)\n"
    "  -n COUNT   send the strokes COUNT times, then exit (default 0: for ever)\n"
    "  -d LIST    the delays this receiver holds, in ms, bells 1-12, comma-separated\n"
    "             (multiples of 10 from 0 to 2540; default all 0)\n"
    "  -o         an older receiver: answer neither question\n"
    "  strokes    the characters to send in turn (default 12345678; \"\" sends none)\n";

[[noreturn]] void Usage(const char* problem) {
    if (problem) std::fprintf(stderr, "quorvel-receiver-sim: %s\n", problem);
    std::fputs(kUsage, stderr);
    std::exit(2);
}

// A whole decimal number within [low, high], or nothing.
std::optional<long> Number(const char* text, long low, long high) {
    if (!text || !*text) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) return std::nullopt;
    return value;
}

// "250,250,300" -> hundredths of bells 1, 2 and 3; the rest 0.
std::optional<std::array<unsigned char, kBells>> ParseDelays(const std::string& list, std::string& problem) {
    std::array<unsigned char, kBells> hundredths{};
    size_t at = 0;
    int bell = 0;
    while (true) {
        const size_t comma = list.find(',', at);
        const std::string item = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (bell == kBells) {
            problem = "more than 12 delays";
            return std::nullopt;
        }
        const auto ms = Number(item.c_str(), 0, kMaxDelayMs);
        if (!ms || *ms % 10 != 0) {
            problem = "delay '" + item + "' of bell " + std::to_string(bell + 1) +
                      " is not a multiple of 10 ms from 0 to 2540";
            return std::nullopt;
        }
        hundredths[bell++] = static_cast<unsigned char>(*ms / 10);
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return hundredths;
}

bool WriteAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long intervalMs = 250;
    long repeats = 0;
    bool answers = true;
    std::array<unsigned char, kBells> delays{};
    std::string strokes = "12345678";
    int opt;
    while ((opt = getopt(argc, argv, ":i:n:d:oh")) != -1) {
        switch (opt) {
            case 'i': {
                const auto ms = Number(optarg, 1, INT_MAX);
                if (!ms) Usage("-i wants a whole number of milliseconds, 1 or more");
                intervalMs = *ms;
                break;
            }
            case 'n': {
                const auto count = Number(optarg, 0, LONG_MAX);
                if (!count) Usage("-n wants a whole number, 0 or more");
                repeats = *count;
                break;
            }
            case 'd': {
                std::string problem;
                const auto parsed = ParseDelays(optarg, problem);
                if (!parsed) Usage(problem.c_str());
                delays = *parsed;
                break;
            }
            case 'o':
                answers = false;
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                return 0;
            case ':':
                Usage((std::string("-") + char(optopt) + " wants a value").c_str());
            default:
                Usage((std::string("unknown option -") + char(optopt)).c_str());
        }
    }
    if (optind < argc) strokes = argv[optind++];
    if (optind < argc) Usage("one strokes argument only");

    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("quorvel-receiver-sim: openpty");
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

    std::string delaysAnswer(delays.begin(), delays.end());
    delaysAnswer += static_cast<char>(kEnd);

    using Clock = std::chrono::steady_clock;
    auto next = Clock::now() + std::chrono::milliseconds(intervalMs);
    size_t at = 0;
    long rounds = 0;
    for (;;) {
        int timeout = -1;  // no strokes: only the console wakes us
        if (!strokes.empty()) {
            const auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
            timeout = wait > 0 ? static_cast<int>(wait) : 0;
        }
        pollfd pfd{master, POLLIN, 0};
        const int ready = poll(&pfd, 1, timeout);
        if (ready < 0 && errno != EINTR) {
            std::perror("quorvel-receiver-sim: poll");
            return 1;
        }
        if (ready > 0 && (pfd.revents & POLLIN)) {
            unsigned char buffer[256];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) {
                // One write per answer, so a stroke never lands inside it.
                std::string answer;
                for (ssize_t i = 0; i < n && answers; ++i) {
                    if (buffer[i] == kAreYouThere) answer += static_cast<char>(kAreYouThere);
                    if (buffer[i] == kSendDelays) answer += delaysAnswer;
                }
                if (!answer.empty() && !WriteAll(master, answer.data(), answer.size())) {
                    std::perror("quorvel-receiver-sim: write");
                    return 1;
                }
                std::fprintf(stderr, "received:");
                for (ssize_t i = 0; i < n; ++i) std::fprintf(stderr, " %02X", buffer[i]);
                std::fprintf(stderr, "\n");
                std::fflush(stderr);
            }
            continue;
        }
        if (strokes.empty() || Clock::now() < next) continue;
        if (!WriteAll(master, &strokes[at], 1)) {
            std::perror("quorvel-receiver-sim: write");
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
