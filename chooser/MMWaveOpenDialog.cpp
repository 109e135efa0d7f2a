#include "chooser/MMWaveOpenDialog.h"

#include "chooser/PixelCanvas.h"
#include "chooser/WaveScan.h"
#include "mmcore/MMStrings.h"
#include "platform/acm/acm.h"
#include "platform/gui/Application.h"  // Screen
#include "platform/gui/Dialogs.h"
#include "platform/gui/Timer.h"
#include "platform/profile/IniFile.h"
#include "playback/MMWaveOut.h"
#include "playback/MMWavePlayer.h"
#include "wavedata/MMACMSupport.h"
#include "wavedata/MMADPCMConverter.h"
#include "wavedata/MMMulDiv.h"
#include "wavedata/MMPCMConverter.h"
#include "wavedata/MMPCMSup.h"
#include "wavedata/MMWaveFile.h"
#include "wavedata/MMWaveFormat.h"
#include "wavedata/RiffMeta.h"
#include "wavedata/RiffWave.h"

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// The panel's areas. The waveform area draws inside a two-pixel frame.
constexpr int kScopeWidth = 260;
constexpr int kScopeHeight = 100;
constexpr int kFrame = 2;
constexpr int kDIBSize = 40;
// How often a long scan shows its progress mark on the screen.
constexpr int kProgressFlushMs = 40;

QString NameOfTag(const WAVEFORMATEX* Format) {
    if (acmUsable()) {
        ACMFORMATTAGDETAILS details{};
        details.cbStruct = sizeof details;
        details.dwFormatTag = Format->wFormatTag;
        if (acmFormatTagDetails(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG) == MMSYSERR_NOERROR)
            return QString::fromWCharArray(details.szFormatTag);
    }
    return wioGetFormatName(Format);
}

QString DescriptionOf(const WAVEFORMATEX* Format) {
    if (acmUsable()) {
        ACMFORMATDETAILS details{};
        details.cbStruct = sizeof details;
        details.dwFormatTag = Format->wFormatTag;
        details.pwfx = const_cast<WAVEFORMATEX*>(Format);
        details.cbwfx = sizeof(WAVEFORMATEX) + (Format->wFormatTag == WAVE_FORMAT_PCM ? 0 : Format->cbSize);
        if (acmFormatDetails(nullptr, &details, ACM_FORMATDETAILSF_FORMAT) == MMSYSERR_NOERROR)
            return QString::fromWCharArray(details.szFormat);
    }
    return wioGetFormat(Format);
}

std::uint32_t Le32(const QByteArray& Bytes, qsizetype At) {
    std::uint32_t v = 0;
    if (At + 4 <= Bytes.size()) std::memcpy(&v, Bytes.constData() + At, 4);
    return v;
}

std::uint16_t Le16(const QByteArray& Bytes, qsizetype At) {
    std::uint16_t v = 0;
    if (At + 2 <= Bytes.size()) std::memcpy(&v, Bytes.constData() + At, 2);
    return v;
}

// A packed device-independent bitmap (header, colour table, pixels) as an
// image: with a file header in front it is a BMP file.
QImage DibToImage(const QByteArray& Dib) {
    const std::uint32_t headerSize = Le32(Dib, 0);
    if (headerSize < 12 || headerSize >= static_cast<std::uint32_t>(Dib.size())) return {};
    std::uint32_t tableBytes = 0;
    if (headerSize == 12) {
        const std::uint16_t bits = Le16(Dib, 10);
        tableBytes = bits <= 8 ? (1u << bits) * 3 : 0;
    } else {
        const std::uint16_t bits = Le16(Dib, 14);
        const std::uint32_t compression = Le32(Dib, 16);
        const std::uint32_t used = Le32(Dib, 32);
        const std::uint32_t colours = used ? used : (bits <= 8 ? 1u << bits : 0);
        if (colours > 65536) return {};
        tableBytes = colours * 4;
        if (headerSize == 40 && compression == 3) tableBytes += 12;  // the three colour masks
    }
    const auto u32 = [](std::uint32_t v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    const std::uint32_t fileSize = 14 + static_cast<std::uint32_t>(Dib.size());
    const QByteArray file =
        QByteArray("BM") + u32(fileSize) + u32(0) + u32(14 + headerSize + tableBytes) + Dib;
    QImage image;
    image.loadFromData(file, "BMP");
    return image;
}

// The first DISP bitmap of the wave with a payload.
QImage DispBitmap(const TMMWave* Wave) {
    const TWAVEIOCB* info = Wave->PWaveIOInfo();
    if (!info || !info->lpDisp) return {};
    for (const auto& entry : info->lpDisp->Entries) {
        if (entry->cfid != CF_DIB) continue;
        const QByteArray* payload = RiffGetDISPPayload(entry.get());
        if (!payload || payload->isEmpty()) continue;
        const QImage image = DibToImage(*payload);
        if (!image.isNull()) return image;
    }
    return {};
}

// Our own wave picture, its bottom-left pixel's colour made transparent.
const QImage& WavePicture() {
    static const QImage picture = [] {
        QImage image =
            QImage(QStringLiteral(":/quorvel/BMP_WAVE.png")).convertToFormat(QImage::Format_ARGB32);
        if (image.isNull()) return image;
        const QRgb key = image.pixel(0, image.height() - 1);
        for (int y = 0; y < image.height(); ++y) {
            auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                if (row[x] == key) row[x] = 0;
        }
        return image;
    }();
    return picture;
}

// Where a column's line goes: to the extreme that came first, then to the
// other. Both channels' extremes count, taken in the order the left
// channel's occurred; for mono this is the left pair as it is.
std::pair<std::int16_t, std::int16_t> ColumnEnds(const TMMWaveOpenDialog::TColumn& Column) {
    const auto [low, high] = std::minmax({Column[0], Column[1], Column[2], Column[3]});
    return Column[0] > Column[1] ? std::pair{high, low} : std::pair{low, high};
}

// Two one-pixel rings, sunken: shadow over highlight outside, frame over
// light inside.
void SunkenFrame(QImage& Image, const QPalette& Palette) {
    TPixelCanvas canvas(Image);
    const int w = Image.width(), h = Image.height();
    const auto ring = [&](int Inset, QRgb TopLeft, QRgb BottomRight) {
        canvas.FillRect(QRect(Inset, Inset, w - 2 * Inset, 1), TopLeft);
        canvas.FillRect(QRect(Inset, Inset, 1, h - 2 * Inset), TopLeft);
        canvas.FillRect(QRect(Inset, h - 1 - Inset, w - 2 * Inset, 1), BottomRight);
        canvas.FillRect(QRect(w - 1 - Inset, Inset, 1, h - 2 * Inset), BottomRight);
    };
    ring(0, Palette.color(QPalette::Dark).rgb(), Palette.color(QPalette::Light).rgb());
    ring(1, Palette.color(QPalette::Shadow).rgb(), Palette.color(QPalette::Midlight).rgb());
}

}  // namespace

TMMWaveOpenDialog::TMMWaveOpenDialog(QObject* AOwner) : TMMCustomOpenDialog(AOwner) {
    Q_INIT_RESOURCE(chooser);  // the picture lives in a static library
    FOptions |= TOpenOptions{ofHideReadOnly, ofNoNetworkButton};
    FOptionsEx |= ofExNoPlacesBar;
    FTitle = LoadResStr(IDS_OPENWAVETITLE);
    FDefaultExt = QStringLiteral("wav");
    FFilter = LoadResStr(IDS_WAVEFILTER);
    FTemplateName = QStringLiteral("WAVEOPENPANEL");
}

TMMWaveOpenDialog::~TMMWaveOpenDialog() = default;

TMMWave* TMMWaveOpenDialog::Wave() const {
    return FWaveFile ? FWaveFile->Wave() : nullptr;
}

QRect TMMWaveOpenDialog::ScopeRect() const {
    return {kFrame, kFrame, kScopeWidth - 2 * kFrame, kScopeHeight - 2 * kFrame};
}

// ---- The panel --------------------------------------------------------------------

QWidget* TMMWaveOpenDialog::CreateTemplate(QWidget* Dialog) {
    auto* panel = new QWidget(Dialog);
    panel->setObjectName(QStringLiteral("WaveOpenPanel"));
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(6, 0, 0, 0);

    auto* head = new QHBoxLayout;
    FDIBWnd = new QWidget(panel);
    FDIBWnd->setObjectName(QStringLiteral("DIBWnd"));
    FDIBWnd->setFixedSize(kDIBSize, kDIBSize);
    head->addWidget(FDIBWnd, 0, Qt::AlignTop);
    auto* text = new QVBoxLayout;
    FFormatLabel = new QLabel(QStringLiteral("Format:"), panel);
    FInfoLabel = new QLabel(LoadResStr(IDS_UNKNOWN), panel);
    FInfoLabel->setObjectName(QStringLiteral("InfoLabel"));
    FInfoLabel->setWordWrap(true);
    FInfoLabel->setFixedWidth(kScopeWidth - kDIBSize - 6);
    text->addWidget(FFormatLabel);
    text->addWidget(FInfoLabel);
    head->addLayout(text);
    column->addLayout(head);

    FScopeWnd = new QWidget(panel);
    FScopeWnd->setObjectName(QStringLiteral("ScopeWnd"));
    FScopeWnd->setFixedSize(kScopeWidth, kScopeHeight);
    FScopeWnd->setAttribute(Qt::WA_OpaquePaintEvent);
    column->addWidget(FScopeWnd);

    auto* controls = new QHBoxLayout;
    FPlayButton = new QPushButton(QStringLiteral("Play"), panel);
    FPlayButton->setObjectName(QStringLiteral("PlayButton"));
    FPreviewBox = new QCheckBox(QStringLiteral("Preview"), panel);
    FPreviewBox->setObjectName(QStringLiteral("PreviewBox"));
    FAutoPlayBox = new QCheckBox(QStringLiteral("Auto Play"), panel);
    FAutoPlayBox->setObjectName(QStringLiteral("AutoPlayBox"));
    controls->addWidget(FPlayButton);
    controls->addWidget(FPreviewBox);
    controls->addWidget(FAutoPlayBox);
    controls->addStretch();
    column->addLayout(controls);
    column->addStretch();

    ConnectCommand(FPlayButton, idPlay);
    ConnectCommand(FPreviewBox, idPreview);
    ConnectCommand(FAutoPlayBox, idAutoPlay);
    return panel;
}

void TMMWaveOpenDialog::DoCreate() {
    FScopeWnd->installEventFilter(this);
    FDIBWnd->installEventFilter(this);
    FData.assign(static_cast<std::size_t>(ScopeRect().width()), TColumn{});

    FWaveFile = new TMMWaveFile(this);
    FWaveFile->Wave()->SetTimeFormat(tfByte);
    FWaveFile->Wave()->SetIOBufferSize(131072);
    FADPCMConvert = new TMMADPCMConverter(this);
    FADPCMConvert->SetInput(FWaveFile);
    FPCMConvert = new TMMPCMConverter(this);
    FPCMConvert->SetInput(FADPCMConvert);
    FWaveOut = new TMMWaveOut(this);
    FWaveOut->SetInput(FPCMConvert);
    FWaveOut->OnStart = [this](QObject* Sender) { WaveOutStart(Sender); };
    FWaveOut->OnStop = [this](QObject* Sender) { WaveOutStop(Sender); };
    FWaveOut->SetBufferSize(32768);
    FWaveOut->SetNumBuffers(10);
    FWaveOut->SetTimeFormat(tfByte);
    if (FWaveOut->GetNumDevs() == 0)
        FAutoPlayBox->setEnabled(false);
    else
        FWaveOut->SetDeviceID(FDeviceID);

    FTimer = new TTimer(this);
    FTimer->SetEnabled(false);
    FTimer->SetInterval(kPositionIntervalMs);
    FTimer->OnTimer = [this](QObject* Sender) { TimerTick(Sender); };
    FSelTimer = new TTimer(this);
    FSelTimer->SetEnabled(false);
    FSelTimer->SetInterval(kSelChangeDelayMs);
    FSelTimer->OnTimer = [this](QObject* Sender) { SelChangeTimer(Sender); };

    FPlayButton->setEnabled(false);
    FPreviewBox->setEnabled(false);
    FPreviewBox->setText(LoadResStr(IDS_PREVIEW));
    FPreviewBox->setChecked(FPreview);
    FAutoPlayBox->setChecked(FAutoPlay);
    TMMCustomOpenDialog::DoCreate();
}

void TMMWaveOpenDialog::DoDestroy() {
    FData.clear();
    if (FWaveOut) {
        FWaveOut->Close();
        delete FWaveOut;
        FWaveOut = nullptr;
    }
    if (FPCMConvert) {
        FPCMConvert->Close();
        delete FPCMConvert;
        FPCMConvert = nullptr;
    }
    if (FADPCMConvert) {
        FADPCMConvert->Close();
        delete FADPCMConvert;
        FADPCMConvert = nullptr;
    }
    if (FWaveFile) {
        FWaveFile->Wave()->FreeWave();
        delete FWaveFile;
        FWaveFile = nullptr;
    }
    delete FTimer;
    FTimer = nullptr;
    delete FSelTimer;
    FSelTimer = nullptr;
    if (FScopeWnd) FScopeWnd->removeEventFilter(this);
    if (FDIBWnd) FDIBWnd->removeEventFilter(this);
    FUpdating = false;
    FOldPos = -1;
    FDrawable = false;
    FScanFrames = 0;
    TMMCustomOpenDialog::DoDestroy();
    // The panel goes with the window.
    FScopeWnd = FDIBWnd = nullptr;
    FPlayButton = nullptr;
    FPreviewBox = FAutoPlayBox = nullptr;
    FFormatLabel = FInfoLabel = nullptr;
    FScopeImage = QImage();
    FDIBImage = QImage();
}

void TMMWaveOpenDialog::DoCommand(QWidget* Dialog, QWidget* Control, int Id) {
    switch (Id) {
        case idPlay:
            PlayClick();
            break;
        case idPreview:
            PreviewClick();
            break;
        case idAutoPlay:
            AutoPlayClick();
            break;
        default:
            break;
    }
    TMMCustomOpenDialog::DoCommand(Dialog, Control, Id);
}

bool TMMWaveOpenDialog::eventFilter(QObject* Watched, QEvent* Event) {
    if (Event->type() != QEvent::Paint || (Watched != FScopeWnd && Watched != FDIBWnd))
        return TMMCustomOpenDialog::eventFilter(Watched, Event);
    auto* area = static_cast<QWidget*>(Watched);
    if (area == FScopeWnd && FScopeImage.size() != area->size()) DrawPCMData();
    if (area == FDIBWnd && FDIBImage.size() != area->size()) DrawDISP();
    QPainter painter(area);
    painter.drawImage(0, 0, area == FScopeWnd ? FScopeImage : FDIBImage);
    return true;
}

// ---- Selecting and confirming -------------------------------------------------------

void TMMWaveOpenDialog::DoSelChanged(const QString& FileName) {
    QString name = FileName;
    if (QDir::isRelativePath(name) && Handle()) name = Handle()->directory().filePath(name);
    if (FWaveFile && name != FWaveFile->GetFileName()) {
        FWaveOut->Close();
        LoadWave(name);
        // The columns belong to the file they were scanned from.
        std::fill(FData.begin(), FData.end(), TColumn{});
        FUpdating = true;
        FSelTimer->SetEnabled(false);
        FSelTimer->SetEnabled(true);
    }
    TMMCustomOpenDialog::DoSelChanged(FileName);
}

void TMMWaveOpenDialog::LoadWave(const QString& FileName) {
    FDrawable = false;
    FScanFrames = 0;
    try {
        if (wioIsWaveFile(FileName, wioFlagFile)) {
            FWaveFile->SetFileName(FileName);
            // The decoder judges a format only when it arrives and only while
            // enabled: let it judge this one, and keep it only if it takes it.
            const auto repush = [this] { FWaveFile->SetPWaveFormat(FWaveFile->GetPWaveFormat()); };
            if (!FADPCMConvert->Enabled()) {
                FADPCMConvert->SetEnabled(true);
                repush();
            }
            if (!FADPCMConvert->CanConvert()) {
                FADPCMConvert->SetEnabled(false);
                repush();
            }
            FDrawable = TWaveScan(Wave()).Format() != nullptr;
            return;
        }
    } catch (const Exception&) {
        // described as a wave but not loadable: shown as no wave
    }
    FWaveFile->Wave()->FreeWave();
}

void TMMWaveOpenDialog::SelChangeTimer(QObject*) {
    FSelTimer->SetEnabled(false);
    FUpdating = false;
    UpdateWave();
}

void TMMWaveOpenDialog::DoFileOK(const QString& FileName, bool& CanClose) {
    CanClose = wioIsWaveFile(FileName, wioFlagFile);
    if (CanClose)
        TMMCustomOpenDialog::DoFileOK(FileName, CanClose);
    else
        MessageDlg(LoadResStr(IDS_INVALIDWAVEFILE), mtError);
}

// ---- Describing ---------------------------------------------------------------------

bool TMMWaveOpenDialog::CanPlay() const {
    const TMMWave* wave = Wave();
    const WAVEFORMATEX* format = FWaveOut ? FWaveOut->GetPWaveFormat() : nullptr;
    return wave && !wave->Empty() && format && FADPCMConvert->CanConvert() && FPCMConvert->CanConvert() &&
           FWaveOut->GetNumDevs() > 0 && FWaveOut->QueryDevice(FWaveOut->GetDeviceID(), format);
}

bool TMMWaveOpenDialog::CanPreview() const {
    const TMMWave* wave = Wave();
    return FDrawable && wave && !wave->FileName().isEmpty() && wave->DataSize() > 0;
}

void TMMWaveOpenDialog::UpdateWave() {
    if (!FWaveFile) return;
    RepaintDIB();
    FPreviewBox->setEnabled(false);
    TMMWave* wave = Wave();
    if (wave->FileName().isEmpty() || !wave->PWaveFormat()) {
        FInfoLabel->setText(LoadResStr(IDS_UNKNOWN));
        FPlayButton->setEnabled(false);
        RepaintScope();
        return;
    }
    const WAVEFORMATEX* format = wave->PWaveFormat();
    FInfoLabel->setText(NameOfTag(format) + QStringLiteral("; ") + DescriptionOf(format) +
                        QStringLiteral("; ") + QString::number(wave->FileSize() / 1024) +
                        QStringLiteral(" KB"));

    if (CanPreview()) {
        FPreviewBox->setEnabled(true);
        if (FPreview) {
            // The scan reads the wave the device plays from.
            FWaveOut->Close();
            CreatePCMData();
        } else {
            RepaintScope();
        }
    } else {
        RepaintScope();  // no picture of the previous file stays
    }

    // A playing device keeps its button: it is the only way to stop it.
    if (FWaveOut->State().Contains(wosPlay)) return;
    if (!CanPlay()) {
        FPlayButton->setEnabled(false);
        return;
    }
    UpdatePlayParams();
    FPlayButton->setEnabled(true);
    if (FAutoPlay) StartPlaying();
}

void TMMWaveOpenDialog::UpdatePlayParams() {
    const WAVEFORMATEX* format = FWaveOut->GetPWaveFormat();
    if (Wave()->Empty() || !format) return;
    LONG size = static_cast<LONG>(FWaveOut->GetBufferSize());
    const DWORD rate = format->nSamplesPerSec;
    if (rate <= 15000)
        size = 512;
    else if (rate <= 24000)
        size = 1024;
    else if (rate <= 32000)
        size = 2048;
    else if (rate <= 48000)
        size = 3072;
    else if (rate <= 96000)
        size = 6144;  // the same time per buffer as 48000 Hz
    else
        size = 12288;
    const WORD bits = format->wBitsPerSample;
    if (bits == 1)
        size /= 16;
    else if (bits >= 2 && bits <= 4)
        size /= 8;
    else if (bits >= 5 && bits <= 7)
        size /= 4;
    else if (bits >= 9 && bits <= 16)
        size *= 2;
    else if (bits == 8 || bits > 16)
        size *= 4;
    // A device left open at the end of its last run takes no new size.
    if (!FWaveOut->State().Contains(wosPlay)) FWaveOut->Close();
    FWaveOut->SetBufferSize(size);
}

// ---- The waveform -------------------------------------------------------------------

int TMMWaveOpenDialog::ScopeY(int Value) const {
    const QRect area = ScopeRect();
    return area.top() + area.height() - MulDiv32(Value + 32767, area.height(), 65535) - 1;
}

void TMMWaveOpenDialog::CreatePCMData() {
    std::fill(FData.begin(), FData.end(), TColumn{});
    TMMWave* wave = Wave();
    if (!wave || wave->Empty() || !FPreview) return;
    if (FScopeImage.size() != FScopeWnd->size()) DrawPCMData();

    const QRect area = ScopeRect();
    const int W = area.width();
    TPixelCanvas canvas(FScopeImage);
    canvas.FillRect(area, FColor.rgb());
    FOldPos = -1;  // the fill took the position line with it
    FScanFrames = 0;
    const LONG dataBytes = wave->DataSize();

    struct TScan {
        TMMWave* Wave;
        TCursor Cursor;
        ~TScan() {
            Wave->CloseFile();
            Screen.SetCursor(Cursor);
        }
    } scan{wave, Screen.Cursor()};
    wave->OpenFile();
    wave->SetPosition(0);
    Screen.SetCursor(crHourGlass);

    // The columns share the decoded data; for 8- and 16-bit PCM that is the
    // data itself.
    TWaveScan pcm(wave);
    const WAVEFORMATEX* format = pcm.Format();
    std::int64_t bytes = 0;
    try {
        pcm.Open();
        bytes = format ? pcm.Bytes() : 0;
    } catch (const Exception&) {
        bytes = 0;  // no converter takes it after all: the half-height line
    }
    const auto n = static_cast<LONG>(std::clamp<std::int64_t>((bytes / W) & ~std::int64_t{3}, 4, 1 << 30));
    std::vector<char> buffer(bytes > 0 ? static_cast<std::size_t>(n) : 0);
    if (format) FScanFrames = bytes / format->nBlockAlign;

    const bool bits8 = format && format->wBitsPerSample == 8;
    const bool progress = dataBytes > kProgressBytes;
    const int half = ScopeY(0);
    canvas.SetPenColor(FForeColor.rgb());
    canvas.MoveTo(area.left(), half);
    QElapsedTimer flushed;
    flushed.start();
    int x = 0;
    for (; x < W && !buffer.empty(); ++x) {
        LONG got = 0;
        try {
            got = pcm.Read(buffer.data(), n);
        } catch (const Exception&) {
            got = 0;  // data a converter gives up on ends the picture
        }
        if (got <= 0) break;
        TColumn& column = FData[static_cast<std::size_t>(x)];
        PCMFINDMINMAX(format, buffer.data(), got, column[0], column[1], column[2], column[3]);
        if (bits8)
            for (std::int16_t& v : column) v = static_cast<std::int16_t>((v - 128) * 256);
        canvas.FillRect(QRect(area.left() + x, area.top(), 1, area.height()), FColor.rgb());
        const auto [first, second] = ColumnEnds(column);
        canvas.LineTo(area.left() + x, ScopeY(first));
        canvas.LineTo(area.left() + x, ScopeY(second));
        if (progress && x < W - 1) {
            canvas.FillRect(QRect(area.left() + x + 1, area.top(), 1, area.height()), FLocatorColor.rgb());
            if (flushed.elapsed() >= kProgressFlushMs) {
                FScopeWnd->repaint();
                flushed.restart();
            }
        }
    }
    if (x < W) {
        // The data ended early: half height to the right edge.
        canvas.MoveTo(area.left() + (x > 0 ? x - 1 : 0), half);
        canvas.LineTo(area.left() + W, half);
    }
    FScopeWnd->update();
}

void TMMWaveOpenDialog::DrawPCMData() {
    if (!FScopeWnd) return;
    QImage image(FScopeWnd->size(), QImage::Format_RGB32);
    image.fill(FColor);
    SunkenFrame(image, FScopeWnd->palette());
    FOldPos = -1;

    const QRect area = ScopeRect();
    TPixelCanvas canvas(image);
    const TMMWave* wave = Wave();
    if (wave && CanPreview() && FPreview && !FUpdating) {
        const auto first = [&](int x) {
            return ScopeY(ColumnEnds(FData[static_cast<std::size_t>(x)]).first);
        };
        const auto second = [&](int x) {
            return ScopeY(ColumnEnds(FData[static_cast<std::size_t>(x)]).second);
        };
        const int W = std::min<int>(area.width(), static_cast<int>(FData.size()));
        canvas.SetPenColor(FForeColor.rgb());
        if (W > 0) {
            canvas.MoveTo(area.left(), first(0));
            canvas.LineTo(area.left(), second(0));
            for (int x = 0; x < W; ++x) {
                canvas.LineTo(area.left() + x, first(x));
                canvas.LineTo(area.left() + x, second(x));
            }
            canvas.LineTo(area.left() + W, second(W - 1));
        }
    } else {
        canvas.SetPenColor(qRgb(128, 128, 128));
        const int half = ScopeY(0);
        canvas.MoveTo(5, half);
        canvas.LineTo(image.width() - 5, half);
    }
    FScopeImage = image;
}

void TMMWaveOpenDialog::RepaintScope() {
    DrawPCMData();
    if (FScopeWnd) FScopeWnd->update();
}

// ---- The picture ---------------------------------------------------------------------

void TMMWaveOpenDialog::DrawDISP() {
    if (!FDIBWnd) return;
    // Transparent: the dialog's own background shows through, whatever
    // style draws it.
    QImage image(FDIBWnd->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    const TMMWave* wave = Wave();
    if (wave && !wave->FileName().isEmpty()) {
        const QRect inside = QRect(QPoint(0, 0), image.size()).adjusted(kFrame, kFrame, -kFrame, -kFrame);
        QPainter painter(&image);
        painter.setClipRect(inside);
        const QImage bitmap = DispBitmap(wave);
        if (!bitmap.isNull())
            painter.drawImage(inside, bitmap);
        else
            painter.drawImage(inside.topLeft(), WavePicture());
    }
    FDIBImage = image;
}

void TMMWaveOpenDialog::RepaintDIB() {
    DrawDISP();
    if (FDIBWnd) FDIBWnd->update();
}

// ---- Playing --------------------------------------------------------------------------

void TMMWaveOpenDialog::StartPlaying() {
    try {
        FWaveOut->Start();
    } catch (const Exception&) {
        // the button stays as it is; nothing to report in a file dialog
    }
}

void TMMWaveOpenDialog::PlayClick() {
    if (!FWaveOut) return;
    if (FWaveOut->State().Contains(wosPlay))
        FWaveOut->Close();
    else if (CanPlay())
        StartPlaying();
}

void TMMWaveOpenDialog::PreviewClick() {
    if (!FWaveOut) return;
    FPreview = FPreviewBox->isChecked();
    if (FPreview) FWaveOut->Close();
    UpdateWave();
}

void TMMWaveOpenDialog::AutoPlayClick() {
    if (!FWaveOut) return;
    FAutoPlay = FAutoPlayBox->isChecked();
    if (!FAutoPlay)
        FWaveOut->Close();
    else if (!FWaveOut->State().Contains(wosPlay) && CanPlay())
        StartPlaying();
}

void TMMWaveOpenDialog::WaveOutStart(QObject*) {
    FOldPos = -1;
    FTimer->SetEnabled(true);
    FPlayButton->setText(QStringLiteral("Stop"));
}

void TMMWaveOpenDialog::WaveOutStop(QObject*) {
    FTimer->SetEnabled(false);
    if (FOldPos >= 0) {
        DrawLocator(FOldPos);
        FOldPos = -1;
        FScopeWnd->update();
    }
    FPlayButton->setText(QStringLiteral("Play"));
}

int TMMWaveOpenDialog::PositionX(std::int64_t Position) const {
    const QRect area = ScopeRect();
    // The device counts bytes of what it plays (the converted data): in
    // frames, that is the columns' scale.
    const WAVEFORMATEX* played = FWaveOut ? FWaveOut->GetPWaveFormat() : nullptr;
    const std::int64_t frames = played && played->nBlockAlign ? Position / played->nBlockAlign : 0;
    if (FScanFrames <= 0) return area.left();
    const std::int64_t x = std::clamp<std::int64_t>(frames, 0, FScanFrames) * area.width() / FScanFrames;
    // The very end would fall on the frame.
    return area.left() + static_cast<int>(std::min<std::int64_t>(x, area.width() - 1));
}

void TMMWaveOpenDialog::DrawLocator(std::int64_t Position) {
    if (FScopeImage.isNull()) return;
    const QRect area = ScopeRect();
    TPixelCanvas(FScopeImage).XorColumn(PositionX(Position), area.top(), area.bottom(), FLocatorColor.rgb());
}

void TMMWaveOpenDialog::TimerTick(QObject*) {
    if (!FWaveOut || !FWaveOut->State().Contains(wosPlay)) return;
    if (!FPreview || !CanPreview() || FScanFrames <= 0) return;
    const std::int64_t position = FWaveOut->GetPosition();
    if (FOldPos >= 0 && PositionX(FOldPos) == PositionX(position)) return;
    if (FOldPos >= 0) DrawLocator(FOldPos);
    DrawLocator(position);
    FOldPos = position;
    FScopeWnd->update();
}

// ---- The player's chooser ---------------------------------------------------------------

namespace {

struct TChooserDefaults {
    QString InitialDir;
    QString SettingsFile;
    bool Preview = false;  // as the last dialog left it
};

TChooserDefaults& ChooserDefaults() {
    static TChooserDefaults defaults;
    return defaults;
}

const QString kChooserSection = QStringLiteral("CHOOSER");
const QString kPreviewKey = QStringLiteral("Preview");

}  // namespace

void SetWaveOpenDialogDefaults(const QString& InitialDir, const QString& SettingsFile) {
    ChooserDefaults().InitialDir = InitialDir;
    ChooserDefaults().SettingsFile = SettingsFile;
}

void InstallWaveOpenDialog() {
    TMMWavePlayer::SetWaveFileChooser([](QString& FileName) {
        TChooserDefaults& defaults = ChooserDefaults();
        bool preview = defaults.Preview;
        if (!defaults.SettingsFile.isEmpty())
            preview = TIniFile(defaults.SettingsFile).ReadInteger(kChooserSection, kPreviewKey, preview) != 0;
        TMMWaveOpenDialog dialog;
        dialog.SetFileName(FileName);
        dialog.SetInitialDir(defaults.InitialDir);
        dialog.SetPreview(preview);
        const bool chosen = dialog.Execute();
        defaults.Preview = dialog.Preview();
        if (dialog.Preview() != preview && !defaults.SettingsFile.isEmpty()) {
            try {
                TIniFile(defaults.SettingsFile).WriteInteger(kChooserSection, kPreviewKey, dialog.Preview());
            } catch (const Exception&) {
                // The program reports a settings file it cannot write when it
                // stores the bell's file or closes; the box is kept meanwhile.
            }
        }
        if (!chosen) return false;
        FileName = dialog.FileName();
        return true;
    });
}
