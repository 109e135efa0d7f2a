#include "app/Program.h"

#include "app/MainForm.h"
#include "chooser/MMWaveOpenDialog.h"
#include "platform/gui/Application.h"
#include "platform/gui/Styles.h"
#include "platform/waveout/waveout.h"

#include <QIcon>
#include <cstdio>

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
    TGuiApplication app(argc, argv);
    // A top-level window is on the task bar by itself; the desktop entry's
    // name lets the task bar show it with the program's icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("quorvel16"));
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
