#include "platform/acm/acm.h"

#include <gtest/gtest.h>

#include <QString>
#include <cmath>
#include <cstring>
#include <vector>

#include "tests/support/SoxFixtures.h"
#include "tests/support/TempDir.h"

namespace {

// A format record with room for its extra bytes.
struct Format {
    std::vector<BYTE> bytes;
    Format() : bytes(64, 0) {}
    explicit Format(const QByteArray& fmt) : bytes(std::max<size_t>(64, fmt.size()), 0) {
        std::memcpy(bytes.data(), fmt.constData(), fmt.size());
    }
    WAVEFORMATEX* get() { return reinterpret_cast<WAVEFORMATEX*>(bytes.data()); }
    WAVEFORMATEX* operator->() { return get(); }
};

Format Pcm(int bits, int channels, DWORD rate) {
    Format f;
    f->wFormatTag = WAVE_FORMAT_PCM;
    f->nChannels = static_cast<WORD>(channels);
    f->nSamplesPerSec = rate;
    f->wBitsPerSample = static_cast<WORD>(bits);
    f->nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f->nAvgBytesPerSec = rate * f->nBlockAlign;
    return f;
}

// Stream closed on every path.
class Stream {
public:
    Stream(WAVEFORMATEX* src, WAVEFORMATEX* dst, DWORD flags = 0) {
        result = acmStreamOpen(&handle, nullptr, src, dst, nullptr, 0, 0, flags);
    }
    ~Stream() {
        if (handle) acmStreamClose(handle, 0);
    }
    HACMSTREAM handle = nullptr;
    MMRESULT result;
};

// Converts everything as a caller streaming from a file would: pieces of
// `piece` bytes, block-aligned, kept-back input carried into the next call,
// then END repeated until nothing more comes.
std::vector<BYTE> ConvertAll(HACMSTREAM s, const QByteArray& input, DWORD piece) {
    DWORD dstSize = 0;
    EXPECT_EQ(acmStreamSize(s, piece, &dstSize, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
    std::vector<BYTE> src(piece * 2), dst(dstSize), out;
    ACMSTREAMHEADER h{};
    h.cbStruct = ACMSTREAMHEADER_CBSTRUCT;
    h.pbSrc = src.data();
    h.cbSrcLength = static_cast<DWORD>(src.size());
    h.pbDst = dst.data();
    h.cbDstLength = dstSize;
    EXPECT_EQ(acmStreamPrepareHeader(s, &h, 0), MMSYSERR_NOERROR);
    DWORD kept = 0;
    qsizetype pos = 0;
    for (bool end = false; !end;) {
        const DWORD n = static_cast<DWORD>(std::min<qsizetype>(piece, input.size() - pos));
        std::memcpy(src.data() + kept, input.constData() + pos, n);
        pos += n;
        end = pos >= input.size();
        h.cbSrcLength = kept + n;
        EXPECT_EQ(acmStreamConvert(s, &h, end ? ACM_STREAMCONVERTF_END : ACM_STREAMCONVERTF_BLOCKALIGN),
                  MMSYSERR_NOERROR);
        EXPECT_TRUE(h.fdwStatus & ACMSTREAMHEADER_STATUSF_DONE);
        out.insert(out.end(), dst.begin(), dst.begin() + h.cbDstLengthUsed);
        kept = h.cbSrcLength - h.cbSrcLengthUsed;
        std::memmove(src.data(), src.data() + h.cbSrcLengthUsed, kept);
        if (end && (kept > 0 || h.cbDstLengthUsed > 0)) end = false;  // drain
        if (end) break;
        if (pos >= input.size() && h.cbDstLengthUsed == 0 && kept == 0) break;
    }
    EXPECT_EQ(acmStreamUnprepareHeader(s, &h, 0), MMSYSERR_NOERROR);
    return out;
}

std::vector<std::int16_t> As16(const std::vector<BYTE>& b) {
    std::vector<std::int16_t> v(b.size() / 2);
    std::memcpy(v.data(), b.data(), v.size() * 2);
    return v;
}

struct SoxCase {
    const char* name;
    QStringList encoding;  // sox output options
    int channels;
    WORD expectTag;
    bool asExtensible = false;  // restate sox's fmt as WAVE_FORMAT_EXTENSIBLE
};

// The same format as an extensible record with the matching subformat.
QByteArray Extensible(const QByteArray& fmt) {
    WAVEFORMATEXTENSIBLE x{};
    std::memcpy(&x.Format, fmt.constData(), 16);
    x.SubFormat = x.Format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
                                                                : KSDATAFORMAT_SUBTYPE_PCM;
    x.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    x.Format.cbSize = 22;
    x.Samples.wValidBitsPerSample = x.Format.wBitsPerSample;
    x.dwChannelMask = 0x7;
    return QByteArray(reinterpret_cast<const char*>(&x), sizeof x);
}

class DecodeAgainstSox : public ::testing::TestWithParam<SoxCase> {};

// Every decoder gives what sox gives for the same file. G.711, IMA ADPCM and
// integer PCM have one right answer; float is rounded once to 32 bits and
// once to 16, as sox does, so it is exact too.
TEST_P(DecodeAgainstSox, MatchesSoxExactly) {
    ASSERT_TRUE(sox::Available());
    const SoxCase& c = GetParam();
    TempDir dir;
    const QString file = dir.file("in.wav");
    sox::Run(QStringList{"-n", "-r", "22050", "-c", QString::number(c.channels)} + c.encoding +
             QStringList{file, "synth", "0.6", "sine", "200-5000", "sine", "330", "gain", "-2"});
    const sox::WavFile wav = sox::ReadWav(file);
    Format src(c.asExtensible ? Extensible(wav.fmt) : wav.fmt);
    ASSERT_EQ(src->wFormatTag, c.expectTag);

    Format dst;
    dst->wFormatTag = WAVE_FORMAT_PCM;
    ASSERT_EQ(acmFormatSuggest(nullptr, src.get(), dst.get(), 18, ACM_FORMATSUGGESTF_WFORMATTAG),
              MMSYSERR_NOERROR);
    EXPECT_EQ(dst->wBitsPerSample, 16);
    EXPECT_EQ(dst->nChannels, c.channels);
    EXPECT_EQ(dst->nSamplesPerSec, 22050u);

    Stream s(src.get(), dst.get());
    ASSERT_EQ(s.result, MMSYSERR_NOERROR);
    const std::vector<std::int16_t> ours =
        As16(ConvertAll(s.handle, wav.data, 3000 / src->nBlockAlign * src->nBlockAlign));
    const std::vector<std::int16_t> ref = sox::DecodeTo16(file);
    ASSERT_GT(ref.size(), 10000u);
    // sox drops the padding of a last ADPCM block (it knows the length from
    // the fact chunk); everything it gives must match.
    ASSERT_GE(ours.size(), ref.size());
    EXPECT_LE(ours.size() - ref.size(), 2048u);
    size_t mismatches = 0, first = 0;
    for (size_t i = 0; i < ref.size(); ++i)
        if (ours[i] != ref[i] && mismatches++ == 0) first = i;
    EXPECT_EQ(mismatches, 0u) << "first at " << first << ": " << ours[first] << " vs " << ref[first];
}

INSTANTIATE_TEST_SUITE_P(
    Formats, DecodeAgainstSox,
    ::testing::Values(
        SoxCase{"ALawMono", {"-t", "wav", "-e", "a-law"}, 1, WAVE_FORMAT_ALAW},
        SoxCase{"MuLawStereo", {"-t", "wav", "-e", "u-law"}, 2, WAVE_FORMAT_MULAW},
        SoxCase{"ImaMono", {"-t", "wav", "-e", "ima-adpcm"}, 1, WAVE_FORMAT_IMA_ADPCM},
        SoxCase{"ImaStereo", {"-t", "wav", "-e", "ima-adpcm"}, 2, WAVE_FORMAT_IMA_ADPCM},
        SoxCase{"Pcm24Stereo", {"-t", "wavpcm", "-e", "signed", "-b", "24"}, 2, WAVE_FORMAT_PCM},
        SoxCase{"Pcm32Mono", {"-t", "wavpcm", "-e", "signed", "-b", "32"}, 1, WAVE_FORMAT_PCM},
        SoxCase{"FloatMono", {"-t", "wav", "-e", "floating-point", "-b", "32"}, 1, WAVE_FORMAT_IEEE_FLOAT},
        SoxCase{
            "Double64Stereo", {"-t", "wav", "-e", "floating-point", "-b", "64"}, 2, WAVE_FORMAT_IEEE_FLOAT},
        SoxCase{"Extensible24Stereo", {"-t", "wav", "-e", "signed", "-b", "24"}, 2, WAVE_FORMAT_EXTENSIBLE},
        SoxCase{"ExtensibleFloat3Ch",
                {"-t", "wav", "-e", "floating-point", "-b", "32"},
                3,
                WAVE_FORMAT_EXTENSIBLE,
                true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- PCM to PCM --------------------------------------------------------------

std::vector<BYTE> ConvertPcm(Format src, Format dst, const std::vector<BYTE>& in) {
    Stream s(src.get(), dst.get());
    EXPECT_EQ(s.result, MMSYSERR_NOERROR);
    if (s.result) return {};
    return ConvertAll(s.handle, QByteArray(reinterpret_cast<const char*>(in.data()), in.size()), 512);
}

TEST(PcmToPcm, WidthAndChannelChangesFollowTheirDefinition) {
    const std::vector<std::int16_t> stereo = {0, 0, 32767, -32768, 1000, 3000, -129, -127, 255, 256};
    std::vector<BYTE> in(stereo.size() * 2);
    std::memcpy(in.data(), stereo.data(), in.size());

    // 16 to 8 bits rounds to nearest and saturates; 8 bits are offset by 128.
    const std::vector<BYTE> eight = ConvertPcm(Pcm(16, 2, 8000), Pcm(8, 2, 8000), in);
    ASSERT_EQ(eight.size(), stereo.size());
    for (size_t i = 0; i < stereo.size(); ++i)
        EXPECT_EQ(eight[i], std::clamp((stereo[i] + 128) >> 8, -128, 127) + 128) << i;

    // Stereo to mono averages the two channels, halves rounded up.
    const auto mono = As16(ConvertPcm(Pcm(16, 2, 8000), Pcm(16, 1, 8000), in));
    ASSERT_EQ(mono.size(), stereo.size() / 2);
    for (size_t i = 0; i < mono.size(); ++i)
        EXPECT_EQ(mono[i], (stereo[2 * i] + stereo[2 * i + 1] + 1) >> 1) << i;

    // Mono 8 bits to stereo 16 bits duplicates each sample, exactly.
    const std::vector<BYTE> bytes = {0, 1, 127, 128, 129, 255};
    const auto wide = As16(ConvertPcm(Pcm(8, 1, 8000), Pcm(16, 2, 8000), bytes));
    ASSERT_EQ(wide.size(), bytes.size() * 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        EXPECT_EQ(wide[2 * i], (bytes[i] - 128) * 256);
        EXPECT_EQ(wide[2 * i + 1], (bytes[i] - 128) * 256);
    }
}

std::vector<BYTE> Sine(int frames, double hz, double rate, double amplitude) {
    std::vector<BYTE> b(frames * 2);
    for (int i = 0; i < frames; ++i) {
        const auto v = static_cast<std::int16_t>(std::lrint(amplitude * std::sin(2 * M_PI * hz * i / rate)));
        std::memcpy(&b[2 * i], &v, 2);
    }
    return b;
}

// 44.1 to 48 kHz: the whole signal comes out (held-back frames flushed at the
// end) and is the same sine at the new rate. The fast sinc resampler is
// rated by its authors at 97 dB signal to noise, well under one step of 16 bits at this
// level; with the rounding of input and output, 4 steps is a safe bound.
TEST(PcmToPcm, RateChangeKeepsLengthAndWaveform) {
    constexpr int inFrames = 44100;
    const auto in = Sine(inFrames, 1000, 44100, 16000);
    const auto out = As16(ConvertPcm(Pcm(16, 1, 44100), Pcm(16, 1, 48000), in));
    EXPECT_NEAR(static_cast<double>(out.size()), 48000.0, 2.0);
    int worst = 0;
    for (size_t i = 200; i + 200 < out.size(); ++i) {
        const double ideal = 16000 * std::sin(2 * M_PI * 1000 * static_cast<double>(i) / 48000);
        worst = std::max(worst, static_cast<int>(std::abs(out[i] - ideal)));
    }
    EXPECT_LE(worst, 4);
}

// State lives across calls: converting in small pieces gives what one call gives.
TEST(PcmToPcm, RateChangeStreamsAcrossCalls) {
    const auto in = Sine(20000, 440, 22050, 12000);
    const QByteArray bytes(reinterpret_cast<const char*>(in.data()), in.size());
    Format src = Pcm(16, 1, 22050), dst = Pcm(16, 2, 44100);
    Stream whole(src.get(), dst.get()), pieces(src.get(), dst.get());
    const auto a = ConvertAll(whole.handle, bytes, static_cast<DWORD>(bytes.size()));
    const auto b = ConvertAll(pieces.handle, bytes, 300);
    EXPECT_NEAR(static_cast<double>(a.size()), 20000.0 * 2 * 2 * 2, 16.0);
    EXPECT_EQ(a, b);
}

// ---- contract -----------------------------------------------------------------

TEST(AcmContract, VersionAndNames) {
    EXPECT_GE(acmGetVersion() >> 16, 0x0200u);

    ACMFORMATTAGDETAILS t{};
    t.cbStruct = sizeof t;
    t.dwFormatTag = WAVE_FORMAT_IMA_ADPCM;
    ASSERT_EQ(acmFormatTagDetails(nullptr, &t, ACM_FORMATTAGDETAILSF_FORMATTAG), MMSYSERR_NOERROR);
    EXPECT_EQ(std::wstring(t.szFormatTag), L"IMA ADPCM");
    t.dwFormatTag = WAVE_FORMAT_GSM610;
    EXPECT_EQ(acmFormatTagDetails(nullptr, &t, ACM_FORMATTAGDETAILSF_FORMATTAG), ACMERR_NOTPOSSIBLE);

    Format f = Pcm(16, 1, 22050);
    ACMFORMATDETAILS d{};
    d.cbStruct = sizeof d;
    d.pwfx = f.get();
    d.cbwfx = 18;
    ASSERT_EQ(acmFormatDetails(nullptr, &d, ACM_FORMATDETAILSF_FORMAT), MMSYSERR_NOERROR);
    EXPECT_EQ(std::wstring(d.szFormat), L"22.050 kHz, 16 Bit, Mono");
}

TEST(AcmContract, HeadersAndHandlesAreChecked) {
    Format src = Pcm(16, 1, 8000), dst = Pcm(8, 1, 8000);
    Stream s(src.get(), dst.get());
    ASSERT_EQ(s.result, MMSYSERR_NOERROR);
    BYTE in[64] = {}, out[64] = {};
    ACMSTREAMHEADER h{};
    h.cbStruct = ACMSTREAMHEADER_CBSTRUCT;
    h.pbSrc = in;
    h.cbSrcLength = 32;
    h.pbDst = out;
    h.cbDstLength = 16;
    EXPECT_EQ(acmStreamConvert(s.handle, &h, 0), ACMERR_UNPREPARED);
    ASSERT_EQ(acmStreamPrepareHeader(s.handle, &h, 0), MMSYSERR_NOERROR);
    h.cbSrcLength = 64;  // more than it was prepared with
    EXPECT_EQ(acmStreamConvert(s.handle, &h, 0), MMSYSERR_INVALPARAM);
    h.cbSrcLength = 32;
    ASSERT_EQ(acmStreamConvert(s.handle, &h, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(h.cbSrcLengthUsed, 32u);
    EXPECT_EQ(h.cbDstLengthUsed, 16u);
    EXPECT_EQ(acmStreamUnprepareHeader(s.handle, &h, 0), MMSYSERR_NOERROR);

    auto* bogus = reinterpret_cast<HACMSTREAM>(&h);
    EXPECT_EQ(acmStreamConvert(bogus, &h, 0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(acmStreamClose(bogus, 0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(acmStreamOpen(nullptr, nullptr, src.get(), dst.get(), nullptr, 0, 0, 0), MMSYSERR_INVALPARAM);
}

Format Ima(int channels, int blockAlign, int samplesPerBlock) {
    Format f;
    f->wFormatTag = WAVE_FORMAT_IMA_ADPCM;
    f->nChannels = static_cast<WORD>(channels);
    f->nSamplesPerSec = 22050;
    f->wBitsPerSample = 4;
    f->nBlockAlign = static_cast<WORD>(blockAlign);
    f->cbSize = 2;
    const WORD spb = static_cast<WORD>(samplesPerBlock);
    std::memcpy(f.bytes.data() + 18, &spb, 2);
    return f;
}

// With block alignment a partial IMA block waits; END decodes what it holds.
TEST(AcmContract, ImaPartialBlockWaitsForEnd) {
    Format src = Ima(1, 256, 505), dst = Pcm(16, 1, 22050);
    Stream s(src.get(), dst.get());
    ASSERT_EQ(s.result, MMSYSERR_NOERROR);
    std::vector<BYTE> in(256 + 36, 0x11), out(4096);
    ACMSTREAMHEADER h{};
    h.cbStruct = ACMSTREAMHEADER_CBSTRUCT;
    h.pbSrc = in.data();
    h.cbSrcLength = static_cast<DWORD>(in.size());
    h.pbDst = out.data();
    h.cbDstLength = static_cast<DWORD>(out.size());
    ASSERT_EQ(acmStreamPrepareHeader(s.handle, &h, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(acmStreamConvert(s.handle, &h, ACM_STREAMCONVERTF_BLOCKALIGN), MMSYSERR_NOERROR);
    EXPECT_EQ(h.cbSrcLengthUsed, 256u);
    EXPECT_EQ(h.cbDstLengthUsed, 505u * 2);
    h.pbSrc = in.data() + 256;
    h.cbSrcLength = 36;
    ASSERT_EQ(acmStreamConvert(s.handle, &h, ACM_STREAMCONVERTF_END), MMSYSERR_NOERROR);
    EXPECT_EQ(h.cbSrcLengthUsed, 36u);
    EXPECT_EQ(h.cbDstLengthUsed, (1u + 8 * 8) * 2);  // header sample + 8 groups of 4 bytes
    h.pbSrc = in.data();
    h.cbSrcLength = static_cast<DWORD>(in.size());
    acmStreamUnprepareHeader(s.handle, &h, 0);
}

struct BadFormat {
    const char* name;
    Format format;
};

// Impossible headers are refused by suggestion and by opening, before any
// buffer is sized from them.
TEST(AcmContract, ImpossibleFormatsAreRefused) {
    std::vector<BadFormat> cases;
    cases.push_back({"ima five channels", Ima(5, 20 * 5, 33)});
    cases.push_back({"ima block of 0 bytes", Ima(1, 0, 1)});
    cases.push_back({"ima 65535 samples in a 256-byte block", Ima(1, 256, 65535)});
    cases.push_back({"ima block not made of whole groups", Ima(2, 258, 505)});
    Format zeroChannels = Pcm(16, 1, 8000);
    zeroChannels->nChannels = 0;
    cases.push_back({"pcm without channels", zeroChannels});
    Format badAlign = Pcm(24, 2, 8000);
    badAlign->nBlockAlign = 4;
    cases.push_back({"pcm block align not channels x width", badAlign});
    cases.push_back({"pcm rate 0", Pcm(16, 1, 0)});
    cases.push_back({"pcm 12 bits", Pcm(12, 1, 8000)});
    Format alaw = Pcm(8, 1, 8000);
    alaw->wFormatTag = WAVE_FORMAT_ALAW;
    alaw->nBlockAlign = 0;
    cases.push_back({"a-law block of 0 bytes", alaw});
    Format ext = Pcm(24, 2, 8000);
    ext->wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    ext->cbSize = 10;
    cases.push_back({"extensible too short", ext});
    Format extGuid = Pcm(24, 2, 8000);
    extGuid->wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    extGuid->cbSize = 22;
    cases.push_back({"extensible unknown subformat", extGuid});
    Format gsm = Pcm(16, 1, 8000);
    gsm->wFormatTag = WAVE_FORMAT_GSM610;
    cases.push_back({"gsm", gsm});
    Format mp3 = Pcm(16, 2, 44100);
    mp3->wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    cases.push_back({"mp3", mp3});

    for (auto& c : cases) {
        Format dst;
        dst->wFormatTag = WAVE_FORMAT_PCM;
        EXPECT_EQ(acmFormatSuggest(nullptr, c.format.get(), dst.get(), 18, ACM_FORMATSUGGESTF_WFORMATTAG),
                  ACMERR_NOTPOSSIBLE)
            << c.name;
        Format pcm =
            Pcm(16, std::max<int>(1, c.format->nChannels), std::max<DWORD>(8000, c.format->nSamplesPerSec));
        HACMSTREAM h = nullptr;
        EXPECT_EQ(acmStreamOpen(&h, nullptr, c.format.get(), pcm.get(), nullptr, 0, 0, 0), ACMERR_NOTPOSSIBLE)
            << c.name;
        EXPECT_EQ(h, nullptr) << c.name;
    }
}

// Non-PCM drivers keep channels and rate; a second stage changes them.
TEST(AcmContract, SuggestHonoursOnlyWhatADriverCanDo) {
    Format alaw = Pcm(8, 1, 8000);
    alaw->wFormatTag = WAVE_FORMAT_ALAW;
    Format w;
    w->nChannels = 2;
    w->nSamplesPerSec = 44100;
    w->wFormatTag = WAVE_FORMAT_PCM;
    EXPECT_EQ(acmFormatSuggest(nullptr, alaw.get(), w.get(), 18,
                               ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                                   ACM_FORMATSUGGESTF_NSAMPLESPERSEC),
              ACMERR_NOTPOSSIBLE);
    Format pcm = Pcm(8, 1, 8000);
    EXPECT_EQ(acmFormatSuggest(nullptr, pcm.get(), w.get(), 18,
                               ACM_FORMATSUGGESTF_NCHANNELS | ACM_FORMATSUGGESTF_NSAMPLESPERSEC),
              MMSYSERR_NOERROR);
    EXPECT_EQ(w->nChannels, 2);
    EXPECT_EQ(w->nSamplesPerSec, 44100u);
    EXPECT_EQ(w->wBitsPerSample, 8);
    EXPECT_EQ(w->nBlockAlign, 2);
}

}  // namespace
