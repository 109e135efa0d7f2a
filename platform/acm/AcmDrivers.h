#pragma once

// The built-in conversion drivers behind the compression manager functions.
// Internal to platform/acm; the public contract is acm.h.

#include <memory>
#include <optional>

#include "platform/acm/acm.h"

namespace acm_detail {

inline constexpr int kMaxChannels = 8;
inline constexpr DWORD kMinRate = 1000;
inline constexpr DWORD kMaxRate = 768000;

// A linear source: integer PCM (tag 1 or extensible) or float.
struct LinearFormat {
    int channels = 0;
    DWORD rate = 0;
    int bytesPerSample = 0;  // container width
    bool isFloat = false;
    int blockAlign = 0;
};

// Checked views of a format record; nullopt for anything impossible.
std::optional<LinearFormat> ParseLinear(const WAVEFORMATEX* f);
bool IsPcmOutput(const WAVEFORMATEX* f);  // plain tag-1 PCM, 8 or 16 bits
bool IsG711(const WAVEFORMATEX* f);

struct ImaFormat {
    int channels = 0;
    DWORD rate = 0;
    int blockAlign = 0;
    int samplesPerBlock = 0;
};
std::optional<ImaFormat> ParseIma(const WAVEFORMATEX* f);

// One open conversion.
class Stage {
public:
    virtual ~Stage() = default;
    virtual void Convert(const BYTE* src, DWORD srcLen, BYTE* dst, DWORD dstLen, DWORD flags, DWORD& used,
                         DWORD& produced) = 0;
    virtual void Reset() {}
    virtual DWORD DstSizeFor(DWORD srcBytes) const = 0;
    virtual DWORD SrcSizeFor(DWORD dstBytes) const = 0;
};

// The stage that converts src to dst, or null when no driver can.
// realTime false admits a slower, better resampler.
std::unique_ptr<Stage> MakeStage(const WAVEFORMATEX* src, const WAVEFORMATEX* dst, bool realTime);

// The default PCM output of the driver that takes src (tag 0 when none).
WAVEFORMATEX DefaultOutput(const WAVEFORMATEX* src);

// G.711 sample decoding.
std::int16_t ALawToLinear(BYTE a);
std::int16_t MuLawToLinear(BYTE u);

}  // namespace acm_detail
