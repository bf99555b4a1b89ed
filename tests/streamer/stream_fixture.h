// Stream tests: traced allocation, the 256-stream table as the driver builds it, journaling client models.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "alloc/alloc_fixture.h"
#include "devididi.h"
#include "rundown.h"
#include "streamer/bounded.h"

namespace dvtest {

using Strings = std::vector<std::string>;

// What the clients were told, in order: "<consumer>:<code>[/detail]", "P:<code>/<consumer|0>[/detail]".
inline Strings &Journal()
{
    static Strings journal;
    return journal;
}

// Registers as the control dispatch does: a request that does not pend is completed at once.
inline NTSTATUS CompleteUnlessPending(kemu::TestRequest &request, NTSTATUS status)
{
    if (status != STATUS_PENDING) {
        request.Irp()->IoStatus.Status = status;
        IofCompleteRequest(request.Irp(), IO_NO_INCREMENT);
    }
    return status;
}

// A consumer's registration record; the out-pointers a test does not read stay null.
inline STREAMER_SRV_PARAM ConsumerRecord(ULONG hStream, PVOID hConsumer, STREAMER_NEW_DATA_READY_CALLBACK pfnNewData,
                                         STREAMER_CONSUMER_NOTIFY_CALLBACK pfnNotify)
{
    STREAMER_SRV_PARAM record{};
    record.RegisterConsumer.hStream = hStream;
    record.RegisterConsumer.pfnNewDataReady = pfnNewData;
    record.RegisterConsumer.pfnNotify = pfnNotify;
    record.RegisterConsumer.hConsumer = hConsumer;
    return record;
}

inline NTSTATUS UnregisterConsumer(DeVididi &stream, ULONG hStream, PVOID hConsumer)
{
    STREAMER_SRV_PARAM leave{};
    leave.UnRegisterConsumer.hStream = hStream;
    leave.UnRegisterConsumer.hConsumer = hConsumer;
    kemu::TestRequest request(STREAMER_UNREGISTER_CONSUMER, &leave, sizeof(leave));
    return CompleteUnlessPending(request, stream.UnRegisterConsumer(request.Irp()));
}

// The journal's detail of a notification: "/null", lost bytes "/<lost>/<size>", new information "/<size>".
inline std::string Detail(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM p)
{
    if (p == nullptr) {
        return "/null";
    }
    if (dwType == STREAMERNOTIFY_LOST_BYTES) {
        return "/" + std::to_string(p->LostBytes.nLost) + "/" + std::to_string(p->LostBytes.dwSize);
    }
    return dwType == STREAMERNOTIFY_STREAM_INFO_CHANGED ? "/" + std::to_string(p->StreamInfo.nSize) : "";
}

struct TestConsumer;
// Handles are small numbers chosen by the tests: 0x10, 0x20, ... fall into map buckets 1, 2, ...
inline std::map<PVOID, TestConsumer *> &Models()
{
    static std::map<PVOID, TestConsumer *> models;
    return models;
}

struct TestConsumer {
    std::string name;
    PVOID handle;
    PUCHAR pBuffer = reinterpret_cast<PUCHAR>(1); // the variables registration writes
    ULONG dwBufferSize = 0xEEEE;
    ULONG dwTail = 0xEEEE;
    STREAMER_DATA_PROCESSED_ENTRY pfnDataProcessed = nullptr;
    STREAMER_CONSUMER_NOTIFY_ENTRY pfnNotify = nullptr;
    PVOID hReturned = nullptr;
    STREAMER_SRV_PARAM record{};
    std::unique_ptr<kemu::TestRequest> request;
    std::vector<ULONG> announced;
    std::vector<STREAMER_NOTIFICATION_PARAM> params;
    std::function<void(ULONG)> onNewData, onNotify;
    TestConsumer(std::string n, uintptr_t h) : name(std::move(n)), handle(reinterpret_cast<PVOID>(h))
    {
        Models()[handle] = this;
    }
    ~TestConsumer() { Models().erase(handle); }
    static VOID STREAMER_CALL NewData(ULONG dwSize, PVOID pContext)
    {
        TestConsumer &c = *Models().at(pContext);
        c.announced.push_back(dwSize);
        Journal().push_back(c.name + ":data/" + std::to_string(dwSize));
        if (c.onNewData) {
            c.onNewData(dwSize);
        }
    }
    static VOID STREAMER_CALL Notify(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM p, PVOID pContext)
    {
        TestConsumer &c = *Models().at(pContext);
        Journal().push_back(c.name + ":" + std::to_string(dwType) + Detail(dwType, p));
        c.params.push_back(p != nullptr ? *p : STREAMER_NOTIFICATION_PARAM{});
        if (c.onNotify) {
            c.onNotify(dwType);
        }
    }
    NTSTATUS Register(DeVididi &stream, ULONG hStream)
    {
        record = ConsumerRecord(hStream, handle, NewData, Notify);
        auto &r = record.RegisterConsumer;
        r.ppBuffer = &pBuffer;
        r.pdwBufferSize = &dwBufferSize;
        r.pdwTail = &dwTail;
        r.ppfnDataProcessed = &pfnDataProcessed;
        r.ppfnNotify = &pfnNotify;
        r.phConsumer = &hReturned;
        request = std::make_unique<kemu::TestRequest>(STREAMER_REGISTER_CONSUMER, &record, sizeof(record));
        return CompleteUnlessPending(*request, stream.RegisterConsumer(request->Irp()));
    }
    NTSTATUS Unregister(DeVididi &stream, ULONG hStream) { return UnregisterConsumer(stream, hStream, handle); }
};

inline std::string NameOf(PVOID h)
{
    auto it = Models().find(h);
    return h == nullptr ? "0" : it != Models().end() ? it->second->name : "?";
}

struct TestProvider {
    bool quiet = false; // callbacks from several threads: nothing is written down
    STREAMER_SRV_PARAM record{};
    STREAMER_PROVIDE_DATA_ENTRY pfnProvideData = nullptr;
    STREAMER_PROVIDER_NOTIFY_ENTRY pfnNotify = nullptr;
    std::vector<PUCHAR> completed;
    static VOID STREAMER_CALL Notify(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM p, PVOID pContext)
    {
        if (static_cast<TestProvider *>(pContext)->quiet) {
            return;
        }
        std::string detail = Detail(dwType, p); // else the first word: nConsumers for codes 1 and 2
        Journal().push_back("P:" + std::to_string(dwType) + "/" + NameOf(hConsumer) +
                            (p != nullptr && detail.empty() ? "/" + std::to_string(p->adwWords[0]) : detail));
    }
    static VOID STREAMER_CALL Complete(PUCHAR p, PVOID pContext)
    {
        TestProvider *self = static_cast<TestProvider *>(pContext);
        if (!self->quiet) {
            self->completed.push_back(p);
        }
    }
    NTSTATUS Register(DeVididi &stream, ULONG hStream, ULONG dwSize, PVOID pInfo = nullptr, LONG nInfoSize = 0)
    {
        record = STREAMER_SRV_PARAM{};
        auto &r = record.RegisterProvider;
        r.hStream = hStream;
        r.dwBufferSize = dwSize;
        r.pfnProvideDataComplete = Complete;
        r.pfnNotify = Notify;
        r.pStreamInfo = pInfo;
        r.nStreamInfoSize = nInfoSize;
        r.ppfnProvideData = &pfnProvideData;
        r.ppfnNotify = &pfnNotify;
        r.pContext = this;
        return stream.RegisterProvider(&record);
    }
    // Code 5 with a block, as a provider sends new stream information.
    void SendInfo(ULONG hStream, const void *pInfo, LONG nSize)
    {
        STREAMER_NOTIFICATION_PARAM p{};
        p.StreamInfo.pInfo = const_cast<void *>(pInfo);
        p.StreamInfo.nSize = nSize;
        pfnNotify(hStream, STREAMERNOTIFY_STREAM_INFO_CHANGED, &p);
    }
};

class StreamTest : public TracedAllocationTest {
protected:
    StreamTest() : TracedAllocationTest(0) {}
    void SetUp() override
    {
        TracedAllocationTest::SetUp();
        // The table as the driver frame builds it: one traced block, elements built 0 up to 255.
        auto *table = static_cast<DeVididi *>(
            TracedNew(sizeof(DeVididi) * STREAMER_NUM_STREAMS, NonPagedPool, TRACED_POOL_TAG, "entry", 1));
        for (int i = 0; i < STREAMER_NUM_STREAMS; ++i) {
            new (&table[i]) DeVididi();
        }
        pDeVididiArray = table;
        DvRundownOpen(table);
        Journal().clear();
    }
    void TearDown() override
    {
        kemu::DebugService::SetSink({}); // before the table goes: a sink may still talk to it
        ULONG held = 0;
        ReturnsWithin(std::chrono::seconds(5), "the close of the streams after " + TestName(),
                      [&] { EXPECT_EQ(DvRundownClose(&held), pDeVididiArray); });
        for (int i = 0; i < STREAMER_NUM_STREAMS; ++i) {
            EXPECT_TRUE(pDeVididiArray[i].IsGateIdle()) << "stream " << i << "'s gate after " << TestName();
        }
        for (int i = STREAMER_NUM_STREAMS - 1; i >= 0; --i) { // ... and destroyed 255 down to 0
            pDeVididiArray[i].~DeVididi();
        }
        TracedDelete(pDeVididiArray);
        pDeVididiArray = nullptr;
        m_consumers.clear();
        EXPECT_EQ(Current(), 0) << "traced blocks left";
        TracedAllocationTest::TearDown();
    }
    // A consumer model that outlives the table (teardown still talks to it).
    TestConsumer &Consumer(const std::string &name, uintptr_t handle)
    {
        m_consumers.push_back(std::make_unique<TestConsumer>(name, handle));
        return *m_consumers.back();
    }
    static DeVididi &Stream(ULONG index) { return pDeVididiArray[index]; }
    static std::string TestName()
    {
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        return std::string(info->test_suite_name()) + "." + info->name();
    }
    static QvConsumerInfo *Record(DeVididi &stream, PVOID handle)
    {
        QvConsumerInfo *record = nullptr;
        return stream.m_Consumers.Lookup(handle, record) ? record : nullptr;
    }
    static void Show(ULONG module, LONG level) { DebugIdArray[module].nDebugLevel = level; }
    // Captured lines without their tick: "[7]STREAM:CreateBuffer --- Start".
    static Strings Lines()
    {
        Strings lines;
        for (const std::string &line : kemu::DebugService::Lines()) {
            std::string text = line.substr(line.find('['));
            lines.push_back(text.replace(text.find("DEVIDIDI-"), 9, ""));
        }
        kemu::DebugService::Clear();
        return lines;
    }
    static size_t Count(const Strings &lines, const std::string &line)
    {
        return size_t(std::count(lines.begin(), lines.end(), line));
    }
    std::vector<std::unique_ptr<TestConsumer>> m_consumers;
};

} // namespace dvtest
