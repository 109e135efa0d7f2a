#include "mmcore/MMObject.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

struct ChangeLog {
    std::vector<std::string> events;
    void Attach(TMMObject& object) {
        object.OnChanging = [this](QObject*) { events.push_back("changing"); };
        object.OnChange = [this](QObject*) { events.push_back("change"); };
    }
};

}  // namespace

TEST(MMObject, ChangesOutsideAnUpdateAreReportedAtOnce) {
    TMMObject object;
    ChangeLog log;
    log.Attach(object);
    object.Changing();
    object.Changed();
    EXPECT_EQ(log.events, (std::vector<std::string>{"changing", "change"}));
}

TEST(MMObject, NestedUpdatesReportOnceAtTheOuterEdges) {
    TMMObject object;
    ChangeLog log;
    log.Attach(object);
    object.BeginUpdate();
    EXPECT_EQ(log.events, (std::vector<std::string>{"changing"}));
    object.BeginUpdate();
    object.Changing();
    object.Changed();
    object.EndUpdate();
    EXPECT_EQ(object.UpdateCount(), 1);
    EXPECT_EQ(log.events.size(), 1u);
    object.EndUpdate();
    EXPECT_EQ(log.events, (std::vector<std::string>{"changing", "change"}));
}

TEST(MMObject, UnmatchedEndUpdateIsIgnored) {
    TMMObject object;
    ChangeLog log;
    log.Attach(object);
    object.EndUpdate();
    EXPECT_EQ(object.UpdateCount(), 0);
    EXPECT_TRUE(log.events.empty());
    object.Changed();  // still reporting
    EXPECT_EQ(log.events.size(), 1u);
}

namespace {

struct Recorder {
    std::vector<std::string> calls;
    TMMObserverEvent For(const std::string& name) {
        return [this, name](QObject*, void* data) {
            calls.push_back(name + ":" + std::to_string(reinterpret_cast<std::intptr_t>(data)));
        };
    }
};

}  // namespace

TEST(MMObservers, CalledLastAddedFirstUnlessLocked) {
    TMMObservable observable;
    TMMObserver first, second;
    Recorder rec;
    first.OnNotify = rec.For("n1");
    second.OnNotify = rec.For("n2");
    first.OnUpdate = rec.For("u1");
    second.OnUpdate = rec.For("u2");
    observable.AddObserver(&first);
    observable.AddObserver(&second);

    observable.NotifyObservers(reinterpret_cast<void*>(7));
    observable.UpdateObservers(reinterpret_cast<void*>(8));
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"n2:7", "n1:7", "u2:8", "u1:8"}));

    rec.calls.clear();
    observable.Lock();
    EXPECT_EQ(observable.LockCount(), 1);
    observable.NotifyObservers(nullptr);
    observable.UpdateObservers(nullptr);
    EXPECT_TRUE(rec.calls.empty());
    observable.Unlock();

    second.Lock();
    EXPECT_TRUE(second.Locked());
    observable.NotifyObservers(nullptr);
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"n1:0"}));
    second.UnLock();
    EXPECT_FALSE(second.Locked());
}

TEST(MMObservers, AttachingToASecondObservableDetachesFromTheFirst) {
    TMMObservable a, b;
    TMMObserver observer;
    Recorder rec;
    observer.OnNotify = rec.For("o");
    a.AddObserver(&observer);
    b.AddObserver(&observer);
    EXPECT_EQ(observer.Observable(), &b);
    EXPECT_EQ(a.ObserverCount(), 0);
    a.NotifyObservers(nullptr);
    EXPECT_TRUE(rec.calls.empty());
    b.NotifyObservers(nullptr);
    EXPECT_EQ(rec.calls.size(), 1u);

    a.RemoveObserver(&observer);  // not attached there: nothing
    EXPECT_EQ(observer.Observable(), &b);
    a.AddObserver(nullptr);
    EXPECT_EQ(a.ObserverCount(), 0);
}

TEST(MMObservers, DestructionOnEitherSideDetaches) {
    TMMObserver survivor;
    {
        TMMObservable observable;
        observable.AddObserver(&survivor);
        auto doomed = std::make_unique<TMMObserver>();
        observable.AddObserver(doomed.get());
        doomed.reset();
        EXPECT_EQ(observable.ObserverCount(), 1);
        observable.NotifyObservers(nullptr);
    }
    EXPECT_EQ(survivor.Observable(), nullptr);
}

TEST(MMObservers, AnObserverMayDetachItselfWhileCalled) {
    TMMObservable observable;
    TMMObserver a, b, c;
    Recorder rec;
    a.OnNotify = rec.For("a");
    c.OnNotify = rec.For("c");
    b.OnNotify = [&](QObject*, void*) {
        observable.RemoveObserver(&b);
        observable.RemoveObserver(&c);
    };
    observable.AddObserver(&a);
    observable.AddObserver(&b);
    observable.AddObserver(&c);
    observable.NotifyObservers(nullptr);
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"c:0", "a:0"}));
    EXPECT_EQ(observable.ObserverCount(), 1);
}
