#include "app/Program.h"

#include "app/MainForm.h"
#include "chooser/MMWaveOpenDialog.h"
#include "platform/gui/Application.h"
#include "platform/gui/Styles.h"
#include "platform/waveout/waveout.h"

#include <QIcon>
#include <cstdio>
#include <string_view>

const char kProductVersion[] = QUORVEL_VERSION;

namespace {

constexpr const char* kUsage =
    "Usage: quorvel16 [--help | --version]\n"
    "\n"
    "A bell console for church towers: each stroke from the tower's receiver\n"
    "on a serial port sounds its bell's recording after the bell's delay.\n"
    "On the main window the keys 1-9, 0, E, T, A-D strike bells 1 to 16.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "Settings are kept in ~/.config/QUORVEL/settings.ini.\n";

// --help and --version answer before anything needs a display; every other
// argument is left alone. Returns the exit code, or -1 to start the window.
int AnswerCommandLine(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--version")
            std::printf("%s %s\n", kProductTitle, kProductVersion);
        else if (arg == "--help")
            std::fputs(kUsage, stdout);
        else
            continue;
        // A help text lost to a full disk or closed pipe is a failure.
        if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
        std::perror("quorvel16: standard output");
        return 1;
    }
    return -1;
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
