#pragma once

// A ring from a folder: which of its WAV files goes to which bell.
// - A file whose name (without ".wav", any case) ends in a number is that
//   bell's: "1.wav", "bell01.wav", "Bell 12.WAV" (1 to 16; others unused).
// - A name ending in "treble" is bell 1.
// - A name ending in "tenor" is the ring's tenor: one above the highest
//   bell the other files name (bell 1 when none does; unused above 16).
// - Where two files name one bell, the first by name is taken.
// Files that are not WAV files are not looked at.

#include <QString>
#include <QStringList>
#include <array>

struct TRingMatch {
    std::array<QString, 17> Files;  // by bell, 1 to 16: the file's name, empty for none
    QStringList Unused;             // WAV files no bell takes
    int Count() const;
};

// Matches the names of a folder's files (names only, no folder).
TRingMatch MatchRing(QStringList Names);
// The WAV files of Folder, matched.
TRingMatch MatchRingFolder(const QString& Folder);
// The match as the ringer sees it before it is taken: "bell 1 <- treble.wav" lines.
QString RingMatchText(const TRingMatch& Match);
