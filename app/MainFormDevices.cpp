// What the window finds around it after start-up: adapters plugged in and
// pulled out, and the sound output the tower chooses.

#include "app/MainForm.h"

#include "app/Guarded.h"
#include "app/PortList.h"
#include "app/SoundOutputForm.h"
#include "comport/FComPort.h"
#include "platform/gui/Application.h"
#include "platform/profile/IniFile.h"
#include "platform/waveout/waveout.h"

#include <QComboBox>
#include <algorithm>

namespace {

const QString kNotDetected = QStringLiteral("   [RECEIVER NOT DETECTED]");

}  // namespace

void TfMainform::RefreshPorts() {
    QList<TPortEntry> ports = ListPorts(SystemPorts());
    // The port listened on stays until listening ends, even with its adapter gone.
    if (FComPort->GetActive()) {
        const QString open = FComPort->DeviceName();
        const bool listed =
            std::any_of(ports.begin(), ports.end(), [&](const TPortEntry& p) { return p.Name == open; });
        for (int i = 0; !listed && i < FPort->count(); ++i)
            if (FPort->itemText(i) == open) ports.append({open, FriendlyOfEntry(FPort, i)});
    }
    FillPortSelector(FPort, ports);
    if (FPortSettingsLoaded || ports.isEmpty()) return;
    // The receiver was not there at start-up: its stored settings apply
    // now, as they would have then, so choosing it does not overwrite them.
    FPortSettingsLoaded = true;
    QString title = windowTitle();
    if (title.endsWith(kNotDetected)) setWindowTitle(title.chopped(kNotDetected.size()));
    try {
        LoadComSettings(*FInifile);
    } catch (...) {
        Application.HandleException(std::current_exception());
    }
    if (FComPort->DeviceName().isEmpty()) FComPort->SetDeviceName(DefaultPort(ports));
    FPort->setEditText(FComPort->DeviceName());
}

void TfMainform::SoundOutput1Click() {
    auto* dialog = new TfSoundOutput(this);
    connect(dialog, &QDialog::accepted, this, Guarded([this, dialog] {
                const QString output = dialog->Chosen();
                if (output.isEmpty() || !FInifile) return;
                FInifile->WriteString(QStringLiteral("AUDIO"), QStringLiteral("Output"), output);
                // At once when no bell sounds, else when the last one stops.
                FOutputChosen = output;
                SwitchOutputIfSilent();
                UpdateOutputStatus();
            }));
    dialog->open();
}
