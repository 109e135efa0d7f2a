#include "wavedata/MMADPCMConverter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/support/SoxFixtures.h"
#include "tests/support/TempDir.h"

namespace {

// The head of a test chain: serves a byte vector in loads of at most `piece`.
class ByteSource : public TMMDSPComponent {
public:
    std::vector<BYTE> data;
    size_t pos = 0;
    DWORD piece = 1u << 30;

    void BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) override {
        const size_t n = std::min<size_t>({lpwh->dwBufferLength, data.size() - pos, piece});
        std::memcpy(lpwh->lpData, data.data() + pos, n);
        pos += n;
        lpwh->dwBytesRecorded = static_cast<DWORD>(n);
        MoreBuffers = pos < data.size();
    }
};

struct Chain {
    ByteSource source;
    TMMADPCMConverter converter;
    explicit Chain(const std::vector<BYTE>& format, TMMBits bits = b16Bit) {
        converter.SetBitLength(bits);
        source.SetOutputValid(true);  // the test source publishes no port property
        converter.SetInput(&source);
        source.SetPWaveFormat(reinterpret_cast<const WAVEFORMATEX*>(format.data()));
    }
    // Opens, starts and pulls everything through headers of `size` bytes.
    std::vector<BYTE> PullAll(DWORD size = 2048) {
        converter.Opened();
        converter.Started();
        std::vector<BYTE> out;
        std::vector<char> buffer(size);
        for (bool more = true; more;) {
            TMMWaveHdr h{};
            h.lpData = buffer.data();
            h.dwBufferLength = size;
            more = false;
            converter.BufferLoad(&h, more);
            out.insert(out.end(), buffer.begin(), buffer.begin() + h.dwBytesRecorded);
            if (h.dwBytesRecorded == 0) break;
        }
        return out;
    }
};

std::vector<BYTE> Record(const WAVEFORMATEX& f, size_t size = 64) {
    std::vector<BYTE> b(std::max(size, sizeof f), 0);
    std::memcpy(b.data(), &f, sizeof f);
    return b;
}

std::vector<BYTE> Adpcm(int channels, int blockAlign) {
    TADPCMWaveFormat f{};
    f.wfx = {
        WAVE_FORMAT_ADPCM, static_cast<WORD>(channels), 22050, 11179, static_cast<WORD>(blockAlign), 4, 32};
    f.wSamplesPerBlock = static_cast<WORD>((blockAlign - 7 * channels) * 2 / channels + 2);
    f.wNumCoef = 7;
    for (int i = 0; i < 7; ++i) f.aCoef[i] = {gaiCoef1[i], gaiCoef2[i]};
    std::vector<BYTE> b(64, 0);
    std::memcpy(b.data(), &f, sizeof f);
    return b;
}

TEST(ADPCMConverter, PcmPassesThroughUntouched) {
    const WAVEFORMATEX pcm{WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
    Chain chain(Record(pcm));
    EXPECT_FALSE(chain.converter.MustConvert());
    EXPECT_TRUE(chain.converter.CanConvert());
    ASSERT_NE(chain.converter.GetPWaveFormat(), nullptr);
    EXPECT_EQ(chain.converter.GetPWaveFormat()->wFormatTag, WAVE_FORMAT_PCM);
    for (int i = 0; i < 5000; ++i) chain.source.data.push_back(static_cast<BYTE>(i * 7));
    EXPECT_EQ(chain.PullAll(), chain.source.data);
}

// A decoded file comes out as sox decodes it, whatever the load sizes.
TEST(ADPCMConverter, MicrosoftAdpcmThroughTheChain) {
    ASSERT_TRUE(sox::Available());
    TempDir dir;
    const QString file = dir.file("ms.wav");
    sox::Run({"-n", "-r", "22050", "-c", "1", "-t", "wav", "-e", "ms-adpcm", file, "synth", "0.5", "sine",
              "300-4000"});
    const sox::WavFile wav = sox::ReadWav(file);
    std::vector<BYTE> format(64, 0);
    std::memcpy(format.data(), wav.fmt.constData(), wav.fmt.size());
    Chain chain(format);
    ASSERT_TRUE(chain.converter.MustConvert());
    ASSERT_TRUE(chain.converter.CanConvert());
    chain.source.data.assign(wav.data.begin(), wav.data.end());
    const std::vector<BYTE> out = chain.PullAll(1500);
    const WAVEFORMATEX* cvt = chain.converter.GetPWaveFormat();
    ASSERT_NE(cvt, nullptr);
    EXPECT_EQ(cvt->wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(cvt->wBitsPerSample, 16);
    // 1012 frames per 512-byte block, 8 blocks per 4096-byte load, 2 bytes a frame.
    EXPECT_EQ(chain.converter.DstBufSize(), 1012u * 2 * 8);

    const std::vector<std::int16_t> ref = sox::DecodeTo16(file);
    ASSERT_GE(out.size() / 2, ref.size());
    EXPECT_EQ(std::memcmp(out.data(), ref.data(), ref.size() * 2), 0);
}

// Blocks that do not divide 4096 are never split between two loads.
TEST(ADPCMConverter, LoadsHoldWholeBlocks) {
    const std::vector<BYTE> format = Adpcm(1, 1000);
    Chain chain(format);
    ASSERT_TRUE(chain.converter.CanConvert());
    std::vector<BYTE> blocks;
    for (int b = 0; b < 9; ++b) {
        std::vector<BYTE> block(1000, 0x1F);
        block[0] = static_cast<BYTE>(b % 7);
        block[1] = 16;  // delta
        blocks.insert(blocks.end(), block.begin(), block.end());
    }
    chain.source.data = blocks;
    const std::vector<BYTE> out = chain.PullAll();
    const auto* src = reinterpret_cast<const WAVEFORMATEX*>(format.data());
    const WAVEFORMATEX pcm{WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
    std::vector<BYTE> whole(adpcmDecodedSize(src, &pcm, blocks.size()));
    const int n = adpcmDecode4Bit(src, &pcm, blocks.data(), static_cast<int>(blocks.size()), whole.data(),
                                  static_cast<int>(whole.size()));
    whole.resize(n);
    EXPECT_EQ(chain.converter.SrcBufSize(), 4000u);
    EXPECT_EQ(out, whole);
}

TEST(ADPCMConverter, UndecodableInputIsRefusedAtOpen) {
    std::vector<std::vector<BYTE>> formats;
    formats.push_back(Adpcm(5, 512 * 5));
    formats.push_back(Adpcm(1, 512));
    formats.back()[20] = 6;  // six coefficient pairs
    formats.push_back(Adpcm(2, 512));
    formats.back()[22] = 1;  // changed first coefficient
    formats.push_back(
        Record({WAVE_FORMAT_IEEE_FLOAT, 1, 22050, 88200, 4, 32, 0}));  // float is not a nibble stream
    formats.push_back(Record({WAVE_FORMAT_GSM610, 1, 8000, 1625, 65, 0, 2}));
    for (const auto& format : formats) {
        Chain chain(format);
        EXPECT_TRUE(chain.converter.MustConvert());
        EXPECT_FALSE(chain.converter.CanConvert());
        try {
            chain.converter.Opened();
            ADD_FAILURE() << "no error";
        } catch (const EMMADPCMError& e) {
            EXPECT_EQ(e.Message(), "Unable to convert to destination format");
        }
    }
}

// A nibble stream decodes the same in any loads; 8-bit output is half the bytes.
TEST(ADPCMConverter, NibbleStreamsAcrossLoads) {
    for (WORD tag : {WORD(3), WORD(51), WORD(518)}) {
        for (WORD channels : {WORD(1), WORD(2)}) {
            const WAVEFORMATEX f{tag, channels, 8000, 4000, 1, 4, 0};
            std::vector<BYTE> stream(10000);
            for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<BYTE>(i * 131 + (i >> 3));
            Chain chain(Record(f));
            ASSERT_TRUE(chain.converter.CanConvert()) << tag;
            chain.source.data = stream;
            chain.source.piece = 777;
            const std::vector<BYTE> out = chain.PullAll(3000);

            std::vector<BYTE> expect(4 * stream.size());
            TIMA_PARAMS p{};
            const bool ima = tag == 3;
            auto decode = channels == 1 ? (ima ? WMIMATOPCM : WMDVITOPCM) : (ima ? WSIMATOPCM : WSDVITOPCM);
            if (channels == 1) {
                decode(stream.data(), expect.data(), static_cast<int>(stream.size()), p);
                EXPECT_EQ(out, expect) << tag;
            } else {
                // Stereo DVI swaps bytes in pairs: loads of odd size are not one stream.
                int at = 0;
                for (size_t pos = 0; pos < stream.size(); pos += 777) {
                    const int n = static_cast<int>(std::min<size_t>(777, stream.size() - pos));
                    at += decode(stream.data() + pos, expect.data() + at, n, p);
                }
                EXPECT_EQ(out, expect) << tag;
            }

            Chain eight(Record(f), b8Bit);
            eight.source.data = stream;
            eight.source.piece = 777;
            const std::vector<BYTE> small = eight.PullAll(3000);
            ASSERT_EQ(small.size(), out.size() / 2);
            for (size_t i = 0; i < small.size(); i += 97) {
                std::int16_t s;
                std::memcpy(&s, &out[2 * i], 2);
                EXPECT_EQ(small[i], static_cast<BYTE>(s / 256 + 128)) << i;
            }
        }
    }
}

TEST(ADPCMConverter, BadPredictorStopsDecoding) {
    const std::vector<BYTE> format = Adpcm(1, 512);
    Chain chain(format);
    chain.source.data.assign(512 * 20, 0);
    for (int b = 0; b < 20; ++b) chain.source.data[b * 512 + 1] = 16;
    chain.source.data[512 * 3] = 9;  // in the first load
    const std::vector<BYTE> out = chain.PullAll();
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(chain.converter.CanConvert());
}

}  // namespace

namespace {

// Stop drops decoded bytes not yet taken; Start begins from a fresh state.
TEST(ADPCMConverter, RestartDoesNotReplayUntakenOutput) {
    const WAVEFORMATEX f{3, 1, 8000, 4000, 1, 4, 0};
    Chain chain(Record(f));
    for (int i = 0; i < 8192; ++i) chain.source.data.push_back(static_cast<BYTE>(i * 29 + 3));
    chain.converter.Opened();
    chain.converter.Started();
    std::vector<char> buffer(4 * 4096);
    TMMWaveHdr h{};
    h.lpData = buffer.data();
    h.dwBufferLength = 100;
    bool more = false;
    chain.converter.BufferLoad(&h, more);
    ASSERT_EQ(h.dwBytesRecorded, 100u);
    EXPECT_TRUE(more);

    chain.converter.Stopped();
    chain.converter.Started();
    h = TMMWaveHdr{};
    h.lpData = buffer.data();
    h.dwBufferLength = static_cast<DWORD>(buffer.size());
    chain.converter.BufferLoad(&h, more);
    ASSERT_EQ(h.dwBytesRecorded, buffer.size());

    std::vector<BYTE> expect(buffer.size());
    TIMA_PARAMS p{};
    WMIMATOPCM(chain.source.data.data() + 4096, expect.data(), 4096, p);
    EXPECT_EQ(std::memcmp(buffer.data(), expect.data(), expect.size()), 0);
}

}  // namespace
