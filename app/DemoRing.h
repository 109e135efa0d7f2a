#pragma once

// The demo ring installed with the program: sixteen bells, bell01.wav
// (treble) to bell16.wav (tenor).

#include <QString>

// The demo ring's folder: share/quorvel16/bells beside an installed
// program's bin folder, or resources/bells in the build tree the program
// was built in. ProgramFolder is the folder of the program (empty: the
// running program's own). Empty when neither holds the ring.
QString DemoRingFolder(const QString& ProgramFolder = QString());

// Bell n's file in the demo ring's Folder.
QString DemoRingFile(const QString& Folder, int Bell);
