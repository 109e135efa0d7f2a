#include "mmcore/MMDSPComponent.h"

#include <gtest/gtest.h>
#include <QMetaEnum>
#include <QPointer>
#include <QVariant>

#include <memory>
#include <string>
#include <vector>

namespace {

// Every notification any test component receives, as "name.Event".
std::vector<std::string> Log;

void Record(const QObject* who, const std::string& what) {
    Log.push_back(who->objectName().toStdString() + "." + what);
}

WAVEFORMATEX Pcm(WORD bits, WORD channels, DWORD rate = 44100) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(bits / 8 * channels);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

}  // namespace

#define RECORD_NOTIFICATIONS(Base)                                    \
    bool Initialize() override {                                      \
        Record(this, "Initialize");                                   \
        return Base::Initialize() && InitializeResult;                \
    }                                                                 \
    void Opened() override {                                          \
        Record(this, "Opened");                                       \
        Base::Opened();                                               \
    }                                                                 \
    void Closed() override {                                          \
        Record(this, "Closed");                                       \
        Base::Closed();                                               \
    }                                                                 \
    void Started() override {                                         \
        Record(this, "Started");                                      \
        Base::Started();                                              \
    }                                                                 \
    void Paused() override {                                          \
        Record(this, "Paused");                                       \
        Base::Paused();                                               \
    }                                                                 \
    void Restarted() override {                                       \
        Record(this, "Restarted");                                    \
        Base::Restarted();                                            \
    }                                                                 \
    void Stopped() override {                                         \
        Record(this, "Stopped");                                      \
        Base::Stopped();                                              \
    }                                                                 \
    void Reseting() override {                                        \
        Record(this, "Reseting");                                     \
        Base::Reseting();                                             \
    }                                                                 \
    void Looped() override {                                          \
        Record(this, "Looped");                                       \
        Base::Looped();                                               \
    }                                                                 \
    void SetBufferSize(LONG Value) override {                         \
        Record(this, "SetBufferSize(" + std::to_string(Value) + ")"); \
        Base::SetBufferSize(Value);                                   \
    }                                                                 \
    bool InitializeResult = true;

// A processing member: publishes both ports.
class Filter : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(TMMDSPComponent* Input READ GetInput WRITE SetInput)
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)

public:
    explicit Filter(const char* name, QObject* owner = nullptr) : TMMDSPComponent(owner) {
        setObjectName(name);
    }
    RECORD_NOTIFICATIONS(TMMDSPComponent)
};

// A head: publishes only Output, fills each buffer with a counter.
class Source : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)

public:
    explicit Source(const char* name, QObject* owner = nullptr) : TMMDSPComponent(owner) {
        setObjectName(name);
    }
    RECORD_NOTIFICATIONS(TMMDSPComponent)

    void BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) override {
        const DWORD n = std::min(Remaining, lpwh->dwBufferLength);
        for (DWORD i = 0; i < n; ++i) lpwh->lpData[i] = static_cast<char>(Next++);
        lpwh->dwBytesRecorded = n;
        Remaining -= n;
        MoreBuffers = Remaining > 0;
    }
    DWORD Remaining = 0;
    int Next = 1;
};

// A consumer hung behind a device: publishes only Output, like the player.
class Player : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)

public:
    explicit Player(const char* name, QObject* owner = nullptr) : TMMDSPComponent(owner) {
        setObjectName(name);
    }
    RECORD_NOTIFICATIONS(TMMDSPComponent)
};

// A device that spreads its notifications (the real walks).
class Device : public TMMCustomOutputComponent {
    Q_OBJECT
    Q_PROPERTY(TMMDSPComponent* Input READ GetInput WRITE SetInput)
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)

public:
    explicit Device(const char* name, QObject* owner = nullptr) : TMMCustomOutputComponent(owner) {
        setObjectName(name);
    }
    RECORD_NOTIFICATIONS(TMMCustomOutputComponent)

    void SetNumBuffers(int) override {}
    int GetNumBuffers() const override { return 2; }
    void SetDeviceID(TMMDeviceId) override {}
    TMMDeviceId GetDeviceID() const override { return 0; }
    void SetProductName(const QString&) override {}
    QString GetProductName() const override { return {}; }
    void SetCallBackMode(TMMCBMode) override {}
    TMMCBMode GetCallBackMode() const override { return cmWindow; }
    std::int64_t GetPosition() override { return 0; }
    int GetBufferCounter() override { return 0; }
    void Open() override {}
    void Close() override {}
    void Reset() override {}
    void Start() override {}
    void Pause() override {}
    void Restart() override {}
    void Stop() override {}
};

// A device that only records what reaches it and spreads nothing, so that
// anything found past it came from someone else's walk.
class BareDevice : public Device {
    Q_OBJECT

public:
    using Device::Device;
    bool Initialize() override {
        Record(this, "Initialize");
        return true;
    }
    void Opened() override { Record(this, "Opened"); }
    void Closed() override { Record(this, "Closed"); }
    void Started() override { Record(this, "Started"); }
    void Paused() override { Record(this, "Paused"); }
    void Restarted() override { Record(this, "Restarted"); }
    void Stopped() override { Record(this, "Stopped"); }
    void Reseting() override { Record(this, "Reseting"); }
    void Looped() override { Record(this, "Looped"); }
};

class MMChain : public ::testing::Test {
protected:
    void SetUp() override { Log.clear(); }
    void TearDown() override { Log.clear(); }
};

using Strings = std::vector<std::string>;

// ---- Connections ------------------------------------------------------------

TEST_F(MMChain, BothSidesOfALinkAreSetTogether) {
    Source src("src");
    Filter f("f");
    Device dev("dev");
    f.SetInput(&src);
    f.SetOutput(&dev);
    EXPECT_EQ(src.GetOutput(), &f);
    EXPECT_EQ(f.GetInput(), &src);
    EXPECT_EQ(f.GetOutput(), &dev);
    EXPECT_EQ(dev.GetInput(), &f);
    EXPECT_EQ(f.InpPropName(), QStringLiteral("Output"));
    EXPECT_EQ(f.OutPropName(), QStringLiteral("Input"));
    EXPECT_EQ(src.OutPropName(), QStringLiteral("Input"));

    f.SetInput(nullptr);
    EXPECT_EQ(src.GetOutput(), nullptr);
    EXPECT_EQ(f.GetInput(), nullptr);
    dev.SetInput(nullptr);
    EXPECT_EQ(f.GetOutput(), nullptr);
}

TEST_F(MMChain, SelfConnectionAndLoopsAreRefusedSilently) {
    Filter a("a"), b("b"), c("c");
    b.SetInput(&a);
    c.SetInput(&b);
    Log.clear();

    a.SetInput(&a);
    a.SetOutput(&a);
    a.SetInput(&c);   // the tail would feed its own head
    c.SetOutput(&a);  // the same from the other end
    b.SetOutput(&a);

    EXPECT_EQ(a.GetInput(), nullptr);
    EXPECT_EQ(a.GetOutput(), &b);
    EXPECT_EQ(b.GetOutput(), &c);
    EXPECT_EQ(c.GetOutput(), nullptr);
    EXPECT_TRUE(Log.empty()) << "a refused connection changes nothing, not even the started state";
}

TEST_F(MMChain, ConnectingToAnOutputInUseTakesItOverFromTheOldConsumer) {
    Source p("p");
    Filter x("x"), y("y"), z("z");
    y.SetInput(&p);
    z.SetInput(&y);

    x.SetInput(&p);
    EXPECT_EQ(p.GetOutput(), &x);
    EXPECT_EQ(x.GetInput(), &p);
    EXPECT_EQ(y.GetInput(), nullptr);
    EXPECT_EQ(y.GetOutput(), &z);

    // The same from the output side: w takes y over from x.
    Filter w("w");
    w.SetOutput(&y);
    w.SetOutput(&x);
    EXPECT_EQ(x.GetInput(), &w);
    EXPECT_EQ(p.GetOutput(), nullptr);
    EXPECT_EQ(y.GetInput(), nullptr);
}

TEST_F(MMChain, AConsumerWithoutAnInputPortNeedsInputValid) {
    Device dev("dev");
    Player player("player");
    dev.SetOutput(&player);
    EXPECT_EQ(dev.GetOutput(), nullptr);

    player.SetInputValid(true);
    dev.SetOutput(&player);
    EXPECT_EQ(dev.GetOutput(), &player);
    EXPECT_EQ(player.GetInput(), &dev);
}

TEST_F(MMChain, DestroyingAConsumerWithoutAnInputPortClearsTheDevicesLink) {
    Device dev("dev");
    auto player = std::make_unique<Player>("player");
    player->SetInputValid(true);
    dev.SetOutput(player.get());
    ASSERT_EQ(dev.GetOutput(), player.get());
    player.reset();
    EXPECT_EQ(dev.GetOutput(), nullptr);
    dev.Stopped();  // walks the chain: must not reach the freed player
}

TEST_F(MMChain, DestroyingAMemberUnlinksBothNeighbours) {
    Source src("src");
    Device dev("dev");
    auto f = std::make_unique<Filter>("f");
    f->SetInput(&src);
    f->SetOutput(&dev);
    f.reset();
    EXPECT_EQ(src.GetOutput(), nullptr);
    EXPECT_EQ(dev.GetInput(), nullptr);
}

TEST_F(MMChain, OwnedMembersDieWithTheirOwner) {
    QPointer<Filter> owned;
    Source src("src");
    {
        Device owner("owner");
        owned = new Filter("owned", &owner);
        owned->SetInput(&src);
        owner.SetInput(owned);
        EXPECT_EQ(owned->Owner(), &owner);
    }
    EXPECT_TRUE(owned.isNull());
    EXPECT_EQ(src.GetOutput(), nullptr);
}

TEST_F(MMChain, DSPListHoldsLiveMembersAndGoesWhenEmpty) {
    ASSERT_EQ(DSPList(), nullptr);
    {
        Filter a("a");
        auto b = std::make_unique<Filter>("b");
        ASSERT_NE(DSPList(), nullptr);
        EXPECT_EQ(*DSPList(), (QList<TMMDSPComponent*>{&a, b.get()}));
        b.reset();
        EXPECT_EQ(*DSPList(), (QList<TMMDSPComponent*>{&a}));
    }
    EXPECT_EQ(DSPList(), nullptr);
}

TEST_F(MMChain, NameAndTagAreTheComponentsOwn) {
    Filter f("first");
    f.SetTag(7);
    EXPECT_EQ(f.property("Tag").toInt(), 7);
    f.setProperty("Name", QStringLiteral("renamed"));
    EXPECT_EQ(f.Name(), QStringLiteral("renamed"));
    EXPECT_EQ(f.objectName(), QStringLiteral("renamed"));
}

TEST_F(MMChain, PortsAreReadAndSetByPropertyName) {
    Source src("src");
    Filter f("f");
    ASSERT_TRUE(f.setProperty("Input", QVariant::fromValue<TMMDSPComponent*>(&src)));
    EXPECT_EQ(src.GetOutput(), &f);
    EXPECT_EQ(TMMDSPComponent::PublishedPort(&f, QStringLiteral("Input")), &src);
    EXPECT_TRUE(TMMDSPComponent::PublishesPort(&src, QStringLiteral("Output")));
    EXPECT_FALSE(TMMDSPComponent::PublishesPort(&src, QStringLiteral("Input")));
}

// ---- Formats and buffer sizes -------------------------------------------------

TEST_F(MMChain, FormatRunsDownTheChainAsCopies) {
    Source src("src");
    Filter f("f");
    Device dev("dev");
    f.SetInput(&src);
    dev.SetInput(&f);
    WAVEFORMATEX format = Pcm(16, 2);
    src.SetPWaveFormat(&format);
    for (TMMDSPComponent* c : std::initializer_list<TMMDSPComponent*>{&src, &f, &dev}) {
        ASSERT_NE(c->GetPWaveFormat(), nullptr) << c->objectName().toStdString();
        EXPECT_NE(c->GetPWaveFormat(), &format);
        EXPECT_EQ(c->GetPWaveFormat()->nBlockAlign, 4);
    }
    EXPECT_NE(f.GetPWaveFormat(), src.GetPWaveFormat());

    // A member joining later takes its input's format.
    Player player("player");
    player.SetInputValid(true);
    dev.SetOutput(&player);
    ASSERT_NE(player.GetPWaveFormat(), nullptr);
    EXPECT_EQ(player.GetPWaveFormat()->nSamplesPerSec, 44100u);

    // Cutting the input takes the format away downstream.
    f.SetInput(nullptr);
    EXPECT_EQ(f.GetPWaveFormat(), nullptr);
    EXPECT_EQ(dev.GetPWaveFormat(), nullptr);
    EXPECT_NE(src.GetPWaveFormat(), nullptr);
}

TEST_F(MMChain, ExtraFormatBytesAreCopied) {
    struct {
        WAVEFORMATEX wfx;
        BYTE extra[4];
    } adpcm{};
    adpcm.wfx.wFormatTag = WAVE_FORMAT_IMA_ADPCM;
    adpcm.wfx.nChannels = 1;
    adpcm.wfx.nBlockAlign = 256;
    adpcm.wfx.wBitsPerSample = 4;
    adpcm.wfx.cbSize = 2;
    adpcm.extra[0] = 0xF9;
    adpcm.extra[1] = 0x01;
    Filter f("f");
    f.SetPWaveFormat(&adpcm.wfx);
    const auto* copy = reinterpret_cast<const BYTE*>(f.GetPWaveFormat());
    EXPECT_EQ(copy[sizeof(WAVEFORMATEX)], 0xF9);
    EXPECT_EQ(copy[sizeof(WAVEFORMATEX) + 1], 0x01);
}

TEST_F(MMChain, OldOutputLosesItsFormatWhenCut) {
    Source src("src");
    Filter f("f");
    WAVEFORMATEX format = Pcm(8, 1);
    src.SetPWaveFormat(&format);
    src.SetOutput(&f);
    ASSERT_NE(f.GetPWaveFormat(), nullptr);
    src.SetOutput(nullptr);
    EXPECT_EQ(f.GetPWaveFormat(), nullptr);
    EXPECT_NE(src.GetPWaveFormat(), nullptr);
}

TEST_F(MMChain, OpenedCutsTheBufferSizeToWholeSamples) {
    struct Case {
        LONG requested;
        WORD bits, channels;
        bool withFormat;
        DWORD expected;
    };
    const Case cases[] = {
        {2050, 16, 2, true, 2048}, {3, 16, 2, true, 4},      {2048, 16, 2, true, 2048},
        {1000, 24, 2, true, 996},  {2050, 8, 1, true, 2050}, {2050, 16, 2, false, 2050},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.requested << " bytes, " << c.bits << " bit x" << c.channels);
        Filter f("f");
        WAVEFORMATEX format = Pcm(c.bits, c.channels);
        if (c.withFormat) f.SetPWaveFormat(&format);
        f.SetBufferSize(c.requested);
        EXPECT_EQ(f.GetBufferSize(), DWORD(c.requested));
        f.TMMDSPComponent::Opened();
        EXPECT_EQ(f.GetBufferSize(), c.expected);
        f.TMMDSPComponent::Closed();
        EXPECT_EQ(f.GetBufferSize(), DWORD(c.requested));
    }
}

TEST_F(MMChain, BrokenBlockAlignmentDoesNotDivideByZero) {
    Filter f("f");
    WAVEFORMATEX format = Pcm(16, 2);
    format.nBlockAlign = 0;
    f.SetPWaveFormat(&format);
    f.SetBufferSize(100);
    f.TMMDSPComponent::Opened();
    EXPECT_EQ(f.GetBufferSize(), 100u);
}

TEST_F(MMChain, ChangingFormatOrBufferSizeStopsAStartedMember) {
    Filter f("f");
    WAVEFORMATEX format = Pcm(16, 2);
    f.TMMDSPComponent::Opened();
    f.TMMDSPComponent::Started();
    ASSERT_TRUE(f.IsStarted());
    Log.clear();
    f.SetPWaveFormat(&format);
    EXPECT_EQ(Log, Strings{"f.Stopped"});
    EXPECT_FALSE(f.IsStarted());

    f.TMMDSPComponent::Started();
    Log.clear();
    f.SetBufferSize(4096);
    EXPECT_EQ(Log, (Strings{"f.SetBufferSize(4096)", "f.Stopped"}));
    EXPECT_EQ(f.OrigBufferSize(), 4096);
}

TEST_F(MMChain, LifeCycleFlags) {
    Filter f("f");
    f.TMMDSPComponent::Started();
    EXPECT_FALSE(f.IsStarted()) << "only an open member starts";
    f.TMMDSPComponent::Opened();
    f.TMMDSPComponent::Started();
    f.TMMDSPComponent::Paused();
    EXPECT_TRUE(f.IsOpen() && f.IsStarted() && f.IsPaused());
    f.TMMDSPComponent::Restarted();
    EXPECT_FALSE(f.IsPaused());
    f.TMMDSPComponent::Paused();
    f.TMMDSPComponent::Stopped();
    EXPECT_FALSE(f.IsStarted());
    EXPECT_FALSE(f.IsPaused());
    f.TMMDSPComponent::Closed();
    EXPECT_FALSE(f.IsOpen());
}

TEST_F(MMChain, StoredFormatReachesTheOutputOnlyWhenLoaded) {
    Source src("src");
    Filter f("f");
    src.SetOutput(&f);
    src.BeginLoading();
    WAVEFORMATEX format = Pcm(16, 1);
    src.SetPWaveFormat(&format);
    EXPECT_EQ(f.GetPWaveFormat(), nullptr);
    src.EndLoading();
    ASSERT_NE(f.GetPWaveFormat(), nullptr);
    EXPECT_EQ(f.GetPWaveFormat()->nChannels, 1);
}

// ---- Notifications ----------------------------------------------------------

class MMChainWalk : public MMChain {
protected:
    // src -> f1 -> dev1 -> f2 -> dev2 -> f3
    Source src{"src"};
    Filter f1{"f1"}, f2{"f2"}, f3{"f3"};
    Device dev1{"dev1"};
    BareDevice dev2{"dev2"};

    void SetUp() override {
        f1.SetInput(&src);
        dev1.SetInput(&f1);
        f2.SetInput(&dev1);
        dev2.SetInput(&f2);
        f3.SetInput(&dev2);
        Log.clear();
    }
};

TEST_F(MMChainWalk, NotificationsReachSourcesAndStopAtTheNextDevice) {
    struct Case {
        const char* name;
        void (*send)(Device&);
        Strings expected;
    };
    const Case cases[] = {
        {"Started",
         [](Device& d) { d.Started(); },
         {"dev1.Started", "src.Started", "f1.Started", "f2.Started", "dev2.Started"}},
        {"Paused",
         [](Device& d) { d.Paused(); },
         {"dev1.Paused", "src.Paused", "f1.Paused", "f2.Paused", "dev2.Paused"}},
        {"Restarted",
         [](Device& d) { d.Restarted(); },
         {"dev1.Restarted", "src.Restarted", "f1.Restarted", "f2.Restarted", "dev2.Restarted"}},
        {"Reseting",
         [](Device& d) { d.Reseting(); },
         {"dev1.Reseting", "src.Reseting", "f1.Reseting", "f2.Reseting", "dev2.Reseting"}},
        {"Looped",
         [](Device& d) { d.Looped(); },
         {"dev1.Looped", "src.Looped", "f1.Looped", "f2.Looped", "dev2.Looped"}},
        {"Initialize",
         [](Device& d) { d.Initialize(); },
         {"dev1.Initialize", "src.Initialize", "f1.Initialize", "f2.Initialize", "dev2.Initialize"}},
        {"Closed: the next device first, and it ends the walk unnotified",
         [](Device& d) { d.Closed(); },
         {"dev1.Closed", "dev2.Closed", "src.Closed", "f1.Closed", "f2.Closed"}},
        {"Stopped: the same",
         [](Device& d) { d.Stopped(); },
         {"dev1.Stopped", "dev2.Stopped", "src.Stopped", "f1.Stopped", "f2.Stopped"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Log.clear();
        c.send(dev1);
        EXPECT_EQ(Log, c.expected);
    }
}

TEST_F(MMChainWalk, OpenedGivesEveryMemberTheDevicesRequestedSizeFirst) {
    WAVEFORMATEX format = Pcm(16, 2);
    src.SetPWaveFormat(&format);
    dev1.SetBufferSize(2050);
    Log.clear();
    dev1.Opened();
    EXPECT_EQ(Log, (Strings{"dev1.Opened", "src.SetBufferSize(2050)", "src.Opened", "f1.SetBufferSize(2050)",
                            "f1.Opened", "f2.SetBufferSize(2050)", "f2.Opened", "dev2.SetBufferSize(2050)",
                            "dev2.Opened"}));
    EXPECT_EQ(f1.GetBufferSize(), 2048u);
    EXPECT_EQ(dev1.GetBufferSize(), 2048u);
    EXPECT_TRUE(dev1.IsOpen());
    EXPECT_FALSE(dev1.FullDuplex());
}

TEST_F(MMChainWalk, PreloadedMemberStartsTheUpstreamWalkForOpenAndStartOnly) {
    f1.SetPreloaded(true);
    dev1.Started();
    EXPECT_EQ(Log, (Strings{"dev1.Started", "f1.Started", "f2.Started", "dev2.Started"}));
    Log.clear();
    dev1.Initialize();
    EXPECT_EQ(Log, (Strings{"dev1.Initialize", "f1.Initialize", "f2.Initialize", "dev2.Initialize"}));
    Log.clear();
    dev1.Paused();
    EXPECT_EQ(Log.at(1), "src.Paused");
    Log.clear();
    dev1.Stopped();
    EXPECT_EQ(Log.at(2), "src.Stopped");
}

TEST_F(MMChainWalk, InitializeFailsWhenAnyMemberFailsButVisitsThemAll) {
    f1.InitializeResult = false;
    EXPECT_FALSE(dev1.Initialize());
    EXPECT_EQ(Log.back(), "dev2.Initialize");
    f1.InitializeResult = true;
    EXPECT_TRUE(dev1.Initialize());
}

TEST_F(MMChainWalk, SecondDeviceOpensAloneAndRunsFullDuplex) {
    // dev3 spreads its own walks; upstream of it sits dev1.
    Device dev3("dev3");
    Filter f4("f4");
    dev2.SetOutput(nullptr);
    dev3.SetInput(&f2);
    f4.SetInput(&dev3);
    Log.clear();
    dev3.Opened();
    EXPECT_EQ(Log, (Strings{"dev3.Opened", "f4.SetBufferSize(2048)", "f4.Opened"}));
    EXPECT_TRUE(dev3.FullDuplex());
    dev3.TMMDSPComponent::Closed();
    dev2.SetInput(nullptr);
    f2.SetOutput(nullptr);
    Log.clear();
    dev3.Opened();
    EXPECT_FALSE(dev3.FullDuplex()) << "cleared at every open";
}

TEST_F(MMChainWalk, ConnectionChangesStopTheMemberFirst) {
    Filter other("other");
    f1.SetInput(&other);
    ASSERT_FALSE(Log.empty());
    EXPECT_EQ(Log.front(), "f1.Stopped");
}

// ---- Data -------------------------------------------------------------------

namespace {

struct Buffer {
    explicit Buffer(DWORD size) : data(size, 0x55) {
        hdr.lpData = data.data();
        hdr.dwBufferLength = size;
    }
    std::vector<char> data;
    TMMWaveHdr hdr{};
};

}  // namespace

TEST_F(MMChain, BufferLoadPullsThroughTheChainAndReportsFilledBuffers) {
    Source src("src");
    Filter f("f");
    Device dev("dev");
    f.SetInput(&src);
    dev.SetInput(&f);
    src.Remaining = 6;
    Strings events;
    f.OnBufferLoad = [&](QObject* s, TMMWaveHdr*, bool& more) {
        events.push_back(s->objectName().toStdString() + ".load(" + (more ? "more" : "last") + ")");
    };
    f.OnBufferFilled = [&](QObject* s, TMMWaveHdr* h) {
        events.push_back(s->objectName().toStdString() + ".filled(" + std::to_string(h->dwBytesRecorded) +
                         ")");
    };
    dev.OnBufferLoad = [&](QObject* s, TMMWaveHdr*, bool&) {
        events.push_back(s->objectName().toStdString() + ".load");
    };

    Buffer buffer(4);
    bool more = false;
    dev.BufferLoad(&buffer.hdr, more);
    EXPECT_TRUE(more);
    EXPECT_EQ(buffer.data, (std::vector<char>{1, 2, 3, 4}));
    more = false;
    dev.BufferLoad(&buffer.hdr, more);
    EXPECT_FALSE(more);
    EXPECT_EQ(buffer.hdr.dwBytesRecorded, 2u);
    more = false;
    dev.BufferLoad(&buffer.hdr, more);  // nothing left: no filled report
    EXPECT_EQ(events, (Strings{"dev.load", "f.load(last)", "f.filled(4)", "dev.load", "f.load(last)",
                               "f.filled(2)", "dev.load", "f.load(last)"}));
}

TEST_F(MMChain, BufferReadyTravelsDownstream) {
    Device dev("dev");
    Player player("player");
    player.SetInputValid(true);
    dev.SetOutput(&player);
    Strings seen;
    Buffer buffer(8);
    dev.OnBufferReady = [&](QObject* s, TMMWaveHdr* h) {
        EXPECT_EQ(h, &buffer.hdr);
        seen.push_back(s->objectName().toStdString());
    };
    player.OnBufferReady = dev.OnBufferReady;
    dev.BufferReady(&buffer.hdr);
    EXPECT_EQ(seen, (Strings{"dev", "player"}));
}

TEST_F(MMChain, FillSilenceUsesTheFormatsSilence) {
    struct Case {
        WORD bits;
        char silence;
    };
    for (const Case& c : {Case{8, char(0x80)}, Case{16, 0}}) {
        SCOPED_TRACE(c.bits);
        Filter f("f");
        WAVEFORMATEX format = Pcm(c.bits, 1);
        f.SetPWaveFormat(&format);
        Buffer buffer(10);
        f.FillSilence(&buffer.hdr);
        EXPECT_EQ(buffer.hdr.dwBytesRecorded, 10u);
        EXPECT_EQ(buffer.data, std::vector<char>(10, c.silence));
    }
    Filter none("none");
    Buffer buffer(10);
    none.FillSilence(&buffer.hdr);
    EXPECT_EQ(buffer.hdr.dwBytesRecorded, 0u);
    EXPECT_EQ(buffer.data, std::vector<char>(10, 0x55));
}

TEST_F(MMChain, WaveHeaderStartsWithThePlatformHeader) {
    TMMWaveHdr hdr{};
    WAVEHDR* platform = &hdr;
    EXPECT_EQ(static_cast<void*>(platform), static_cast<void*>(&hdr));
    EXPECT_EQ(static_cast<TMMWaveHdr*>(platform), &hdr);
    EXPECT_EQ(sizeof(TMMLoopRec), 16u);
}

TEST_F(MMChain, SharedEnumerationsReadByValueName) {
    EXPECT_STREQ(QMetaEnum::fromType<TMMCBMode>().valueToKey(cmThread), "cmThread");
    EXPECT_EQ(QMetaEnum::fromType<TThreadPriority>().keyToValue("tpHigher"), tpHigher);
    EXPECT_STREQ(QMetaEnum::fromType<TMMPort>().valueToKey(poOutput), "poOutput");
}

#include "chain_test.moc"
