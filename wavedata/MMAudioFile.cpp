#include "wavedata/MMAudioFile.h"

#include <memory>

TMMCustomFile::TMMCustomFile(QObject* AOwner) : TMMDSPComponent(AOwner) {}

DWORD TMMCustomFile::GetSampleRate() const {
    const WAVEFORMATEX* f = GetPWaveFormat();
    return f ? f->nSamplesPerSec : 0;
}

int TMMCustomFile::GetChannels() const {
    const WAVEFORMATEX* f = GetPWaveFormat();
    return f ? f->nChannels : 0;
}

void TMMCustomFile::DoChanged() {
    if (OnChange) OnChange(this);
    if (OnChanged) OnChanged(this);
}

// ---- Registry -------------------------------------------------------------

namespace {

std::unique_ptr<QList<TRegisterRec>>& Registry() {
    static std::unique_ptr<QList<TRegisterRec>> list;
    return list;
}

}  // namespace

void DoRegisterCustomAudioFile(TMMCustomFileClass aClass, LONG aPriority) {
    if (!aClass) return;
    auto& list = Registry();
    if (!list) list = std::make_unique<QList<TRegisterRec>>();
    const QString name = aClass->ClassName();
    for (const TRegisterRec& rec : *list)
        if (rec.Obj->ClassName() == name) return;
    // Negative priorities sort first; the new priority counts as unsigned,
    // so a negative one goes behind every entry.
    const auto wanted = static_cast<DWORD>(aPriority);
    qsizetype at = 0;
    while (at < list->size() &&
           ((*list)[at].Priority < 0 || static_cast<DWORD>((*list)[at].Priority) <= wanted))
        ++at;
    list->insert(at, TRegisterRec{aClass, aPriority});
}

void FreeClassRegistry() {
    Registry().reset();
}

QList<TRegisterRec> RegisteredAudioFiles() {
    const auto& list = Registry();
    return list ? *list : QList<TRegisterRec>{};
}
