#include "tests/support/RiffFixtures.h"

#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>
#include <QFile>
#include <QtEndian>

namespace RiffFixtures {
namespace {

bool Run(const QString& program, const QStringList& args, QByteArray* out) {
    const ChildResult r = RunChild(program, args, 120000);
    if (!r.started) {
        ADD_FAILURE() << program.toStdString() << " is missing: install the sox package";
        return false;
    }
    if (!r.finished) {
        ADD_FAILURE() << program.toStdString() << " did not finish";
        return false;
    }
    if (!r.ok()) {
        ADD_FAILURE() << program.toStdString() << " " << args.join(' ').toStdString()
                      << " failed: " << r.err.toStdString();
        return false;
    }
    if (out) *out = r.out;
    return true;
}

}  // namespace

bool MakeTone(const QString& path, int rate, int bits, int channels, double seconds,
              const QStringList& extra) {
    QStringList args{
        "-n", "-r", QString::number(rate), "-b", QString::number(bits), "-c", QString::number(channels)};
    args << extra << path << "synth" << QString::number(seconds) << "sine"
         << "440";
    return Run("sox", args, nullptr);
}

QByteArray RawData(const QString& path) {
    QByteArray out;
    Run("sox", {path, "-t", "raw", "-"}, &out);
    return out;
}

qint64 Samples(const QString& path) {
    QByteArray out;
    if (!Run("soxi", {"-s", path}, &out)) return -1;
    bool ok = false;
    const qint64 n = out.trimmed().toLongLong(&ok);
    return ok ? n : -1;
}

int Bits(const QString& path) {
    QByteArray out;
    if (!Run("soxi", {"-b", path}, &out)) return -1;
    bool ok = false;
    const int n = out.trimmed().toInt(&ok);
    return ok ? n : -1;
}

bool Append(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::Append) && file.write(bytes) == bytes.size();
}

QByteArray Chunk(const char* id, const QByteArray& payload) {
    QByteArray chunk(id, 4);
    char size[4];
    qToLittleEndian<quint32>(static_cast<quint32>(payload.size()), size);
    chunk.append(size, 4);
    chunk.append(payload);
    if (payload.size() & 1) chunk.append('\0');
    return chunk;
}

QByteArray InfoList(const QList<QPair<QByteArray, QByteArray>>& texts) {
    QByteArray body("INFO");
    for (const auto& [id, text] : texts) body += Chunk(id.constData(), text + '\0');
    return Chunk("LIST", body);
}

bool FixRiffSize(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) return false;
    char size[4];
    qToLittleEndian<quint32>(static_cast<quint32>(file.size() - 8), size);
    return file.seek(4) && file.write(size, 4) == 4;
}

}  // namespace RiffFixtures
