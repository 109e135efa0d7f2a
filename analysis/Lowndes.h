#pragma once

// Lowndes files, the form striking analysis tools read and write: a header
// of comment lines "#. Key: value" (version 2), then one blow per line,
// "H 1 0x01F4": stroke, bell, and the time in milliseconds modulo 0x10000.
// Writers differ in small ways: the tenth bell is "0" (as receivers and
// place notation have it) or the letter "O", the hex prefix "0x" or "0X",
// lines end in LF or CRLF. We read all of these and write "0" and "0x".

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <utility>
#include <vector>

inline constexpr int kLowndesMaxBells = 16;

struct TLowndesBlow {
    bool Handstroke = true;
    int Bell = 0;         // 1 to 16
    std::int64_t Ms = 0;  // as written, wrap-around undone (the first blow keeps its own)
    int Line = 0;         // where it stood in the file, from 1
};

struct TLowndesFile {
    // The header's keys and values in file order ("Lowndes", "Creator"...).
    std::vector<std::pair<QString, QString>> Header;
    // Other comment lines, without their '#'.
    QStringList Comments;
    std::vector<TLowndesBlow> Blows;

    // The value of a header key (case ignored), or Default.
    QString Value(const QString& Key, const QString& Default = QString()) const;
    // "Lowndes: Version 2" gives 2; a file without it 1.
    int Version() const;
    // NumBellsRinging when given, else the number of different bells struck.
    int BellsRinging() const;
    // FirstBlowMs: the true time of the first blow, of which the blow lines
    // keep only the low 16 bits. 0 when not given.
    std::int64_t FirstBlowMs() const;
};

// "1"-"9", "0", "E", "T", "A"-"D" for bells 1 to 16; Ten is the character
// written for the tenth. '?' for no bell.
char LowndesBellChar(int Bell, char Ten = '0');
// The bell a character names ("0" and "O" both the tenth), 0 for none.
int LowndesBellNumber(char C);

// One blow line, exactly ten characters: "H 1 0x01F4" (Ms wraps at 0x10000).
QByteArray LowndesBlowLine(bool Handstroke, int Bell, std::int64_t Ms, char Ten = '0');
// One header line "#. Key: value" (line breaks in Value become spaces).
QByteArray LowndesHeaderLine(const QString& Key, const QString& Value);
// A whole file: the header (a "Lowndes: Version 2" line first unless
// given), then the blows, each line ending in LF.
QByteArray LowndesText(const TLowndesFile& File, char Ten = '0');

// Reads Text. A time smaller than the one before by more than a few
// seconds has wrapped past 0xFFFF; a smaller step is two blows written out
// of order and is kept as it is. On a line that is neither a comment nor a
// blow, returns false with Error naming the line ("line 7: ...").
bool ReadLowndes(const QByteArray& Text, TLowndesFile& File, QString* Error);
// Reads a file by name; Error names the file's problem (not the file).
bool ReadLowndesFile(const QString& Path, TLowndesFile& File, QString* Error);
