#include "platform/mmio/mmio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace {

constexpr std::int64_t MaxPosition = std::numeric_limits<LONG>::max();

// Handles that mmioOpenW returns for MMIO_EXIST and MMIO_DELETE: a non-null
// "true" that is never a real file.
HMMIO const TrueHandle = reinterpret_cast<HMMIO>(std::intptr_t{1});

MMRESULT ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return MMIOERR_FILENOTFOUND;
        case ENOTDIR:
        case ENAMETOOLONG:
            return MMIOERR_PATHNOTFOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return MMIOERR_ACCESSDENIED;
        case EMFILE:
        case ENFILE:
            return MMIOERR_TOOMANYOPENFILES;
        case ENOMEM:
            return MMIOERR_OUTOFMEMORY;
        default:
            return MMIOERR_CANNOTOPEN;
    }
}

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : FFd(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return FFd; }
    int release() { return std::exchange(FFd, -1); }
    void reset(int fd = -1) {
        if (FFd >= 0) ::close(FFd);
        FFd = fd;
    }

private:
    int FFd = -1;
};

}  // namespace

// One open file: a disk file behind a write-back buffer, or a memory image.
struct MMIOFILE__ {
    DWORD OpenFlags = 0;
    bool Memory = false;
    std::int64_t Pos = 0;

    // Disk file. The buffer holds the file bytes [BufStart, BufStart + BufLen).
    FileDescriptor Fd;
    std::int64_t DiskSize = 0;
    std::vector<char> Buf;
    std::int64_t BufStart = 0;
    std::int64_t BufLen = 0;
    bool BufDirty = false;

    // Memory file: MemSize bytes at Mem, MemCapacity of them usable; a grown
    // image lives in Own.
    char* Mem = nullptr;
    std::int64_t MemSize = 0;
    std::int64_t MemCapacity = 0;
    DWORD Grow = 0;
    std::vector<char> Own;

    bool CanWrite() const { return (OpenFlags & MMIO_RWMODE) != MMIO_READ; }

    std::int64_t Size() const {
        if (Memory) return MemSize;
        return std::max(DiskSize, BufDirty ? BufStart + BufLen : 0);
    }

    bool Flush() {
        if (!BufDirty) return true;
        std::int64_t done = 0;
        while (done < BufLen) {
            ssize_t n = ::pwrite(Fd.get(), Buf.data() + done, static_cast<size_t>(BufLen - done),
                                 static_cast<off_t>(BufStart + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += n;
        }
        DiskSize = std::max(DiskSize, BufStart + BufLen);
        BufDirty = false;
        return true;
    }

    LONG ReadDisk(char* out, std::int64_t count) {
        std::int64_t done = 0;
        while (done < count) {
            if (Pos >= BufStart && Pos < BufStart + BufLen) {
                std::int64_t n = std::min(count - done, BufStart + BufLen - Pos);
                std::memcpy(out + done, Buf.data() + (Pos - BufStart), static_cast<size_t>(n));
                done += n;
                Pos += n;
                continue;
            }
            if (!Flush()) return -1;
            BufLen = 0;
            std::int64_t want = count - done;
            bool direct = want >= static_cast<std::int64_t>(Buf.size());
            char* target = direct ? out + done : Buf.data();
            std::int64_t ask = direct ? want : static_cast<std::int64_t>(Buf.size());
            ssize_t n;
            do {
                n = ::pread(Fd.get(), target, static_cast<size_t>(ask), static_cast<off_t>(Pos));
            } while (n < 0 && errno == EINTR);
            if (n < 0) return -1;
            if (n == 0) break;
            if (direct) {
                done += n;
                Pos += n;
            } else {
                BufStart = Pos;
                BufLen = n;
            }
        }
        return static_cast<LONG>(done);
    }

    LONG WriteDisk(const char* in, std::int64_t count) {
        if (Buf.empty()) {
            std::int64_t done = 0;
            while (done < count) {
                ssize_t n =
                    ::pwrite(Fd.get(), in + done, static_cast<size_t>(count - done), static_cast<off_t>(Pos));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return done > 0 ? static_cast<LONG>(done) : -1;
                done += n;
                Pos += n;
                DiskSize = std::max(DiskSize, Pos);
            }
            return static_cast<LONG>(done);
        }
        const auto capacity = static_cast<std::int64_t>(Buf.size());
        std::int64_t done = 0;
        while (done < count) {
            // The buffer takes bytes that continue its valid range without a gap.
            if (Pos >= BufStart && Pos <= BufStart + BufLen && Pos < BufStart + capacity) {
                std::int64_t n = std::min(count - done, BufStart + capacity - Pos);
                std::memcpy(Buf.data() + (Pos - BufStart), in + done, static_cast<size_t>(n));
                done += n;
                Pos += n;
                BufLen = std::max(BufLen, Pos - BufStart);
                BufDirty = true;
                continue;
            }
            if (!Flush()) return done > 0 ? static_cast<LONG>(done) : -1;
            BufStart = Pos;
            BufLen = 0;
        }
        return static_cast<LONG>(done);
    }

    LONG ReadMemory(char* out, std::int64_t count) {
        if (Pos >= MemSize) return 0;
        std::int64_t n = std::min(count, MemSize - Pos);
        std::memcpy(out, Mem + Pos, static_cast<size_t>(n));
        Pos += n;
        return static_cast<LONG>(n);
    }

    LONG WriteMemory(const char* in, std::int64_t count) {
        std::int64_t end = Pos + count;
        if (end > MemCapacity) {
            if (Grow == 0) return -1;
            std::int64_t wanted = (end + Grow - 1) / Grow * Grow;
            if (wanted > MaxPosition) return -1;
            try {
                if (Own.empty()) {
                    Own.assign(static_cast<size_t>(wanted), 0);
                    if (MemSize > 0) std::memcpy(Own.data(), Mem, static_cast<size_t>(MemSize));
                } else {
                    Own.resize(static_cast<size_t>(wanted), 0);
                }
            } catch (const std::bad_alloc&) {
                return -1;
            }
            Mem = Own.data();
            MemCapacity = wanted;
        }
        if (Pos > MemSize) std::memset(Mem + MemSize, 0, static_cast<size_t>(Pos - MemSize));
        std::memcpy(Mem + Pos, in, static_cast<size_t>(count));
        Pos = end;
        MemSize = std::max(MemSize, end);
        return static_cast<LONG>(count);
    }
};

namespace {

HMMIO Fail(LPMMIOINFO info, MMRESULT code) {
    if (info) info->wErrorRet = code;
    return nullptr;
}

HMMIO OpenMemory(LPMMIOINFO info, DWORD flags) {
    if (info->cchBuffer < 0 || (!info->pchBuffer && info->cchBuffer > 0) ||
        (!info->pchBuffer && info->adwInfo[0] == 0))
        return Fail(info, MMSYSERR_INVALPARAM);
    auto file = std::make_unique<MMIOFILE__>();
    file->OpenFlags = flags;
    file->Memory = true;
    file->Mem = info->pchBuffer;
    file->MemSize = info->cchBuffer;
    file->MemCapacity = info->cchBuffer;
    file->Grow = info->adwInfo[0];
    info->wErrorRet = 0;
    return file.release();
}

HMMIO OpenDisk(const QString& fileName, LPMMIOINFO info, DWORD flags) {
    if (fileName.isEmpty()) return Fail(info, MMIOERR_FILENOTFOUND);
    const QByteArray path = QFile::encodeName(fileName);
    int mode = O_RDONLY;
    switch (flags & MMIO_RWMODE) {
        case MMIO_WRITE:
            mode = O_WRONLY;
            break;
        case MMIO_READWRITE:
            mode = O_RDWR;
            break;
        default:
            break;
    }
    if (flags & MMIO_CREATE) mode = (mode == O_RDONLY ? O_RDWR : mode) | O_CREAT | O_TRUNC;
    // Non-blocking so that a FIFO or device node cannot hang the open.
    FileDescriptor fd(::open(path.constData(), mode | O_CLOEXEC | O_NONBLOCK, 0666));
    if (fd.get() < 0) return Fail(info, ErrorFromErrno(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Fail(info, MMIOERR_CANNOTOPEN);
    if (!S_ISREG(st.st_mode)) return Fail(info, MMIOERR_CANNOTOPEN);
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);

    auto file = std::make_unique<MMIOFILE__>();
    file->OpenFlags = flags;
    file->DiskSize = st.st_size;
    if (flags & MMIO_ALLOCBUF) {
        LONG size = info && info->cchBuffer > 0 ? info->cchBuffer : MMIO_DEFAULTBUFFER;
        try {
            file->Buf.assign(static_cast<size_t>(size), 0);
        } catch (const std::bad_alloc&) {
            return Fail(info, MMIOERR_OUTOFMEMORY);
        }
    }
    file->Fd.reset(fd.release());
    if (info) info->wErrorRet = 0;
    return file.release();
}

bool IsRealHandle(HMMIO h) {
    return h != nullptr && h != TrueHandle;
}

bool ReadExact(HMMIO h, void* out, LONG count) {
    return mmioRead(h, static_cast<char*>(out), count) == count;
}

bool WriteExact(HMMIO h, const void* in, LONG count) {
    return mmioWrite(h, static_cast<const char*>(in), count) == count;
}

bool SeekTo(HMMIO h, std::int64_t position) {
    if (position < 0 || position > MaxPosition) return false;
    return mmioSeek(h, static_cast<LONG>(position), MMIO_SEEK_SET) == position;
}

}  // namespace

HMMIO mmioOpenW(const QString& fileName, LPMMIOINFO info, DWORD flags) {
    if (flags & MMIO_EXIST) {
        struct stat st {};
        const QByteArray path = QFile::encodeName(fileName);
        if (fileName.isEmpty() || ::stat(path.constData(), &st) != 0) return Fail(info, MMIOERR_FILENOTFOUND);
        if (!S_ISREG(st.st_mode)) return Fail(info, MMIOERR_CANNOTOPEN);
        return TrueHandle;
    }
    if (flags & MMIO_DELETE) {
        const QByteArray path = QFile::encodeName(fileName);
        if (fileName.isEmpty()) return Fail(info, MMIOERR_FILENOTFOUND);
        if (::unlink(path.constData()) != 0) return Fail(info, ErrorFromErrno(errno));
        return TrueHandle;
    }
    if (info && info->pIOProc) return Fail(info, MMSYSERR_NOTSUPPORTED);
    if (info && info->fccIOProc == FOURCC_MEM) return OpenMemory(info, flags);
    if (info && info->fccIOProc != 0 && info->fccIOProc != FOURCC_DOS)
        return Fail(info, MMSYSERR_NOTSUPPORTED);
    return OpenDisk(fileName, info, flags);
}

MMRESULT mmioClose(HMMIO h, UINT) {
    if (!IsRealHandle(h)) return MMSYSERR_INVALHANDLE;
    std::unique_ptr<MMIOFILE__> file(h);
    if (file->Memory) return MMSYSERR_NOERROR;
    bool flushed = file->Flush();
    bool closed = ::close(file->Fd.release()) == 0;
    if (!flushed) return MMIOERR_CANNOTWRITE;
    return closed ? MMSYSERR_NOERROR : MMIOERR_CANNOTCLOSE;
}

LONG mmioRead(HMMIO h, char* buffer, LONG count) {
    if (!IsRealHandle(h) || count < 0 || (!buffer && count > 0)) return -1;
    if (count == 0) return 0;
    return h->Memory ? h->ReadMemory(buffer, count) : h->ReadDisk(buffer, count);
}

LONG mmioWrite(HMMIO h, const char* buffer, LONG count) {
    if (!IsRealHandle(h) || count < 0 || (!buffer && count > 0) || !h->CanWrite()) return -1;
    if (count == 0) return 0;
    if (h->Pos + count > MaxPosition) return -1;
    return h->Memory ? h->WriteMemory(buffer, count) : h->WriteDisk(buffer, count);
}

LONG mmioSeek(HMMIO h, LONG offset, int origin) {
    if (!IsRealHandle(h)) return -1;
    std::int64_t base;
    switch (origin) {
        case MMIO_SEEK_SET:
            base = 0;
            break;
        case MMIO_SEEK_CUR:
            base = h->Pos;
            break;
        case MMIO_SEEK_END:
            base = h->Size();
            break;
        default:
            return -1;
    }
    std::int64_t target = base + offset;
    if (target < 0 || target > MaxPosition) return -1;
    h->Pos = target;
    return static_cast<LONG>(target);
}

MMRESULT mmioDescend(HMMIO h, LPMMCKINFO ck, const MMCKINFO* parent, UINT flags) {
    if (!IsRealHandle(h) || !ck) return MMSYSERR_INVALPARAM;
    const std::int64_t end = parent ? std::int64_t{parent->dwDataOffset} + parent->cksize : MaxPosition;
    const FOURCC wantId = (flags & MMIO_FINDRIFF)   ? FOURCC_RIFF
                          : (flags & MMIO_FINDLIST) ? FOURCC_LIST
                                                    : ck->ckid;
    const bool find = (flags & (MMIO_FINDCHUNK | MMIO_FINDRIFF | MMIO_FINDLIST)) != 0;
    const bool matchType = (flags & (MMIO_FINDRIFF | MMIO_FINDLIST)) != 0;
    const FOURCC wantType = ck->fccType;

    // Every step moves on by at least one header, so the walk ends.
    for (;;) {
        const std::int64_t start = h->Pos;
        if (start + 8 > end) return MMIOERR_CHUNKNOTFOUND;
        DWORD header[2];
        if (!ReadExact(h, header, 8)) return MMIOERR_CHUNKNOTFOUND;
        MMCKINFO found;
        found.ckid = header[0];
        found.cksize = header[1];
        found.dwDataOffset = static_cast<DWORD>(start + 8);
        if (found.ckid == FOURCC_RIFF || found.ckid == FOURCC_LIST) {
            if (!ReadExact(h, &found.fccType, 4)) return MMIOERR_CHUNKNOTFOUND;
        }
        bool match = !find || (found.ckid == wantId && (!matchType || found.fccType == wantType));
        if (match) {
            *ck = found;
            return MMSYSERR_NOERROR;
        }
        const std::int64_t next = start + 8 + found.cksize + (found.cksize & 1);
        if (!SeekTo(h, next)) return MMIOERR_CHUNKNOTFOUND;
    }
}

MMRESULT mmioAscend(HMMIO h, LPMMCKINFO ck, UINT) {
    if (!IsRealHandle(h) || !ck) return MMSYSERR_INVALPARAM;
    if (ck->dwFlags & MMIO_DIRTY) {
        const std::int64_t here = h->Pos;
        const std::int64_t size = here - ck->dwDataOffset;
        if (size < 0 || ck->dwDataOffset < 4) return MMIOERR_CANNOTSEEK;
        const DWORD newSize = static_cast<DWORD>(size);
        if (!SeekTo(h, ck->dwDataOffset - 4)) return MMIOERR_CANNOTSEEK;
        if (!WriteExact(h, &newSize, 4)) return MMIOERR_CANNOTWRITE;
        if (!SeekTo(h, here)) return MMIOERR_CANNOTSEEK;
        if (newSize & 1) {
            const char pad = 0;
            if (!WriteExact(h, &pad, 1)) return MMIOERR_CANNOTWRITE;
        }
        ck->cksize = newSize;
        ck->dwFlags &= ~MMIO_DIRTY;
    }
    const std::int64_t next = std::int64_t{ck->dwDataOffset} + ck->cksize + (ck->cksize & 1);
    return SeekTo(h, next) ? MMSYSERR_NOERROR : MMIOERR_CANNOTSEEK;
}

MMRESULT mmioCreateChunk(HMMIO h, LPMMCKINFO ck, UINT flags) {
    if (!IsRealHandle(h) || !ck) return MMSYSERR_INVALPARAM;
    if (flags & MMIO_CREATERIFF) ck->ckid = FOURCC_RIFF;
    if (flags & MMIO_CREATELIST) ck->ckid = FOURCC_LIST;
    const bool typed = (flags & (MMIO_CREATERIFF | MMIO_CREATELIST)) != 0;
    const std::int64_t start = h->Pos;
    DWORD header[3] = {ck->ckid, ck->cksize, ck->fccType};
    const LONG length = typed ? 12 : 8;
    if (!WriteExact(h, header, length)) {
        SeekTo(h, start);
        return MMIOERR_CANNOTWRITE;
    }
    ck->dwDataOffset = static_cast<DWORD>(start + 8);
    ck->dwFlags = MMIO_DIRTY;
    return MMSYSERR_NOERROR;
}

MMRESULT mmioGetInfo(HMMIO h, LPMMIOINFO info, UINT) {
    if (!IsRealHandle(h) || !info) return MMSYSERR_INVALPARAM;
    *info = MMIOINFO{};
    info->dwFlags = h->OpenFlags;
    info->fccIOProc = h->Memory ? FOURCC_MEM : FOURCC_DOS;
    info->lDiskOffset = static_cast<LONG>(h->Pos);
    info->hmmio = h;
    if (h->Memory) {
        info->pchBuffer = h->Mem;
        info->cchBuffer = static_cast<LONG>(h->MemSize);
        info->adwInfo[0] = h->Grow;
    } else {
        info->cchBuffer = static_cast<LONG>(h->Buf.size());
    }
    return MMSYSERR_NOERROR;
}

MMRESULT mmioFlush(HMMIO h, UINT flags) {
    if (!IsRealHandle(h)) return MMSYSERR_INVALHANDLE;
    if (h->Memory) return MMSYSERR_NOERROR;
    if (!h->Flush()) return MMIOERR_CANNOTWRITE;
    if (flags & MMIO_EMPTYBUF) h->BufLen = 0;
    return MMSYSERR_NOERROR;
}

MMRESULT mmioSetBuffer(HMMIO h, char* buffer, LONG cchBuffer, UINT) {
    if (!IsRealHandle(h)) return MMSYSERR_INVALHANDLE;
    if (buffer || cchBuffer < 0) return MMSYSERR_INVALPARAM;
    if (h->Memory) return MMSYSERR_NOERROR;
    if (!h->Flush()) return MMIOERR_CANNOTWRITE;
    try {
        std::vector<char> fresh(static_cast<size_t>(cchBuffer), 0);
        h->Buf.swap(fresh);
    } catch (const std::bad_alloc&) {
        return MMIOERR_OUTOFMEMORY;
    }
    h->BufLen = 0;
    return MMSYSERR_NOERROR;
}

MMRESULT mmioRenameW(const QString& fileName, const QString& newFileName, const MMIOINFO*, DWORD) {
    if (fileName.isEmpty() || newFileName.isEmpty()) return MMSYSERR_INVALPARAM;
    const QByteArray from = QFile::encodeName(fileName);
    const QByteArray to = QFile::encodeName(newFileName);
    if (::rename(from.constData(), to.constData()) != 0) {
        MMRESULT code = ErrorFromErrno(errno);
        return code == MMIOERR_CANNOTOPEN ? MMIOERR_CANNOTWRITE : code;
    }
    return MMSYSERR_NOERROR;
}

FOURCC mmioStringToFOURCCA(const char* text, UINT flags) {
    char c[4] = {' ', ' ', ' ', ' '};
    for (int i = 0; text && i < 4 && text[i] != '\0'; ++i) {
        c[i] = text[i];
        if ((flags & MMIO_TOUPPER) && c[i] >= 'a' && c[i] <= 'z') c[i] = static_cast<char>(c[i] - 'a' + 'A');
    }
    return mmioFOURCC(c[0], c[1], c[2], c[3]);
}

FOURCC mmioStringToFOURCCW(const QString& text, UINT flags) {
    return mmioStringToFOURCCA(text.left(4).toLatin1().constData(), flags);
}
