#pragma once

// The program's start: the application object, its title and style, the
// main window, and the message loop until the window closes.

// The program entry: --help and --version print and return 0; an option or
// argument the program does not take prints the usage to standard error and
// returns 2, before anything is created. Qt's own options are passed on.
int RunProgram(int& argc, char** argv);

// The program's own pictures and style sheets; safe to call more than once.
void InitProgramResources();
// Registers the built-in visual style "Sky".
void RegisterSkyStyle();
// The wave file dialog (described, drawn and played before it is chosen)
// for choosing a bell's sound.
void InstallWaveFileChooser();

inline constexpr const char* kProductTitle = "Quorvel 16";
// The project's version (CMakeLists.txt), also the package's.
extern const char kProductVersion[];
