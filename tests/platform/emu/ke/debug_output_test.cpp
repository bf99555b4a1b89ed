// DbgPrint and the debug output service (virtual device 0x0327), and the reset between tests.
#include "platform/emu/core_test_support.h"

#include <fstream>
#include <sstream>
#include <vector>

namespace {

class DbgPrintCapture : public CoreTest {};
class DebugOutputService : public CoreTest {};
class CoreReset : public CoreTest {};

ULONG ShowLine(const char *text)
{
    return KxVxdServiceCall(0x0327, 1, reinterpret_cast<ULONG_PTR>(text));
}

// The sink and the formatting are the client drivers' (the kit's tests read their DbgPrint lines).
TEST_F(DbgPrintCapture, KeepsEachMessageInOrderAndHandsItToTheSink)
{
    DbgPrint("krnl_dbg: level %ld for %s\n", LONG(5), "STREAM");
    DbgPrint("%s", std::string(600, 'a').c_str()); // cut as the kernel's buffer cuts it
    EXPECT_EQ(kemu::DbgPrintLines(),
              (std::vector<std::string>{"krnl_dbg: level 5 for STREAM\n", std::string(kemu::kDbgPrintMaxChars, 'a')}));
}

TEST_F(DebugOutputService, PresentByDefaultShowingLinesInOrderToEveryOutput)
{
    EXPECT_EQ(KxVxdServiceCall(0x0327, 0, 0), kemu::kDebugServiceDefaultVersion);
    std::string path = testing::TempDir() + "debug_service_lines.txt";
    ASSERT_TRUE(kemu::DebugService::ForwardToFile(path));
    ShowLine("123456 [7]DEVIDIDI-ENTRY:DriverEntry --- Start");
    ShowLine("second");
    kemu::DebugService::ForwardToFile("");
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    EXPECT_EQ(content.str(), "123456 [7]DEVIDIDI-ENTRY:DriverEntry --- Start\nsecond\n");
    std::remove(path.c_str());
    EXPECT_TRUE(kemu::DbgPrintLines().empty()); // the two outputs are separate
    // Absent (the driver then finds none: golden.second-load-no-service), it shows nothing.
    kemu::DebugService::Clear();
    kemu::DebugService::SetPresent(false);
    ShowLine("lost");
    EXPECT_TRUE(kemu::DebugService::Lines().empty());
    testing::internal::CaptureStderr();
    EXPECT_FALSE(kemu::DebugService::ForwardToFile("/nonexistent-dir/x.txt"));
    EXPECT_TRUE(Contains(testing::internal::GetCapturedStderr(), "cannot open \"/nonexistent-dir/x.txt\""));
}

TEST_F(CoreReset, PutsEveryServiceBackToItsStartState)
{
    void *leaked = ExAllocatePoolWithTag(NonPagedPool, 12, KX_POOL_TAG('T', 'r', 'c', 'd'));
    kemu::SetViolationMode(kemu::ViolationMode::Record);
    kemu::ReportViolation("test", "left behind");
    KfRaiseIrql(DISPATCH_LEVEL);
    kemu::InjectTornTickReads(3);
    kemu::ScriptPerformanceCounter({1, 2}, 50);
    kemu::FailNthAllocation(1);
    DbgPrint("old");
    kemu::SetDbgPrintSink([](const std::string &) { ADD_FAILURE() << "sink survived the reset"; });
    kemu::DebugService::SetPresent(false);
    // A live block is reported and set aside, but its later free is still accepted.
    testing::internal::CaptureStderr();
    EXPECT_EQ(kemu::ResetCore(), 1u);
    EXPECT_TRUE(Contains(testing::internal::GetCapturedStderr(), "'Trcd' NonPagedPool 12 bytes"));
    EXPECT_EQ(kemu::LivePoolBlocks().size(), 0u);
    EXPECT_EQ(kemu::GetViolationMode(), kemu::ViolationMode::Abort);
    EXPECT_EQ(kemu::ViolationCount(), 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(KeTickCount.High1Time, KeTickCount.High2Time);
    LARGE_INTEGER frequency;
    KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, kemu::kPerformanceFrequency);
    void *p = ExAllocatePoolWithTag(NonPagedPool, 1, 'x'); // the armed failure is gone
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
    ExFreePool(leaked); // accepted quietly, and outside the fresh counts
    EXPECT_EQ(kemu::PoolStats(KX_POOL_TAG('T', 'r', 'c', 'd')).frees, 0u);
    EXPECT_TRUE(kemu::DbgPrintLines().empty());
    DbgPrint("new");
    EXPECT_EQ(KxVxdServiceCall(0x0327, 0, 0), kemu::kDebugServiceDefaultVersion);
}

} // namespace
