#include "app/Program.h"

#include "app/MainForm.h"
#include "chooser/MMWaveOpenDialog.h"
#include "platform/gui/Application.h"
#include "platform/gui/Styles.h"
#include "platform/waveout/waveout.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QIcon>
#include <QStringList>
#include <cstdio>

const char kProductVersion[] = QUORVEL_VERSION;

namespace {

constexpr const char* kUsage =
    "Usage: quorvel16 [--help | --version] [Qt options]\n"
    "\n"
    "A bell console for church towers: each stroke from the tower's receiver\n"
    "on a serial port sounds its bell's recording after the bell's delay.\n"
    "On the main window the keys 1-9, 0, E, T, A-D strike bells 1 to 16.\n"
    "\n"
    "  -h, --help  print this help and exit\n"
    "  --version   print the version and exit\n"
    "\n"
    "Qt's own options are taken as well, such as -platform NAME,\n"
    "-display DISPLAY, -style NAME, -stylesheet FILE, -reverse.\n"
    "\n"
    "Settings are kept in ~/.config/QUORVEL/settings.ini.\n";

// The options Qt's application object takes itself: accepted here, left to it.
constexpr const char* kQtOptionsWithValue[] = {"platform",
                                               "platformpluginpath",
                                               "platformtheme",
                                               "plugin",
                                               "qwindowgeometry",
                                               "qwindowicon",
                                               "qwindowtitle",
                                               "qmljsdebugger",
                                               "display",
                                               "geometry",
                                               "name",
                                               "title",
                                               "visual",
                                               "style",
                                               "stylesheet",
                                               "session",
                                               "ncols",
                                               "cmap"};
constexpr const char* kQtFlags[] = {"reverse", "nograb", "dograb", "sync", "widgetcount", "testability"};

bool Written(std::FILE* Stream, const char* What) {
    // A text lost to a full disk or closed pipe is a failure.
    if (std::fflush(Stream) == 0 && !std::ferror(Stream)) return true;
    std::perror(What);
    return false;
}

// --help, --version and arguments the program does not take are answered
// before anything needs a display or touches the settings folder. Returns
// the exit code, or -1 to start the window.
int AnswerCommandLine(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    // Qt's options are words after one dash (-platform), and so are ours.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOption(help);
    parser.addOption(version);
    for (const char* name : kQtOptionsWithValue)
        parser.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
    for (const char* name : kQtFlags) parser.addOption(QCommandLineOption(QString::fromLatin1(name)));

    QString error;
    if (!parser.parse(arguments))
        error = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        error = QStringLiteral("unexpected argument '%1'.").arg(parser.positionalArguments().first());
    if (!error.isEmpty()) {
        std::fprintf(stderr, "quorvel16: %s\n\n%s", error.toLocal8Bit().constData(), kUsage);
        Written(stderr, "quorvel16: standard error");
        return 2;
    }
    if (parser.isSet(help))
        std::fputs(kUsage, stdout);
    else if (parser.isSet(version))
        std::printf("%s %s\n", kProductTitle, kProductVersion);
    else
        return -1;
    return Written(stdout, "quorvel16: standard output") ? 0 : 1;
}

}  // namespace

void InitProgramResources() {
    Q_INIT_RESOURCE(app);  // the resources live in a static library
}

void RegisterSkyStyle() {
    InitProgramResources();
    TStyleManager::RegisterStyleFromFile(QStringLiteral("Sky"), QStringLiteral(":/quorvel/sky.qss"));
}

void InstallWaveFileChooser() {
    InstallWaveOpenDialog();
}

int RunProgram(int& argc, char** argv) {
    if (const int answered = AnswerCommandLine(argc, argv); answered >= 0) return answered;
    TGuiApplication app(argc, argv);
    // A top-level window is on the task bar by itself; the desktop entry's
    // name (packaging/) lets the task bar show it with the program's icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(QUORVEL_APP_ID));
    Application.SetTitle(QString::fromLatin1(kProductTitle));
    RegisterSkyStyle();
    TStyleManager::TrySetStyle(QStringLiteral("sky"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/quorvel/logo.png")));
    InstallWaveFileChooser();
    // The output starts with the first bell; say then how it runs.
    waveOutSetLogger([](const std::string& line) { std::fprintf(stderr, "quorvel16: %s\n", line.c_str()); });

    TfMainform form;
    form.show();
    return Application.Run();
}
