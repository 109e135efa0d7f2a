// What the program remembers between runs: the receiver port's settings,
// each bell's delay and sound file, and the window's place.

#include "app/MainForm.h"

#include "comport/FComPort.h"
#include "platform/base/Exception.h"
#include "platform/gui/Timer.h"
#include "platform/profile/IniFile.h"
#include "playback/MMWavePlayer.h"

#include <algorithm>

namespace {

// The port properties the settings file holds, in the order of writing and
// of applying: CustomBaudRate last, so a stored speed wins.
constexpr const char* COM_PROPS[] = {"DeviceName", "BaudRate", "DataBits",
                                     "StopBits",   "Parity",   "CustomBaudRate"};

const QString kComPort = QStringLiteral("COMPORT");
const QString kDelay = QStringLiteral("DELAY");
const QString kSoundFiles = QStringLiteral("SOUNDFILES");
const QString kPosition = QStringLiteral("Position");

bool Publishes(const QObject* Object, const char* Property) {
    return Object->metaObject()->indexOfProperty(Property) >= 0;
}

QString KeyOf(const QObject* Object, const char* Property) {
    return QStringLiteral("%1.%2").arg(Object->objectName(), QString::fromLatin1(Property));
}

QString BellKey(int Bell) {
    return QStringLiteral("BELL%1").arg(Bell);
}

}  // namespace

void TfMainform::LoadComSettings(TIniFile& FromInifile) {
    for (const char* property : COM_PROPS) {
        if (!Publishes(FComPort, property)) continue;
        const QString text = FromInifile.ReadString(kComPort, KeyOf(FComPort, property), QString());
        if (!text.isEmpty()) SetPropertyText(FComPort, property, text);
    }
}

void TfMainform::SaveComSettings(TIniFile& ToInifile) {
    for (const char* property : COM_PROPS)
        if (Publishes(FComPort, property))
            ToInifile.WriteString(kComPort, KeyOf(FComPort, property), GetPropertyText(FComPort, property));
}

void TfMainform::LoadDelays() {
    for (int n = 1; n <= kBellCount; ++n)
        if (FTimers[n]->Tag() > 0)
            FTimers[n]->SetInterval(
                static_cast<UINT>(FInifile->ReadInteger(kDelay, BellKey(FTimers[n]->Tag()), 300)));
}

void TfMainform::SaveDelay(int aPlayer, int aDelayMilli) {
    if (FLoading || !FInifile) return;
    FInifile->WriteInteger(kDelay, BellKey(aPlayer), aDelayMilli);
    for (int n = 1; n <= kBellCount; ++n)
        if (FTimers[n]->Tag() == aPlayer) FTimers[n]->SetInterval(static_cast<UINT>(aDelayMilli));
}

QStringList TfMainform::LoadSoundFiles() {
    QStringList failures;
    for (int n = 1; n <= kBellCount; ++n) {
        TMMWavePlayer* player = FPlayers[n];
        const QString file = FInifile->ReadString(kSoundFiles, BellKey(player->Tag()), QString());
        try {
            player->LoadFromFile(file);
        } catch (const Exception& e) {
            failures << QStringLiteral("%1 (bell %2: %3)").arg(e.Message()).arg(player->Tag()).arg(file);
        }
    }
    return failures;
}

void TfMainform::LoadPosition() {
    // No check against the screen, but nothing the window system cannot
    // hold (its coordinates are 16-bit): a corrupt value must not wreck it.
    auto read = [this](const char* key, int defaultValue) {
        return std::clamp(FInifile->ReadInteger(kPosition, QString::fromLatin1(key), defaultValue), -32767,
                          32767);
    };
    const int left = read("Left", 100), top = read("Top", 100);
    const int width = read("Width", 737), height = read("Height", 233);
    move(left, top);
    resize(width, height);
}

void TfMainform::SavePosition() {
    if (!FInifile) return;
    FInifile->WriteInteger(kPosition, QStringLiteral("Left"), pos().x());
    FInifile->WriteInteger(kPosition, QStringLiteral("Top"), pos().y());
    FInifile->WriteInteger(kPosition, QStringLiteral("Width"), width());
    FInifile->WriteInteger(kPosition, QStringLiteral("Height"), height());
}
