// Where the real quorvel16 opens under a window manager (openbox on an Xvfb
// of the test's own): the place it was closed at, start after start, and a
// place stored far off the screen brought back onto it. The window manager's
// frame is what makes a saved corner differ from a restored one.

#include "tests/support/XDesktop.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <map>
#include <memory>

#ifndef QUORVEL16
#error "QUORVEL16 must name the program under test"
#endif

namespace {

constexpr auto kGenerous = std::chrono::seconds(90);
const std::string kTitle = "Quorvel 16";

class WindowPlace : public ::testing::Test {
protected:
    void SetUp() override {
        if (RunTool({"sh", "-c", "command -v openbox"}, EnvironmentWith({}), Path("which.out")).Code != 0)
            FAIL() << "openbox is not installed (scripts/install-deps installs it)";
        ASSERT_TRUE(Dir.isValid());
        for (const char* sub : {"config/QUORVEL", "home", "runtime"})
            QDir().mkpath(QString::fromStdString(Path(sub)));
        QFile::setPermissions(QString::fromStdString(Path("runtime")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        ASSERT_TRUE(Display.Start(Path("xvfb.log"))) << ReadText(Path("xvfb.log"));
        ASSERT_TRUE(X.Connect(Display.Name()));
        std::vector<std::pair<std::string, std::string>> env = SandboxSession(Path(""), Display.Name());
        env.push_back({"QT_SCALE_FACTOR", ""});
        Env = EnvironmentWith(env);
        ASSERT_TRUE(Wm.Start({"openbox"}, Env, Path("openbox.log")));
        const xcb_atom_t check = X.Atom("_NET_SUPPORTING_WM_CHECK");
        ASSERT_TRUE(XClient::Await([&] { return RootHas(check); }, kGenerous, std::chrono::milliseconds(20)))
            << "openbox did not start: " << ReadText(Path("openbox.log"));
    }

    std::string Path(const std::string& Name) const {
        return Dir.filePath(QString::fromStdString(Name)).toStdString();
    }

    static std::string ReadText(const std::string& File) {
        QFile f(QString::fromStdString(File));
        return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
    }

    void WriteSettings(const std::string& Position) {
        QFile f(QString::fromStdString(Path("config/QUORVEL/settings.ini")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        const std::string text = "[AUDIO]\nOutput=null\n[Position]\n" + Position;
        f.write(text.data(), qint64(text.size()));
    }

    std::map<std::string, int> StoredPosition() {
        std::map<std::string, int> values;
        bool inside = false;
        for (const QString& line :
             QString::fromStdString(ReadText(Path("config/QUORVEL/settings.ini"))).split('\n')) {
            if (line.startsWith('['))
                inside = line.trimmed() == "[Position]";
            else if (inside && line.contains('='))
                values[line.section('=', 0, 0).toStdString()] = line.section('=', 1).toInt();
        }
        return values;
    }

    bool RootHas(xcb_atom_t Atom) {
        xcb_get_property_reply_t* r = xcb_get_property_reply(
            X.Connection(), xcb_get_property(X.Connection(), 0, X.Root(), Atom, XCB_ATOM_WINDOW, 0, 1),
            nullptr);
        const bool has = r && xcb_get_property_value_length(r) > 0;
        std::free(r);
        return has;
    }

    // The program's own window: under a window manager it sits inside a frame.
    std::optional<xcb_window_t> FindClient(xcb_window_t Parent, int Depth = 0) {
        xcb_query_tree_reply_t* tree =
            xcb_query_tree_reply(X.Connection(), xcb_query_tree(X.Connection(), Parent), nullptr);
        if (!tree) return std::nullopt;
        std::vector<xcb_window_t> children(
            xcb_query_tree_children(tree),
            xcb_query_tree_children(tree) + xcb_query_tree_children_length(tree));
        std::free(tree);
        for (xcb_window_t w : children) {
            if (X.Viewable(w) && X.Title(w).rfind(kTitle, 0) == 0) return w;
            if (Depth < 3)
                if (auto found = FindClient(w, Depth + 1)) return found;
        }
        return std::nullopt;
    }

    // Starts the program, answers a warning box if one comes, and returns
    // where its window's client area lies once the window manager has placed it.
    XClient::Rect RunOnce() {
        // A process of its own each time.
        App = std::make_unique<ChildProcess>();
        EXPECT_TRUE(App->Start({QUORVEL16}, Env, Path("quorvel16.log")));
        std::optional<xcb_window_t> client;
        EXPECT_TRUE(XClient::Await(
            [&] {
                if (auto box = X.Find("Warning"))
                    RunTool({"xdotool", "key", "--window", std::to_string(box->Id), "Return"}, Env,
                            Path("tool.out"));
                client = FindClient(X.Root());
                return client.has_value() || !App->Running();
            },
            kGenerous, std::chrono::milliseconds(20)))
            << ReadText(Path("quorvel16.log"));
        if (!client) {
            ADD_FAILURE() << "the program ended before its window showed: "
                          << ReadText(Path("quorvel16.log"));
            return {};
        }
        // Placed, and settled: the same place twice in a row.
        std::optional<XClient::Rect> last;
        XClient::Await(
            [&] {
                auto now = X.Geometry(*client);
                const bool settled = now && last && now->X == last->X && now->Y == last->Y &&
                                     now->Width == last->Width && now->Height == last->Height;
                last = now;
                return settled;
            },
            kGenerous, std::chrono::milliseconds(200));
        X.AskToClose(*client);
        const std::optional<int> status = App->WaitExit(kGenerous);
        EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
            << ReadText(Path("quorvel16.log"));
        return last.value_or(XClient::Rect{});
    }

    QTemporaryDir Dir;
    VirtualDisplay Display;
    XClient X;
    ChildProcess Wm;
    std::unique_ptr<ChildProcess> App;
    std::vector<std::string> Env;
};

TEST_F(WindowPlace, OpensWhereItWasClosedStartAfterStart) {
    WriteSettings("Left=300\nTop=200\nWidth=760\nHeight=250\n");
    for (int start = 1; start <= 3; ++start) {
        const XClient::Rect shown = RunOnce();
        if (HasFailure()) return;
        EXPECT_EQ(shown.X, 300) << "start " << start;
        EXPECT_EQ(shown.Y, 200) << "start " << start;
        EXPECT_EQ(shown.Width, 760) << "start " << start;
        EXPECT_EQ(shown.Height, 250) << "start " << start;
        auto stored = StoredPosition();
        EXPECT_EQ(stored["Left"], 300) << "start " << start;
        EXPECT_EQ(stored["Top"], 200) << "start " << start;
    }
}

TEST_F(WindowPlace, FarOffTheScreenComesBackWhole) {
    // The test's screen is 1280x800.
    for (const char* position :
         {"Left=-5000\nTop=99999\nWidth=737\nHeight=233\n", "Left=1200\nTop=-300\nWidth=737\nHeight=233\n"}) {
        WriteSettings(position);
        const XClient::Rect shown = RunOnce();
        if (HasFailure()) return;
        EXPECT_GE(shown.X, 0) << position;
        EXPECT_GE(shown.Y, 0) << position;
        EXPECT_LE(shown.X + shown.Width, 1280) << position;
        EXPECT_LE(shown.Y + shown.Height, 800) << position;
        EXPECT_EQ(shown.Width, 737);
        EXPECT_EQ(shown.Height, 233);
    }
}

}  // namespace
