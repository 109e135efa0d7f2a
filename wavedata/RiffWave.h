#pragma once

// The RIFF WAVE file layer under the wave object: describes a file (format,
// where the samples lie, how many, its INFO and DISP metadata) without
// reading the samples, opens it for streaming, positions, reads and writes
// sample data and finalises the chunk sizes. Works on disk files, memory
// images and Qt resources (":/WAVE/<name>"). Every operation reports through
// an integer result code; none raises except on memory exhaustion.

#include "platform/base/wintypes.h"
#include "platform/mmio/mmio.h"
#include "wavedata/RiffMeta.h"

#include <QByteArray>
#include <QString>
#include <memory>

// Result codes (the Riff codes 2, 3 and 4 pass through unchanged).
inline constexpr int wioErrNone = 0;
inline constexpr int wioErrGeneric = 101;   // no format chunk, copy failed, not open, bad buffer size
inline constexpr int wioErrBadParam = 104;  // missing block, format or name
inline constexpr int wioErrFile = 106;      // open, seek, read, chunk or write failure
inline constexpr int wioErrNoMem = 107;

// Open-mode flags.
inline constexpr DWORD wioFlagFile = 1;
inline constexpr DWORD wioFlagResource = 2;
inline constexpr DWORD wioFlagMemory = 4;
inline constexpr DWORD wioFlagInfoOnly = 8;
inline constexpr DWORD wioFlagRawFile = 16;

// A memory image: Size bytes at Buffer (not owned; must outlive the block).
struct TWaveMemory {
    const char* Buffer = nullptr;
    DWORD Size = 0;
};

// The description of one wave. Allocated zero-filled by the functions below
// with the format's extra bytes (and one spare byte) directly behind wfx;
// released with wioFreeFileInfo.
struct TWAVEIOCB {
    DWORD dwSize = 0;       // bytes of the whole block
    DWORD dwFlags = 0;      // open-mode flags
    HMMIO hmmio = nullptr;  // the open file (a plain file in raw mode)
    MMCKINFO ckRIFF;
    MMCKINFO ckDATA;
    std::unique_ptr<QByteArray> hMem;  // the loaded resource while a resource is open
    DWORD dwFileSize = 0;
    DWORD dwDataBytes = 0;  // whole blocks only
    DWORD dwDataOffset = 0;
    DWORD dwDataSamples = 0;
    DWORD dwFirstSample = 0;
    DWORD dwLastSample = 0;  // exclusive; equals dwDataSamples
    DWORD dwBytesLeft = 0;
    DWORD dwPosition = 0;  // samples from dwFirstSample
    QString lpFilePath;    // the name (file, raw and resource modes)
    TWaveMemory Memory;    // the memory descriptor (memory mode)
    std::unique_ptr<TDispList> lpDisp;
    std::unique_ptr<TInfoChunk> lpInfo;
    double fAvgBytesPerSec = 0;  // 0 for WAVE data
    WAVEFORMATEX wfx;            // followed by cbSize extra bytes
};
using PWAVEIOCB = TWAVEIOCB*;

// Byte/sample conversions that honour fAvgBytesPerSec.
LONG wioBytesToSamplesEx(const TWAVEIOCB* cb, LONG bytes);
LONG wioSamplesToBytesEx(const TWAVEIOCB* cb, LONG samples);

bool wioIsWaveFile(const QString& fileName, DWORD flags);
// Opens the outer chunk: a file by name, a resource by name, or a memory
// image; checks that it is "RIFF" of the given form.
int wioFileOpen(HMMIO& h, MMCKINFO& ckRIFF, std::unique_ptr<QByteArray>& hMem, DWORD flags, FOURCC form,
                const QString& name, const TWaveMemory* memory = nullptr);
int wioFileClose(HMMIO& h, std::unique_ptr<QByteArray>& hMem);

int wioReadFileInfo(PWAVEIOCB& cb, const QString& name, FOURCC form, DWORD flags);
int wioReadFileInfo(PWAVEIOCB& cb, const TWaveMemory& memory, FOURCC form, DWORD flags);
int wioBuildFileInfoFromMem(PWAVEIOCB& cb, const char* buffer, DWORD size);
int wioCreateFileInfo(PWAVEIOCB& cb, const WAVEFORMATEX* pwfx);
int wioCopyFileInfo(PWAVEIOCB dst, const TWAVEIOCB* src);
int wioWriteFileInfo(PWAVEIOCB cb, const QString& fileName);
int wioFreeFileInfo(PWAVEIOCB& cb);
int wioSetIOBufferSize(PWAVEIOCB cb, LONG size);

int wioWaveOpen(PWAVEIOCB cb);
int wioWaveClose(PWAVEIOCB cb);
int wioWaveSetPosition(PWAVEIOCB cb, LONG sample);
LONG wioWaveReadData(PWAVEIOCB cb, char* buffer, LONG bytes);
LONG wioWaveWriteData(PWAVEIOCB cb, const char* buffer, LONG bytes);
LONG wioWaveWriteSamples(PWAVEIOCB cb, const char* buffer, LONG samples);

bool wioFileExists(const QString& fileName);
bool wioFileDelete(const QString& fileName);
bool wioGetFullPathName(QString& path);
// Cuts the file name off in place (keeps the folder and its separator).
void wioExtractPath(QString& path);
// In: a file path or empty (the temporary folder). Out: the name of a file
// that did not exist, "w" + four hex digits + ".TMP", in that folder.
bool wioFileCreateTemp(QString& path);

FOURCC mmioFourCC(char a, char b, char c, char d);

// Frees the block when it goes out of scope.
struct WaveIOCBDeleter {
    void operator()(TWAVEIOCB* cb) const {
        if (cb) wioFreeFileInfo(cb);
    }
};
using TWaveIOCBPtr = std::unique_ptr<TWAVEIOCB, WaveIOCBDeleter>;
