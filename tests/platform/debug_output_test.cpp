// DbgPrint and the debug output service (virtual device 0x0327), and the reset between tests.
#include "core_test_support.h"

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

class DbgPrintCapture : public CoreTest {};
class DebugOutputService : public CoreTest {};
class CoreReset : public CoreTest {};

ULONG ShowLine(const char *text)
{
    return KxVxdServiceCall(0x0327, 1, reinterpret_cast<ULONG_PTR>(text));
}

TEST_F(DbgPrintCapture, KeepsEachMessageInOrderAndHandsItToTheSink)
{
    std::vector<std::string> sunk;
    kemu::SetDbgPrintSink([&](const std::string &s) { sunk.push_back(s); });
    DbgPrint("krnl_dbg: level %ld for %s\n", LONG(5), "STREAM");
    DbgPrint("second");
    std::vector<std::string> expected{"krnl_dbg: level 5 for STREAM\n", "second"};
    EXPECT_EQ(kemu::DbgPrintLines(), expected);
    EXPECT_EQ(sunk, expected);

    // Longer messages are cut as the kernel's buffer cuts them.
    std::string longText(600, 'a');
    DbgPrint("%s", longText.c_str());
    EXPECT_EQ(kemu::DbgPrintLines().back(), std::string(kemu::kDbgPrintMaxChars, 'a'));

    kemu::ClearDbgPrint();
    EXPECT_TRUE(kemu::DbgPrintLines().empty());

    testing::internal::CaptureStderr();
    kemu::SetDbgPrintEcho(true);
    DbgPrint("echoed %d\n", 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "echoed 1\n");
}

TEST_F(DbgPrintCapture, MessagesFromManyThreadsAreAllKeptWhole)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) {
                DbgPrint("thread %d message %d", t, i);
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    std::vector<std::string> lines = kemu::DbgPrintLines();
    ASSERT_EQ(lines.size(), 2000u);
    std::vector<int> next(4, 0);
    for (const std::string &line : lines) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d message %d", &t, &i), 2) << line;
        EXPECT_EQ(i, next[size_t(t)]++); // each thread's messages keep their order
    }
}

TEST_F(DebugOutputService, PresentByDefaultShowingLinesInOrderToEveryOutput)
{
    EXPECT_EQ(KxVxdServiceCall(0x0327, 0, 0), kemu::kDebugServiceDefaultVersion);
    kemu::DebugService::SetVersion(0x0123);
    EXPECT_EQ(KxVxdServiceCall(0x0327, 0, 0), 0x0123u);

    std::vector<std::string> sunk;
    kemu::DebugService::SetSink([&](const std::string &s) { sunk.push_back(s); });
    std::string path = testing::TempDir() + "debug_service_lines.txt";
    ASSERT_TRUE(kemu::DebugService::ForwardToFile(path));
    ShowLine("123456 [7]DEVIDIDI-ENTRY:DriverEntry --- Start");
    ShowLine("second");
    kemu::DebugService::ForwardToFile("");

    std::vector<std::string> expected{"123456 [7]DEVIDIDI-ENTRY:DriverEntry --- Start", "second"};
    EXPECT_EQ(kemu::DebugService::Lines(), expected);
    EXPECT_EQ(sunk, expected);
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    EXPECT_EQ(content.str(), "123456 [7]DEVIDIDI-ENTRY:DriverEntry --- Start\nsecond\n");
    std::remove(path.c_str());
    EXPECT_TRUE(kemu::DbgPrintLines().empty()); // the two outputs are separate
}

TEST_F(DebugOutputService, AbsentServiceAnswersZeroAndShowsNothing)
{
    kemu::DebugService::SetPresent(false);
    EXPECT_EQ(KxVxdServiceCall(0x0327, 0, 0), 0u);
    ShowLine("lost");
    EXPECT_TRUE(kemu::DebugService::Lines().empty());
    EXPECT_EQ(kemu::DebugService::DroppedLines(), 1u);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(kemu::DebugService::ForwardToFile("/nonexistent-dir/x.txt"));
    EXPECT_TRUE(Contains(testing::internal::GetCapturedStderr(), "cannot open \"/nonexistent-dir/x.txt\""));
}

TEST_F(DebugOutputService, CallsToUnknownDevicesOrServicesAreReported)
{
    kemu::ScopedViolationRecording recording;
    EXPECT_EQ(KxVxdServiceCall(0x0001, 0, 0), 0u);
    EXPECT_EQ(KxVxdServiceCall(0x0327, 7, 0), 0u);
    EXPECT_EQ(KxVxdServiceCall(0x0327, 1, 0), 0u);
    std::vector<kemu::Violation> v = recording.Take();
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].rule, "virtual-device call to an unknown device");
    EXPECT_EQ(v[0].detail, "device 0x1, service 0");
    EXPECT_EQ(v[1].rule, "virtual-device call to an unknown service");
    EXPECT_EQ(v[2].rule, "debug output service given a NULL line");
}

TEST_F(CoreReset, PutsEveryServiceBackToItsStartState)
{
    kemu::SetViolationMode(kemu::ViolationMode::Record);
    kemu::ReportViolation("test", "left behind");
    KfRaiseIrql(DISPATCH_LEVEL);
    kemu::SetTickCount(5);
    kemu::InjectTornTickReads(3);
    kemu::ScriptPerformanceCounter({1, 2}, 50);
    kemu::FailNthAllocation(1);
    DbgPrint("old");
    kemu::SetDbgPrintSink([](const std::string &) { ADD_FAILURE() << "sink survived the reset"; });
    kemu::DebugService::SetPresent(false);

    EXPECT_EQ(kemu::ResetCore(), 0u);

    EXPECT_EQ(kemu::GetViolationMode(), kemu::ViolationMode::Abort);
    EXPECT_EQ(kemu::ViolationCount(), 0u);
    EXPECT_TRUE(kemu::TakeViolations().empty());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(KeTickCount.High1Time, KeTickCount.High2Time);
    LARGE_INTEGER frequency;
    KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, kemu::kPerformanceFrequency);
    void *p = ExAllocatePoolWithTag(NonPagedPool, 1, 'x');
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
    EXPECT_TRUE(kemu::DbgPrintLines().empty());
    DbgPrint("new");
    EXPECT_TRUE(kemu::DebugService::IsPresent());
    EXPECT_EQ(KxVxdServiceCall(0x0327, 0, 0), kemu::kDebugServiceDefaultVersion);
    kemu::ClearDbgPrint();
}

} // namespace
