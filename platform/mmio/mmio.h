#pragma once

// Buffered RIFF files with the contract of the Windows mmio functions: a
// handle over a disk file or a block of memory ("MEM "), byte transfer at a
// current position through an I/O buffer, and chunk navigation (descend
// finds the next chunk inside a parent, ascend pads odd sizes and writes
// back the sizes of chunks that were created or marked dirty).
//
// Every size read from a file is distrusted: navigation never allocates
// according to a chunk size and reads past the end of a file or memory
// image return short counts, never data from elsewhere.

#include "platform/base/wintypes.h"

#include <QString>

struct MMIOFILE__;
using HMMIO = MMIOFILE__*;

// ---- Result codes -----------------------------------------------------------
inline constexpr MMRESULT MMIOERR_FILENOTFOUND = MMIOERR_BASE + 1;
inline constexpr MMRESULT MMIOERR_OUTOFMEMORY = MMIOERR_BASE + 2;
inline constexpr MMRESULT MMIOERR_CANNOTOPEN = MMIOERR_BASE + 3;
inline constexpr MMRESULT MMIOERR_CANNOTCLOSE = MMIOERR_BASE + 4;
inline constexpr MMRESULT MMIOERR_CANNOTREAD = MMIOERR_BASE + 5;
inline constexpr MMRESULT MMIOERR_CANNOTWRITE = MMIOERR_BASE + 6;
inline constexpr MMRESULT MMIOERR_CANNOTSEEK = MMIOERR_BASE + 7;
inline constexpr MMRESULT MMIOERR_CANNOTEXPAND = MMIOERR_BASE + 8;
inline constexpr MMRESULT MMIOERR_CHUNKNOTFOUND = MMIOERR_BASE + 9;
inline constexpr MMRESULT MMIOERR_UNBUFFERED = MMIOERR_BASE + 10;
inline constexpr MMRESULT MMIOERR_PATHNOTFOUND = MMIOERR_BASE + 11;
inline constexpr MMRESULT MMIOERR_ACCESSDENIED = MMIOERR_BASE + 12;
inline constexpr MMRESULT MMIOERR_SHARINGVIOLATION = MMIOERR_BASE + 13;
inline constexpr MMRESULT MMIOERR_NETWORKERROR = MMIOERR_BASE + 14;
inline constexpr MMRESULT MMIOERR_TOOMANYOPENFILES = MMIOERR_BASE + 15;
inline constexpr MMRESULT MMIOERR_INVALIDFILE = MMIOERR_BASE + 16;

// ---- Open flags -------------------------------------------------------------
inline constexpr DWORD MMIO_READ = 0x00000000;
inline constexpr DWORD MMIO_WRITE = 0x00000001;
inline constexpr DWORD MMIO_READWRITE = 0x00000002;
inline constexpr DWORD MMIO_RWMODE = 0x00000003;
inline constexpr DWORD MMIO_COMPAT = 0x00000000;
inline constexpr DWORD MMIO_EXCLUSIVE = 0x00000010;
inline constexpr DWORD MMIO_DENYWRITE = 0x00000020;
inline constexpr DWORD MMIO_DENYREAD = 0x00000030;
inline constexpr DWORD MMIO_DENYNONE = 0x00000040;
inline constexpr DWORD MMIO_SHAREMODE = 0x00000070;
inline constexpr DWORD MMIO_PARSE = 0x00000100;
inline constexpr DWORD MMIO_DELETE = 0x00000200;
inline constexpr DWORD MMIO_CREATE = 0x00001000;
inline constexpr DWORD MMIO_EXIST = 0x00004000;
inline constexpr DWORD MMIO_ALLOCBUF = 0x00010000;
inline constexpr DWORD MMIO_GETTEMP = 0x00020000;
inline constexpr DWORD MMIO_DIRTY = 0x10000000;  // chunk size must be written back on ascend

// mmioDescend
inline constexpr UINT MMIO_FINDCHUNK = 0x0010;
inline constexpr UINT MMIO_FINDRIFF = 0x0020;
inline constexpr UINT MMIO_FINDLIST = 0x0040;
// mmioCreateChunk
inline constexpr UINT MMIO_CREATERIFF = 0x0020;
inline constexpr UINT MMIO_CREATELIST = 0x0040;
// mmioFlush
inline constexpr UINT MMIO_EMPTYBUF = 0x0010;
// mmioStringToFOURCC
inline constexpr UINT MMIO_TOUPPER = 0x0010;

inline constexpr LONG MMIO_DEFAULTBUFFER = 8192;

// mmioSeek origins (the values of SEEK_SET, SEEK_CUR, SEEK_END)
inline constexpr int MMIO_SEEK_SET = 0;
inline constexpr int MMIO_SEEK_CUR = 1;
inline constexpr int MMIO_SEEK_END = 2;

inline constexpr FOURCC FOURCC_RIFF = mmioFOURCC('R', 'I', 'F', 'F');
inline constexpr FOURCC FOURCC_LIST = mmioFOURCC('L', 'I', 'S', 'T');
inline constexpr FOURCC FOURCC_DOS = mmioFOURCC('D', 'O', 'S', ' ');
inline constexpr FOURCC FOURCC_MEM = mmioFOURCC('M', 'E', 'M', ' ');

// ---- Records ----------------------------------------------------------------
struct MMCKINFO {
    FOURCC ckid = 0;
    DWORD cksize = 0;
    FOURCC fccType = 0;      // form or list type of "RIFF" and "LIST" chunks
    DWORD dwDataOffset = 0;  // file offset of the data (of the type for "RIFF"/"LIST")
    DWORD dwFlags = 0;       // MMIO_DIRTY
};
using LPMMCKINFO = MMCKINFO*;

// Open parameters and state. To open a memory file, set fccIOProc to
// FOURCC_MEM, pchBuffer/cchBuffer to the caller's bytes (pchBuffer may be
// null when cchBuffer is 0 and the file may grow) and adwInfo[0] to the
// growth increment (0: fixed size). A growing memory file moves into a block
// of its own; mmioGetInfo then reports that block in pchBuffer/cchBuffer.
// For disk files cchBuffer is the I/O buffer size (MMIO_ALLOCBUF; 0 means
// the default size). wErrorRet carries the reason a call of mmioOpenW failed.
struct MMIOINFO {
    DWORD dwFlags = 0;
    FOURCC fccIOProc = 0;
    void* pIOProc = nullptr;  // custom I/O procedures are not supported
    UINT wErrorRet = 0;
    void* htask = nullptr;
    LONG cchBuffer = 0;
    char* pchBuffer = nullptr;
    char* pchNext = nullptr;  // direct buffer access is not offered: always null
    char* pchEndRead = nullptr;
    char* pchEndWrite = nullptr;
    LONG lBufOffset = 0;
    LONG lDiskOffset = 0;  // current position
    DWORD adwInfo[3] = {0, 0, 0};
    DWORD dwReserved1 = 0;
    DWORD dwReserved2 = 0;
    HMMIO hmmio = nullptr;
};
using LPMMIOINFO = MMIOINFO*;

// ---- Functions --------------------------------------------------------------

// Opens a disk file (name given) or a memory file (fccIOProc FOURCC_MEM).
// MMIO_EXIST and MMIO_DELETE act on the name only: they return a non-null
// value on success and open nothing. Returns null on failure, with the
// reason in info->wErrorRet when info is given.
HMMIO mmioOpenW(const QString& fileName, LPMMIOINFO info, DWORD flags);
MMRESULT mmioClose(HMMIO h, UINT flags);

// Byte transfer at the current position: the count, 0 at the end, -1 on error.
LONG mmioRead(HMMIO h, char* buffer, LONG count);
LONG mmioWrite(HMMIO h, const char* buffer, LONG count);
// The new position, or -1 (a negative position or one beyond 2 GiB fails).
LONG mmioSeek(HMMIO h, LONG offset, int origin);

MMRESULT mmioDescend(HMMIO h, LPMMCKINFO ck, const MMCKINFO* parent, UINT flags);
MMRESULT mmioAscend(HMMIO h, LPMMCKINFO ck, UINT flags);
MMRESULT mmioCreateChunk(HMMIO h, LPMMCKINFO ck, UINT flags);

// The open flags (dwFlags), the kind (fccIOProc), the buffer size and the
// current position (lDiskOffset); for memory files the current block and its
// size in pchBuffer/cchBuffer.
MMRESULT mmioGetInfo(HMMIO h, LPMMIOINFO info, UINT flags);
MMRESULT mmioFlush(HMMIO h, UINT flags);
// Disk files: a new I/O buffer of cchBuffer bytes (buffer must be null: the
// file owns its buffer; 0 turns buffering off). Memory files: no effect.
MMRESULT mmioSetBuffer(HMMIO h, char* buffer, LONG cchBuffer, UINT flags);

MMRESULT mmioRenameW(const QString& fileName, const QString& newFileName, const MMIOINFO* info, DWORD flags);

// Up to four characters, padded with blanks; MMIO_TOUPPER upper-cases them.
FOURCC mmioStringToFOURCCA(const char* text, UINT flags);
FOURCC mmioStringToFOURCCW(const QString& text, UINT flags);
