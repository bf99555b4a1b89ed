// The kit's stream helpers on their own, with no client driver: helpers the test holds itself,
// still registered when the fixture tears down.
#include <memory>

#include "devididi_testing.h"

namespace {

using devididi::kit::Consumer;
using devididi::kit::Provider;

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
