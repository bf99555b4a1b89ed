// The kit's stream helpers on their own, with no client driver: the notifications they see of one
// another and send, and helpers the test holds itself, still registered when the fixture tears down.
#include <cstring>
#include <memory>

#include "devididi_testing.h"

namespace {

using devididi::kit::Consumer;
using devididi::kit::Notification;
using devididi::kit::Provider;

std::vector<ULONG> Codes(const std::vector<Notification> &notifications)
{
    std::vector<ULONG> codes;
    for (const Notification &notification : notifications) {
        codes.push_back(notification.code);
    }
    return codes;
}

class Notifications : public devididi::kit::ExchangeTest {};

TEST_F(Notifications, AWaitingConsumerSeesItsProviderArriveInformItAndLeave)
{
    Consumer &display = StartConsumer(6);
    EXPECT_EQ(Codes(display.notifications), std::vector<ULONG>{STREAMERNOTIFY_STREAM_INFO_CHANGED});
    Provider &far = StartProvider(6, 1000);
    STREAMER_STREAM_INFO video{};
    video.dwInfoType = STREAMINFO_VIDEO;
    video.u.Video.FrameSize = 352 * 288;
    video.u.Video.FrameRate = 30;
    const STREAMER_STREAM_INFO sent = video;
    STREAMER_NOTIFICATION_PARAM param{};
    param.StreamInfo.pInfo = &video;
    param.StreamInfo.nSize = sizeof video;
    far.Notify(STREAMERNOTIFY_STREAM_INFO_CHANGED, &param);
    video.u.Video.FrameRate = 0; // the consumer keeps its own copy
    far.Provide(100);
    RunDpcs();
    far.Unregister();

    EXPECT_EQ(display.received.size(), 100u) << "the wait ended with the consumer joined";
    EXPECT_EQ(Codes(display.notifications),
              (std::vector<ULONG>{STREAMERNOTIFY_STREAM_INFO_CHANGED, STREAMERNOTIFY_STREAM_INFO_CHANGED,
                                  STREAMERNOTIFY_PROVIDER_REGISTERED, STREAMERNOTIFY_STREAM_INFO_CHANGED,
                                  STREAMERNOTIFY_PROVIDER_UNREGISTERED}));
    ASSERT_EQ(display.notifications.size(), 5u);
    const std::vector<UCHAR> &info = display.notifications[3].info;
    ASSERT_EQ(info.size(), sizeof sent);
    EXPECT_EQ(std::memcmp(info.data(), &sent, sizeof sent), 0);
}

TEST_F(Notifications, AProviderSeesItsConsumerJoinSendAndLeave)
{
    Provider &far = StartProvider(6, 1000);
    Consumer &display = StartConsumer(6);
    STREAMER_NOTIFICATION_PARAM words{};
    words.adwWords[0] = 7;
    words.adwWords[1] = 9;
    display.Notify(20, &words);
    display.Unregister();

    std::vector<Notification> seen;
    for (const Notification &notification : far.notifications) {
        if (notification.from == &display) {
            seen.push_back(notification);
        }
    }
    ASSERT_EQ(Codes(seen),
              (std::vector<ULONG>{STREAMERNOTIFY_CONSUMER_REGISTERED, 20, STREAMERNOTIFY_CONSUMER_UNREGISTERED}));
    EXPECT_EQ(seen[0].param.nConsumers, 1);
    EXPECT_EQ(seen[1].param.adwWords[0], 7u);
    EXPECT_EQ(seen[1].param.adwWords[1], 9u);
    EXPECT_EQ(seen[2].param.nConsumers, 0);
}

// Members of the test's fixture: made before SetUp, still registered at TearDown (one of them still
// waiting for its provider), destroyed after it with the exchange gone.
class HeldHelpers : public devididi::kit::ExchangeTest {
protected:
    Consumer m_listener{2};
    Consumer m_waiting{4};
    std::unique_ptr<Provider> m_far;
};

TEST_F(HeldHelpers, LeftRegisteredAtTheTearDownLeaveNothingBehind)
{
    m_far = std::make_unique<Provider>(3, 1000);
    ASSERT_EQ(m_far->Register(), STATUS_SUCCESS);
    Provider &mic = StartProvider(2, 1000);
    ASSERT_EQ(m_listener.Register(), STATUS_SUCCESS);
    ASSERT_EQ(m_waiting.Register(), STATUS_PENDING);
    mic.Provide(100);
    RunDpcs();
    EXPECT_EQ(m_listener.received.size(), 100u);
}

} // namespace
