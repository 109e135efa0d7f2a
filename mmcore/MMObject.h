#pragma once

// Data objects with change notification, and the observer pair through
// which a source watches the data it plays.

#include "platform/base/wintypes.h"
#include "platform/gui/Timer.h"  // TNotifyEvent

#include <QList>
#include <QObject>
#include <functional>

// A data object whose changes can be batched: between BeginUpdate and the
// matching EndUpdate no change is reported; the batch as a whole raises
// OnChanging when it begins and OnChange when it ends.
class TMMObject : public QObject {
    Q_OBJECT

public:
    explicit TMMObject(QObject* parent = nullptr);

    void BeginUpdate();
    // Ignored when no update is running.
    void EndUpdate();
    LONG UpdateCount() const { return FUpdateCount; }

    // Raise OnChanging / OnChange, only while no update is running.
    virtual void Changing();
    virtual void Changed();

    TNotifyEvent OnChanging;
    TNotifyEvent OnChange;

protected:
    // Updating true: Changing; false: Changed.
    virtual void SetUpdateState(bool Updating);

    LONG FUpdateCount = 0;
};

class TMMObservable;

using TMMObserverEvent = std::function<void(QObject* Sender, void* Data)>;

class TMMObserver : public QObject {
    Q_OBJECT

public:
    explicit TMMObserver(QObject* parent = nullptr);
    ~TMMObserver() override;  // detaches

    // Each raises its event unless the observer is locked.
    virtual void Update(void* Data);
    virtual void Notify(void* Data);

    void Lock() { ++FLocked; }
    void UnLock() {
        if (FLocked > 0) --FLocked;
    }
    bool Locked() const { return FLocked != 0; }

    TMMObservable* Observable() const { return FObservable; }

    TMMObserverEvent OnUpdate;
    TMMObserverEvent OnNotify;

private:
    friend class TMMObservable;
    TMMObservable* FObservable = nullptr;
    int FLocked = 0;
};

class TMMObservable : public QObject {
    Q_OBJECT

public:
    explicit TMMObservable(QObject* parent = nullptr);
    ~TMMObservable() override;  // removes its observers, last first

    // Ignored for nullptr; detaches O from any other observable first.
    void AddObserver(TMMObserver* O);
    // Only when O is attached here.
    void RemoveObserver(TMMObserver* O);

    // Unless locked: every observer's Notify (Update), last added first.
    void NotifyObservers(void* Data);
    void UpdateObservers(void* Data);

    void Lock() { ++FLock; }
    void Unlock() {
        if (FLock > 0) --FLock;
    }
    int LockCount() const { return FLock; }
    int ObserverCount() const { return static_cast<int>(FObservers.size()); }

private:
    template <class Call>
    void ForEachObserver(Call call);

    QList<TMMObserver*> FObservers;
    int FLock = 0;
};
