#pragma once

// WAV fixtures made by sox at test time, and sox as the reference decoder.
// The small RIFF reader here is for tests only: it trusts sox's output.

#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <cstring>
#include <vector>

namespace sox {

inline bool Available() {
    return !QStandardPaths::findExecutable("sox").isEmpty();
}

// Runs sox with args; returns its standard output, fails the test on error.
inline QByteArray Run(const QStringList& args) {
    const ChildResult r = RunChild("sox", args, 60000);
    if (!r.ok()) {
        ADD_FAILURE() << "sox " << args.join(' ').toStdString() << ": " << r.error.toStdString() << " "
                      << r.err.toStdString();
        return {};
    }
    return r.out;
}

// The file decoded by sox to signed 16-bit native samples, without dither.
inline std::vector<std::int16_t> DecodeTo16(const QString& file) {
    const QByteArray raw = Run({"-D", file, "-t", "raw", "-e", "signed", "-b", "16", "-L", "-"});
    std::vector<std::int16_t> out(static_cast<size_t>(raw.size()) / 2);
    std::memcpy(out.data(), raw.constData(), out.size() * 2);
    return out;
}

struct WavFile {
    QByteArray fmt;   // the whole fmt chunk body
    QByteArray data;  // the data chunk body
};

// fmt and data chunks of a well-formed file.
inline WavFile ReadWav(const QString& file) {
    QFile f(file);
    WavFile w;
    if (!f.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "cannot open " << file.toStdString();
        return w;
    }
    const QByteArray all = f.readAll();
    qsizetype pos = 12;
    while (pos + 8 <= all.size()) {
        const QByteArray id = all.mid(pos, 4);
        std::uint32_t size;
        std::memcpy(&size, all.constData() + pos + 4, 4);
        const QByteArray body = all.mid(pos + 8, size);
        if (id == "fmt ") w.fmt = body;
        if (id == "data") w.data = body;
        pos += 8 + size + (size & 1);
    }
    return w;
}

}  // namespace sox
