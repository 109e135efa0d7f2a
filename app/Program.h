#pragma once

// The program's start: the application object, its title and style, the
// main window, and the message loop until the window closes.

// The program entry (no arguments are read).
int RunProgram(int& argc, char** argv);

// The program's own pictures and style sheets; safe to call more than once.
void InitProgramResources();
// Registers the built-in visual style "Sky".
void RegisterSkyStyle();
// The wave file dialog (described, drawn and played before it is chosen)
// for choosing a bell's sound.
void InstallWaveFileChooser();

inline constexpr const char* kProductTitle = "Quorvel 16";
