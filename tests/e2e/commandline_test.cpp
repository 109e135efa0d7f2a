// quorvel16's command line as a shell user meets it: --version and --help
// print on standard output and end with 0 without any display; any other
// argument is ignored and the window comes up as before.

#include "tests/support/XDesktop.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#ifndef QUORVEL16
#error "QUORVEL16 must name the program under test"
#endif

namespace {

constexpr auto kGenerous = std::chrono::seconds(90);

std::string ReadText(const std::string& Path) {
    std::ifstream f(Path);
    std::stringstream text;
    text << f.rdbuf();
    return text.str();
}

class CommandLine : public ::testing::Test {
protected:
    std::string Path(const std::string& Name) const {
        return Root.filePath(QString::fromStdString(Name)).toStdString();
    }

    // No display of any kind, and Qt told to use X: a program that reached
    // for a window would fail.
    std::vector<std::string> Headless() const {
        return EnvironmentWith({{"DISPLAY", ""},
                                {"WAYLAND_DISPLAY", ""},
                                {"QT_QPA_PLATFORM", "xcb"},
                                {"XDG_CONFIG_HOME", Path("config")}});
    }

    // The program with Args: its exit code and standard output; its
    // standard error goes to Errors.
    ToolResult Run(const std::vector<std::string>& Args) {
        std::vector<std::string> argv = {"sh", "-c", "exec \"$@\" 2>\"$0\"", Path("stderr"), QUORVEL16};
        argv.insert(argv.end(), Args.begin(), Args.end());
        ToolResult r = RunTool(argv, Headless(), Path("stdout"));
        Errors = ReadText(Path("stderr"));
        return r;
    }

    // The program never got as far as its settings folder.
    bool NeverStarted() const { return !QDir(QString::fromStdString(Path("config/QUORVEL"))).exists(); }

    QTemporaryDir Root;
    std::string Errors;
};

TEST_F(CommandLine, VersionPrintsAndEndsWithoutADisplay) {
    const ToolResult r = Run({"--version"});
    EXPECT_EQ(r.Code, 0) << Errors;
    EXPECT_EQ(r.Output, "Quorvel 16 " QUORVEL_VERSION "\n");
    EXPECT_EQ(Errors, "");
    EXPECT_TRUE(NeverStarted());
}

TEST_F(CommandLine, HelpPrintsAndEndsWithoutADisplay) {
    const ToolResult r = Run({"--help"});
    EXPECT_EQ(r.Code, 0) << Errors;
    EXPECT_EQ(r.Output.rfind("Usage: quorvel16 ", 0), 0u) << r.Output;
    EXPECT_NE(r.Output.find("--version"), std::string::npos) << r.Output;
    EXPECT_NE(r.Output.find("\n  --help "), std::string::npos) << r.Output;
    EXPECT_EQ(Errors, "");
    EXPECT_TRUE(NeverStarted());
}

TEST_F(CommandLine, OtherArgumentsBesideVersionAreIgnored) {
    const ToolResult r = Run({"--no-such-option", "bell.wav", "--version"});
    EXPECT_EQ(r.Code, 0) << Errors;
    EXPECT_EQ(r.Output, "Quorvel 16 " QUORVEL_VERSION "\n");
    EXPECT_TRUE(NeverStarted());
}

// Help that could not be written is a failure, as with any command.
TEST_F(CommandLine, HelpThatCannotBeWrittenFails) {
    const ToolResult r = RunTool({"sh", "-c", "exec \"$@\" >/dev/full", "sh", QUORVEL16, "--help"},
                                 Headless(), Path("stderr"));
    EXPECT_EQ(r.Code, 1) << r.Output;
}

// Any other argument starts the program as before: on an X server of the
// test's own, its window (or, on a machine without serial ports, the
// warning that comes first) appears, and the window closes when asked.
TEST_F(CommandLine, AnyOtherArgumentStartsTheWindow) {
    for (const char* d : {"config/QUORVEL", "home", "runtime"})
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(Path(d))));
    ::chmod(Path("runtime").c_str(), 0700);
    QFile settings(QString::fromStdString(Path("config/QUORVEL/settings.ini")));
    ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
    settings.write("[AUDIO]\nOutput=null\n");
    settings.close();

    VirtualDisplay display;
    ASSERT_TRUE(display.Start(Path("xvfb.log"))) << ReadText(Path("xvfb.log"));
    XClient x;
    ASSERT_TRUE(x.Connect(display.Name()));
    std::vector<std::pair<std::string, std::string>> env =
        SanitizerOptionsOnX(QUORVEL_SOURCE_DIR "/scripts/lsan.supp");
    env.insert(env.end(), {{"DISPLAY", display.Name()},
                           {"QT_QPA_PLATFORM", "xcb"},
                           {"XDG_CONFIG_HOME", Path("config")},
                           {"HOME", Path("home")},
                           {"XDG_RUNTIME_DIR", Path("runtime")},
                           {"XAUTHORITY", ""},
                           {"WAYLAND_DISPLAY", ""},
                           {"DBUS_SESSION_BUS_ADDRESS", ""},
                           {"SESSION_MANAGER", ""}});
    ChildProcess app;
    ASSERT_TRUE(app.Start({QUORVEL16, "--no-such-option", "bell.wav", "-x"}, EnvironmentWith(env),
                          Path("quorvel16.log")));

    std::optional<XClient::Window> main, warning;
    ASSERT_TRUE(XClient::Await(
        [&] {
            main = x.Find("Quorvel 16 v");
            warning = x.Find("Warning");
            return main || warning || !app.Running();
        },
        kGenerous, std::chrono::milliseconds(20)))
        << "no window appeared";
    ASSERT_TRUE(app.Running()) << ReadText(Path("quorvel16.log"));
    if (!main) return;  // the warning box is up: started as before
    EXPECT_EQ(main->Name.rfind("Quorvel 16 v" QUORVEL_VERSION, 0), 0u) << main->Name;
    x.AskToClose(main->Id);
    const std::optional<int> status = app.WaitExit(kGenerous);
    ASSERT_TRUE(status) << "the window did not close";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << ReadText(Path("quorvel16.log"));
}

}  // namespace
