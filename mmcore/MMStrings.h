#pragma once

#include <QString>

// The multimedia message table: text n is entry IDS_BASE + n.
inline constexpr int IDS_BASE = 28000;

// The file chooser and the wave file source.
inline constexpr int IDS_OPENWAVETITLE = 1;    // "Open Wave File"
inline constexpr int IDS_WAVEFILTER = 4;       // "Wave Files(*.wav)|*.wav"
inline constexpr int IDS_INVALIDWAVEFILE = 5;  // "Invalid WaveFile..."
inline constexpr int IDS_UNKNOWN = 6;          // "Unknown"
inline constexpr int IDS_PREVIEW = 7;          // "Preview"

// The wave output device.
inline constexpr int IDS_PROPERTYOPEN = 60;
inline constexpr int IDS_INVALIDDEVICEID = 61;
inline constexpr int IDS_HEADERMEMERROR = 64;
inline constexpr int IDS_CANTPLAY = 70;
inline constexpr int IDS_STARTERROR = 80;
inline constexpr int IDS_FILLERROR = 81;
inline constexpr int IDS_ERROROUTOFRANGE = 86;
inline constexpr int IDS_THREADERROR = 88;
inline constexpr int IDS_NOFORMAT = 89;
inline constexpr int IDS_NOFREEBUFFERS = 100;
inline constexpr int IDS_BUFFERTOSMALL = 101;
inline constexpr int IDS_WONODEVICE = 161;
inline constexpr int IDS_CANTOPENDEVICE = 162;
inline constexpr int IDS_CANTCLOSEDEVICE = 163;

// The wave object.
inline constexpr int IDS_NOMEMORYWAVE = 63;       // "This is not a MemoryWave"
inline constexpr int IDS_WAVEREADERROR = 130;     // "Error reading wave file"
inline constexpr int IDS_MEMORYWAVEWRITE = 131;   // "Can't write to MemoryWave"
inline constexpr int IDS_INFONOTFOUND = 132;      // "InfoChunk %s not found"
inline constexpr int IDS_INVALIDWAVE = 133;       // "Invalid wave file..."
inline constexpr int IDS_INVALIDPARAM = 134;      // "Invalid param passed!"
inline constexpr int IDS_IMPORTERROR = 135;       // "Unable to import wave file"
inline constexpr int IDS_IMPORTABORTED = 136;     // "Import aborted"
inline constexpr int IDS_IOBUFFERERROR = 137;     // "Unable to setup file IO buffer"
inline constexpr int IDS_WAVEOPENERROR = 138;     // "Unable to open wave file"
inline constexpr int IDS_WAVECREATEERROR = 139;   // "Unable to create wave file"
inline constexpr int IDS_WAVESAVEERROR = 140;     // "Unable to save wave file"
inline constexpr int IDS_SAVEABORTED = 141;       // "Saving was aborted"
inline constexpr int IDS_WAVECONVERTERROR = 142;  // "Unable to convert wave file"
inline constexpr int IDS_CONVERTABORTED = 143;    // "Conversion aborted"
inline constexpr int IDS_NOTCONVERTIBLE = 144;    // "This wave file is not valid for conversion"
inline constexpr int IDS_SEEKERROR = 147;         // "Error seeking file position"

// The text of message Ident (entry IDS_BASE + Ident); empty for a number the
// table does not hold.
QString LoadResStr(int Ident);
