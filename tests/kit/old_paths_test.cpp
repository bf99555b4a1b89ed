// A client's test as written against kit 1.0: the emulation's control header by its old path, which
// compiles through kit 1.x (with a deprecation note) and means the same as the new one.
#include "emu/kemu.h"

#include "devididi_kit_version.h"
#include "devididi_testing.h"

static_assert(DEVIDIDI_KIT_VERSION_MAJOR == 1, "a test written for kit 1.x");

namespace {

class OldPaths : public devididi::kit::ExchangeTest {};

TEST_F(OldPaths, AConsumerTestOfKit10StillBuildsAndRuns)
{
    devididi::kit::Provider &mic = StartProvider(2, 1000);
    ASSERT_EQ(LoadClient("forgetful", "forgetful"), STATUS_SUCCESS);
    mic.Provide(100);
    RunDpcs();
    UnloadClient();
    EXPECT_EQ(kemu::ViolationCount(), 0u);
}

} // namespace
