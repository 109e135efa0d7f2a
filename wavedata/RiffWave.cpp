#include "wavedata/RiffWave.h"

#include "mmcore/WaveFormatRecord.h"
#include "wavedata/MMWaveFormat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace {

constexpr FOURCC FourccWave = mmioFOURCC('W', 'A', 'V', 'E');
constexpr FOURCC FourccFmt = mmioFOURCC('f', 'm', 't', ' ');
constexpr FOURCC FourccData = mmioFOURCC('d', 'a', 't', 'a');
constexpr FOURCC FourccFact = mmioFOURCC('f', 'a', 'c', 't');
constexpr FOURCC FourccInfo = mmioFOURCC('I', 'N', 'F', 'O');
constexpr FOURCC FourccDisp = mmioFOURCC('D', 'I', 'S', 'P');

// A zero-filled block with room for formatBytes of format record (plus one
// spare byte) starting at wfx.
PWAVEIOCB AllocBlock(std::size_t formatBytes) {
    const std::size_t extra = formatBytes > sizeof(WAVEFORMATEX) ? formatBytes - sizeof(WAVEFORMATEX) : 0;
    const std::size_t size = sizeof(TWAVEIOCB) + extra + 1;
    void* memory = ::operator new(size);
    std::memset(memory, 0, size);
    auto* cb = new (memory) TWAVEIOCB{};
    cb->dwSize = static_cast<DWORD>(size);
    return cb;
}

void FreeBlock(PWAVEIOCB cb) {
    cb->~TWAVEIOCB();
    ::operator delete(cb);
}

BYTE* FormatBytes(PWAVEIOCB cb) {
    return reinterpret_cast<BYTE*>(&cb->wfx);
}

bool IsPcm(const WAVEFORMATEX& wfx) {
    return wfx.wFormatTag == WAVE_FORMAT_PCM;
}

bool SeekTo(HMMIO h, std::int64_t position) {
    if (position < 0 || position > std::numeric_limits<LONG>::max()) return false;
    return mmioSeek(h, static_cast<LONG>(position), MMIO_SEEK_SET) == position;
}

struct Walk {
    std::vector<BYTE> Format;  // the "fmt " chunk's bytes, at least 18
    bool HaveFormat = false;
    bool HaveData = false;
    bool HaveFact = false;
    DWORD DataOffset = 0;
    DWORD DataSize = 0;        // as declared, before any cut to the file
    std::int64_t DataEnd = 0;  // the next chunk's header, or the end of the file
};

// Where the samples end. A declared data size is trusted unless it cannot be
// right (0 or 0xFFFFFFFF, as streaming writers leave it, or more than the
// file holds); then the data runs to the next chunk or the end of the file.
// The pad byte after an odd size is never a sample, and nothing past the end
// of the RIFF chunk (an appended tag, a second file) is either.
std::int64_t DataEndOf(const Walk& w, std::int64_t riffEnd, std::int64_t fileSize) {
    const std::int64_t declaredEnd = std::int64_t{w.DataOffset} + w.DataSize;
    const bool trusted = w.DataSize != 0 && w.DataSize != 0xFFFFFFFFu && declaredEnd <= fileSize;
    return std::min(trusted ? declaredEnd : w.DataEnd, riffEnd);
}

int DescribeOpen(PWAVEIOCB& result, HMMIO h, MMCKINFO ckRIFF, DWORD flags, const QString& name,
                 const TWaveMemory* memory) {
    const LONG fileSize = mmioSeek(h, 0, MMIO_SEEK_END);
    if (fileSize < 0 || !SeekTo(h, std::int64_t{ckRIFF.dwDataOffset} + 4)) return wioErrFile;
    if (std::int64_t{ckRIFF.dwDataOffset} + ckRIFF.cksize > fileSize)
        ckRIFF.cksize = static_cast<DWORD>(fileSize - ckRIFF.dwDataOffset);
    const std::int64_t riffEnd = std::int64_t{ckRIFF.dwDataOffset} + ckRIFF.cksize;

    std::unique_ptr<TInfoChunk> info;
    std::unique_ptr<TDispList> disp;
    if (int rc = RiffInitINFO(info)) return rc;
    if (int rc = RiffInitDISP(disp)) return rc;

    Walk w;
    w.DataEnd = fileSize;
    DWORD factSamples = 0;
    bool previousWasData = false;
    for (;;) {
        MMCKINFO ck;
        if (mmioDescend(h, &ck, &ckRIFF, 0) != MMSYSERR_NOERROR) break;
        const DWORD declaredSize = ck.cksize;
        const std::int64_t chunkEnd = std::int64_t{ck.dwDataOffset} + ck.cksize;
        if (chunkEnd > riffEnd) {
            if (w.HaveFormat && w.HaveData) break;
            if (chunkEnd > fileSize)
                ck.cksize = static_cast<DWORD>(std::max<std::int64_t>(0, fileSize - ck.dwDataOffset));
        }
        if (previousWasData) {
            w.DataEnd = std::int64_t{ck.dwDataOffset} - 8;
            previousWasData = false;
        }
        bool endWalk = false;
        if (ck.ckid == FOURCC_LIST) {
            if (ck.fccType == FourccInfo)
                if (int rc = RiffReadINFO(h, ck, info.get())) return rc;
        } else if (ck.ckid == FourccDisp) {
            if (int rc = RiffReadDISP(h, ck, disp.get())) return rc;
        } else if (ck.ckid == FourccFmt) {
            if (w.HaveFormat) {
                endWalk = true;
            } else {
                // Sized by the chunk, which has been cut to the file.
                w.Format.assign(std::max<std::size_t>(ck.cksize, sizeof(WAVEFORMATEX)), 0);
                if (mmioRead(h, reinterpret_cast<char*>(w.Format.data()), static_cast<LONG>(ck.cksize)) !=
                    static_cast<LONG>(ck.cksize))
                    return wioErrFile;
                w.HaveFormat = true;
            }
        } else if (ck.ckid == FourccData) {
            if (w.HaveData && w.DataSize != 0) {
                endWalk = true;
            } else {
                w.HaveData = true;
                w.DataOffset = ck.dwDataOffset;
                w.DataSize = declaredSize;
                w.DataEnd = fileSize;
                previousWasData = true;
            }
        } else if (ck.ckid == FourccFact) {
            if (w.HaveFact) {
                endWalk = true;
            } else if (ck.cksize >= 4) {
                if (mmioRead(h, reinterpret_cast<char*>(&factSamples), 4) != 4) return wioErrFile;
                w.HaveFact = true;
            }
        }
        if (endWalk) break;
        if (mmioAscend(h, &ck, 0) != MMSYSERR_NOERROR) {
            if (w.HaveData && w.DataSize != 0) break;
            return wioErrFile;
        }
    }
    (void)factSamples;  // the count always follows from the data length

    if (flags & wioFlagInfoOnly) {
        PWAVEIOCB cb = AllocBlock(sizeof(WAVEFORMATEX));
        cb->dwFlags = flags;
        cb->lpFilePath = name;
        if (memory) cb->Memory = *memory;
        cb->lpDisp = std::move(disp);
        cb->lpInfo = std::move(info);
        result = cb;
        return wioErrNone;
    }
    if (!w.HaveFormat) return wioErrGeneric;
    if (!w.HaveData) return wioErrFile;

    WAVEFORMATEX fmt;
    std::memcpy(&fmt, w.Format.data(), sizeof fmt);
    // The rounding to whole blocks needs a block size; conversions need rates.
    if (fmt.nBlockAlign == 0) return wioErrFile;
    std::size_t formatBytes = w.Format.size();
    if (IsPcm(fmt)) {
        fmt.cbSize = 0;
        formatBytes = sizeof(WAVEFORMATEX);
    } else if (sizeof(WAVEFORMATEX) + fmt.cbSize > formatBytes) {
        // Never claim extra bytes the chunk did not hold.
        fmt.cbSize = static_cast<WORD>(formatBytes - sizeof(WAVEFORMATEX));
    } else {
        formatBytes = sizeof(WAVEFORMATEX) + fmt.cbSize;
    }
    const std::int64_t span = std::max<std::int64_t>(0, DataEndOf(w, riffEnd, fileSize) - w.DataOffset);
    const auto dataBytes = static_cast<DWORD>(span / fmt.nBlockAlign * fmt.nBlockAlign);
    if (IsPcm(fmt)) {
        fmt.nBlockAlign = static_cast<WORD>((DWORD{fmt.wBitsPerSample} * fmt.nChannels) >> 3);
        fmt.nAvgBytesPerSec = fmt.nBlockAlign * fmt.nSamplesPerSec;
    }
    if (fmt.nBlockAlign == 0 || fmt.nSamplesPerSec == 0 || fmt.nAvgBytesPerSec == 0 ||
        fmt.nAvgBytesPerSec > static_cast<DWORD>(std::numeric_limits<LONG>::max()) ||
        fmt.nSamplesPerSec > static_cast<DWORD>(std::numeric_limits<LONG>::max()))
        return wioErrFile;

    PWAVEIOCB cb = AllocBlock(formatBytes);
    std::memcpy(FormatBytes(cb), w.Format.data(), formatBytes);
    std::memcpy(&cb->wfx, &fmt, sizeof fmt);
    cb->dwFlags = flags;
    cb->dwFileSize = static_cast<DWORD>(fileSize);
    cb->dwDataBytes = dataBytes;
    cb->dwDataOffset = w.DataOffset;
    cb->dwDataSamples =
        static_cast<DWORD>(std::max<LONG>(0, wioBytesToSamplesEx(cb, static_cast<LONG>(dataBytes))));
    cb->dwFirstSample = 0;
    cb->dwLastSample = cb->dwDataSamples;
    cb->lpFilePath = name;
    if (memory) cb->Memory = *memory;
    cb->lpDisp = std::move(disp);
    cb->lpInfo = std::move(info);
    result = cb;
    return wioErrNone;
}

int Describe(PWAVEIOCB& cb, const QString& name, const TWaveMemory* memory, FOURCC form, DWORD flags) {
    cb = nullptr;
    HMMIO h = nullptr;
    MMCKINFO ckRIFF;
    std::unique_ptr<QByteArray> hMem;
    if (wioFileOpen(h, ckRIFF, hMem, flags, form, name, memory) != wioErrNone) return wioErrFile;
    int rc = DescribeOpen(cb, h, ckRIFF, flags, name, memory);
    wioFileClose(h, hMem);
    return rc;
}

LONG ClampToLong(double value) {
    if (!(value >= std::numeric_limits<LONG>::min())) return std::numeric_limits<LONG>::min();
    if (value > std::numeric_limits<LONG>::max()) return std::numeric_limits<LONG>::max();
    return static_cast<LONG>(value);
}

}  // namespace

LONG wioBytesToSamplesEx(const TWAVEIOCB* cb, LONG bytes) {
    if (cb->fAvgBytesPerSec == 0) return wioBytesToSamples(&cb->wfx, bytes);
    const DWORD product = static_cast<DWORD>(bytes) * cb->wfx.nSamplesPerSec;
    return ClampToLong(std::nearbyint(product / cb->fAvgBytesPerSec));
}

LONG wioSamplesToBytesEx(const TWAVEIOCB* cb, LONG samples) {
    if (cb->fAvgBytesPerSec == 0) return wioSamplesToBytes(&cb->wfx, samples);
    const LONG bytes = ClampToLong(std::nearbyint(samples * cb->fAvgBytesPerSec / cb->wfx.nSamplesPerSec));
    const DWORD align = cb->wfx.nBlockAlign ? cb->wfx.nBlockAlign : 1;
    return static_cast<LONG>((static_cast<DWORD>(bytes) + align - 1) / align * align);
}

bool wioIsWaveFile(const QString& fileName, DWORD flags) {
    PWAVEIOCB cb = nullptr;
    const bool ok = wioReadFileInfo(cb, fileName, FourccWave, flags) == wioErrNone;
    if (cb) wioFreeFileInfo(cb);
    return ok;
}

int wioFileOpen(HMMIO& h, MMCKINFO& ckRIFF, std::unique_ptr<QByteArray>& hMem, DWORD flags, FOURCC form,
                const QString& name, const TWaveMemory* memory) {
    h = nullptr;
    hMem.reset();
    MMIOINFO info;
    if (flags & wioFlagResource) {
        QFile resource(QStringLiteral(":/WAVE/") + name);
        if (name.isEmpty() || !resource.open(QIODevice::ReadOnly)) return wioErrFile;
        hMem = std::make_unique<QByteArray>(resource.readAll());
        if (hMem->isEmpty() || hMem->size() > std::numeric_limits<LONG>::max()) {
            hMem.reset();
            return wioErrFile;
        }
        info.fccIOProc = FOURCC_MEM;
        info.pchBuffer = hMem->data();
        info.cchBuffer = static_cast<LONG>(hMem->size());
        h = mmioOpenW(QString(), &info, MMIO_READ);
    } else if (flags & wioFlagMemory) {
        if (!memory || !memory->Buffer || memory->Size == 0 ||
            memory->Size > static_cast<DWORD>(std::numeric_limits<LONG>::max()))
            return wioErrFile;
        info.fccIOProc = FOURCC_MEM;
        // Opened for reading only, so the image is never written through.
        info.pchBuffer = const_cast<char*>(memory->Buffer);
        info.cchBuffer = static_cast<LONG>(memory->Size);
        h = mmioOpenW(QString(), &info, MMIO_READ);
    } else {
        h = mmioOpenW(name, &info, MMIO_READWRITE | MMIO_ALLOCBUF);
        if (!h) {
            info = MMIOINFO{};
            h = mmioOpenW(name, &info, MMIO_READ | MMIO_ALLOCBUF);
        }
    }
    if (!h) {
        hMem.reset();
        return wioErrFile;
    }
    ckRIFF = MMCKINFO{};
    if (mmioDescend(h, &ckRIFF, nullptr, 0) != MMSYSERR_NOERROR || ckRIFF.ckid != FOURCC_RIFF ||
        ckRIFF.fccType != form) {
        wioFileClose(h, hMem);
        return wioErrFile;
    }
    return wioErrNone;
}

int wioFileClose(HMMIO& h, std::unique_ptr<QByteArray>& hMem) {
    MMRESULT rc = MMSYSERR_NOERROR;
    if (h) rc = mmioClose(h, 0);
    h = nullptr;
    hMem.reset();
    return rc == MMSYSERR_NOERROR ? wioErrNone : wioErrFile;
}

int wioReadFileInfo(PWAVEIOCB& cb, const QString& name, FOURCC form, DWORD flags) {
    return Describe(cb, name, nullptr, form, flags);
}

int wioReadFileInfo(PWAVEIOCB& cb, const TWaveMemory& memory, FOURCC form, DWORD flags) {
    return Describe(cb, QString(), &memory, form, flags | wioFlagMemory);
}

int wioBuildFileInfoFromMem(PWAVEIOCB& cb, const char* buffer, DWORD size) {
    cb = nullptr;
    if (!buffer || size == 0) return wioErrFile;
    return wioReadFileInfo(cb, TWaveMemory{buffer, size}, FourccWave, wioFlagMemory);
}

int wioCreateFileInfo(PWAVEIOCB& cb, const WAVEFORMATEX* pwfx) {
    cb = nullptr;
    if (!pwfx) return wioErrBadParam;
    const std::size_t formatBytes = wioSizeOfWaveFormat(pwfx);
    PWAVEIOCB block = AllocBlock(formatBytes);
    std::memcpy(FormatBytes(block), pwfx, formatBytes);
    if (IsPcm(block->wfx)) block->wfx.cbSize = 0;
    if (int rc = RiffInitINFO(block->lpInfo)) {
        FreeBlock(block);
        return rc;
    }
    if (int rc = RiffInitDISP(block->lpDisp)) {
        FreeBlock(block);
        return rc;
    }
    cb = block;
    return wioErrNone;
}

int wioCopyFileInfo(PWAVEIOCB dst, const TWAVEIOCB* src) {
    if (!dst || !src) return wioErrBadParam;
    if (!dst->lpInfo && RiffInitINFO(dst->lpInfo)) return wioErrGeneric;
    if (!dst->lpDisp && RiffInitDISP(dst->lpDisp)) return wioErrGeneric;
    if (src->lpInfo && RiffCopyInfo(dst->lpInfo.get(), src->lpInfo.get())) return wioErrGeneric;
    if (src->lpDisp && RiffCopyDISP(dst->lpDisp.get(), src->lpDisp.get())) return wioErrGeneric;
    return wioErrNone;
}

int wioWriteFileInfo(PWAVEIOCB cb, const QString& fileName) {
    if (!cb || fileName.isEmpty()) return wioErrBadParam;
    MMIOINFO info;
    HMMIO h = mmioOpenW(fileName, &info, MMIO_CREATE | MMIO_READWRITE | MMIO_ALLOCBUF);
    if (!h) return wioErrFile;
    auto fail = [&] {
        mmioClose(h, 0);
        mmioOpenW(fileName, nullptr, MMIO_DELETE);
        return wioErrFile;
    };
    MMCKINFO ckRIFF;
    ckRIFF.fccType = FourccWave;
    if (mmioCreateChunk(h, &ckRIFF, MMIO_CREATERIFF) != MMSYSERR_NOERROR) return fail();
    MMCKINFO ckFmt;
    ckFmt.ckid = FourccFmt;
    const auto formatSize =
        static_cast<LONG>(IsPcm(cb->wfx) ? sizeof(PCMWAVEFORMAT) : wioSizeOfWaveFormat(&cb->wfx));
    if (mmioCreateChunk(h, &ckFmt, 0) != MMSYSERR_NOERROR) return fail();
    if (mmioWrite(h, reinterpret_cast<const char*>(FormatBytes(cb)), formatSize) != formatSize) return fail();
    if (mmioAscend(h, &ckFmt, 0) != MMSYSERR_NOERROR) return fail();
    MMCKINFO ckDATA;
    ckDATA.ckid = FourccData;
    if (mmioCreateChunk(h, &ckDATA, 0) != MMSYSERR_NOERROR) return fail();
    if (mmioFlush(h, 0) != MMSYSERR_NOERROR) return fail();

    if (cb->hmmio) mmioClose(cb->hmmio, 0);
    cb->hmmio = h;
    cb->hMem.reset();
    cb->ckRIFF = ckRIFF;
    cb->ckDATA = ckDATA;
    cb->dwDataOffset = ckDATA.dwDataOffset;
    cb->lpFilePath = fileName;
    cb->dwDataSamples =
        static_cast<DWORD>(std::max<LONG>(0, wioBytesToSamplesEx(cb, static_cast<LONG>(cb->dwDataBytes))));
    cb->dwFirstSample = 0;
    cb->dwLastSample = cb->dwDataSamples;
    return wioErrNone;
}

int wioFreeFileInfo(PWAVEIOCB& cb) {
    if (!cb) return wioErrBadParam;
    if (cb->hmmio) mmioClose(cb->hmmio, 0);
    cb->hmmio = nullptr;
    FreeBlock(cb);
    cb = nullptr;
    return wioErrNone;
}

int wioSetIOBufferSize(PWAVEIOCB cb, LONG size) {
    if (!cb) return wioErrBadParam;
    if (cb->dwFlags & (wioFlagMemory | wioFlagResource | wioFlagRawFile)) return wioErrNone;
    if (!cb->hmmio || size < 0) return wioErrGeneric;
    const MMRESULT rc = mmioSetBuffer(cb->hmmio, nullptr, size, 0);
    if (rc == MMIOERR_OUTOFMEMORY) return wioErrNoMem;
    return rc == MMSYSERR_NOERROR ? wioErrNone : wioErrFile;
}

int wioWaveOpen(PWAVEIOCB cb) {
    if (!cb) return wioErrBadParam;
    if (!cb->hmmio) {
        if (cb->dwFlags & wioFlagRawFile) {
            MMIOINFO info;
            cb->hmmio = mmioOpenW(cb->lpFilePath, &info, MMIO_READ | MMIO_DENYNONE | MMIO_ALLOCBUF);
        } else {
            wioFileOpen(cb->hmmio, cb->ckRIFF, cb->hMem, cb->dwFlags, FourccWave, cb->lpFilePath,
                        (cb->dwFlags & wioFlagMemory) ? &cb->Memory : nullptr);
        }
    }
    if (!cb->hmmio) return wioErrFile;
    return wioWaveSetPosition(cb, static_cast<LONG>(cb->dwPosition)) == wioErrNone ? wioErrNone : wioErrFile;
}

int wioWaveClose(PWAVEIOCB cb) {
    if (!cb || !cb->hmmio) return wioErrNone;
    int result = wioErrNone;
    if (!(cb->dwFlags & wioFlagRawFile) && (cb->ckDATA.dwFlags & MMIO_DIRTY)) {
        HMMIO h = cb->hmmio;
        auto finalise = [&]() -> bool {
            MMIOINFO info;
            if (mmioGetInfo(h, &info, 0) != MMSYSERR_NOERROR || mmioFlush(h, 0) != MMSYSERR_NOERROR)
                return false;
            if (!(info.dwFlags & MMIO_CREATE)) {
                cb->ckDATA.cksize = 0;
                cb->ckDATA.dwFlags |= MMIO_DIRTY;
                cb->ckRIFF.cksize = 0;
                cb->ckRIFF.dwFlags |= MMIO_DIRTY;
            }
            // The data chunk ends after the last data byte, wherever the
            // position was left.
            if (!SeekTo(h, std::int64_t{cb->dwDataOffset} + cb->dwDataBytes)) return false;
            if (mmioAscend(h, &cb->ckDATA, 0) != MMSYSERR_NOERROR) return false;
            if (!IsPcm(cb->wfx)) {
                MMCKINFO fact;
                fact.ckid = FourccFact;
                fact.cksize = 4;
                if (mmioCreateChunk(h, &fact, 0) != MMSYSERR_NOERROR) return false;
                if (mmioWrite(h, reinterpret_cast<const char*>(&cb->dwDataSamples), 4) != 4) return false;
                if (mmioAscend(h, &fact, 0) != MMSYSERR_NOERROR) return false;
            }
            if (cb->lpDisp && RiffWriteDISP(h, cb->lpDisp.get()) != riffErrNone) return false;
            if (cb->lpInfo && RiffWriteINFO(h, cb->lpInfo.get()) != riffErrNone) return false;
            if (mmioAscend(h, &cb->ckRIFF, 0) != MMSYSERR_NOERROR) return false;
            const LONG end = mmioSeek(h, 0, MMIO_SEEK_END);
            if (end < 0) return false;
            cb->dwFileSize = static_cast<DWORD>(end);
            cb->dwLastSample = cb->dwDataSamples;
            return true;
        };
        if (!finalise()) result = wioErrFile;
    }
    if (wioFileClose(cb->hmmio, cb->hMem) != wioErrNone) result = wioErrFile;
    cb->dwBytesLeft = 0;
    cb->dwPosition = 0;
    return result;
}

int wioWaveSetPosition(PWAVEIOCB cb, LONG sample) {
    if (!cb || sample < 0) return wioErrFile;
    // An empty wave positions at 0.
    const std::int64_t last = std::int64_t{cb->dwLastSample} - cb->dwFirstSample - 1;
    const auto p = static_cast<LONG>(std::clamp<std::int64_t>(sample, 0, std::max<std::int64_t>(last, 0)));
    const LONG target = static_cast<LONG>(cb->dwFirstSample) + p;
    if (!cb->hmmio) {
        const LONG b = wioSamplesToBytesEx(cb, target);
        cb->dwPosition = static_cast<DWORD>(wioBytesToSamplesEx(cb, b)) - cb->dwFirstSample;
        return wioErrNone;
    }
    const DWORD align = cb->wfx.nBlockAlign ? cb->wfx.nBlockAlign : 1;
    DWORD b =
        std::min(static_cast<DWORD>(std::max<LONG>(0, wioSamplesToBytesEx(cb, target))), cb->dwDataBytes);
    b = b / align * align;
    if (cb->dwFlags & wioFlagRawFile) {
        if (!SeekTo(cb->hmmio, std::int64_t{cb->dwDataOffset} + b)) return wioErrFile;
    } else {
        if (cb->dwDataOffset < 8 || !SeekTo(cb->hmmio, std::int64_t{cb->dwDataOffset} - 8)) return wioErrFile;
        MMCKINFO ck;
        if (mmioDescend(cb->hmmio, &ck, nullptr, 0) != MMSYSERR_NOERROR) return wioErrFile;
        // Keep the dirty mark of data written since the open.
        ck.dwFlags = cb->ckDATA.dwFlags;
        cb->ckDATA = ck;
        if (!SeekTo(cb->hmmio, std::int64_t{cb->dwDataOffset} + b)) return wioErrFile;
    }
    // Never more than the data holds: the bytes behind it are other chunks.
    const std::int64_t end = std::min<std::int64_t>(
        std::max<LONG>(0, wioSamplesToBytesEx(cb, static_cast<LONG>(cb->dwLastSample))), cb->dwDataBytes);
    cb->dwBytesLeft = static_cast<DWORD>(std::max<std::int64_t>(0, end - b));
    cb->dwPosition = static_cast<DWORD>(wioBytesToSamplesEx(cb, static_cast<LONG>(b))) - cb->dwFirstSample;
    return wioErrNone;
}

LONG wioWaveReadData(PWAVEIOCB cb, char* buffer, LONG bytes) {
    if (!cb || !cb->hmmio) return -1;
    if (cb->dwBytesLeft == 0) return -1;
    const LONG want = static_cast<LONG>(std::min<std::int64_t>(std::max<LONG>(bytes, 0), cb->dwBytesLeft));
    const LONG got = mmioRead(cb->hmmio, buffer, want);
    if (got < bytes || got < 0) cb->dwBytesLeft = 0;
    if (got > 0) {
        cb->dwBytesLeft = cb->dwBytesLeft > static_cast<DWORD>(got) ? cb->dwBytesLeft - got : 0;
        cb->dwPosition = cb->dwLastSample - cb->dwFirstSample -
                         static_cast<DWORD>(wioBytesToSamplesEx(cb, static_cast<LONG>(cb->dwBytesLeft)));
    }
    return got;
}

LONG wioWaveWriteData(PWAVEIOCB cb, const char* buffer, LONG bytes) {
    if (!cb || !cb->hmmio || bytes <= 0 || (cb->dwFlags & wioFlagRawFile)) return -1;
    const LONG written = mmioWrite(cb->hmmio, buffer, bytes);
    if (written <= 0) return written;
    cb->ckDATA.dwFlags |= MMIO_DIRTY;
    const LONG here = mmioSeek(cb->hmmio, 0, MMIO_SEEK_CUR);
    const auto q = static_cast<LONG>(std::max<std::int64_t>(0, std::int64_t{here} - cb->dwDataOffset));
    cb->dwPosition = static_cast<DWORD>(wioBytesToSamplesEx(cb, q));
    cb->dwDataBytes = std::max(cb->dwDataBytes, static_cast<DWORD>(q));
    if (cb->dwPosition > cb->dwDataSamples) {
        cb->dwDataSamples = cb->dwPosition;
        cb->dwLastSample = cb->dwPosition;
    }
    cb->dwBytesLeft = static_cast<DWORD>(
        std::max<LONG>(0, wioSamplesToBytesEx(cb, static_cast<LONG>(cb->dwLastSample - cb->dwPosition))));
    return written;
}

LONG wioWaveWriteSamples(PWAVEIOCB cb, const char* buffer, LONG samples) {
    if (!cb || samples == 0) return -1;
    const LONG written = wioWaveWriteData(cb, buffer, wioSamplesToBytesEx(cb, samples));
    return written > 0 ? wioBytesToSamplesEx(cb, written) : written;
}

bool wioFileExists(const QString& fileName) {
    return mmioOpenW(fileName, nullptr, MMIO_EXIST) != nullptr;
}

bool wioFileDelete(const QString& fileName) {
    return mmioOpenW(fileName, nullptr, MMIO_DELETE) != nullptr;
}

bool wioGetFullPathName(QString&) {
    return true;
}

void wioExtractPath(QString& path) {
    qsizetype i = path.size() - 1;
    while (i > 0 && path.at(i) != u'/') --i;
    path.truncate(std::max<qsizetype>(i + 1, 0));
}

bool wioFileCreateTemp(QString& path) {
    if (path.isEmpty()) path = QDir::tempPath() + u'/';
    wioExtractPath(path);
    if (!QFileInfo(path.isEmpty() ? QStringLiteral(".") : path).isDir()) return false;
    // Start at a random number; an existing file is never taken over.
    const int start = QRandomGenerator::global()->bounded(1, 257);
    for (int step = 0; step < 0xFFFF; ++step) {
        const int n = (start - 1 + step) % 0xFFFF + 1;
        const QString name =
            path + u'w' + QString::number(n, 16).toUpper().rightJustified(4, u'0') + QStringLiteral(".TMP");
        if (!QFileInfo::exists(name) && !QFileInfo(name).isSymLink()) {
            path = name;
            return true;
        }
    }
    return false;
}

FOURCC mmioFourCC(char a, char b, char c, char d) {
    return mmioFOURCC(a, b, c, d);
}
