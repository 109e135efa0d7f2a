#include "mmcore/MMObject.h"

TMMObject::TMMObject(QObject* parent) : QObject(parent) {}

void TMMObject::BeginUpdate() {
    if (FUpdateCount == 0) SetUpdateState(true);
    ++FUpdateCount;
}

void TMMObject::EndUpdate() {
    if (FUpdateCount <= 0) return;
    --FUpdateCount;
    if (FUpdateCount == 0) SetUpdateState(false);
}

void TMMObject::Changing() {
    if (FUpdateCount == 0 && OnChanging) OnChanging(this);
}

void TMMObject::Changed() {
    if (FUpdateCount == 0 && OnChange) OnChange(this);
}

void TMMObject::SetUpdateState(bool Updating) {
    if (Updating)
        Changing();
    else
        Changed();
}

// ---- Observers --------------------------------------------------------------

TMMObserver::TMMObserver(QObject* parent) : QObject(parent) {}

TMMObserver::~TMMObserver() {
    if (FObservable) FObservable->RemoveObserver(this);
}

void TMMObserver::Update(void* Data) {
    if (!Locked() && OnUpdate) OnUpdate(this, Data);
}

void TMMObserver::Notify(void* Data) {
    if (!Locked() && OnNotify) OnNotify(this, Data);
}

TMMObservable::TMMObservable(QObject* parent) : QObject(parent) {}

TMMObservable::~TMMObservable() {
    while (!FObservers.isEmpty()) RemoveObserver(FObservers.last());
}

void TMMObservable::AddObserver(TMMObserver* O) {
    if (!O) return;
    if (O->FObservable) O->FObservable->RemoveObserver(O);
    FObservers.append(O);
    O->FObservable = this;
}

void TMMObservable::RemoveObserver(TMMObserver* O) {
    if (!O || O->FObservable != this) return;
    FObservers.removeOne(O);
    O->FObservable = nullptr;
}

// An observer may detach itself (or others) while being called: walk by
// index and re-check the bounds each step.
template <class Call>
void TMMObservable::ForEachObserver(Call call) {
    if (FLock != 0) return;
    for (auto i = FObservers.size(); i-- > 0;) {
        if (i >= FObservers.size()) continue;
        call(FObservers[i]);
    }
}

void TMMObservable::NotifyObservers(void* Data) {
    ForEachObserver([Data](TMMObserver* o) { o->Notify(Data); });
}

void TMMObservable::UpdateObservers(void* Data) {
    ForEachObserver([Data](TMMObserver* o) { o->Update(Data); });
}
