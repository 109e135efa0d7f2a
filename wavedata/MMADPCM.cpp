#include "wavedata/MMADPCM.h"

#include "wavedata/MMPCMSup.h"

#include <algorithm>
#include <array>
#include <cstring>

const std::int16_t gaiP4[16] = {230, 230, 230, 230, 307, 409, 512, 614,
                                768, 614, 512, 409, 307, 230, 230, 230};
const std::int16_t gaiCoef1[MSADPCM_NUM_COEF] = {256, 512, 0, 192, 240, 460, 392};
const std::int16_t gaiCoef2[MSADPCM_NUM_COEF] = {0, -256, 0, 64, 0, -208, -232};

namespace {

// (2c + 1) * step / 8 rounded, kept in 16 bits (the top row wraps round),
// with the rows of the established table where it differs from that rule.
constexpr std::array<std::array<std::int16_t, 8>, 89> MakeDiffTable() {
    std::array<std::array<std::int16_t, 8>, 89> t{};
    for (int i = 0; i < 89; ++i)
        for (int c = 0; c < 8; ++c)
            t[i][c] = static_cast<std::int16_t>(
                static_cast<std::uint16_t>(((2 * c + 1) * kImaStepTable[i] + 4) / 8));
    t[0] = {0, 2, 4, 6, 8, 10, 12, 13};
    t[11] = {2, 7, 13, 18, 23, 29, 34, 39};
    t[44] = {61, 185, 309, 432, 556, 680, 803, 927};
    return t;
}

}  // namespace

const std::array<std::array<std::int16_t, 8>, 89> adpcmIMADiffTable = MakeDiffTable();

std::int16_t adpcmIMAStep(int code, std::int16_t& stepNo, std::int16_t& value) {
    int d = adpcmIMADiffTable[std::clamp<int>(stepNo, 0, 88)][code & 7];
    if (code & 8) d = -d;
    value = static_cast<std::int16_t>(static_cast<std::uint16_t>(value + d));
    stepNo = static_cast<std::int16_t>(
        std::clamp(std::clamp<int>(stepNo, 0, 88) + kImaIndexTable[code & 15], 0, 88));
    return value;
}

std::int16_t adpcmDVIStep(int code, std::int16_t& stepNo, std::int16_t& value) {
    int d = std::min((2 * (code & 7) + 1) * kImaStepTable[std::clamp<int>(stepNo, 0, 88)] / 8, 32767);
    if (code & 8) d = -d;
    value = static_cast<std::int16_t>(std::clamp(value + d, -32768, 32767));
    stepNo = static_cast<std::int16_t>(
        std::clamp(std::clamp<int>(stepNo, 0, 88) + kImaIndexTable[code & 7], 0, 88));
    return value;
}

// ---- stream decoders ----------------------------------------------------------

namespace {

using StepFn = std::int16_t (*)(int, std::int16_t&, std::int16_t&);

void Put16(BYTE*& out, std::int16_t v) {
    const auto u = static_cast<std::uint16_t>(v);
    *out++ = static_cast<BYTE>(u);
    *out++ = static_cast<BYTE>(u >> 8);
}

int DecodeMono(const BYTE* src, BYTE* dst, int len, TIMA_PARAMS& p, StepFn step) {
    if (!src || !dst || len <= 0) return 0;
    for (int i = 0; i < len; ++i) {
        for (const int code : {src[i] >> 4, src[i] & 0x0F}) {
            p.lIMA_NIBBLE = static_cast<std::int16_t>(code);
            Put16(dst, step(code, p.lSTEP_NO, p.lPCM_VALUE));
        }
    }
    return 4 * len;
}

// order(i): the index of the i-th byte to decode; leftHigh: the left sample is
// the high nibble.
template <typename Order>
int DecodeStereo(const BYTE* src, BYTE* dst, int len, TIMA_PARAMS& p, StepFn step, Order order,
                 bool leftHigh) {
    if (!src || !dst || len <= 0) return 0;
    for (int i = 0; i < len; ++i) {
        const BYTE b = src[order(i)];
        const int left = leftHigh ? b >> 4 : b & 0x0F;
        const int right = leftHigh ? b & 0x0F : b >> 4;
        p.lIMA_NIBBLE = static_cast<std::int16_t>(left);
        p.rIMA_NIBBLE = static_cast<std::int16_t>(right);
        Put16(dst, step(left, p.lSTEP_NO, p.lPCM_VALUE));
        Put16(dst, step(right, p.rSTEP_NO, p.rPCM_VALUE));
    }
    return 4 * len;
}

}  // namespace

int WMIMATOPCM(const BYTE* src, BYTE* dst, int len, TIMA_PARAMS& params) {
    return DecodeMono(src, dst, len, params, adpcmIMAStep);
}

int WSIMATOPCM(const BYTE* src, BYTE* dst, int len, TIMA_PARAMS& params) {
    return DecodeStereo(
        src, dst, len, params, adpcmIMAStep, [](int i) { return i; }, false);
}

int WMDVITOPCM(const BYTE* src, BYTE* dst, int len, TIMA_PARAMS& params) {
    return DecodeMono(src, dst, len, params, adpcmDVIStep);
}

int WSDVITOPCM(const BYTE* src, BYTE* dst, int len, TIMA_PARAMS& params) {
    // Bytes come in swapped pairs; a lone last byte stands where it is.
    auto swapped = [len](int i) { return (i ^ 1) < len ? i ^ 1 : i; };
    return DecodeStereo(src, dst, len, params, adpcmDVIStep, swapped, true);
}

// ---- Microsoft ADPCM ----------------------------------------------------------

namespace {

const TADPCMWaveFormat* AsAdpcm(const WAVEFORMATEX* f) {
    return reinterpret_cast<const TADPCMWaveFormat*>(f);
}

constexpr int kMaxDelta = 1 << 21;

int MaxSamplesPerBlock(int blockAlign, int channels) {
    return (blockAlign - 7 * channels) * 2 / channels + 2;
}

}  // namespace

bool adpcmIsValidFormat(const WAVEFORMATEX* F) {
    if (!F || F->wFormatTag != WAVE_FORMAT_ADPCM || F->wBitsPerSample != 4 || F->nChannels < 1 ||
        F->nChannels > MSADPCM_MAX_CHANNELS || F->nSamplesPerSec < 1 ||
        F->cbSize < sizeof(TADPCMWaveFormat) - sizeof(WAVEFORMATEX))
        return false;
    const TADPCMWaveFormat* a = AsAdpcm(F);
    if (a->wNumCoef != MSADPCM_NUM_COEF) return false;
    for (int i = 0; i < MSADPCM_NUM_COEF; ++i)
        if (a->aCoef[i].iCoef1 != gaiCoef1[i] || a->aCoef[i].iCoef2 != gaiCoef2[i]) return false;
    if (F->nBlockAlign < 7 * F->nChannels) return false;
    return a->wSamplesPerBlock >= 2 &&
           a->wSamplesPerBlock <= MaxSamplesPerBlock(F->nBlockAlign, F->nChannels);
}

bool adpcmBuildFormatHeader(const WAVEFORMATEX* Src, TADPCMWaveFormat* Dst, int Bits, int Rate,
                            int Channels) {
    if (!Src || !Dst) return false;
    const int rate = Rate < 1 ? static_cast<int>(Src->nSamplesPerSec) : Rate;
    const int channels = Channels < 1 ? Src->nChannels : Channels;
    if (pcmIsValidFormat(Src)) {
        TADPCMWaveFormat w{};
        w.wfx.wFormatTag = WAVE_FORMAT_ADPCM;
        w.wfx.nChannels = static_cast<WORD>(channels);
        w.wfx.nSamplesPerSec = static_cast<DWORD>(rate);
        w.wfx.wBitsPerSample = 4;
        WORD blockAlign = static_cast<WORD>(256 * channels);
        if (rate > 11025) blockAlign = static_cast<WORD>(blockAlign * (rate / 11000));
        w.wfx.nBlockAlign = blockAlign;
        w.wSamplesPerBlock =
            static_cast<WORD>(static_cast<WORD>(blockAlign * 8 - channels * 56) / (channels * 4) + 2);
        const long long f = static_cast<long long>(rate) * channels * 4 / 8;
        w.wfx.nAvgBytesPerSec = blockAlign ? static_cast<DWORD>(f + 7LL * channels * (f / blockAlign + 1))
                                           : static_cast<DWORD>(f);
        w.wfx.cbSize = 32;
        w.wNumCoef = MSADPCM_NUM_COEF;
        for (int i = 0; i < MSADPCM_NUM_COEF; ++i) w.aCoef[i] = {gaiCoef1[i], gaiCoef2[i]};
        // Rates or channel counts this layout cannot carry give no header.
        if (!adpcmIsValidFormat(&w.wfx)) return false;
        *Dst = w;
        return true;
    }
    if (adpcmIsValidFormat(Src)) {
        const int bits = Bits < 1 ? 16 : Bits;
        if (bits != 8 && bits != 16) return false;
        TADPCMWaveFormat w{};
        pcmBuildWaveHeader(&w.wfx, static_cast<WORD>(bits), static_cast<WORD>(channels),
                           static_cast<DWORD>(rate));
        *Dst = w;
        return true;
    }
    return false;
}

std::int64_t adpcmDecodedSize(const WAVEFORMATEX* SrcFmt, const WAVEFORMATEX* DstFmt, std::int64_t srcLen) {
    if (!adpcmIsValidFormat(SrcFmt) || !DstFmt || srcLen <= 0) return 0;
    const std::int64_t blocks = (srcLen + SrcFmt->nBlockAlign - 1) / SrcFmt->nBlockAlign;
    const int bytes = DstFmt->wBitsPerSample == 8 ? 1 : 2;
    return blocks * AsAdpcm(SrcFmt)->wSamplesPerBlock * SrcFmt->nChannels * bytes;
}

int adpcmDecode4Bit(const WAVEFORMATEX* SrcFmt, const WAVEFORMATEX* DstFmt, const BYTE* src, int len,
                    BYTE* dst, int dstCapacity) {
    if (!adpcmIsValidFormat(SrcFmt) || !DstFmt || !src || !dst || len <= 0) return 0;
    const TADPCMWaveFormat* fmt = AsAdpcm(SrcFmt);
    const int ch = SrcFmt->nChannels;
    const int blockAlign = SrcFmt->nBlockAlign;
    const int spb = fmt->wSamplesPerBlock;
    const int sampleBytes = DstFmt->wBitsPerSample == 8 ? 1 : 2;
    const int frameBytes = ch * sampleBytes;

    BYTE* out = dst;
    auto put = [&](int s) {
        if (sampleBytes == 1) {
            *out++ = static_cast<BYTE>(s / 256 + 128);
        } else {
            *out++ = static_cast<BYTE>(s);
            *out++ = static_cast<BYTE>(static_cast<unsigned>(s) >> 8);
        }
    };
    auto read16 = [](const BYTE* p) { return static_cast<int>(static_cast<std::int16_t>(p[0] | p[1] << 8)); };

    int frames = 0;
    for (int block = 0; block + 7 * ch <= len; block += blockAlign) {
        const BYTE* p = src + block;
        const int end = std::min(block + blockAlign, len);
        int coef1[MSADPCM_MAX_CHANNELS], coef2[MSADPCM_MAX_CHANNELS];
        int delta[MSADPCM_MAX_CHANNELS], s1[MSADPCM_MAX_CHANNELS], s2[MSADPCM_MAX_CHANNELS];
        for (int c = 0; c < ch; ++c) {
            const int predictor = p[c];
            if (predictor >= fmt->wNumCoef) return 0;
            coef1[c] = fmt->aCoef[predictor].iCoef1;
            coef2[c] = fmt->aCoef[predictor].iCoef2;
            delta[c] = read16(p + ch + 2 * c);
            s1[c] = read16(p + 3 * ch + 2 * c);
            s2[c] = read16(p + 5 * ch + 2 * c);
        }
        if ((frames + 2) * frameBytes > dstCapacity) break;
        for (int c = 0; c < ch; ++c) put(s2[c]);
        for (int c = 0; c < ch; ++c) put(s1[c]);
        frames += 2;

        int pos = block + 7 * ch;
        bool lowPending = false;
        BYTE byte = 0;
        for (int f = 2; f < spb; ++f) {
            if ((frames + 1) * frameBytes > dstCapacity) return frames * frameBytes;
            for (int c = 0; c < ch; ++c) {
                int code;
                if (lowPending) {
                    code = byte & 0x0F;
                    lowPending = false;
                } else {
                    if (pos + 1 > end) return frames * frameBytes;  // a short last block
                    byte = src[pos++];
                    code = byte >> 4;
                    lowPending = true;
                }
                const int signedCode = code >= 8 ? code - 16 : code;
                // Garbage codes can grow the step without end; far above any
                // real stream's, the cap keeps the arithmetic in range.
                const int newDelta = std::clamp((gaiP4[code] * delta[c]) >> 8, 16, kMaxDelta);
                const int prediction = (s1[c] * coef1[c] + s2[c] * coef2[c]) >> 8;
                const int sample = std::clamp(prediction + signedCode * delta[c], -32768, 32767);
                put(sample);
                s2[c] = s1[c];
                s1[c] = sample;
                delta[c] = newDelta;
            }
            ++frames;
        }
    }
    return frames * frameBytes;
}
