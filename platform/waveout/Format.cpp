#include "platform/waveout/Format.h"

#include <cmath>
#include <cstring>

namespace {

constexpr unsigned kMinRate = 4000;
constexpr unsigned kMaxRate = 192000;

bool sameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

float readSample(SampleKind kind, const unsigned char* p) {
    switch (kind) {
        case SampleKind::Unsigned8:
            return (static_cast<int>(p[0]) - 128) * (1.0f / 128.0f);
        case SampleKind::Signed16: {
            const auto v = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
            return v * (1.0f / 32768.0f);
        }
        case SampleKind::Signed24: {
            std::int32_t v = static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) << 8 |
                                                       static_cast<std::uint32_t>(p[1]) << 16 |
                                                       static_cast<std::uint32_t>(p[2]) << 24) >>
                             8;
            return static_cast<float>(v) * (1.0f / 8388608.0f);
        }
        case SampleKind::Signed32: {
            std::int32_t v;
            std::memcpy(&v, p, 4);
            return static_cast<float>(static_cast<double>(v) * (1.0 / 2147483648.0));
        }
        case SampleKind::Float32: {
            float v;
            std::memcpy(&v, p, 4);
            return std::isfinite(v) ? v : 0.0f;
        }
    }
    return 0.0f;
}

unsigned bytesOf(SampleKind kind) {
    switch (kind) {
        case SampleKind::Unsigned8:
            return 1;
        case SampleKind::Signed16:
            return 2;
        case SampleKind::Signed24:
            return 3;
        default:
            return 4;
    }
}

}  // namespace

MMRESULT parseWaveFormat(const WAVEFORMATEX* format, VoiceFormat& out) {
    if (!format) return MMSYSERR_INVALPARAM;
    WAVEFORMATEX f;
    std::memcpy(&f, format, sizeof f);
    WORD tag = f.wFormatTag;
    unsigned validBits = f.wBitsPerSample;
    if (tag == WAVE_FORMAT_EXTENSIBLE) {
        if (f.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) return WAVERR_BADFORMAT;
        WAVEFORMATEXTENSIBLE x;
        std::memcpy(&x, format, sizeof x);
        if (sameGuid(x.SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
            tag = WAVE_FORMAT_PCM;
        else if (sameGuid(x.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT))
            tag = WAVE_FORMAT_IEEE_FLOAT;
        else
            return WAVERR_BADFORMAT;
        validBits = x.Samples.wValidBitsPerSample;
        if (validBits == 0 || validBits > f.wBitsPerSample) return WAVERR_BADFORMAT;
    }
    VoiceFormat v;
    if (tag == WAVE_FORMAT_PCM) {
        switch (f.wBitsPerSample) {
            case 8:
                v.kind = SampleKind::Unsigned8;
                break;
            case 16:
                v.kind = SampleKind::Signed16;
                break;
            case 24:
                v.kind = SampleKind::Signed24;
                break;
            case 32:
                v.kind = SampleKind::Signed32;
                break;
            default:
                return WAVERR_BADFORMAT;
        }
    } else if (tag == WAVE_FORMAT_IEEE_FLOAT) {
        if (f.wBitsPerSample != 32 || validBits != 32) return WAVERR_BADFORMAT;
        v.kind = SampleKind::Float32;
    } else {
        return WAVERR_BADFORMAT;
    }
    if (f.nChannels < 1 || f.nChannels > 8 || f.nSamplesPerSec < kMinRate || f.nSamplesPerSec > kMaxRate)
        return WAVERR_BADFORMAT;
    if (f.nBlockAlign != f.nChannels * bytesOf(v.kind)) return WAVERR_BADFORMAT;
    v.channels = f.nChannels;
    v.rate = f.nSamplesPerSec;
    v.blockAlign = f.nBlockAlign;
    out = v;
    return MMSYSERR_NOERROR;
}

void convertToStereo(const VoiceFormat& format, const unsigned char* data, std::size_t frames, float* out) {
    const unsigned width = bytesOf(format.kind);
    const unsigned channels = format.channels;
    constexpr float kSide = 0.70710678f;
    for (std::size_t i = 0; i < frames; ++i) {
        const unsigned char* frame = data + i * format.blockAlign;
        float left;
        float right;
        if (channels == 1) {
            left = right = readSample(format.kind, frame);
        } else {
            left = readSample(format.kind, frame);
            right = readSample(format.kind, frame + width);
            for (unsigned c = 2; c < channels; ++c) {
                const float s = readSample(format.kind, frame + c * width);
                if (c == 2) {
                    left += s * kSide;
                    right += s * kSide;
                } else if (c == 3) {
                    continue;
                } else if (c % 2 == 0) {
                    left += s * kSide;
                } else {
                    right += s * kSide;
                }
            }
        }
        out[2 * i] = left;
        out[2 * i + 1] = right;
    }
}
