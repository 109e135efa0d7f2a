// What the program remembers between runs: the receiver port's settings,
// each bell's delay and sound file, and the window's place.

#include "app/MainForm.h"

#include "app/SettingsKeys.h"

#include "comport/FComPort.h"
#include "platform/base/Exception.h"
#include "platform/gui/Timer.h"
#include "platform/profile/IniFile.h"
#include "playback/MMWavePlayer.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QScreen>
#include <algorithm>
#include <limits>

namespace {

// The port properties the settings file holds, in the order of writing and
// of applying: CustomBaudRate last, so a stored speed wins.
constexpr const char* COM_PROPS[] = {"DeviceName", "BaudRate", "DataBits",
                                     "StopBits",   "Parity",   "CustomBaudRate"};

const QString kComPort = QStringLiteral("COMPORT");
const QString kDelay = QStringLiteral("DELAY");
const QString kPosition = QStringLiteral("Position");
const QString kOptions = QStringLiteral("OPTIONS");
const QString kDelaysActive = QStringLiteral("DelaysActive");

bool Publishes(const QObject* Object, const char* Property) {
    return Object->metaObject()->indexOfProperty(Property) >= 0;
}

QString KeyOf(const QObject* Object, const char* Property) {
    return QStringLiteral("%1.%2").arg(Object->objectName(), QString::fromLatin1(Property));
}

}  // namespace

void TfMainform::LoadComSettings(TIniFile& FromInifile) {
    for (const char* property : COM_PROPS) {
        if (!Publishes(FComPort, property)) continue;
        const QString text = FromInifile.ReadString(kComPort, KeyOf(FComPort, property), QString());
        if (text.isEmpty()) continue;
        // The speed the stored rate already gives: a standard rate stays
        // standard, as it was written.
        if (qstrcmp(property, "CustomBaudRate") == 0 && GetPropertyText(FComPort, property) == text.trimmed())
            continue;
        SetPropertyText(FComPort, property, text);
    }
}

void TfMainform::SaveComSettings(TIniFile& ToInifile) {
    for (const char* property : COM_PROPS)
        if (Publishes(FComPort, property))
            ToInifile.WriteString(kComPort, KeyOf(FComPort, property), GetPropertyText(FComPort, property));
}

void TfMainform::LoadDelays() {
    // As the delay dialog allows: a negative value would wrap round to
    // weeks and silence every second stroke of its bell.
    for (int n = 1; n <= kBellCount; ++n)
        if (FTimers[n]->Tag() > 0)
            FTimers[n]->SetInterval(static_cast<UINT>(
                std::clamp(FInifile->ReadInteger(kDelay, BellKey(FTimers[n]->Tag()), 300), 0, kMaxDelayMs)));
}

void TfMainform::LoadDelaysActive() {
    FDelaysActive->setChecked(FInifile->ReadInteger(kOptions, kDelaysActive, 1) != 0);
}

void TfMainform::SaveDelaysActive() {
    if (FLoading || !FInifile) return;
    FInifile->WriteInteger(kOptions, kDelaysActive, FDelaysActive->isChecked() ? 1 : 0);
}

void TfMainform::SaveDelay(int aPlayer, int aDelayMilli) {
    if (FLoading || !FInifile) return;
    FInifile->WriteInteger(kDelay, BellKey(aPlayer), aDelayMilli);
    for (int n = 1; n <= kBellCount; ++n)
        if (FTimers[n]->Tag() == aPlayer) FTimers[n]->SetInterval(static_cast<UINT>(aDelayMilli));
    PublishRinging();
}

QStringList TfMainform::LoadSoundFiles() {
    QStringList failures;
    for (int n = 1; n <= kBellCount; ++n) {
        TMMWavePlayer* player = FPlayers[n];
        const QString file = FInifile->ReadString(kSoundFilesSection, BellKey(player->Tag()), QString());
        try {
            player->LoadFromFile(file);
        } catch (const Exception& e) {
            failures << QStringLiteral("%1 (bell %2: %3)").arg(e.Message()).arg(player->Tag()).arg(file);
        }
    }
    return failures;
}

void TfMainform::LoadPosition() {
    // Nothing the window system cannot hold (its coordinates are 16-bit): a
    // corrupt value must not wreck it.
    auto read = [this](const char* key, int defaultValue) {
        return std::clamp(FInifile->ReadInteger(kPosition, QString::fromLatin1(key), defaultValue), -32767,
                          32767);
    };
    const QRect saved(read("Left", 100), read("Top", 100), read("Width", 737), read("Height", 233));
    // The client area is stored and restored, never the frame's corner: the
    // frame is only known once the window manager has framed the window.
    setGeometry(FitOnScreen(saved));
}

void TfMainform::SavePosition() {
    if (!FInifile) return;
    const QRect client = geometry();
    FInifile->WriteInteger(kPosition, QStringLiteral("Left"), client.x());
    FInifile->WriteInteger(kPosition, QStringLiteral("Top"), client.y());
    FInifile->WriteInteger(kPosition, QStringLiteral("Width"), client.width());
    FInifile->WriteInteger(kPosition, QStringLiteral("Height"), client.height());
}

QRect TfMainform::FitOnScreen(const QRect& Client) {
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (screens.isEmpty()) return Client;
    // The screen the window overlaps most, else the nearest one.
    QScreen* best = nullptr;
    qint64 bestArea = 0, bestDistance = std::numeric_limits<qint64>::max();
    for (QScreen* screen : screens) {
        const QRect area = screen->availableGeometry();
        const QRect common = area.intersected(Client);
        const qint64 overlap = common.isEmpty() ? 0 : qint64(common.width()) * common.height();
        const QPoint centre = Client.center();
        const qint64 dx = centre.x() < area.left()    ? area.left() - centre.x()
                          : centre.x() > area.right() ? centre.x() - area.right()
                                                      : 0;
        const qint64 dy = centre.y() < area.top()      ? area.top() - centre.y()
                          : centre.y() > area.bottom() ? centre.y() - area.bottom()
                                                       : 0;
        const qint64 distance = dx * dx + dy * dy;
        if (overlap > bestArea || (bestArea == 0 && overlap == 0 && distance < bestDistance)) {
            best = screen;
            bestArea = overlap;
            bestDistance = distance;
        }
    }
    // The frame around the client, where the window system knows it already.
    const QRect frame = frameGeometry(), client = geometry();
    const QMargins margins(client.left() - frame.left(), client.top() - frame.top(),
                           frame.right() - client.right(), frame.bottom() - client.bottom());
    const QRect room = best->availableGeometry().marginsRemoved(margins);
    // A small screen (or a large scale factor) lowers the least size, so the
    // whole window, every bell and button included, fits on it.
    setMinimumSize(std::max(1, std::min(kMinWidth, room.width())),
                   std::max(1, std::min(kMinHeight, room.height())));
    QRect placed(Client.topLeft(), Client.size().boundedTo(room.size()).expandedTo(minimumSize()));
    auto fit = [](int at, int length, int first, int room) {
        // Wholly on the screen when it fits, else its top or left edge on it.
        return length <= room ? std::clamp(at, first, first + room - length) : first;
    };
    placed.moveTo(fit(placed.x(), placed.width(), room.x(), room.width()),
                  fit(placed.y(), placed.height(), room.y(), room.height()));
    return placed;
}
