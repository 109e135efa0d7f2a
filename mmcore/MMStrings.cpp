#include "mmcore/MMStrings.h"

#include <QHash>

namespace {

const QHash<int, QString>& Table() {
    // Keyed by the full entry number.
    static const QHash<int, QString> table = [] {
        const std::pair<int, const char*> texts[] = {
            {IDS_OPENWAVETITLE, "Open Wave File"},
            {IDS_WAVEFILTER, "Wave Files(*.wav)|*.wav"},
            {IDS_INVALIDWAVEFILE, "Invalid WaveFile..."},
            {IDS_UNKNOWN, "Unknown"},
            {IDS_PREVIEW, "Preview"},
            {IDS_PROPERTYOPEN, "Change to property while device was open"},
            {IDS_INVALIDDEVICEID, "Invalid DeviceID"},
            {IDS_NOMEMORYWAVE, "This is not a MemoryWave"},
            {IDS_HEADERMEMERROR, "Unable to allocate memory for wave header"},
            {IDS_CANTPLAY, "The actual device can't play this format"},
            {IDS_STARTERROR, "Unable to start device"},
            {IDS_FILLERROR, "Error filling wave buffer"},
            {IDS_ERROROUTOFRANGE, "Specified error number is out of range (unknown error)"},
            {IDS_THREADERROR, "Could not create thread"},
            {IDS_NOFORMAT, "Invalid wave format"},
            {IDS_NOFREEBUFFERS, "No free Buffers available !!"},
            {IDS_BUFFERTOSMALL, "Buffersize to small !!"},
            {IDS_WAVEREADERROR, "Error reading wave file"},
            {IDS_MEMORYWAVEWRITE, "Can't write to MemoryWave"},
            {IDS_INFONOTFOUND, "InfoChunk %s not found"},
            {IDS_INVALIDWAVE, "Invalid wave file..."},
            {IDS_INVALIDPARAM, "Invalid param passed!"},
            {IDS_IMPORTERROR, "Unable to import wave file"},
            {IDS_IMPORTABORTED, "Import aborted"},
            {IDS_IOBUFFERERROR, "Unable to setup file IO buffer"},
            {IDS_WAVEOPENERROR, "Unable to open wave file"},
            {IDS_WAVECREATEERROR, "Unable to create wave file"},
            {IDS_WAVESAVEERROR, "Unable to save wave file"},
            {IDS_SAVEABORTED, "Saving was aborted"},
            {IDS_WAVECONVERTERROR, "Unable to convert wave file"},
            {IDS_CONVERTABORTED, "Conversion aborted"},
            {IDS_NOTCONVERTIBLE, "This wave file is not valid for conversion"},
            {IDS_SEEKERROR, "Error seeking file position"},
            {IDS_WONODEVICE, "No wave audio playing device found"},
            {IDS_CANTOPENDEVICE, "Unable to open device"},
            {IDS_CANTCLOSEDEVICE, "Unable to close device"},
        };
        QHash<int, QString> result;
        for (const auto& [ident, text] : texts) result.insert(IDS_BASE + ident, QString::fromLatin1(text));
        return result;
    }();
    return table;
}

}  // namespace

QString LoadResStr(int Ident) {
    return Table().value(IDS_BASE + Ident);
}
