#pragma once

// The base of every multimedia component: a QObject whose parent is its
// owner (owned components die with it), Name is the object name, Tag an int.

#include <QObject>
#include <QString>

enum TComponentStateFlag : unsigned {
    csLoading = 1u << 0,     // being restored from stored settings
    csReading = 1u << 1,     // its stored properties are being read
    csDestroying = 1u << 2,  // on its way out
    csDesigning = 1u << 3,   // shown in a designer
};

enum TOperation { opInsert, opRemove };

class TMMComponent : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Name READ Name WRITE SetName)
    Q_PROPERTY(int Tag READ Tag WRITE SetTag)

public:
    explicit TMMComponent(QObject* AOwner = nullptr);

    QObject* Owner() const { return parent(); }
    QString Name() const { return objectName(); }
    void SetName(const QString& value) { setObjectName(value); }
    int Tag() const { return FTag; }
    void SetTag(int value) { FTag = value; }

    unsigned ComponentState() const { return FComponentState; }
    bool IsLoading() const { return FComponentState & (csLoading | csReading); }
    bool IsDestroying() const { return FComponentState & csDestroying; }
    bool IsDesigning() const { return FComponentState & csDesigning; }

    // Restoring stored properties: BeginLoading, set the properties, then
    // EndLoading, which calls Loaded.
    void BeginLoading();
    void EndLoading();
    // Marks the component as going away; derived destructors call it first,
    // so that what they trigger knows.
    void Destroying();

    // Calls ChangeDesigning when Value differs from the design state.
    virtual void DesigningChanged(bool Value);
    // Sets the design state of this component and of the ones it owns.
    virtual void ChangeDesigning(bool Value);

    // AComponent is being inserted or removed.
    virtual void Notification(TMMComponent* AComponent, TOperation Operation);

protected:
    // After stored properties were read.
    virtual void Loaded();

private:
    unsigned FComponentState = 0;
    int FTag = 0;
};

class TMMNonVisualComponent : public TMMComponent {
    Q_OBJECT
public:
    using TMMComponent::TMMComponent;
};

class TMMCustomDSPComponent : public TMMComponent {
    Q_OBJECT
public:
    using TMMComponent::TMMComponent;
};
