#pragma once

// The names the settings file keeps a bell's things under, shared by every
// part of the window that reads or writes them.

#include <QString>

// "BELL1" .. "BELL16", the key of a bell in each of its sections.
inline QString BellKey(int Bell) {
    return QStringLiteral("BELL%1").arg(Bell);
}

inline const QString kSoundFilesSection = QStringLiteral("SOUNDFILES");

// The longest delay a bell may have, handstroke or backstroke, in ms.
inline constexpr int kMaxDelayMs = 50000;
