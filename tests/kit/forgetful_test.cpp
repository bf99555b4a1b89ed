// The forgetful consumer under the kit's fixture. Built correctly it passes; the same test fails
// for each of its mistakes, naming the driver and the mistake. FORGETFUL names the module to load
// (forgetful, forgetful_forgets, forgetful_overreads).
#include <cstdlib>
#include <numeric>
#include <string>

#include "devididi_testing.h"

namespace {

class ForgetfulTest : public devididi::kit::ExchangeTest {};

TEST_F(ForgetfulTest, AddsUpEveryByteAcrossTheRingsEndAndUnregistersAtItsUnload)
{
    const char *file = std::getenv("FORGETFUL");
    devididi::kit::Provider &mic = StartProvider(2, 1000);
    ASSERT_EQ(LoadClient("forgetful", file != nullptr ? file : "forgetful"), STATUS_SUCCESS);
    std::vector<UCHAR> sent = mic.Provide(600);
    RunDpcs();
    std::vector<UCHAR> across = mic.ProvideAcrossTheEnd(600);
    RunDpcs();
    UnloadClient();
    const ULONG sum = std::accumulate(sent.begin(), sent.end(), std::accumulate(across.begin(), across.end(), 0UL));
    EXPECT_TRUE(Printed("forgetful: sum " + std::to_string(sum))) << PrintedText();
}

} // namespace
