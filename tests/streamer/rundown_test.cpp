// The stream rundown and the gate against the close, with the interleavings forced where a mistake
// needs one (kemu::ForceSchedule over the driver's named scheduling points).
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "streamer/stream_fixture.h"

namespace {

using namespace dvtest;
using namespace std::chrono_literals;

constexpr ULONG kStream = 12;

class Rundown : public StreamTest {
protected:
    void TearDown() override
    {
        kemu::StopForcedSchedule();
        StreamTest::TearDown();
    }
    static void Reopen() { DvRundownOpenStream(kStream, &Stream(kStream)); }
    static void Close(const std::string &what)
    {
        ReturnsWithin(5s, what, [] { EXPECT_TRUE(DvRundownCloseStream(kStream)); });
    }
    // Outlives the teardown, which tells it of its stream's end.
    TestProvider streamProvider;
};

// Once the close has begun nothing enters, on any lane, not even nested in the caller's own holds;
// a close from inside a hold refuses instead of waiting; a thread once the provider's is no holder.
TEST_F(Rundown, OnceClosingNothingEntersOnAnyLaneAndACloseFromInsideAHoldRefuses)
{
    ULONG provider = 0, shared = 0, lane = 0;
    ASSERT_EQ(DvRundownEnterProvider(kStream, &provider), &Stream(kStream));
    ASSERT_EQ(DvRundownEnter(kStream, &shared), &Stream(kStream));
    ReturnsWithin(5s, "a close from inside the caller's own holds", [] { EXPECT_FALSE(DvRundownCloseStream(kStream)); });
    EXPECT_EQ(DvRundownEnterProvider(kStream, &lane), nullptr);
    EXPECT_EQ(DvRundownEnter(kStream, &lane), nullptr);
    std::atomic<int> entered{0};
    std::vector<std::thread> others; // enough threads that every shared lane is some thread's first
    for (int i = 0; i < 64; ++i) {
        others.emplace_back([&entered] {
            ULONG mine = 0;
            entered += DvRundownEnter(kStream, &mine) != nullptr ? 1 : 0;
            entered += DvRundownEnterReport(kStream, &mine) != nullptr ? 1 : 0;
            entered += DvRundownEnterProvider(kStream, &mine) != nullptr ? 1 : 0;
        });
    }
    for (std::thread &other : others) {
        other.join();
    }
    EXPECT_EQ(entered.load(), 0);
    DvRundownLeave(kStream, shared);
    DvRundownLeave(kStream, provider);
    Close("the close after the last hold left");
    Reopen();
    // The provider's thread (still the hint) reports after its call left, while the close waits for
    // another holder: an entry like any other, refused.
    ASSERT_NE(DvRundownEnterProvider(kStream, &provider), nullptr);
    DvRundownLeave(kStream, provider);
    std::atomic<bool> release{false}, holding{false};
    std::thread holder([&] {
        ULONG mine = 0;
        ASSERT_NE(DvRundownEnter(kStream, &mine), nullptr);
        holding = true;
        while (!release) {
            std::this_thread::sleep_for(1ms);
        }
        DvRundownLeave(kStream, mine);
    });
    while (!holding) {
        std::this_thread::yield();
    }
    std::thread closer([] { EXPECT_TRUE(DvRundownCloseStream(kStream)); });
    while (DvRundownEnter(kStream, &lane) != nullptr) { // until the close has begun
        DvRundownLeave(kStream, lane);
        std::this_thread::yield();
    }
    EXPECT_EQ(DvRundownEnterReport(kStream, &lane), nullptr) << "nested on the provider's hint alone";
    release = true;
    holder.join();
    ReturnsWithin(5s, "the close after the holder left", [&] { closer.join(); });
    Reopen();
}

// An enter that comes between the close's read of a lane and its write would be lost: the close is
// one locked operation, so the enter is refused or waited for.
TEST_F(Rundown, AnEnterRacingTheCloseIsRefusedOrWaitedFor)
{
    kemu::ForceSchedule({{"test.enter", "rundown.lane.write"}, {"rundown.lane.write", "test.entered"}}, 300ms);
    std::atomic<bool> inside{false};
    std::thread caller([&inside] {
        KemuSchedulingPoint("test.enter");
        ULONG lane = 0;
        if (DvRundownEnterProvider(kStream, &lane) != nullptr) {
            inside = true;
            KemuSchedulingPoint("test.entered");
            std::this_thread::sleep_for(50ms);
            inside = false;
            DvRundownLeave(kStream, lane);
        }
    });
    while (kemu::SchedulingPointHits("test.enter") == 0) { // else the close may pass first, and nothing races
        std::this_thread::yield();
    }
    bool closedWhileInside = false;
    ReturnsWithin(5s, "a close racing an enter", [&] {
        EXPECT_TRUE(DvRundownCloseStream(kStream));
        closedWhileInside = inside.load();
    });
    caller.join();
    EXPECT_FALSE(closedWhileInside) << "the close returned while a provider call was inside";
    Reopen();
}

// The holder that leaves last, after the closer went to sleep, wakes it.
TEST_F(Rundown, TheLastHolderWakesTheCloserAsleepForIt)
{
    std::atomic<bool> entered{false};
    kemu::ForceSchedule({{"test.leave", "rundown.close.wait"}});
    std::thread holder([&entered] {
        ULONG lane = 0;
        ASSERT_NE(DvRundownEnter(kStream, &lane), nullptr);
        entered = true;
        KemuSchedulingPoint("test.leave");
        std::this_thread::sleep_for(20ms); // the closer is asleep by now
        DvRundownLeave(kStream, lane);
    });
    while (!entered) {
        std::this_thread::yield();
    }
    Close("a close whose last holder left while it slept");
    holder.join();
    EXPECT_EQ(kemu::ForcedScheduleMisses(), std::vector<std::string>{});
    Reopen();
}

// A report from the provider's own walk is covered by the provider's hold and does not end it: the
// call stays held for a closer elsewhere, and a close from inside it still refuses.
TEST_F(Rundown, AReportNestedInTheProvidersCallKeepsItsHold)
{
    TestProvider &provider = streamProvider;
    TestConsumer &a = Consumer("A", 0x10);
    ASSERT_EQ(provider.Register(Stream(kStream), kStream, 64), STATUS_SUCCESS);
    ASSERT_EQ(a.Register(Stream(kStream), kStream), STATUS_SUCCESS);
    std::atomic<bool> inside{false}, closedWhileInside{false};
    std::thread closer;
    a.onNewData = [&](ULONG dwSize) {
        a.pfnDataProcessed(kStream, a.handle, dwSize);
        ReturnsWithin(5s, "a close from inside the provider's call", [] { EXPECT_FALSE(DvRundownCloseStream(kStream)); });
        inside = true;
        closer = std::thread([&] {
            EXPECT_TRUE(DvRundownCloseStream(kStream));
            closedWhileInside = inside.load();
        });
        std::this_thread::sleep_for(50ms);
        inside = false;
    };
    UCHAR block[8] = {};
    provider.pfnProvideData(kStream, block, sizeof block);
    ReturnsWithin(5s, "a close waiting for the provider's call", [&] { closer.join(); });
    EXPECT_FALSE(closedWhileInside.load()) << "the close returned while the provider's call was inside";
    Reopen();
}

// A reader that meets a registration waiting for the gate steps back, giving its reference back, and
// comes in after the change; the gate is idle after (the fixture checks every stream's).
TEST_F(Rundown, AReaderMeetingAWaitingRegistrationStepsBackAndComesInAfter)
{
    TestProvider &provider = streamProvider;
    TestConsumer &a = Consumer("A", 0x10), &b = Consumer("B", 0x20);
    ASSERT_EQ(provider.Register(Stream(kStream), kStream, 64), STATUS_SUCCESS);
    ASSERT_EQ(a.Register(Stream(kStream), kStream), STATUS_SUCCESS);
    kemu::ForceSchedule({{"gate.exclusive", "gate.retreat"}});
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            QvConsumerInfo::OnDataProcessed(kStream, a.handle, 0);
        }
    });
    ReturnsWithin(5s, "a registration meeting a reader", [&] { EXPECT_EQ(b.Register(Stream(kStream), kStream), STATUS_SUCCESS); });
    stop = true;
    reader.join();
    EXPECT_GE(kemu::SchedulingPointHits("gate.retreat"), 1u);
    EXPECT_EQ(kemu::ForcedScheduleMisses(), std::vector<std::string>{});
}

} // namespace
