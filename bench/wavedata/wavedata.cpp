// Figures for the wave data layer: describing files of growing size, reading
// through the wave object against plain reads, and the PCM converter.

#include "wavedata/MMPCMSup.h"
#include "wavedata/MMWave.h"
#include "wavedata/RiffWave.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A 44.1 kHz 16-bit stereo wave of about the given size, written in blocks.
bool WriteWave(const QString& path, qint64 bytes) {
    const quint32 data = quint32(bytes - 44) & ~3u;
    unsigned char header[44] = {'R', 'I', 'F', 'F', 0,  0, 0,   0,   'W', 'A', 'V', 'E', 'f', 'm', 't',
                                ' ', 16,  0,   0,   0,  1, 0,   2,   0,   0,   0,   0,   0,   0,   0,
                                0,   0,   4,   0,   16, 0, 'd', 'a', 't', 'a', 0,   0,   0,   0};
    qToLittleEndian<quint32>(data + 36, header + 4);
    qToLittleEndian<quint32>(44100, header + 24);
    qToLittleEndian<quint32>(44100 * 4, header + 28);
    qToLittleEndian<quint32>(data, header + 40);
    FILE* f = std::fopen(path.toLocal8Bit().constData(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(header, 1, 44, f) == 44;
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 31);
    for (quint32 done = 0; ok && done < data;) {
        const size_t n = std::min<size_t>(block.size(), data - done);
        ok = std::fwrite(block.data(), 1, n, f) == n;
        done += quint32(n);
    }
    return std::fclose(f) == 0 && ok;
}

void Describe(const QString& dir) {
    std::printf("(a) describing a WAV file (headers only), microseconds per call, best of 5 runs\n");
    const int sizes[] = {1, 10, 100};
    // All files first, so that writing back one does not disturb timing another.
    for (int mb : sizes)
        if (!WriteWave(dir + QStringLiteral("/d%1.wav").arg(mb), qint64(mb) << 20))
            std::printf("    cannot write %d MB file\n", mb);
    for (int mb : sizes) {
        const QString path = dir + QStringLiteral("/d%1.wav").arg(mb);
        const int rounds = 200;
        double best = 1e9;
        int failures = 0;
        for (int run = 0; run < 5; ++run) {
            const auto start = Clock::now();
            for (int i = 0; i < rounds; ++i) {
                PWAVEIOCB cb = nullptr;
                if (wioReadFileInfo(cb, path, mmioFourCC('W', 'A', 'V', 'E'), wioFlagFile) != wioErrNone)
                    ++failures;
                if (cb) wioFreeFileInfo(cb);
            }
            best = std::min(best, Seconds(start) * 1e6 / rounds);
        }
        std::printf("    %4d MB: %8.1f us%s\n", mb, best, failures ? "  (FAILED)" : "");
    }
}

void Read(const QString& path) {
    std::printf("(b) reading a 100 MB file in 2048-byte buffers, MB/s\n");
    std::vector<char> buffer(2048);
    double waveRate = 0, plainRate = 0;
    qint64 waveBytes = 0, plainBytes = 0;
    for (int round = 0; round < 2; ++round) {  // the first round warms the page cache
        {
            TMMWave wave;
            wave.SetFileName(path);
            wave.OpenFile();
            const auto start = Clock::now();
            waveBytes = 0;
            for (LONG n; (n = wave.ReadDataBytes(buffer.data(), 2048)) > 0;) waveBytes += n;
            waveRate = waveBytes / Seconds(start) / 1e6;
        }
        {
            const int fd = ::open(path.toLocal8Bit().constData(), O_RDONLY);
            const auto start = Clock::now();
            plainBytes = 0;
            for (ssize_t n; fd >= 0 && (n = ::read(fd, buffer.data(), 2048)) > 0;) plainBytes += n;
            plainRate = plainBytes / Seconds(start) / 1e6;
            if (fd >= 0) ::close(fd);
        }
    }
    std::printf("    TMMWave.ReadDataBytes: %8.1f MB/s (%lld bytes)\n", waveRate, (long long)waveBytes);
    std::printf("    plain read():          %8.1f MB/s (%lld bytes)\n", plainRate, (long long)plainBytes);
}

void Convert() {
    std::printf("(c) PCMCONVERT, MB/s of output\n");
    struct Case {
        const char* name;
        WORD srcBits, srcCh;
        DWORD srcRate;
        WORD dstBits, dstCh;
        DWORD dstRate;
    };
    const Case cases[] = {{"22050 8-bit mono -> 44100 16-bit stereo", 8, 1, 22050, 16, 2, 44100},
                          {"44100 -> 48000 16-bit stereo", 16, 2, 44100, 16, 2, 48000}};
    for (const Case& c : cases) {
        WAVEFORMATEX src{}, dst{};
        pcmBuildWaveHeader(&src, c.srcBits, c.srcCh, c.srcRate);
        pcmBuildWaveHeader(&dst, c.dstBits, c.dstCh, c.dstRate);
        const LONG srcBytes = LONG(src.nAvgBytesPerSec);  // one second per call
        std::vector<char> in(static_cast<size_t>(srcBytes));
        for (size_t i = 0; i < in.size(); ++i) in[i] = char(i * 7);
        std::vector<char> out(size_t(PCMCONVERTSIZEOUTPUTDATA(&dst, &src, srcBytes)));
        double produced = 0;
        const auto start = Clock::now();
        while (Seconds(start) < 1.5) produced += PCMCONVERT(&dst, out.data(), &src, in.data(), srcBytes);
        std::printf("    %-42s %8.1f MB/s\n", c.name, produced / Seconds(start) / 1e6);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::printf("no temporary folder\n");
        return 1;
    }
    Describe(dir.path());
    Read(dir.path() + QStringLiteral("/d100.wav"));
    Convert();
    return 0;
}
