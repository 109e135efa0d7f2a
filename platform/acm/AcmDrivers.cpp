#include "platform/acm/AcmDrivers.h"

#include "platform/acm/ImaTables.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace acm_detail {

std::int16_t ALawToLinear(BYTE a) {
    a ^= 0x55;
    const int exponent = (a >> 4) & 7;
    int magnitude = ((a & 0x0F) << 4) + 8;
    if (exponent != 0) magnitude = (magnitude + 0x100) << (exponent - 1);
    return static_cast<std::int16_t>((a & 0x80) ? magnitude : -magnitude);
}

std::int16_t MuLawToLinear(BYTE u) {
    u = static_cast<BYTE>(~u);
    const int exponent = (u >> 4) & 7;
    const int magnitude = ((((u & 0x0F) << 3) + 0x84) << exponent) - 0x84;
    return static_cast<std::int16_t>((u & 0x80) ? -magnitude : magnitude);
}

namespace {

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

bool RateOk(DWORD rate) {
    return rate >= kMinRate && rate <= kMaxRate;
}

// ---- sample access ------------------------------------------------------------

// One sample scaled to the full 32-bit range.
std::int32_t ReadInt32(const BYTE* p, const LinearFormat& f) {
    if (f.isFloat) {
        double v = f.bytesPerSample == 4 ? [&] {
            float x;
            std::memcpy(&x, p, 4);
            return static_cast<double>(x);
        }()
                                         : [&] {
                                               double x;
                                               std::memcpy(&x, p, 8);
                                               return x;
                                           }();
        if (std::isnan(v)) return 0;
        v = std::round(v * 2147483648.0);
        if (v >= 2147483647.0) return INT32_MAX;
        if (v <= -2147483648.0) return INT32_MIN;
        return static_cast<std::int32_t>(v);
    }
    switch (f.bytesPerSample) {
        case 1:
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0] ^ 0x80) << 24);
        case 2:
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0] | p[1] << 8) << 16);
        case 3:
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16) << 8);
        default:
            return static_cast<std::int32_t>(
                static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24);
    }
}

// Round to the output width, saturating.
void WriteFromInt32(BYTE* p, std::int32_t v, int outBytes) {
    if (outBytes == 2) {
        const std::int64_t s = std::min<std::int64_t>((static_cast<std::int64_t>(v) + 0x8000) >> 16, 32767);
        const auto u = static_cast<std::uint16_t>(static_cast<std::int16_t>(s));
        p[0] = static_cast<BYTE>(u);
        p[1] = static_cast<BYTE>(u >> 8);
    } else {
        const std::int64_t s = std::min<std::int64_t>((static_cast<std::int64_t>(v) + 0x800000) >> 24, 127);
        p[0] = static_cast<BYTE>(s + 128);
    }
}

std::int32_t FloatToInt32(float x) {
    const double v = std::round(static_cast<double>(x) * 2147483648.0);
    if (!(v < 2147483647.0)) return std::isnan(v) ? 0 : INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<std::int32_t>(v);
}

void Put16(BYTE* p, std::int16_t v) {
    const auto u = static_cast<std::uint16_t>(v);
    p[0] = static_cast<BYTE>(u);
    p[1] = static_cast<BYTE>(u >> 8);
}

// ---- linear PCM to 8/16-bit PCM -------------------------------------------------

class LinearStage final : public Stage {
public:
    LinearStage(const LinearFormat& in, int outChannels, int outBytes, DWORD outRate, bool realTime)
        : in_(in),
          outChannels_(outChannels),
          outBytes_(outBytes),
          outBlock_(outChannels * outBytes),
          ratio_(static_cast<double>(outRate) / in.rate),
          realTime_(realTime) {
        if (outRate != in.rate) Open();
    }
    ~LinearStage() override {
        if (resampler_) src_delete(resampler_);
    }
    bool Ok() const { return ratio_ == 1.0 || resampler_ != nullptr; }

    void Convert(const BYTE* src, DWORD srcLen, BYTE* dst, DWORD dstLen, DWORD flags, DWORD& used,
                 DWORD& produced) override {
        if (!resampler_) {
            const DWORD frames = std::min<DWORD>(srcLen / in_.blockAlign, dstLen / outBlock_);
            for (DWORD i = 0; i < frames; ++i) MapFrame(src + i * in_.blockAlign, dst + i * outBlock_);
            used = frames * in_.blockAlign;
            produced = frames * outBlock_;
            return;
        }
        Resample(src, srcLen, dst, dstLen, (flags & ACM_STREAMCONVERTF_END) != 0, used, produced);
    }

    void Reset() override {
        if (resampler_) src_reset(resampler_);
    }

    DWORD DstSizeFor(DWORD srcBytes) const override {
        const double frames = static_cast<double>(srcBytes / in_.blockAlign);
        if (!resampler_) return static_cast<DWORD>(frames) * outBlock_;
        // Room for the resampler's held-back frames too.
        const double out = std::ceil(frames * ratio_) + 256.0;
        return static_cast<DWORD>(std::min(out * outBlock_, 4.0e9));
    }
    DWORD SrcSizeFor(DWORD dstBytes) const override {
        const double frames = static_cast<double>(dstBytes / outBlock_);
        return static_cast<DWORD>(std::min(std::floor(frames / ratio_) * in_.blockAlign, 4.0e9));
    }

private:
    void Open() {
        int error = 0;
        resampler_ = src_new(realTime_ ? SRC_SINC_FASTEST : SRC_SINC_MEDIUM_QUALITY, outChannels_, &error);
    }

    // Integer path: exact widths, 1<->2 channel mapping.
    void MapFrame(const BYTE* in, BYTE* out) const {
        if (in_.channels == outChannels_) {
            for (int c = 0; c < outChannels_; ++c)
                WriteFromInt32(out + c * outBytes_, ReadInt32(in + c * in_.bytesPerSample, in_), outBytes_);
        } else if (outChannels_ == 2) {
            const std::int32_t v = ReadInt32(in, in_);
            WriteFromInt32(out, v, outBytes_);
            WriteFromInt32(out + outBytes_, v, outBytes_);
        } else {
            const std::int64_t sum =
                static_cast<std::int64_t>(ReadInt32(in, in_)) + ReadInt32(in + in_.bytesPerSample, in_);
            WriteFromInt32(out, static_cast<std::int32_t>(sum >> 1), outBytes_);
        }
    }

    void ToFloat(const BYTE* in, float* out) const {
        constexpr double scale = 1.0 / 2147483648.0;
        if (in_.channels == outChannels_) {
            for (int c = 0; c < outChannels_; ++c)
                out[c] = static_cast<float>(ReadInt32(in + c * in_.bytesPerSample, in_) * scale);
        } else if (outChannels_ == 2) {
            out[0] = out[1] = static_cast<float>(ReadInt32(in, in_) * scale);
        } else {
            out[0] = static_cast<float>(
                (static_cast<double>(ReadInt32(in, in_)) + ReadInt32(in + in_.bytesPerSample, in_)) * 0.5 *
                scale);
        }
    }

    void Resample(const BYTE* src, DWORD srcLen, BYTE* dst, DWORD dstLen, bool end, DWORD& used,
                  DWORD& produced) {
        const long inFrames = static_cast<long>(srcLen / in_.blockAlign);
        const long outFrames = static_cast<long>(dstLen / outBlock_);
        inBuf_.resize(static_cast<size_t>(inFrames) * outChannels_ + 1);
        outBuf_.resize(static_cast<size_t>(outFrames) * outChannels_ + 1);
        for (long i = 0; i < inFrames; ++i) ToFloat(src + i * in_.blockAlign, &inBuf_[i * outChannels_]);
        SRC_DATA data{};
        data.data_in = inBuf_.data();
        data.data_out = outBuf_.data();
        data.input_frames = inFrames;
        data.output_frames = outFrames;
        data.end_of_input = end ? 1 : 0;
        data.src_ratio = ratio_;
        used = produced = 0;
        if (outFrames == 0 || src_process(resampler_, &data) != 0) return;
        for (long i = 0; i < data.output_frames_gen * outChannels_; ++i)
            WriteFromInt32(dst + i * outBytes_, FloatToInt32(outBuf_[i]), outBytes_);
        used = static_cast<DWORD>(data.input_frames_used) * in_.blockAlign;
        produced = static_cast<DWORD>(data.output_frames_gen) * outBlock_;
    }

    LinearFormat in_;
    int outChannels_;
    int outBytes_;
    int outBlock_;
    double ratio_;
    bool realTime_;
    SRC_STATE* resampler_ = nullptr;
    std::vector<float> inBuf_, outBuf_;
};

// ---- G.711 ----------------------------------------------------------------------

class G711Stage final : public Stage {
public:
    G711Stage(bool aLaw, int channels) {
        for (int i = 0; i < 256; ++i)
            table_[i] = aLaw ? ALawToLinear(static_cast<BYTE>(i)) : MuLawToLinear(static_cast<BYTE>(i));
        channels_ = channels;
    }
    void Convert(const BYTE* src, DWORD srcLen, BYTE* dst, DWORD dstLen, DWORD, DWORD& used,
                 DWORD& produced) override {
        const DWORD frames = std::min<DWORD>(srcLen / channels_, dstLen / (2 * channels_));
        const DWORD n = frames * channels_;
        for (DWORD i = 0; i < n; ++i) Put16(dst + 2 * i, table_[src[i]]);
        used = n;
        produced = 2 * n;
    }
    DWORD DstSizeFor(DWORD srcBytes) const override { return srcBytes / channels_ * channels_ * 2; }
    DWORD SrcSizeFor(DWORD dstBytes) const override { return dstBytes / (2 * channels_) * channels_; }

private:
    std::int16_t table_[256];
    DWORD channels_;
};

// ---- IMA ADPCM ------------------------------------------------------------------

class ImaStage final : public Stage {
public:
    explicit ImaStage(const ImaFormat& f)
        : f_(f), outBlock_(static_cast<DWORD>(f.samplesPerBlock) * f.channels * 2) {}

    void Convert(const BYTE* src, DWORD srcLen, BYTE* dst, DWORD dstLen, DWORD flags, DWORD& used,
                 DWORD& produced) override {
        used = produced = 0;
        const DWORD block = static_cast<DWORD>(f_.blockAlign);
        while (dstLen - produced >= outBlock_) {
            const DWORD left = srcLen - used;
            if (left >= block) {
                DecodeBlock(src + used, f_.samplesPerBlock, dst + produced);
                used += block;
                produced += outBlock_;
                continue;
            }
            // A short last block only at the end of the stream.
            const DWORD header = 4u * f_.channels;
            if ((flags & ACM_STREAMCONVERTF_END) && left > 0) {
                const int samples = left >= header ? 1 + static_cast<int>((left - header) / header) * 8 : 0;
                if (samples > 0) DecodeBlock(src + used, samples, dst + produced);
                used += left;
                produced += static_cast<DWORD>(samples) * f_.channels * 2;
            }
            break;
        }
    }
    DWORD DstSizeFor(DWORD srcBytes) const override {
        return static_cast<DWORD>((srcBytes + f_.blockAlign - 1ull) / f_.blockAlign * outBlock_);
    }
    DWORD SrcSizeFor(DWORD dstBytes) const override { return dstBytes / outBlock_ * f_.blockAlign; }

private:
    // samples: 1 from the header plus whole groups of 8.
    void DecodeBlock(const BYTE* in, int samples, BYTE* out) const {
        const int ch = f_.channels;
        for (int c = 0; c < ch; ++c) {
            const BYTE* h = in + 4 * c;
            int value = static_cast<std::int16_t>(h[0] | h[1] << 8);
            int index = std::min<int>(h[2], 88);
            Put16(out + 2 * c, static_cast<std::int16_t>(value));
            const BYTE* data = in + 4 * ch + 4 * c;
            for (int s = 1; s < samples; ++s) {
                const int k = s - 1;  // code number within this channel
                const BYTE byte = data[(k / 8) * 4 * ch + (k % 8) / 2];
                const int code = (k % 2) ? byte >> 4 : byte & 0x0F;
                const int step = kImaStepTable[index];
                int diff = step >> 3;
                if (code & 4) diff += step;
                if (code & 2) diff += step >> 1;
                if (code & 1) diff += step >> 2;
                value = std::clamp(code & 8 ? value - diff : value + diff, -32768, 32767);
                index = std::clamp(index + kImaIndexTable[code], 0, 88);
                Put16(out + 2 * (s * ch + c), static_cast<std::int16_t>(value));
            }
        }
    }

    ImaFormat f_;
    DWORD outBlock_;
};

}  // namespace

// ---- format checks ----------------------------------------------------------------

std::optional<LinearFormat> ParseLinear(const WAVEFORMATEX* f) {
    if (!f || f->nChannels < 1 || f->nChannels > kMaxChannels || !RateOk(f->nSamplesPerSec))
        return std::nullopt;
    LinearFormat r;
    r.channels = f->nChannels;
    r.rate = f->nSamplesPerSec;
    WORD tag = f->wFormatTag;
    if (tag == WAVE_FORMAT_EXTENSIBLE) {
        if (f->cbSize < 22) return std::nullopt;
        const auto* x = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(f);
        if (SameGuid(x->SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
            tag = WAVE_FORMAT_PCM;
        else if (SameGuid(x->SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT))
            tag = WAVE_FORMAT_IEEE_FLOAT;
        else
            return std::nullopt;
        if (x->Samples.wValidBitsPerSample > f->wBitsPerSample) return std::nullopt;
    }
    if (tag == WAVE_FORMAT_PCM) {
        if (f->wBitsPerSample != 8 && f->wBitsPerSample != 16 && f->wBitsPerSample != 24 &&
            f->wBitsPerSample != 32)
            return std::nullopt;
    } else if (tag == WAVE_FORMAT_IEEE_FLOAT) {
        if (f->wBitsPerSample != 32 && f->wBitsPerSample != 64) return std::nullopt;
        r.isFloat = true;
    } else {
        return std::nullopt;
    }
    r.bytesPerSample = f->wBitsPerSample / 8;
    r.blockAlign = r.bytesPerSample * r.channels;
    if (f->nBlockAlign != r.blockAlign) return std::nullopt;
    return r;
}

bool IsPcmOutput(const WAVEFORMATEX* f) {
    return f && f->wFormatTag == WAVE_FORMAT_PCM && (f->wBitsPerSample == 8 || f->wBitsPerSample == 16) &&
           f->nChannels >= 1 && f->nChannels <= kMaxChannels && RateOk(f->nSamplesPerSec) &&
           f->nBlockAlign == f->nChannels * f->wBitsPerSample / 8;
}

bool IsG711(const WAVEFORMATEX* f) {
    return f && (f->wFormatTag == WAVE_FORMAT_ALAW || f->wFormatTag == WAVE_FORMAT_MULAW) &&
           f->wBitsPerSample == 8 && f->nChannels >= 1 && f->nChannels <= kMaxChannels &&
           RateOk(f->nSamplesPerSec) && f->nBlockAlign == f->nChannels;
}

std::optional<ImaFormat> ParseIma(const WAVEFORMATEX* f) {
    if (!f || f->wFormatTag != WAVE_FORMAT_IMA_ADPCM || f->wBitsPerSample != 4 || f->nChannels < 1 ||
        f->nChannels > 2 || !RateOk(f->nSamplesPerSec) || f->cbSize < 2)
        return std::nullopt;
    ImaFormat r;
    r.channels = f->nChannels;
    r.rate = f->nSamplesPerSec;
    r.blockAlign = f->nBlockAlign;
    WORD spb;
    std::memcpy(&spb, reinterpret_cast<const BYTE*>(f) + sizeof(WAVEFORMATEX), 2);
    r.samplesPerBlock = spb;
    // A block holds a header per channel, then groups of 4 bytes per channel.
    const int header = 4 * r.channels;
    if (r.blockAlign < header || (r.blockAlign - header) % header != 0) return std::nullopt;
    const int fits = 1 + (r.blockAlign - header) / header * 8;
    if (r.samplesPerBlock != fits) return std::nullopt;
    return r;
}

std::unique_ptr<Stage> MakeStage(const WAVEFORMATEX* src, const WAVEFORMATEX* dst, bool realTime) {
    if (!IsPcmOutput(dst)) return nullptr;
    if (auto in = ParseLinear(src)) {
        const bool channelsOk = in->channels == dst->nChannels || (in->channels <= 2 && dst->nChannels <= 2);
        if (!channelsOk) return nullptr;
        const double ratio = static_cast<double>(dst->nSamplesPerSec) / in->rate;
        if (ratio != 1.0 && !src_is_valid_ratio(ratio)) return nullptr;
        auto stage = std::make_unique<LinearStage>(*in, dst->nChannels, dst->wBitsPerSample / 8,
                                                   dst->nSamplesPerSec, realTime);
        if (!stage->Ok()) return nullptr;
        return stage;
    }
    const bool sameShape = src && dst->wBitsPerSample == 16 && dst->nChannels == src->nChannels &&
                           dst->nSamplesPerSec == src->nSamplesPerSec;
    if (!sameShape) return nullptr;
    if (IsG711(src)) return std::make_unique<G711Stage>(src->wFormatTag == WAVE_FORMAT_ALAW, src->nChannels);
    if (auto ima = ParseIma(src)) return std::make_unique<ImaStage>(*ima);
    return nullptr;
}

WAVEFORMATEX DefaultOutput(const WAVEFORMATEX* src) {
    WAVEFORMATEX w{};
    int bits = 0;
    if (auto in = ParseLinear(src))
        bits = (src->wFormatTag == WAVE_FORMAT_PCM && src->wBitsPerSample == 8) ? 8 : 16;
    else if (IsG711(src) || ParseIma(src))
        bits = 16;
    if (bits == 0) return w;
    w.wFormatTag = WAVE_FORMAT_PCM;
    w.nChannels = src->nChannels;
    w.nSamplesPerSec = src->nSamplesPerSec;
    w.wBitsPerSample = static_cast<WORD>(bits);
    w.nBlockAlign = static_cast<WORD>(w.nChannels * bits / 8);
    w.nAvgBytesPerSec = w.nSamplesPerSec * w.nBlockAlign;
    return w;
}

}  // namespace acm_detail
