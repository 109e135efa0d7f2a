// quorvel16's command line as a shell user meets it: --version and --help
// (-h) print on standard output and end with 0 without any display; an
// option or argument it does not take prints the usage on standard error
// and fails, creating nothing; Qt's own options still reach Qt.

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

class Help : public CommandLine, public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(Help, PrintsAndEndsWithoutADisplay) {
    const ToolResult r = Run(GetParam());
    EXPECT_EQ(r.Code, 0) << Errors;
    EXPECT_EQ(r.Output.rfind("Usage: quorvel16 ", 0), 0u) << r.Output;
    EXPECT_NE(r.Output.find("--version"), std::string::npos) << r.Output;
    EXPECT_NE(r.Output.find("\n  -h, --help "), std::string::npos) << r.Output;
    EXPECT_NE(r.Output.find("-platform"), std::string::npos) << "Qt's options are mentioned";
    EXPECT_EQ(Errors, "");
    EXPECT_TRUE(NeverStarted());
}

INSTANTIATE_TEST_SUITE_P(Spellings, Help,
                         ::testing::Values(std::vector<std::string>{"--help"}, std::vector<std::string>{"-h"},
                                           std::vector<std::string>{"-platform", "xcb", "-h"},
                                           std::vector<std::string>{"-style=fusion", "--help"}));

class Refused : public CommandLine, public ::testing::WithParamInterface<std::vector<std::string>> {};

// What the program does not take fails with the usage on standard error,
// before a display is needed or the settings folder is made.
TEST_P(Refused, PrintsTheUsageToStandardErrorAndFails) {
    const ToolResult r = Run(GetParam());
    EXPECT_EQ(r.Code, 2) << Errors;
    EXPECT_EQ(r.Output, "");
    EXPECT_EQ(Errors.rfind("quorvel16: ", 0), 0u) << Errors;
    EXPECT_NE(Errors.find("Usage: quorvel16 "), std::string::npos) << Errors;
    EXPECT_TRUE(NeverStarted());
}

INSTANTIATE_TEST_SUITE_P(Arguments, Refused,
                         ::testing::Values(std::vector<std::string>{"--no-such-option"},
                                           std::vector<std::string>{"-x"},
                                           std::vector<std::string>{"bell.wav"},
                                           std::vector<std::string>{"--no-such-option", "--version"},
                                           std::vector<std::string>{"--help", "-x"}));

// Help that could not be written is a failure, as with any command.
TEST_F(CommandLine, HelpThatCannotBeWrittenFails) {
    const ToolResult r = RunTool({"sh", "-c", "exec \"$@\" >/dev/full", "sh", QUORVEL16, "--help"},
                                 Headless(), Path("stderr"));
    EXPECT_EQ(r.Code, 1) << r.Output;
}

// Qt's own options reach Qt: the display named by -display (none in the
// environment), with -style and -reverse, shows the window (or, on a machine
// without serial ports, the warning that comes first), which closes when
// asked.
TEST_F(CommandLine, QtsOwnOptionsStartTheWindow) {
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
    // The display goes on the command line, not in the environment.
    const std::vector<std::pair<std::string, std::string>> env = SandboxSession(Path(""), "");
    ChildProcess app;
    ASSERT_TRUE(
        app.Start({QUORVEL16, "-platform", "xcb", "-display", display.Name(), "-style=fusion", "-reverse"},
                  EnvironmentWith(env), Path("quorvel16.log")));

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
