#pragma once

// The private-profile functions over an initialisation file of [sections]
// and key=value lines. Section and key names match without regard to case;
// a missing file, section or key reads as absent. Every write replaces the
// file atomically, so a crash never leaves half a file.

#include "platform/base/wintypes.h"

#include <QString>

// Longest value text a read returns.
inline constexpr int MAX_PROFILE_VALUE = 2047;

// The value of key in section, or defaultValue when absent or when the file
// cannot be read. Values longer than MAX_PROFILE_VALUE are cut there.
QString GetPrivateProfileString(const QString& section, const QString& key, const QString& defaultValue,
                                const QString& fileName);

// Writes one key: creates the file, the section and the key as needed and
// replaces an existing value in place, keeping every other line as it was.
// New sections and keys go after the existing ones. FALSE when the write is
// refused (folder missing or read-only, names or value that the file format
// cannot hold); the file is then unchanged.
BOOL WritePrivateProfileString(const QString& section, const QString& key, const QString& value,
                               const QString& fileName);

// Integer text as the settings file reads it: optional sign and decimal
// digits; "0x"/"0X" followed by hex digits when the text is longer than two
// characters; "$" followed by hex digits. False for anything else.
bool ProfileStrToInt(const QString& text, int& value);

// The integer value of key, or defaultValue when absent or not a number.
int GetPrivateProfileInt(const QString& section, const QString& key, int defaultValue,
                         const QString& fileName);
