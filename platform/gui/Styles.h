#pragma once

#include <QString>
#include <QStringList>

// Named visual styles: style sheets registered under a name and selected by
// name without regard to case.
class TStyleManager {
public:
    // Registers (or replaces) a style sheet under name.
    static void RegisterStyle(const QString& name, const QString& styleSheet);
    // Registers the style sheet stored in a file or Qt resource; false when it
    // cannot be read.
    static bool RegisterStyleFromFile(const QString& name, const QString& fileName);
    // Applies the named style to the application; false (and nothing changes)
    // when no style has that name.
    static bool TrySetStyle(const QString& name);
    // The name of the applied style as registered; empty for the platform look.
    static QString ActiveStyleName();
    static QStringList StyleNames();
};
