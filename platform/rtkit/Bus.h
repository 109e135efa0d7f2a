#pragma once

// Just enough of a D-Bus client to ask one service a few questions: method
// calls with string and integer arguments, replies read as integers or
// errors. Every step, from connecting on, ends by one deadline, so a bus
// that hangs costs no more than the caller allowed.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dbus_lite {

using Clock = std::chrono::steady_clock;

// One argument of a call: a string ('s'), a uint32 ('u') or a uint64 ('t').
struct Arg {
    char type;
    std::string text;
    std::uint64_t number = 0;
    static Arg String(std::string s) { return {'s', std::move(s), 0}; }
    static Arg Uint32(std::uint32_t v) { return {'u', {}, v}; }
    static Arg Uint64(std::uint64_t v) { return {'t', {}, v}; }
};

struct Reply {
    bool ok = false;                     // a method return (else an error or no reply)
    std::string error;                   // the error's message, or name, or what went wrong
    std::optional<std::int64_t> number;  // the first argument, when it is an integer (in a variant or not)
};

class Connection {
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects to the first address of `addresses` (";"-separated, unix:path=
    // or unix:abstract=) that takes us, authenticates and says hello. False
    // with `why` set.
    bool open(const std::string& addresses, Clock::time_point deadline, std::string& why);

    Reply call(const std::string& destination, const std::string& path, const std::string& interface,
               const std::string& member, const std::vector<Arg>& args, Clock::time_point deadline);

    // Whether the last failure was the deadline passing.
    bool timedOut() const { return FTimedOut; }

private:
    bool sendAll(const std::string& data, Clock::time_point deadline, std::string& why);
    bool fill(Clock::time_point deadline, std::string& why);
    bool receive(std::size_t size, std::string& into, Clock::time_point deadline, std::string& why);
    bool readLine(std::string& line, Clock::time_point deadline, std::string& why);

    bool connectTo(const std::string& address, Clock::time_point deadline, std::string& why);

    int FFd = -1;
    bool FTimedOut = false;
    std::uint32_t FSerial = 0;
    std::string FPending;  // read but not yet used
};

}  // namespace dbus_lite
