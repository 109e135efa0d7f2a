#pragma once

// Qt values in test failure messages as text rather than raw bytes.

#include <QByteArray>
#include <QRect>
#include <QString>
#include <ostream>

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

inline void PrintTo(const QByteArray& b, std::ostream* os) {
    *os << '"' << b.toStdString() << '"';
}

inline std::ostream& operator<<(std::ostream& os, const QRect& r) {
    return os << r.width() << 'x' << r.height() << (r.x() < 0 ? "" : "+") << r.x() << (r.y() < 0 ? "" : "+")
              << r.y();
}
