// Start state of the stream exchange tests: traced allocation running, the 256-stream table built
// (as the driver frame does at start-up), log lines captured, and client models that record what
// the exchange tells them.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "devididi.h"
#include "emu/kemu.h"
#include "krnl_dbg.h"
#include "newdel.h"

namespace dvtest {

// What the clients were told, in order, in one readable line per event:
// "<consumer>:<code>[/details]" and "P:<code>/<consumer or 0>[/details]".
inline std::vector<std::string> &Journal()
{
    static std::vector<std::string> journal;
    return journal;
}

struct TestConsumer;
// Consumer handles are chosen by the tests (0x10, 0x20, ... fall into buckets 1, 2, ... of the map,
// so the map's walk order is the order of the handles); the context leads back to the model.
inline std::map<PVOID, TestConsumer *> &ConsumerModels()
{
    static std::map<PVOID, TestConsumer *> models;
    return models;
}

inline std::string NameOf(PVOID hConsumer);

struct TestConsumer {
    std::string name;
    PVOID handle;
    // The variables the exchange writes through the registration record (pre-set to junk).
    PUCHAR pBuffer = reinterpret_cast<PUCHAR>(0x1);
    ULONG dwBufferSize = 0xEEEE;
    ULONG dwTail = 0xEEEE;
    STREAMER_DATA_PROCESSED_ENTRY pfnDataProcessed = nullptr;
    STREAMER_CONSUMER_NOTIFY_ENTRY pfnNotify = nullptr;
    PVOID hReturned = nullptr;
    STREAMER_SRV_PARAM record{};
    STREAMER_SRV_PARAM unregisterRecord{};
    std::unique_ptr<kemu::TestRequest> request;
    std::vector<ULONG> announced;                    // sizes of new-data callbacks
    std::vector<STREAMER_NOTIFICATION_PARAM> params; // parameter blocks of notifications (zero if none)
    std::vector<PVOID> infoSeen;                     // code 5: the block pointer handed over
    std::function<void(ULONG)> onNewData;            // extra work inside the new-data callback
    std::function<void(ULONG)> onNotify;             // extra work inside the notify callback

    TestConsumer(std::string n, uintptr_t h) : name(std::move(n)), handle(reinterpret_cast<PVOID>(h))
    {
        ConsumerModels()[handle] = this;
    }
    ~TestConsumer() { ConsumerModels().erase(handle); }

    static TestConsumer *Find(PVOID pContext)
    {
        auto it = ConsumerModels().find(pContext);
        if (it == ConsumerModels().end()) {
            ADD_FAILURE() << "callback for a consumer the test does not know";
            static TestConsumer stray("?", 0x7FFFFFF0);
            return &stray;
        }
        return it->second;
    }
    static VOID STREAMER_CALL NewData(ULONG dwSize, PVOID pContext)
    {
        TestConsumer *c = Find(pContext);
        c->announced.push_back(dwSize);
        Journal().push_back(c->name + ":data/" + std::to_string(dwSize));
        if (c->onNewData) {
            c->onNewData(dwSize);
        }
    }
    static VOID STREAMER_CALL Notify(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID pContext)
    {
        TestConsumer *c = Find(pContext);
        std::string line = c->name + ":" + std::to_string(dwType);
        if (dwType == STREAMERNOTIFY_LOST_BYTES) {
            line += "/" + std::to_string(pParam->LostBytes.nLost) + "/" + std::to_string(pParam->LostBytes.dwSize);
        } else if (dwType == STREAMERNOTIFY_STREAM_INFO_CHANGED) {
            line += "/" + std::to_string(pParam->StreamInfo.nSize);
            c->infoSeen.push_back(pParam->StreamInfo.pInfo);
        } else if (pParam == nullptr) {
            line += "/null";
        }
        Journal().push_back(line);
        c->params.push_back(pParam != nullptr ? *pParam : STREAMER_NOTIFICATION_PARAM{});
        if (c->onNotify) {
            c->onNotify(dwType);
        }
    }

    // Builds the registration request; the record's out-pointers point at this model's variables.
    PIRP NewRegistration(ULONG hStream, bool withCallbacks = true)
    {
        record = STREAMER_SRV_PARAM{};
        record.RegisterConsumer.hStream = hStream;
        record.RegisterConsumer.pfnNewDataReady = withCallbacks ? NewData : nullptr;
        record.RegisterConsumer.pfnNotify = withCallbacks ? Notify : nullptr;
        record.RegisterConsumer.hConsumer = handle;
        record.RegisterConsumer.ppBuffer = &pBuffer;
        record.RegisterConsumer.pdwBufferSize = &dwBufferSize;
        record.RegisterConsumer.pdwTail = &dwTail;
        record.RegisterConsumer.ppfnDataProcessed = &pfnDataProcessed;
        record.RegisterConsumer.ppfnNotify = &pfnNotify;
        record.RegisterConsumer.phConsumer = &hReturned;
        request = std::make_unique<kemu::TestRequest>(STREAMER_REGISTER_CONSUMER, &record, sizeof(record));
        return request->Irp();
    }
    // As the control dispatch does: a request that does not pend is completed with the result.
    NTSTATUS Register(DeVididi &stream, ULONG hStream, bool withCallbacks = true)
    {
        NTSTATUS status = stream.RegisterConsumer(NewRegistration(hStream, withCallbacks));
        if (status != STATUS_PENDING) {
            request->Irp()->IoStatus.Status = status;
            IofCompleteRequest(request->Irp(), IO_NO_INCREMENT);
        }
        return status;
    }
    NTSTATUS Unregister(DeVididi &stream, ULONG hStream)
    {
        unregisterRecord = STREAMER_SRV_PARAM{};
        unregisterRecord.UnRegisterConsumer.hStream = hStream;
        unregisterRecord.UnRegisterConsumer.hConsumer = handle;
        kemu::TestRequest req(STREAMER_UNREGISTER_CONSUMER, &unregisterRecord, sizeof(unregisterRecord));
        NTSTATUS status = stream.UnRegisterConsumer(req.Irp());
        req.Irp()->IoStatus.Status = status;
        IofCompleteRequest(req.Irp(), IO_NO_INCREMENT);
        return status;
    }
};

inline std::string NameOf(PVOID hConsumer)
{
    if (hConsumer == nullptr) {
        return "0";
    }
    auto it = ConsumerModels().find(hConsumer);
    return it != ConsumerModels().end() ? it->second->name : "?";
}

struct TestProvider {
    STREAMER_SRV_PARAM record{};
    STREAMER_PROVIDE_DATA_ENTRY pfnProvideData = nullptr;
    STREAMER_PROVIDER_NOTIFY_ENTRY pfnNotify = nullptr;
    std::vector<PUCHAR> completed;
    std::vector<PVOID> infoSeen;

    static TestProvider *&Current()
    {
        static TestProvider *current = nullptr;
        return current;
    }
    TestProvider() { Current() = this; }
    ~TestProvider() { Current() = nullptr; }

    static VOID STREAMER_CALL Notify(PVOID hConsumer, ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam, PVOID)
    {
        std::string line = "P:" + std::to_string(dwType) + "/" + NameOf(hConsumer);
        if (dwType == STREAMERNOTIFY_CONSUMER_REGISTERED || dwType == STREAMERNOTIFY_CONSUMER_UNREGISTERED) {
            line += "/n=" + std::to_string(pParam->nConsumers);
        } else if (dwType == STREAMERNOTIFY_STREAM_INFO_CHANGED) {
            line += "/" + std::to_string(pParam->StreamInfo.nSize);
            Current()->infoSeen.push_back(pParam->StreamInfo.pInfo);
        } else if (pParam == nullptr) {
            line += "/null";
        } else {
            line += "/" + std::to_string(pParam->adwWords[0]);
        }
        Journal().push_back(line);
    }
    static VOID STREAMER_CALL Complete(PUCHAR pBuffer, PVOID) { Current()->completed.push_back(pBuffer); }

    NTSTATUS Register(DeVididi &stream, ULONG hStream, ULONG dwSize, PVOID pInfo = nullptr, LONG nInfoSize = 0)
    {
        record = STREAMER_SRV_PARAM{};
        record.RegisterProvider.hStream = hStream;
        record.RegisterProvider.dwBufferSize = dwSize;
        record.RegisterProvider.pfnProvideDataComplete = Complete;
        record.RegisterProvider.pfnNotify = Notify;
        record.RegisterProvider.pStreamInfo = pInfo;
        record.RegisterProvider.nStreamInfoSize = nInfoSize;
        record.RegisterProvider.ppfnProvideData = &pfnProvideData;
        record.RegisterProvider.ppfnNotify = &pfnNotify;
        return stream.RegisterProvider(&record);
    }
};

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kemu::ResetCore();
        for (DEBUG_ID_ENTRY &entry : DebugIdArray) {
            entry.nDebugLevel = 0;
        }
        gfDebugVxdUp = 1;
        kemu::SetTickCount(1000);
        InitNewDel();
        CreateTable();
        Journal().clear();
    }
    void TearDown() override
    {
        kemu::DebugService::SetSink({});
        DestroyTable();
        m_consumers.clear();
        EXPECT_EQ(__atomic_load_n(&g_nCurrentAllocations, __ATOMIC_RELAXED), 0) << "traced blocks left";
        TermNewDel();
        EXPECT_EQ(kemu::LivePoolBlocks().size(), 0u) << kemu::PoolLeakReport();
        for (DEBUG_ID_ENTRY &entry : DebugIdArray) {
            entry.nDebugLevel = 0;
        }
        gfDebugVxdUp = 0;
        kemu::ResetCore();
    }

    // The table as the driver frame builds it: one traced block, elements built 0 up to 255.
    static void CreateTable()
    {
        void *p = TracedNew(sizeof(DeVididi) * STREAMER_NUM_STREAMS, NonPagedPool, TRACED_POOL_TAG, "entry", 1);
        ASSERT_NE(p, nullptr);
        DeVididi *table = static_cast<DeVididi *>(p);
        for (int i = 0; i < STREAMER_NUM_STREAMS; ++i) {
            new (&table[i]) DeVididi();
        }
        pDeVididiArray = table;
    }
    // ... and destroyed 255 down to 0.
    static void DestroyTable()
    {
        DeVididi *table = pDeVididiArray;
        if (table == nullptr) {
            return;
        }
        for (int i = STREAMER_NUM_STREAMS - 1; i >= 0; --i) {
            table[i].~DeVididi();
        }
        pDeVididiArray = nullptr;
        TracedDelete(table);
    }

    // A consumer model that lives until the table is gone (teardown still talks to it).
    TestConsumer &Consumer(const std::string &name, uintptr_t handle)
    {
        m_consumers.push_back(std::make_unique<TestConsumer>(name, handle));
        return *m_consumers.back();
    }
    static QvConsumerInfo *Record(DeVididi &stream, PVOID handle)
    {
        QvConsumerInfo *record = nullptr;
        return stream.m_Consumers.Lookup(handle, record) ? record : nullptr;
    }

    std::vector<std::unique_ptr<TestConsumer>> m_consumers;

    static DeVididi &Stream(ULONG index) { return pDeVididiArray[index]; }
    static void ShowModule(ULONG module, LONG level = QVDBG_MAX_LEVEL) { DebugIdArray[module].nDebugLevel = level; }
    static void ClearLines() { kemu::DebugService::Clear(); }
    // The captured lines without their tick: "[7]STREAM:CreateBuffer --- Start".
    static std::vector<std::string> Lines()
    {
        std::vector<std::string> lines;
        for (const std::string &line : kemu::DebugService::Lines()) {
            std::string text = line.substr(line.find('['));
            size_t dash = text.find("DEVIDIDI-");
            lines.push_back(text.substr(0, dash) + text.substr(dash + 9));
        }
        return lines;
    }
    static bool Logged(const std::string &line)
    {
        for (const std::string &l : Lines()) {
            if (l == line) {
                return true;
            }
        }
        return false;
    }
    static size_t CountLogged(const std::string &line)
    {
        size_t n = 0;
        for (const std::string &l : Lines()) {
            n += l == line ? 1 : 0;
        }
        return n;
    }
};

inline PVOID H(uintptr_t h) { return reinterpret_cast<PVOID>(h); }

// "%08x" of an address's low 32 bits, as the driver prints pointers.
inline std::string Hex8(const void *p)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%08x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)));
    return text;
}

} // namespace dvtest
