#pragma once

// Running the real program on a private X server (link xcb): child
// processes that die with the test, an Xvfb on a display number it picks
// itself, and an X client that finds windows, reads their pixels and asks
// them to close the way a window manager's close button does.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// The environment of this process with some variables replaced or removed
// (an empty value removes the variable).
inline std::vector<std::string> EnvironmentWith(
    const std::vector<std::pair<std::string, std::string>>& Changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('='));
        bool changed = false;
        for (const auto& [k, v] : Changes) changed |= k == key;
        if (!changed) env.push_back(entry);
    }
    for (const auto& [k, v] : Changes)
        if (!v.empty()) env.push_back(k + "=" + v);
    return env;
}

// The sanitizer options a program on X needs, from this process's own:
// libxkbcommon-x11 duplicates a counted, unterminated name from an X reply
// with strndup, which strict string checks take for an overflow; and the
// system libraries loaded on X (D-Bus among them) leak what is not ours to
// report (LSan suppressions from SuppressionsFile unless some are given).
inline std::vector<std::pair<std::string, std::string>> SanitizerOptionsOnX(
    const std::string& SuppressionsFile) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string asanOptions =
        std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "intercept_strndup=0";
    const char* lsan = std::getenv("LSAN_OPTIONS");
    std::string lsanOptions = lsan ? lsan : "";
    if (lsanOptions.find("suppressions=") == std::string::npos)
        lsanOptions += std::string(lsanOptions.empty() ? "" : ":") + "suppressions=" + SuppressionsFile;
    return {{"ASAN_OPTIONS", asanOptions}, {"LSAN_OPTIONS", lsanOptions}};
}

#ifdef QUORVEL_SOURCE_DIR  // the tests' support library defines it; benchmarks go without
// A program of its own on an X display: its folders under Root (config,
// home, cache, data, state, runtime) and nothing of the machine's desktop
// session (X authority, Wayland, D-Bus, session manager) leaking in, with
// the sanitizer options it needs on X.
inline std::vector<std::pair<std::string, std::string>> SandboxSession(const std::string& Root,
                                                                       const std::string& Display) {
    std::string root = Root;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    std::vector<std::pair<std::string, std::string>> env =
        SanitizerOptionsOnX(QUORVEL_SOURCE_DIR "/scripts/lsan.supp");
    env.insert(env.end(), {{"DISPLAY", Display},
                           {"QT_QPA_PLATFORM", Display.empty() ? "" : "xcb"},
                           {"XDG_CONFIG_HOME", root + "/config"},
                           {"HOME", root + "/home"},
                           {"XDG_CACHE_HOME", root + "/cache"},
                           {"XDG_DATA_HOME", root + "/data"},
                           {"XDG_STATE_HOME", root + "/state"},
                           {"XDG_RUNTIME_DIR", root + "/runtime"},
                           {"XAUTHORITY", ""},
                           {"WAYLAND_DISPLAY", ""},
                           {"DBUS_SESSION_BUS_ADDRESS", ""},
                           {"SESSION_MANAGER", ""}});
    return env;
}
#endif

// A child process that is killed when this object goes, and also when the
// process that started it dies (a test killed by its time limit leaves
// nothing behind).
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { Kill(); }

    // Output goes to OutputPath (appended) when given, else to /dev/null;
    // KeepFd stays open in the child under the same number.
    bool Start(const std::vector<std::string>& Argv, const std::vector<std::string>& Env,
               const std::string& OutputPath = {}, int KeepFd = -1) {
        std::vector<char*> argv, envp;
        for (const std::string& a : Argv) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const std::string& e : Env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        const int out = ::open(OutputPath.empty() ? "/dev/null" : OutputPath.c_str(),
                               O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (out < 0 || in < 0) return false;
        const pid_t parent = ::getpid();
        FPid = ::fork();
        if (FPid == 0) {
            // Only async-signal-safe calls until exec.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(127);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(out, 2);
            if (KeepFd >= 0) ::fcntl(KeepFd, F_SETFD, 0);
            ::execvpe(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(out);
        ::close(in);
        return FPid > 0;
    }

    pid_t Pid() const { return FPid; }

    bool Running() {
        Reap(false);
        return FPid > 0 && !FStatus;
    }

    // The wait status once the process has ended, or nothing when the
    // limit passes first.
    std::optional<int> WaitExit(std::chrono::milliseconds Limit) {
        const auto until = std::chrono::steady_clock::now() + Limit;
        while (FPid > 0 && !FStatus) {
            Reap(false);
            if (FStatus || std::chrono::steady_clock::now() > until) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return FStatus;
    }

    void Kill() {
        if (FPid <= 0 || FStatus) return;
        ::kill(FPid, SIGKILL);
        Reap(true);
    }

    // Asks the process to end, and kills it when it has not within Grace.
    void Stop(std::chrono::milliseconds Grace = std::chrono::seconds(5)) {
        if (FPid <= 0 || FStatus) return;
        ::kill(FPid, SIGTERM);
        WaitExit(Grace);
        Kill();
    }

private:
    void Reap(bool Block) {
        if (FPid <= 0 || FStatus) return;
        int status = 0;
        pid_t r;
        do r = ::waitpid(FPid, &status, Block ? 0 : WNOHANG);
        while (r < 0 && errno == EINTR);
        if (r == FPid) FStatus = status;
    }

    pid_t FPid = -1;
    std::optional<int> FStatus;
};

// Runs a short command to its end: its exit code (-1 when it could not run
// or did not end within the limit) and what it wrote.
struct ToolResult {
    int Code = -1;
    std::string Output;
};
inline ToolResult RunTool(const std::vector<std::string>& Argv, const std::vector<std::string>& Env,
                          const std::string& ScratchPath,
                          std::chrono::milliseconds Limit = std::chrono::seconds(30)) {
    ToolResult result;
    ::unlink(ScratchPath.c_str());
    ChildProcess tool;
    if (!tool.Start(Argv, Env, ScratchPath)) return result;
    const std::optional<int> status = tool.WaitExit(Limit);
    if (status && WIFEXITED(*status)) result.Code = WEXITSTATUS(*status);
    std::ifstream f(ScratchPath);
    std::stringstream text;
    text << f.rdbuf();
    result.Output = text.str();
    return result;
}

// An X server of the test's own: Xvfb picks a free display number and tells
// it through a pipe, so two tests never fight over one.
class VirtualDisplay {
public:
    // LogPath receives the server's messages.
    bool Start(const std::string& LogPath, const std::string& Screen = "1280x800x24") {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return false;
        const bool started = FServer.Start({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                            Screen, "-nolisten", "tcp", "-noreset"},
                                           EnvironmentWith({}), LogPath, fds[1]);
        ::close(fds[1]);
        std::string number;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (started && std::chrono::steady_clock::now() < until) {
            pollfd p{fds[0], POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char c;
            if (::read(fds[0], &c, 1) != 1) break;  // the server ended
            if (c == '\n') break;
            number += c;
        }
        ::close(fds[0]);
        if (number.empty()) return false;
        FName = ":" + number;
        return true;
    }

    // ":N"
    const std::string& Name() const { return FName; }
    bool Running() { return FServer.Running(); }
    // Ended politely, the server removes its socket and lock file.
    void Stop() { FServer.Stop(); }

private:
    ChildProcess FServer;
    std::string FName;
};

inline std::uint8_t Red(std::uint32_t Rgb) {
    return static_cast<std::uint8_t>(Rgb >> 16);
}
inline std::uint8_t Green(std::uint32_t Rgb) {
    return static_cast<std::uint8_t>(Rgb >> 8);
}
inline std::uint8_t Blue(std::uint32_t Rgb) {
    return static_cast<std::uint8_t>(Rgb);
}
inline constexpr std::uint32_t Rgb(int R, int G, int B) {
    return static_cast<std::uint32_t>(R << 16 | G << 8 | B);
}

// One connection to an X server, for looking at top-level windows.
class XClient {
public:
    struct Window {
        xcb_window_t Id = 0;
        std::string Name;
        bool Viewable = false;
    };
    struct Rect {
        int X = 0, Y = 0, Width = 0, Height = 0;
    };

    XClient() = default;
    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;
    ~XClient() {
        if (FConnection) xcb_disconnect(FConnection);
    }

    bool Connect(const std::string& Display) {
        FConnection = xcb_connect(Display.c_str(), nullptr);
        if (xcb_connection_has_error(FConnection)) return false;
        FRoot = xcb_setup_roots_iterator(xcb_get_setup(FConnection)).data->root;
        FUtf8 = Atom("UTF8_STRING");
        FNetName = Atom("_NET_WM_NAME");
        FProtocols = Atom("WM_PROTOCOLS");
        FDelete = Atom("WM_DELETE_WINDOW");
        return true;
    }

    xcb_connection_t* Connection() const { return FConnection; }
    xcb_window_t Root() const { return FRoot; }

    xcb_atom_t Atom(const char* Name) {
        xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(
            FConnection, xcb_intern_atom(FConnection, 0, std::strlen(Name), Name), nullptr);
        const xcb_atom_t atom = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(r);
        return atom;
    }

    // The window's title: _NET_WM_NAME, else WM_NAME.
    std::string Title(xcb_window_t W) {
        std::string name = Property(W, FNetName, FUtf8);
        return name.empty() ? Property(W, XCB_ATOM_WM_NAME, XCB_ATOM_STRING) : name;
    }

    bool Viewable(xcb_window_t W) {
        xcb_get_window_attributes_reply_t* a =
            xcb_get_window_attributes_reply(FConnection, xcb_get_window_attributes(FConnection, W), nullptr);
        const bool viewable = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(a);
        return viewable;
    }

    // The children of the root window (without a window manager: every
    // top-level window).
    std::vector<Window> TopLevels() {
        std::vector<Window> windows;
        xcb_query_tree_reply_t* tree =
            xcb_query_tree_reply(FConnection, xcb_query_tree(FConnection, FRoot), nullptr);
        if (!tree) return windows;
        const xcb_window_t* children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i)
            windows.push_back({children[i], Title(children[i]), Viewable(children[i])});
        std::free(tree);
        return windows;
    }

    // The first viewable top-level window whose title starts with Prefix.
    std::optional<Window> Find(const std::string& Prefix) {
        for (const Window& w : TopLevels())
            if (w.Viewable && w.Name.rfind(Prefix, 0) == 0) return w;
        return std::nullopt;
    }

    // Waits (polling) until Condition holds; false when the limit passes.
    static bool Await(const std::function<bool()>& Condition, std::chrono::milliseconds Limit,
                      std::chrono::microseconds Step = std::chrono::milliseconds(2)) {
        const auto until = std::chrono::steady_clock::now() + Limit;
        while (!Condition()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(Step);
        }
        return true;
    }

    // Position on the screen and size.
    std::optional<Rect> Geometry(xcb_window_t W) {
        xcb_get_geometry_reply_t* g =
            xcb_get_geometry_reply(FConnection, xcb_get_geometry(FConnection, W), nullptr);
        if (!g) return std::nullopt;
        Rect r{0, 0, g->width, g->height};
        std::free(g);
        xcb_translate_coordinates_reply_t* t = xcb_translate_coordinates_reply(
            FConnection, xcb_translate_coordinates(FConnection, W, FRoot, 0, 0), nullptr);
        if (!t) return std::nullopt;
        r.X = t->dst_x;
        r.Y = t->dst_y;
        std::free(t);
        return r;
    }

    // The colour shown at a point of a window, 0xRRGGBB.
    std::optional<std::uint32_t> Pixel(xcb_window_t W, int X, int Y) {
        std::vector<std::uint32_t> image;
        if (!Grab(W, {X, Y, 1, 1}, image)) return std::nullopt;
        return image[0];
    }

    // A part of a window as 0xRRGGBB pixels, row by row (24- and 32-bit
    // true-colour screens, as Xvfb gives).
    bool Grab(xcb_window_t W, const Rect& Area, std::vector<std::uint32_t>& Pixels) {
        xcb_get_image_reply_t* r = xcb_get_image_reply(
            FConnection,
            xcb_get_image(FConnection, XCB_IMAGE_FORMAT_Z_PIXMAP, W, static_cast<int16_t>(Area.X),
                          static_cast<int16_t>(Area.Y), static_cast<uint16_t>(Area.Width),
                          static_cast<uint16_t>(Area.Height), ~0u),
            nullptr);
        if (!r) return false;
        const int length = xcb_get_image_data_length(r);
        const std::uint8_t* data = xcb_get_image_data(r);
        const bool ok = r->depth >= 24 && length >= Area.Width * Area.Height * 4;
        if (ok) {
            // 32 bits per pixel, least significant byte first: blue, green, red.
            const int stride = length / Area.Height;
            Pixels.resize(static_cast<std::size_t>(Area.Width * Area.Height));
            for (int y = 0; y < Area.Height; ++y)
                for (int x = 0; x < Area.Width; ++x) {
                    const std::uint8_t* p = data + y * stride + x * 4;
                    Pixels[static_cast<std::size_t>(y * Area.Width + x)] = Rgb(p[2], p[1], p[0]);
                }
        }
        std::free(r);
        return ok;
    }

    // What a window manager sends when the frame's close button is clicked:
    // the window decides for itself whether it closes.
    void AskToClose(xcb_window_t W) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = W;
        event.type = FProtocols;
        event.data.data32[0] = FDelete;
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(FConnection, 0, W, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
        // A round trip: the server has passed the request on before this
        // returns, so what the test makes happen next (a click through
        // another connection) reaches the window after it.
        std::free(xcb_get_input_focus_reply(FConnection, xcb_get_input_focus(FConnection), nullptr));
    }

    // Reports of windows mapped on the screen from now on (WaitForMap).
    void WatchMaps() {
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(FConnection, FRoot, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(FConnection);
    }

    // Waits for the map report of a top-level window whose title starts with
    // Prefix; returns the window and the steady-clock time the report was
    // read. Other mapped windows go to Others, when given.
    std::optional<std::pair<xcb_window_t, std::chrono::steady_clock::time_point>> WaitForMap(
        const std::string& Prefix, std::chrono::milliseconds Limit,
        const std::function<void(xcb_window_t, const std::string&)>& Others = {}) {
        const auto until = std::chrono::steady_clock::now() + Limit;
        const int fd = xcb_get_file_descriptor(FConnection);
        for (;;) {
            while (xcb_generic_event_t* e = xcb_poll_for_event(FConnection)) {
                const auto when = std::chrono::steady_clock::now();
                std::optional<xcb_window_t> mapped;
                if ((e->response_type & 0x7f) == XCB_MAP_NOTIFY)
                    mapped = reinterpret_cast<xcb_map_notify_event_t*>(e)->window;
                std::free(e);
                if (!mapped) continue;
                const std::string title = Title(*mapped);
                if (title.rfind(Prefix, 0) == 0) return std::make_pair(*mapped, when);
                if (Others) Others(*mapped, title);
            }
            if (xcb_connection_has_error(FConnection)) return std::nullopt;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
        }
    }

private:
    std::string Property(xcb_window_t W, xcb_atom_t Name, xcb_atom_t Type) {
        xcb_get_property_reply_t* r = xcb_get_property_reply(
            FConnection, xcb_get_property(FConnection, 0, W, Name, Type, 0, 1024), nullptr);
        std::string value;
        if (r && r->format == 8)
            value.assign(static_cast<const char*>(xcb_get_property_value(r)),
                         static_cast<std::size_t>(xcb_get_property_value_length(r)));
        std::free(r);
        return value;
    }

    xcb_connection_t* FConnection = nullptr;
    xcb_window_t FRoot = 0;
    xcb_atom_t FUtf8 = 0, FNetName = 0, FProtocols = 0, FDelete = 0;
};
