#pragma once

// INFO and DISP metadata of RIFF files: one "LIST"/"INFO" chunk of short
// texts under the standard INFO ids, and "DISP" chunks holding a text or a
// device-independent bitmap. Read while a file is described, changed through
// the wave object, copied between files and written after the samples.

#include "platform/base/wintypes.h"
#include "platform/mmio/mmio.h"

#include <QByteArray>
#include <memory>
#include <optional>
#include <vector>

inline constexpr int riffErrNone = 0;
inline constexpr int riffErrBadParam = 2;
inline constexpr int riffErrFile = 3;
inline constexpr int riffErrNoMem = 4;

// Clipboard formats of DISP entries that are written back.
inline constexpr DWORD CF_TEXT = 1;
inline constexpr DWORD CF_DIB = 8;

// Flags of changed entries.
inline constexpr WORD riffFlagChanged = 1;
inline constexpr WORD riffFlagRemoved = 2;

// One row of the INFO id table.
struct TInfoId {
    FOURCC id;
    const char* Name;         // short display name
    const char* Description;  // what the text holds
};
inline constexpr int RiffInfoIdCount = 23;
extern const TInfoId RiffInfoIds[RiffInfoIdCount];

// One INFO id. The effective text is lpText when present, else the text in
// the file body at dwINFOOffset (when not 0), else empty.
struct TInfoData {
    WORD index = 0;                    // row of RiffInfoIds
    WORD wFlags = 0;                   // 0 as read; else the flags of the last change
    DWORD dwINFOOffset = 0;            // offset of the file's text inside lpChunk; 0: none
    std::optional<QByteArray> lpText;  // new text (without terminating zero)
};

struct TInfoChunk {
    QByteArray lpChunk;  // body of the file's "LIST"/"INFO" chunk (after the type)
    DWORD cksize = 0;    // length of lpChunk
    std::vector<std::unique_ptr<TInfoData>> Entries;  // in id-table order
};

// One DISP chunk. The effective payload is lpData when present, else lpChunk
// unless wFlags is 1 (then none).
struct TDisp {
    DWORD cfid = 0;                     // clipboard format: CF_TEXT or CF_DIB
    WORD wFlags = 0;                    // 0 as read; else the flags of the last change
    std::optional<QByteArray> lpChunk;  // payload as read from the file
    std::optional<QByteArray> lpData;   // new payload
};

struct TDispList {
    std::vector<std::unique_ptr<TDisp>> Entries;  // file order; new ones appended
};

// ---- INFO -------------------------------------------------------------------
int RiffInitINFO(std::unique_ptr<TInfoChunk>& info);
// Reads the body of the "LIST"/"INFO" chunk ck (positioned at its data, after
// the type) and parses it; a second list replaces the body of the first.
int RiffReadINFO(HMMIO h, const MMCKINFO& ck, TInfoChunk* info);
void RiffParseINFO(TInfoChunk* info);
TInfoData* RiffFindPIINFO(TInfoChunk* info, FOURCC id);
// Takes the new text; flags 0 means "parsed from the file at offset".
void RiffModifyINFO(TInfoChunk* info, TInfoData* entry, WORD flags, std::optional<QByteArray> text,
                    DWORD offset);
std::unique_ptr<TInfoData> RiffCreateINFO(WORD flags, WORD index, DWORD offset,
                                          std::optional<QByteArray> text);
TInfoData* RiffInsertINFO(TInfoChunk* info, std::unique_ptr<TInfoData> entry);
int RiffCopyInfo(TInfoChunk* dst, const TInfoChunk* src);
int RiffWriteINFO(HMMIO h, const TInfoChunk* info);
int RiffFreeINFO(std::unique_ptr<TInfoChunk>& info);
// The entry's effective text, without terminating zero.
QByteArray RiffGetINFOText(const TInfoChunk* info, const TInfoData* entry);

// ---- DISP -------------------------------------------------------------------
int RiffInitDISP(std::unique_ptr<TDispList>& list);
// Reads one "DISP" chunk ck (positioned at its data) and appends its entry.
int RiffReadDISP(HMMIO h, const MMCKINFO& ck, TDispList* list);
std::unique_ptr<TDisp> RiffCreateDISP(WORD flags, DWORD cfid, std::optional<QByteArray> chunk,
                                      std::optional<QByteArray> data);
TDisp* RiffInsertDISP(TDispList* list, std::unique_ptr<TDisp> entry);
void RiffModifyDISP(TDispList* list, TDisp* entry, WORD flags, std::optional<QByteArray> data);
int RiffCopyDISP(TDispList* dst, const TDispList* src);
int RiffWriteDISP(HMMIO h, const TDispList* list);
// Frees every entry; the list itself too when freeList is set.
int RiffFreeDISP(std::unique_ptr<TDispList>& list, bool freeList);
// The entry's effective payload, or nullptr when it has none.
const QByteArray* RiffGetDISPPayload(const TDisp* entry);
