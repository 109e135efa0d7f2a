#include "mmcore/MMComponent.h"

TMMComponent::TMMComponent(QObject* AOwner) : QObject(AOwner) {
    if (auto* owner = qobject_cast<TMMComponent*>(AOwner); owner && owner->IsDesigning())
        FComponentState |= csDesigning;
}

void TMMComponent::BeginLoading() {
    FComponentState |= csLoading | csReading;
}

void TMMComponent::EndLoading() {
    FComponentState &= ~csReading;
    Loaded();
}

void TMMComponent::Loaded() {
    FComponentState &= ~csLoading;
}

void TMMComponent::Destroying() {
    FComponentState |= csDestroying;
}

void TMMComponent::DesigningChanged(bool Value) {
    if (Value != IsDesigning()) ChangeDesigning(Value);
}

void TMMComponent::ChangeDesigning(bool Value) {
    if (Value)
        FComponentState |= csDesigning;
    else
        FComponentState &= ~csDesigning;
    for (QObject* child : children())
        if (auto* owned = qobject_cast<TMMComponent*>(child)) owned->ChangeDesigning(Value);
}

void TMMComponent::Notification(TMMComponent*, TOperation) {}
