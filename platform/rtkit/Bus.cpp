#include "platform/rtkit/Bus.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace dbus_lite {
namespace {

constexpr std::size_t kMaxMessage = 1 << 20;  // our answers are tiny

enum : std::uint8_t { kMethodCall = 1, kMethodReturn = 2, kError = 3 };
enum : std::uint8_t {
    kPath = 1,
    kInterface = 2,
    kMember = 3,
    kErrorName = 4,
    kReplySerial = 5,
    kDestination = 6,
    kSignature = 8
};

// Alignment counts from the start of the message, which is where every
// writer and reader here starts.
struct Writer {
    std::string b;
    void align(std::size_t n) {
        while (b.size() % n) b.push_back('\0');
    }
    void u8(std::uint8_t v) { b.push_back(static_cast<char>(v)); }
    void u32(std::uint32_t v) {
        align(4);
        for (int i = 0; i < 4; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void u64(std::uint64_t v) {
        align(8);
        for (int i = 0; i < 8; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void str(const std::string& s) {
        u32(static_cast<std::uint32_t>(s.size()));
        b += s;
        b.push_back('\0');
    }
    void sig(const std::string& s) {
        u8(static_cast<std::uint8_t>(s.size()));
        b += s;
        b.push_back('\0');
    }
    void field(std::uint8_t code, const char* type, const std::string& value) {
        align(8);
        u8(code);
        sig(type);
        if (*type == 'g')
            sig(value);
        else
            str(value);
    }
};

struct Reader {
    const std::string& d;
    std::size_t pos;
    bool big;
    bool ok = true;

    bool take(std::size_t n) {
        if (!ok || pos + n > d.size()) ok = false;
        return ok;
    }
    void align(std::size_t n) {
        const std::size_t to = (pos + n - 1) / n * n;
        if (to > d.size()) ok = false;
        pos = ok ? to : pos;
    }
    std::uint64_t uint(std::size_t n) {
        align(n);
        if (!take(n)) return 0;
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const auto byte = static_cast<std::uint8_t>(d[pos + (big ? i : n - 1 - i)]);
            v = v << 8 | byte;
        }
        pos += n;
        return v;
    }
    std::string str() {
        const auto n = static_cast<std::size_t>(uint(4));
        if (!take(n + 1)) return {};
        std::string s = d.substr(pos, n);
        pos += n + 1;
        return s;
    }
    std::string sig() {
        const auto n = static_cast<std::size_t>(uint(1));
        if (!take(n + 1)) return {};
        std::string s = d.substr(pos, n);
        pos += n + 1;
        return s;
    }
    // An integer of the basic type `type`, or nothing.
    std::optional<std::int64_t> integer(char type) {
        switch (type) {
            case 'y':
                return static_cast<std::int64_t>(uint(1));
            case 'n':
                return static_cast<std::int16_t>(uint(2));
            case 'q':
                return static_cast<std::int64_t>(uint(2));
            case 'i':
                return static_cast<std::int32_t>(uint(4));
            case 'u':
                return static_cast<std::int64_t>(uint(4));
            case 'x':
            case 't':
                return static_cast<std::int64_t>(uint(8));
            default:
                return std::nullopt;
        }
    }
};

int millisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000)) + 1;
}

std::string unescape(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const auto hex = [&](std::size_t at) {
            const char c = at < value.size() ? value[at] : '\0';
            return c >= '0' && c <= '9'   ? c - '0'
                   : c >= 'a' && c <= 'f' ? c - 'a' + 10
                   : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                          : -1;
        };
        if (value[i] == '%' && hex(i + 1) >= 0 && hex(i + 2) >= 0) {
            out.push_back(static_cast<char>(hex(i + 1) * 16 + hex(i + 2)));
            i += 2;
        } else {
            out.push_back(value[i]);
        }
    }
    return out;
}

}  // namespace

Connection::~Connection() {
    if (FFd >= 0) ::close(FFd);
}

bool Connection::connectTo(const std::string& address, Clock::time_point deadline, std::string& why) {
    if (address.rfind("unix:", 0) != 0) {
        why = "cannot use bus address " + address;
        return false;
    }
    std::string path;
    bool abstract = false;
    std::size_t start = 5;
    while (start <= address.size()) {
        const std::size_t end = std::min(address.find(',', start), address.size());
        const std::string pair = address.substr(start, end - start);
        if (pair.rfind("path=", 0) == 0) {
            path = unescape(pair.substr(5));
        } else if (pair.rfind("abstract=", 0) == 0) {
            path = unescape(pair.substr(9));
            abstract = true;
        }
        start = end + 1;
    }
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    if (path.empty() || path.size() + 1 > sizeof where.sun_path) {
        why = "cannot use bus address " + address;
        return false;
    }
    std::memcpy(where.sun_path + (abstract ? 1 : 0), path.data(), path.size());
    // A path counts its terminating zero; an abstract name its leading one.
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    FFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (FFd < 0) {
        why = std::string("no socket: ") + std::strerror(errno);
        return false;
    }
    if (::connect(FFd, reinterpret_cast<const sockaddr*>(&where), length) != 0) {
        int error = errno;
        if (error == EINPROGRESS || error == EAGAIN) {
            pollfd p{FFd, POLLOUT, 0};
            socklen_t size = sizeof error;
            error = ::poll(&p, 1, millisecondsLeft(deadline)) <= 0 ? ETIMEDOUT : 0;
            if (error == 0 && ::getsockopt(FFd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
        }
        if (error != 0) {
            FTimedOut = error == ETIMEDOUT;
            why = "cannot connect to " + path + ": " + std::strerror(error);
            ::close(FFd);
            FFd = -1;
            return false;
        }
    }
    return true;
}

bool Connection::open(const std::string& addresses, Clock::time_point deadline, std::string& why) {
    std::size_t start = 0;
    bool connected = false;
    while (!connected && start <= addresses.size()) {
        const std::size_t end = std::min(addresses.find(';', start), addresses.size());
        if (end > start) connected = connectTo(addresses.substr(start, end - start), deadline, why);
        start = end + 1;
    }
    if (!connected) return false;

    // Authenticate as who we are; the bus knows it from the socket anyway.
    std::string uid = std::to_string(::geteuid()), hex;
    static const char digits[] = "0123456789abcdef";
    for (char c : uid) {
        hex.push_back(digits[static_cast<unsigned char>(c) >> 4]);
        hex.push_back(digits[c & 15]);
    }
    if (!sendAll(std::string(1, '\0') + "AUTH EXTERNAL " + hex + "\r\n", deadline, why)) return false;
    std::string line;
    if (!readLine(line, deadline, why)) return false;
    if (line.rfind("OK ", 0) != 0) {
        why = "the bus did not accept us (" + line + ")";
        return false;
    }
    if (!sendAll("BEGIN\r\n", deadline, why)) return false;
    const Reply hello =
        call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "Hello", {}, deadline);
    if (!hello.ok) {
        why = hello.error;
        return false;
    }
    return true;
}

Reply Connection::call(const std::string& destination, const std::string& path, const std::string& interface,
                       const std::string& member, const std::vector<Arg>& args, Clock::time_point deadline) {
    Reply reply;
    if (FFd < 0) {
        reply.error = "not connected";
        return reply;
    }
    Writer body;
    std::string signature;
    for (const Arg& a : args) {
        signature.push_back(a.type);
        if (a.type == 's')
            body.str(a.text);
        else if (a.type == 'u')
            body.u32(static_cast<std::uint32_t>(a.number));
        else
            body.u64(a.number);
    }
    const std::uint32_t serial = ++FSerial;
    Writer m;
    m.u8('l');
    m.u8(kMethodCall);
    m.u8(0);
    m.u8(1);
    m.u32(static_cast<std::uint32_t>(body.b.size()));
    m.u32(serial);
    m.u32(0);  // length of the header fields, filled in below
    const std::size_t fieldsStart = m.b.size();
    m.field(kPath, "o", path);
    m.field(kInterface, "s", interface);
    m.field(kMember, "s", member);
    m.field(kDestination, "s", destination);
    if (!signature.empty()) m.field(kSignature, "g", signature);
    const auto fieldsLength = static_cast<std::uint32_t>(m.b.size() - fieldsStart);
    for (int i = 0; i < 4; ++i) m.b[12 + i] = static_cast<char>(fieldsLength >> (8 * i));
    m.align(8);
    if (!sendAll(m.b + body.b, deadline, reply.error)) return reply;

    // Skip whatever else comes (signals, the bus's greetings) until our answer.
    for (;;) {
        std::string fixed;
        if (!receive(16, fixed, deadline, reply.error)) return reply;
        const bool big = fixed[0] == 'B';
        Reader head{fixed, 4, big};
        const auto bodyLength = static_cast<std::size_t>(head.uint(4));
        head.uint(4);
        const auto fieldsLen = static_cast<std::size_t>(head.uint(4));
        if ((fixed[0] != 'l' && !big) || bodyLength > kMaxMessage || fieldsLen > kMaxMessage) {
            reply.error = "the bus sent something that is not a D-Bus message";
            ::close(FFd);
            FFd = -1;
            return reply;
        }
        const std::size_t headerLength = (16 + fieldsLen + 7) / 8 * 8;
        std::string rest;
        if (!receive(headerLength + bodyLength - 16, rest, deadline, reply.error)) return reply;
        const std::string message = fixed + rest;
        const auto type = static_cast<std::uint8_t>(message[1]);

        Reader r{message, 16, big};
        std::uint32_t replySerial = 0;
        std::string errorName, bodySignature;
        while (r.ok && r.pos < 16 + fieldsLen) {
            r.align(8);
            const auto code = static_cast<std::uint8_t>(r.uint(1));
            const std::string fieldType = r.sig();
            std::string text;
            std::uint64_t number = 0;
            if (fieldType == "s" || fieldType == "o")
                text = r.str();
            else if (fieldType == "g")
                text = r.sig();
            else if (fieldType == "u")
                number = r.uint(4);
            else
                r.ok = false;
            if (code == kReplySerial) replySerial = static_cast<std::uint32_t>(number);
            if (code == kErrorName) errorName = text;
            if (code == kSignature) bodySignature = text;
        }
        if (!r.ok) {
            reply.error = "the bus sent a message we cannot read";
            return reply;
        }
        if ((type != kMethodReturn && type != kError) || replySerial != serial) continue;

        Reader b{message, headerLength, big};
        if (type == kError) {
            const std::string text = bodySignature.rfind("s", 0) == 0 ? b.str() : std::string();
            reply.error = b.ok && !text.empty() ? text : errorName;
            return reply;
        }
        reply.ok = true;
        if (!bodySignature.empty()) {
            char inner = bodySignature[0];
            if (inner == 'v') {
                const std::string variant = b.sig();
                inner = variant.size() == 1 ? variant[0] : '\0';
            }
            const auto value = b.integer(inner);
            if (b.ok) reply.number = value;
        }
        return reply;
    }
}

bool Connection::sendAll(const std::string& data, Clock::time_point deadline, std::string& why) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(FFd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd p{FFd, POLLOUT, 0};
            const int left = millisecondsLeft(deadline);
            if (left == 0 || ::poll(&p, 1, left) == 0) {
                FTimedOut = true;
                why = "timed out";
                return false;
            }
        } else if (errno != EINTR) {
            why = std::string("the bus went away: ") + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool Connection::fill(Clock::time_point deadline, std::string& why) {
    for (;;) {
        char buffer[4096];
        const ssize_t n = ::recv(FFd, buffer, sizeof buffer, 0);
        if (n > 0) {
            FPending.append(buffer, static_cast<std::size_t>(n));
            return true;
        }
        if (n == 0) {
            why = "the bus closed the connection";
            return false;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            why = std::string("the bus went away: ") + std::strerror(errno);
            return false;
        }
        pollfd p{FFd, POLLIN, 0};
        const int left = millisecondsLeft(deadline);
        if (left == 0 || ::poll(&p, 1, left) == 0) {
            FTimedOut = true;
            why = "timed out";
            return false;
        }
    }
}

bool Connection::receive(std::size_t size, std::string& into, Clock::time_point deadline, std::string& why) {
    while (FPending.size() < size)
        if (!fill(deadline, why)) return false;
    into = FPending.substr(0, size);
    FPending.erase(0, size);
    return true;
}

bool Connection::readLine(std::string& line, Clock::time_point deadline, std::string& why) {
    for (;;) {
        const std::size_t end = FPending.find("\r\n");
        if (end != std::string::npos) {
            line = FPending.substr(0, end);
            FPending.erase(0, end + 2);
            return true;
        }
        if (FPending.size() > 4096) {
            why = "the bus said something we cannot read";
            return false;
        }
        if (!fill(deadline, why)) return false;
    }
}

}  // namespace dbus_lite
