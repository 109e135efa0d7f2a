#include "wavedata/RiffMeta.h"

#include <cstring>
#include <limits>
#include <new>

const TInfoId RiffInfoIds[RiffInfoIdCount] = {
    {mmioFOURCC('I', 'A', 'R', 'L'), "Archival Location", "Where the subject of the file is archived"},
    {mmioFOURCC('I', 'A', 'R', 'T'), "Artist", "The original artist of the subject"},
    {mmioFOURCC('I', 'C', 'M', 'S'), "Commissioned", "Who commissioned the subject"},
    {mmioFOURCC('I', 'C', 'M', 'T'), "Comments", "General comments about the file or its subject"},
    {mmioFOURCC('I', 'C', 'O', 'P'), "Copyright", "Copyright information"},
    {mmioFOURCC('I', 'C', 'R', 'D'), "Creation Date", "When the subject was created (YYYY-MM-DD)"},
    {mmioFOURCC('I', 'C', 'R', 'P'), "Cropped", "Whether and how the image was cropped"},
    {mmioFOURCC('I', 'D', 'I', 'M'), "Dimensions", "Size of the original subject"},
    {mmioFOURCC('I', 'D', 'P', 'I'), "Dots Per Inch", "Resolution used to digitise the subject"},
    {mmioFOURCC('I', 'E', 'N', 'G'), "Engineer", "Who digitised the subject"},
    {mmioFOURCC('I', 'G', 'N', 'R'), "Genre", "Genre of the subject"},
    {mmioFOURCC('I', 'K', 'E', 'Y'), "Keywords", "Keywords, separated by semicolons"},
    {mmioFOURCC('I', 'L', 'G', 'T'), "Lightness", "Lightness settings of the digitising"},
    {mmioFOURCC('I', 'M', 'E', 'D'), "Medium", "Medium of the original subject"},
    {mmioFOURCC('I', 'N', 'A', 'M'), "Name", "Title of the subject"},
    {mmioFOURCC('I', 'P', 'L', 'T'), "Palette Setting", "Number of colours requested when digitising"},
    {mmioFOURCC('I', 'P', 'R', 'D'), "Product", "Product the subject was made for"},
    {mmioFOURCC('I', 'S', 'B', 'J'), "Subject", "What the file is about"},
    {mmioFOURCC('I', 'S', 'F', 'T'), "Software", "Program that made the file"},
    {mmioFOURCC('I', 'S', 'H', 'P'), "Sharpness", "Sharpness settings of the digitising"},
    {mmioFOURCC('I', 'S', 'R', 'C'), "Source", "Who supplied the subject"},
    {mmioFOURCC('I', 'S', 'R', 'F'), "Source Form", "Original form of the subject"},
    {mmioFOURCC('I', 'T', 'C', 'H'), "Technician", "Who digitised the file"},
};

namespace {

DWORD ReadDword(const QByteArray& body, qsizetype offset) {
    DWORD value;
    std::memcpy(&value, body.constData() + offset, 4);
    return value;
}

int TableIndex(FOURCC id) {
    for (int i = 0; i < RiffInfoIdCount; ++i)
        if (RiffInfoIds[i].id == id) return i;
    return -1;
}

// The text the file holds for an entry: from its offset to the first zero,
// never past the end of the body.
QByteArray FileText(const TInfoChunk* info, const TInfoData* entry) {
    if (!info || !entry || entry->dwINFOOffset == 0 || entry->dwINFOOffset >= info->lpChunk.size()) return {};
    const char* start = info->lpChunk.constData() + entry->dwINFOOffset;
    const auto room = static_cast<size_t>(info->lpChunk.size() - entry->dwINFOOffset);
    const void* zero = std::memchr(start, 0, room);
    return QByteArray(start, zero ? static_cast<const char*>(zero) - start : static_cast<qsizetype>(room));
}

// Whether length bytes can still be read at the current position: sizes come
// from the file and are not trusted with an allocation before this check.
bool FitsInFile(HMMIO h, std::int64_t length) {
    const LONG here = mmioSeek(h, 0, MMIO_SEEK_CUR);
    const LONG end = mmioSeek(h, 0, MMIO_SEEK_END);
    if (here < 0 || end < 0 || mmioSeek(h, here, MMIO_SEEK_SET) != here) return false;
    return length <= std::int64_t{end} - here;
}

bool IsEmptyPayload(const QByteArray& payload) {
    return payload.isEmpty() || payload.at(0) == 0;
}

bool WriteAll(HMMIO h, const char* data, LONG count) {
    return mmioWrite(h, data, count) == count;
}

// The bytes of a payload that are written: a text up to and with its zero,
// a bitmap as long as its header says, both within what is there.
QByteArray WrittenPayload(DWORD cfid, const QByteArray& payload) {
    if (cfid == CF_TEXT) {
        const qsizetype zero = payload.indexOf('\0');
        QByteArray text = zero >= 0 ? payload.left(zero) : payload;
        text.append('\0');
        return text;
    }
    if (payload.size() < 40) return payload;
    const std::uint64_t biSize = ReadDword(payload, 0);
    const std::uint64_t biSizeImage = ReadDword(payload, 20);
    const std::uint64_t biClrUsed = ReadDword(payload, 32);
    const std::uint64_t length = biSize + biSizeImage + 4 * biClrUsed;
    return length < static_cast<std::uint64_t>(payload.size()) ? payload.left(static_cast<qsizetype>(length))
                                                               : payload;
}

}  // namespace

// ---- INFO -------------------------------------------------------------------

int RiffInitINFO(std::unique_ptr<TInfoChunk>& info) {
    try {
        auto fresh = std::make_unique<TInfoChunk>();
        for (int i = 0; i < RiffInfoIdCount; ++i)
            fresh->Entries.push_back(RiffCreateINFO(0, static_cast<WORD>(i), 0, std::nullopt));
        info = std::move(fresh);
    } catch (const std::bad_alloc&) {
        return riffErrNoMem;
    }
    return riffErrNone;
}

int RiffReadINFO(HMMIO h, const MMCKINFO& ck, TInfoChunk* info) {
    if (!h || !info) return riffErrBadParam;
    const std::int64_t length = std::int64_t{ck.cksize} - 4;
    if (length <= 0) return riffErrNone;
    if (!FitsInFile(h, length)) return riffErrFile;
    QByteArray body;
    try {
        body.resize(static_cast<qsizetype>(length));
    } catch (const std::bad_alloc&) {
        return riffErrNoMem;
    }
    if (mmioRead(h, body.data(), static_cast<LONG>(length)) != length) return riffErrFile;
    info->lpChunk = std::move(body);
    info->cksize = static_cast<DWORD>(length);
    // A second list replaces the first: forget the offsets into the old body.
    for (auto& entry : info->Entries) entry->dwINFOOffset = 0;
    RiffParseINFO(info);
    return riffErrNone;
}

void RiffParseINFO(TInfoChunk* info) {
    if (!info) return;
    const std::int64_t length = info->lpChunk.size();
    std::int64_t offset = 0;
    while (offset + 8 <= length) {
        const FOURCC id = ReadDword(info->lpChunk, offset);
        const DWORD size = ReadDword(info->lpChunk, offset + 4);
        if (TableIndex(id) >= 0)
            RiffModifyINFO(info, RiffFindPIINFO(info, id), 0, std::nullopt, static_cast<DWORD>(offset + 8));
        offset += 8 + std::int64_t{size} + (size & 1);
    }
}

TInfoData* RiffFindPIINFO(TInfoChunk* info, FOURCC id) {
    if (!info) return nullptr;
    const int index = TableIndex(id);
    if (index < 0) return nullptr;
    for (auto& entry : info->Entries)
        if (entry->index == index) return entry.get();
    return nullptr;
}

void RiffModifyINFO(TInfoChunk* info, TInfoData* entry, WORD flags, std::optional<QByteArray> text,
                    DWORD offset) {
    if (!entry) return;
    if (flags == 0) entry->dwINFOOffset = offset;
    if (entry->lpText) {
        if (text) {
            if (*text == *entry->lpText) return;
            if (text->isEmpty()) {
                entry->lpText.reset();
                entry->wFlags = riffFlagRemoved;
            } else {
                entry->lpText = std::move(text);
                entry->wFlags = flags;
            }
        } else if (flags & riffFlagRemoved) {
            entry->lpText.reset();
            entry->wFlags = flags;
        }
        return;
    }
    if (!text) return;
    if (*text == FileText(info, entry)) return;
    entry->lpText = std::move(text);
    entry->wFlags = flags;
}

std::unique_ptr<TInfoData> RiffCreateINFO(WORD flags, WORD index, DWORD offset,
                                          std::optional<QByteArray> text) {
    auto entry = std::make_unique<TInfoData>();
    entry->index = index;
    entry->wFlags = flags;
    entry->dwINFOOffset = offset;
    entry->lpText = std::move(text);
    return entry;
}

TInfoData* RiffInsertINFO(TInfoChunk* info, std::unique_ptr<TInfoData> entry) {
    if (!info || !entry) return nullptr;
    info->Entries.push_back(std::move(entry));
    return info->Entries.back().get();
}

QByteArray RiffGetINFOText(const TInfoChunk* info, const TInfoData* entry) {
    if (!entry) return {};
    if (entry->lpText) return *entry->lpText;
    return FileText(info, entry);
}

int RiffCopyInfo(TInfoChunk* dst, const TInfoChunk* src) {
    if (!dst || !src) return riffErrBadParam;
    for (const auto& entry : src->Entries) {
        QByteArray text = RiffGetINFOText(src, entry.get());
        if (text.isEmpty() || entry->index >= RiffInfoIdCount) continue;
        TInfoData* target = RiffFindPIINFO(dst, RiffInfoIds[entry->index].id);
        RiffModifyINFO(dst, target, riffFlagChanged, std::move(text), 0);
    }
    return riffErrNone;
}

int RiffWriteINFO(HMMIO h, const TInfoChunk* info) {
    if (!h || !info) return riffErrBadParam;
    MMCKINFO list;
    bool created = false;
    for (const auto& entry : info->Entries) {
        const QByteArray text = RiffGetINFOText(info, entry.get());
        if (text.isEmpty() || entry->index >= RiffInfoIdCount) continue;
        if (!created) {
            list.fccType = mmioFOURCC('I', 'N', 'F', 'O');
            list.cksize = 0;
            if (mmioCreateChunk(h, &list, MMIO_CREATELIST) != MMSYSERR_NOERROR) return riffErrFile;
            created = true;
        }
        MMCKINFO sub;
        sub.ckid = RiffInfoIds[entry->index].id;
        sub.cksize = static_cast<DWORD>(text.size() + 1);
        if (mmioCreateChunk(h, &sub, 0) != MMSYSERR_NOERROR) return riffErrFile;
        if (!WriteAll(h, text.constData(), static_cast<LONG>(text.size() + 1))) return riffErrFile;
        if (mmioAscend(h, &sub, 0) != MMSYSERR_NOERROR) return riffErrFile;
    }
    if (created && mmioAscend(h, &list, 0) != MMSYSERR_NOERROR) return riffErrFile;
    return riffErrNone;
}

int RiffFreeINFO(std::unique_ptr<TInfoChunk>& info) {
    if (!info) return riffErrBadParam;
    info.reset();
    return riffErrNone;
}

// ---- DISP -------------------------------------------------------------------

int RiffInitDISP(std::unique_ptr<TDispList>& list) {
    try {
        list = std::make_unique<TDispList>();
    } catch (const std::bad_alloc&) {
        return riffErrNoMem;
    }
    return riffErrNone;
}

int RiffReadDISP(HMMIO h, const MMCKINFO& ck, TDispList* list) {
    if (!list) return riffErrBadParam;
    if (ck.cksize <= 4) return riffErrNone;
    if (!h) return riffErrBadParam;
    DWORD cfid = 0;
    if (mmioRead(h, reinterpret_cast<char*>(&cfid), 4) != 4) return riffErrFile;
    const std::int64_t length = std::int64_t{ck.cksize} - 4;
    if (!FitsInFile(h, length)) return riffErrFile;
    QByteArray payload;
    try {
        payload.resize(static_cast<qsizetype>(length));
    } catch (const std::bad_alloc&) {
        return riffErrNoMem;
    }
    if (mmioRead(h, payload.data(), static_cast<LONG>(length)) != length) return riffErrFile;
    RiffInsertDISP(list, RiffCreateDISP(0, cfid, std::move(payload), std::nullopt));
    return riffErrNone;
}

std::unique_ptr<TDisp> RiffCreateDISP(WORD flags, DWORD cfid, std::optional<QByteArray> chunk,
                                      std::optional<QByteArray> data) {
    auto entry = std::make_unique<TDisp>();
    entry->wFlags = flags;
    entry->cfid = cfid;
    entry->lpChunk = std::move(chunk);
    entry->lpData = std::move(data);
    return entry;
}

TDisp* RiffInsertDISP(TDispList* list, std::unique_ptr<TDisp> entry) {
    if (!list || !entry) return nullptr;
    list->Entries.push_back(std::move(entry));
    return list->Entries.back().get();
}

void RiffModifyDISP(TDispList*, TDisp* entry, WORD flags, std::optional<QByteArray> data) {
    if (!entry) return;
    if (entry->lpData) {
        if (!data) {
            entry->lpData.reset();
            entry->wFlags = riffFlagRemoved;
        } else if (*data == *entry->lpData) {
            return;
        } else if (IsEmptyPayload(*data)) {
            entry->lpData.reset();
            entry->wFlags = riffFlagRemoved;
        } else {
            entry->lpData = std::move(data);
            entry->wFlags = flags;
        }
        return;
    }
    if (!data) {
        entry->wFlags = flags;
        return;
    }
    const QByteArray fromFile = entry->lpChunk ? *entry->lpChunk : QByteArray();
    if (*data == fromFile) return;
    entry->lpData = std::move(data);
    entry->wFlags = flags;
}

const QByteArray* RiffGetDISPPayload(const TDisp* entry) {
    if (!entry) return nullptr;
    if (entry->lpData) return &*entry->lpData;
    if (entry->lpChunk && entry->wFlags != riffFlagChanged) return &*entry->lpChunk;
    return nullptr;
}

int RiffCopyDISP(TDispList* dst, const TDispList* src) {
    if (!dst || !src) return riffErrBadParam;
    try {
        std::vector<std::unique_ptr<TDisp>> copies;
        for (const auto& entry : src->Entries) {
            const QByteArray* payload = RiffGetDISPPayload(entry.get());
            if (entry->cfid == 0 || !payload || IsEmptyPayload(*payload)) continue;
            copies.push_back(RiffCreateDISP(riffFlagChanged, entry->cfid, std::nullopt, *payload));
        }
        dst->Entries = std::move(copies);
    } catch (const std::bad_alloc&) {
        return riffErrNoMem;
    }
    return riffErrNone;
}

int RiffWriteDISP(HMMIO h, const TDispList* list) {
    if (!h || !list) return riffErrBadParam;
    for (const auto& entry : list->Entries) {
        if (entry->cfid != CF_TEXT && entry->cfid != CF_DIB) continue;
        const QByteArray* payload = RiffGetDISPPayload(entry.get());
        if (!payload || IsEmptyPayload(*payload)) continue;
        const QByteArray bytes = WrittenPayload(entry->cfid, *payload);
        MMCKINFO ck;
        ck.ckid = mmioFOURCC('D', 'I', 'S', 'P');
        ck.cksize = static_cast<DWORD>(bytes.size() + 4);
        if (mmioCreateChunk(h, &ck, 0) != MMSYSERR_NOERROR) return riffErrFile;
        if (!WriteAll(h, reinterpret_cast<const char*>(&entry->cfid), 4)) return riffErrFile;
        if (!WriteAll(h, bytes.constData(), static_cast<LONG>(bytes.size()))) return riffErrFile;
        if (mmioAscend(h, &ck, 0) != MMSYSERR_NOERROR) return riffErrFile;
    }
    return riffErrNone;
}

int RiffFreeDISP(std::unique_ptr<TDispList>& list, bool freeList) {
    if (!list) return riffErrBadParam;
    if (freeList)
        list.reset();
    else
        list->Entries.clear();
    return riffErrNone;
}
