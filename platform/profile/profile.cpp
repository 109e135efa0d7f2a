#include "platform/profile/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <mutex>
#include <optional>

namespace {

// A file larger than this is not a settings file; it is neither read nor
// rewritten, so nothing in it is lost.
constexpr qint64 MaxFileSize = 16 * 1024 * 1024;

// Writers in this process take turns, so that no update is lost between the
// read and the replacement of the file.
std::mutex gWriteLock;

// The file as its lines, each with its own line end ("\n", "\r\n", or none
// for a last line without one), so that untouched lines are written back
// byte for byte, whatever they hold.
using TLines = QList<QByteArray>;

enum class TReadResult { Ok, Missing, Failed };

TReadResult ReadLines(const QString& fileName, TLines& lines) {
    lines.clear();
    QFile file(fileName);
    if (!file.exists()) return TReadResult::Missing;
    if (!file.open(QIODevice::ReadOnly)) return TReadResult::Failed;
    if (file.size() > MaxFileSize) return TReadResult::Failed;
    const QByteArray data = file.read(MaxFileSize + 1);
    if (data.size() > MaxFileSize || file.error() != QFileDevice::NoError) return TReadResult::Failed;
    qsizetype start = 0;
    while (start < data.size()) {
        qsizetype end = data.indexOf('\n', start);
        end = end < 0 ? data.size() : end + 1;
        lines.append(data.mid(start, end - start));
        start = end;
    }
    return TReadResult::Ok;
}

QByteArray Content(const QByteArray& line) {
    QByteArray text = line;
    while (text.endsWith('\n') || text.endsWith('\r')) text.chop(1);
    return text;
}

QString Decode(const QByteArray& bytes) {
    return QString::fromUtf8(bytes).trimmed();
}

std::optional<QString> SectionName(const QByteArray& line) {
    const QByteArray text = Content(line).trimmed();
    if (!text.startsWith('[')) return std::nullopt;
    const qsizetype close = text.indexOf(']');
    if (close < 0) return std::nullopt;
    return Decode(text.mid(1, close - 1));
}

// key=value; comment lines and lines without "=" hold no key.
bool SplitKey(const QByteArray& line, QString& key, QByteArray& value) {
    const QByteArray text = Content(line);
    const QByteArray trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(';') || trimmed.startsWith('[')) return false;
    const qsizetype equals = text.indexOf('=');
    if (equals < 0) return false;
    key = Decode(text.left(equals));
    value = text.mid(equals + 1).trimmed();
    return !key.isEmpty();
}

bool SameName(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

struct TPlace {
    qsizetype Section = -1;     // line of the section header
    qsizetype SectionEnd = -1;  // first line after the section
    qsizetype Key = -1;         // line of the key
    QByteArray Value;
};

// The first section of that name and the first key of that name in it.
TPlace Find(const TLines& lines, const QString& section, const QString& key) {
    TPlace place;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (std::optional<QString> name = SectionName(lines[i])) {
            if (place.Section >= 0) {
                place.SectionEnd = i;
                return place;
            }
            if (SameName(*name, section)) place.Section = i;
            continue;
        }
        if (place.Section < 0 || place.Key >= 0) continue;
        QString lineKey;
        QByteArray value;
        if (SplitKey(lines[i], lineKey, value) && SameName(lineKey, key)) {
            place.Key = i;
            place.Value = value;
        }
    }
    if (place.Section >= 0) place.SectionEnd = lines.size();
    return place;
}

bool IsNameAcceptable(const QString& name) {
    for (QChar c : name)
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar(0)) return false;
    return !name.isEmpty();
}

bool WriteAll(int fd, const QByteArray& data) {
    const char* p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, p, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += written;
        left -= written;
    }
    return true;
}

// The new contents go to a temporary file in the same folder, reach the disk,
// and then take the old file's place in one rename: a reader, a crash or a
// power cut finds either the old or the new complete file.
bool ReplaceFile(const QString& fileName, const QByteArray& data) {
    QFileInfo info(fileName);
    const QString target = info.isSymLink() ? info.symLinkTarget() : info.absoluteFilePath();
    const QFileInfo targetInfo(target);
    const QByteArray targetPath = QFile::encodeName(target);
    QByteArray tempPath =
        QFile::encodeName(targetInfo.absolutePath() + QLatin1String("/.") + targetInfo.fileName()) +
        ".XXXXXX";

    const int fd = ::mkostemp(tempPath.data(), O_CLOEXEC);
    if (fd < 0) return false;
    struct stat old {};
    const mode_t mode = ::stat(targetPath.constData(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, data) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = ::rename(tempPath.constData(), targetPath.constData()) == 0;
    if (!ok) {
        ::unlink(tempPath.constData());
        return false;
    }
    // Make the rename itself durable.
    const int dir =
        ::open(QFile::encodeName(targetInfo.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace

QString GetPrivateProfileString(const QString& section, const QString& key, const QString& defaultValue,
                                const QString& fileName) {
    TLines lines;
    if (ReadLines(fileName, lines) != TReadResult::Ok) return defaultValue;
    const TPlace place = Find(lines, section.trimmed(), key.trimmed());
    if (place.Key < 0) return defaultValue;
    QString value = QString::fromUtf8(place.Value);
    if (value.size() > MAX_PROFILE_VALUE) {
        value.truncate(MAX_PROFILE_VALUE);
        if (value.back().isHighSurrogate()) value.chop(1);
    }
    return value;
}

BOOL WritePrivateProfileString(const QString& section, const QString& key, const QString& value,
                               const QString& fileName) {
    const QString sectionName = section.trimmed();
    const QString keyName = key.trimmed();
    // What the file format cannot hold is refused rather than written in a
    // way that would read back as other sections or keys.
    if (!IsNameAcceptable(sectionName) || sectionName.contains(QLatin1Char(']'))) return FALSE;
    if (!IsNameAcceptable(keyName) || keyName.contains(QLatin1Char('=')) ||
        keyName.startsWith(QLatin1Char('[')) || keyName.startsWith(QLatin1Char(';')))
        return FALSE;
    if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r')) || value.contains(QChar(0)))
        return FALSE;
    if (fileName.isEmpty()) return FALSE;

    std::lock_guard lock(gWriteLock);
    TLines lines;
    if (ReadLines(fileName, lines) == TReadResult::Failed) return FALSE;

    const QByteArray lineEnd = !lines.isEmpty() && lines.first().endsWith("\r\n") ? "\r\n" : "\n";
    auto terminateLast = [&] {
        if (!lines.isEmpty() && !lines.last().endsWith('\n')) lines.last().append(lineEnd);
    };
    const QByteArray valueBytes = value.toUtf8();
    const TPlace place = Find(lines, sectionName, keyName);
    if (place.Key >= 0) {
        // In place: the key keeps its spelling and the line its line end.
        QByteArray& line = lines[place.Key];
        const QByteArray ending = line.endsWith("\r\n") ? "\r\n" : line.endsWith('\n') ? "\n" : "";
        line = line.left(line.indexOf('=') + 1) + valueBytes + ending;
    } else if (place.Section >= 0) {
        // After the last line of the section that is not blank.
        qsizetype at = place.SectionEnd;
        while (at - 1 > place.Section && Content(lines[at - 1]).trimmed().isEmpty()) --at;
        if (at == lines.size()) terminateLast();
        lines.insert(at, keyName.toUtf8() + '=' + valueBytes + lineEnd);
    } else {
        terminateLast();
        lines.append('[' + sectionName.toUtf8() + ']' + lineEnd);
        lines.append(keyName.toUtf8() + '=' + valueBytes + lineEnd);
    }
    return ReplaceFile(fileName, lines.join()) ? TRUE : FALSE;
}

bool ProfileStrToInt(const QString& text, int& value) {
    const QString t = text.trimmed();
    bool ok = false;
    qulonglong hex = 0;
    if (t.size() > 2 && (t.startsWith(QLatin1String("0x")) || t.startsWith(QLatin1String("0X"))))
        hex = t.mid(2).toULongLong(&ok, 16);
    else if (t.startsWith(QLatin1Char('$')))
        hex = t.mid(1).toULongLong(&ok, 16);
    else {
        // Decimal; toInt would also take surrounding blanks, checked above.
        const int decimal = t.toInt(&ok, 10);
        if (ok) value = decimal;
        return ok;
    }
    // Hex digits only (no sign) and at most 32 bits, taken as two's complement.
    if (!ok || hex > 0xFFFFFFFFull || t.contains(QLatin1Char('+')) || t.contains(QLatin1Char('-')))
        return false;
    value = static_cast<int>(static_cast<quint32>(hex));
    return true;
}

int GetPrivateProfileInt(const QString& section, const QString& key, int defaultValue,
                         const QString& fileName) {
    int value = 0;
    return ProfileStrToInt(GetPrivateProfileString(section, key, QString(), fileName), value) ? value
                                                                                              : defaultValue;
}
