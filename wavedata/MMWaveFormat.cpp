#include "wavedata/MMWaveFormat.h"

#include "wavedata/MMMulDiv.h"

#include <QLocale>

namespace {

struct FormatName {
    WORD Tag;
    const char* Name;
};

// Searched from the top; the first row of a tag wins.
constexpr FormatName FormatNames[] = {
    {0x0000, "Unknown"},
    {0x0001, "PCM"},
    {0x020C, "PCM 32"},
    {0x0002, "Microsoft ADPCM"},
    {0x0003, "Mediavision's ADPCM"},
    {0x0005, "IBM CVSD"},
    {0x0006, "CCITT A-Law"},
    {0x0007, "CCITT mu-Law"},
    {0x0010, "OKI ADPCM"},
    {0x0011, "IMA ADPCM"},
    {0x0011, "DVI ADPCM"},
    {0x0012, "Mediaspace's ADPCM"},
    {0x0013, "Sierra's ADPCM"},
    {0x0014, "CCITT G.723 ADPCM"},
    {0x0015, "Digisound DIGISTD"},
    {0x0016, "Digisound DIGIFIX"},
    {0x0017, "Dialogic OKI ADPCM"},
    {0x0020, "Yamaha ADPCM"},
    {0x0021, "Sonarc"},
    {0x0022, "DSP Group's Truespeech"},
    {0x0023, "Echo SC1"},
    {0x0024, "Audiofile AF36"},
    {0x0025, "Audio Processing Technology"},
    {0x0026, "Audiofile AF10"},
    {0x0030, "Dolby AC2"},
    {0x0209, "Dolby AC2"},
    {0x0031, "GSM 6.10"},
    {0x0033, "Antex ADPCME"},
    {0x0039, "CS IMA ADPCM"},
    {0x0040, "CCITT G.721 ADPCM"},
    {0x0050, "MPEG 1"},
    {0x0055, "MPEG Layer-3"},
    {0x0200, "Creative's ADPCM"},
    {0x1001, "Olivetti's ADPCM"},
    {0x0204, "CDI-C"},
    {0x0205, "CDI-B"},
    {0x0206, "Antex-DVI-OKI ADPCME"},
    {0xFFFF, "*DEVELOPMENT ONLY TAG*"},
};

QChar ListSeparator = QLatin1Char(',');
QChar DecimalSeparator = QLatin1Char('.');

// The decimal separator comes from the current locale; the list separator
// follows the usual regional convention (";" where "," is the decimal mark).
void RefreshSeparators() {
    const QString decimal = QLocale().decimalPoint();
    if (!decimal.isEmpty()) DecimalSeparator = decimal.at(0);
    ListSeparator = DecimalSeparator == QLatin1Char(',') ? QLatin1Char(';') : QLatin1Char(',');
}

}  // namespace

void wioGetFormatName(const WAVEFORMATEX* pwfx, QString& Name) {
    Name = QStringLiteral("Unknown");
    if (!pwfx) return;
    for (const FormatName& row : FormatNames) {
        if (row.Tag == pwfx->wFormatTag) {
            Name = QString::fromLatin1(row.Name);
            return;
        }
    }
}

QString wioGetFormatName(const WAVEFORMATEX* pwfx) {
    QString name;
    wioGetFormatName(pwfx, name);
    return name;
}

void wioGetFormat(const WAVEFORMATEX* pwfx, QString& Description) {
    RefreshSeparators();
    if (!pwfx) {
        Description = QStringLiteral("Unknown");
        return;
    }
    const DWORD rate = pwfx->nSamplesPerSec;
    WORD bits = 0;
    if (rate != 0 && pwfx->nChannels != 0)
        bits = static_cast<WORD>(uint64_t(pwfx->nAvgBytesPerSec) * 8 / rate / pwfx->nChannels);
    const QString list(ListSeparator);
    QString text = QStringLiteral("%1%2%3 kHz%4 %5 Bit%6 ")
                       .arg(rate / 1000)
                       .arg(DecimalSeparator)
                       .arg(rate % 1000, 3, 10, QLatin1Char('0'))
                       .arg(list)
                       .arg(bits)
                       .arg(list);
    if (pwfx->nChannels <= 2)
        text += pwfx->nChannels == 2 ? QStringLiteral("Stereo") : QStringLiteral("Mono");
    else
        text += QStringLiteral("%1 Channels").arg(pwfx->nChannels);
    Description = text;
}

QString wioGetFormat(const WAVEFORMATEX* pwfx) {
    QString text;
    wioGetFormat(pwfx, text);
    return text;
}

QChar wioListSeparator() {
    return ListSeparator;
}
QChar wioDecimalSeparator() {
    return DecimalSeparator;
}

LONG wioBytesToSamples(const WAVEFORMATEX* pwfx, LONG Bytes) {
    if (!pwfx) return 0;
    return MulDiv32RN(Bytes, LONG(pwfx->nSamplesPerSec), LONG(pwfx->nAvgBytesPerSec));
}

LONG wioSamplesToBytes(const WAVEFORMATEX* pwfx, LONG Samples) {
    if (!pwfx) return 0;
    const LONG bytes = MulDiv32RN(Samples, LONG(pwfx->nAvgBytesPerSec), LONG(pwfx->nSamplesPerSec));
    const DWORD align = pwfx->nBlockAlign;
    if (align == 0) return bytes;
    return LONG((DWORD(bytes) + align - 1) / align * align);
}

LONG wioSamplesToTime(const WAVEFORMATEX* pwfx, LONG Samples) {
    if (!pwfx) return 0;
    return MulDiv32RN(Samples, 1000, LONG(pwfx->nSamplesPerSec));
}

LONG wioTimeToSamples(const WAVEFORMATEX* pwfx, LONG Time) {
    if (!pwfx) return 0;
    return MulDiv32RN(Time, LONG(pwfx->nSamplesPerSec), 1000);
}

int64_t wioSamplesToBytes64(const WAVEFORMATEX* pwfx, int64_t Samples) {
    if (!pwfx) return 0;
    const int64_t bytes = MulDiv64(Samples, pwfx->nAvgBytesPerSec, pwfx->nSamplesPerSec);
    const int64_t align = pwfx->nBlockAlign;
    if (align == 0) return bytes;
    return (bytes + align - 1) / align * align;
}

int64_t wioSamplesToTime64(const WAVEFORMATEX* pwfx, int64_t Samples) {
    if (!pwfx) return 0;
    return MulDiv64(Samples, 1000, pwfx->nSamplesPerSec);
}
