#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Reference WAV files made and measured by sox at test time. Every helper
// fails the running test with a clear message when sox is missing or fails.
namespace RiffFixtures {

// Writes a sine tone of the given layout to path; extra arguments go before
// the output name (e.g. "-e", "signed-integer").
bool MakeTone(const QString& path, int rate, int bits, int channels, double seconds,
              const QStringList& extra = {});
// The sample bytes of a file as sox decodes them, in the file's own encoding.
QByteArray RawData(const QString& path);
// soxi -s: the number of sample frames; -1 on failure.
qint64 Samples(const QString& path);
// soxi -b: bits per sample; -1 on failure.
int Bits(const QString& path);

// Appends bytes to a file.
bool Append(const QString& path, const QByteArray& bytes);
// A RIFF chunk: id, little-endian size, payload and a pad byte when odd.
QByteArray Chunk(const char* id, const QByteArray& payload);
// A "LIST"/"INFO" chunk of (id, text) pairs, texts zero-terminated.
QByteArray InfoList(const QList<QPair<QByteArray, QByteArray>>& texts);
// Rewrites the "RIFF" size so that it covers the whole file.
bool FixRiffSize(const QString& path);

}  // namespace RiffFixtures
