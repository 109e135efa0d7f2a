#pragma once

// Reading the capture output's WAV file while the output still writes it:
// whole frames as they arrive, judged by the file's size (the sizes in its
// header are only rewritten now and then). Long runs can give back the
// disk space of what has been read: the file keeps its length, the read
// part becomes a hole.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

class CaptureStream {
public:
    explicit CaptureStream(std::string Path) : FPath(std::move(Path)) {}
    ~CaptureStream() {
        if (FFd >= 0) ::close(FFd);
    }
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;

    // Frames read so far, and the file's format once its header was there.
    std::int64_t Frames() const { return FFrames; }
    unsigned Channels() const { return FChannels; }
    unsigned Rate() const { return FRate; }

    // Appends the whole frames written since the last call to Out
    // (interleaved), at most MaxFrames; the number of frames, or -1 when
    // the file is unusable.
    long ReadNew(std::vector<std::int16_t>& Out, std::int64_t MaxFrames = INT64_MAX) {
        if (FFd == -2) return -1;
        if (FFd < 0 && !Open()) return FFd == -2 ? -1 : 0;
        struct stat st {};
        if (::fstat(FFd, &st) != 0) return -1;
        const std::int64_t frameBytes = 2 * std::int64_t(FChannels);
        const std::int64_t from = kHeader + FFrames * frameBytes;
        const std::int64_t frames = std::min(MaxFrames, (std::int64_t(st.st_size) - from) / frameBytes);
        if (frames <= 0) return 0;
        const std::size_t old = Out.size();
        Out.resize(old + static_cast<std::size_t>(frames * FChannels));
        char* p = reinterpret_cast<char*>(Out.data() + old);
        std::int64_t left = frames * frameBytes, at = from;
        while (left > 0) {
            const ssize_t n = ::pread(FFd, p, static_cast<std::size_t>(left), at);
            if (n <= 0) {
                Out.resize(old);
                return -1;
            }
            p += n, at += n, left -= n;
        }
        FFrames += frames;
        return static_cast<long>(frames);
    }

    // Gives back the disk space of the frames before Frame; false when the
    // file system cannot (the data then stays).
    bool Release(std::int64_t Frame) {
        if (FFd < 0 || !FWritable) return false;
        const std::int64_t end = (kHeader + std::min(Frame, FFrames) * 2 * std::int64_t(FChannels)) & ~4095LL;
        if (end <= FReleased) return true;
        const std::int64_t start = FReleased ? FReleased : 4096;  // the header's block stays
        if (end <= start) return true;
        if (::fallocate(FFd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, start, end - start) != 0)
            return false;
        FReleased = end;
        return true;
    }

private:
    static constexpr std::int64_t kHeader = 44;

    bool Open() {
        int fd = ::open(FPath.c_str(), O_RDWR | O_CLOEXEC);
        FWritable = fd >= 0;
        if (fd < 0) fd = ::open(FPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        unsigned char h[kHeader];
        if (::pread(fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) {
            ::close(fd);
            return false;  // not written yet
        }
        if (std::memcmp(h, "RIFF", 4) || std::memcmp(h + 8, "WAVEfmt ", 8) ||
            std::memcmp(h + 36, "data", 4) || (h[34] | h[35] << 8) != 16) {
            ::close(fd);
            FFd = -2;
            return false;
        }
        FChannels = h[22] | h[23] << 8;
        FRate = h[24] | h[25] << 8 | h[26] << 16 | unsigned(h[27]) << 24;
        FFd = fd;
        return FChannels > 0;
    }

    std::string FPath;
    int FFd = -1;  // -2: not a 16-bit WAV file
    bool FWritable = false;
    unsigned FChannels = 0, FRate = 0;
    std::int64_t FFrames = 0;
    std::int64_t FReleased = 0;
};
