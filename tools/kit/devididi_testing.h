/*
 * GoogleTest helpers for a client driver's tests (C++17): the exchange in the emulated kernel, the
 * author's driver loaded beside it, and clients of the test's own on the streams the driver talks to.
 *
 *   #include "devididi_testing.h"
 *   class MyTest : public devididi::kit::ExchangeTest {};
 *   TEST_F(MyTest, ReadsAcrossTheRingsEnd)
 *   {
 *       devididi::kit::Provider &mic = StartProvider(2, 1000); // stream 2, a 1000-byte ring
 *       ASSERT_EQ(LoadClient("mydrv"), STATUS_SUCCESS);         // mydrv.so, the driver as built
 *       mic.Provide(600);
 *       RunDpcs();
 *       mic.ProvideAcrossTheEnd(400);                            // a block that crosses the end
 *       RunDpcs();
 *       EXPECT_TRUE(Printed("mydrv: sum"));
 *   }
 *
 * Each test starts with a fresh emulated kernel: the exchange loaded and its device added, DPCs
 * queued until RunDpcs (or run on their own thread after kemu::SetDpcMode(Thread)), kernel rule
 * violations recorded, the exchange's rings in the special pool (a read past a ring's end stops
 * the test process with a "*** STOP:" report naming the ring and the reading driver). TearDown
 * unloads the client driver, unregisters every helper still alive (those of StartProvider and
 * StartConsumer and those the test made itself, wherever they live), removes the device and
 * unloads the exchange, then fails the test for each pool block leaked, request left pending, DPC
 * left queued and rule broken, e.g. a registration the driver did not take back at its unload.
 *
 * A driver loaded from its module (LoadClient) is checked fully: its registrations at its unload,
 * and a call into it after its unload is a stop naming it. A driver linked into the test
 * (LoadLinkedClient, with its entry NAME_DriverEntry) gets the other checks.
 *
 * devididi_add_client_test (DeVididiClientDriver.cmake) builds such a test and tells it where the
 * modules are (DEVIDIDI_CLIENT_DIR).
 */
#ifndef DEVIDIDI_TESTING_H
#define DEVIDIDI_TESTING_H

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emu/kemu/kemu.h"
#include "streamer.h"

namespace kemu {
class DriverModule;
}

namespace devididi::kit {

// A notification a helper received. The helper's callback records it where the exchange calls,
// under the stream's lock or as its reader, and calls nothing back: with kemu::SetDpcMode(Thread)
// that may be the DPC thread, so read a helper's records while DPCs are held or after RunDpcs.
struct Notification {
    ULONG code = 0;
    // Its record as the exchange passed it (all zero, and `hasParam` false, when it passed none).
    STREAMER_NOTIFICATION_PARAM param{};
    bool hasParam = false;
    // STREAM_INFO_CHANGED: a copy of the information block (param.StreamInfo.pInfo is the exchange's
    // and need not outlive the call), empty when there is none.
    std::vector<UCHAR> info;
    // To a provider: the consumer that sent it (the Consumer helper's address is its handle), or
    // nullptr when the exchange did.
    PVOID from = nullptr;
};

// A client of the test's own, with its handle on the exchange's control device, opened at its first
// request. A helper may live anywhere, a member of the test's fixture too: the fixture's TearDown
// closes every helper still alive (Close) before it removes the exchange, so that none need go
// first, and a helper used again after that opens the device anew.
class Client {
public:
    Client();
    virtual ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    // Sends a request to the exchange: its status, or STATUS_PENDING while it waits (for a
    // consumer, until the stream has a provider).
    NTSTATUS Send(ULONG code, const STREAMER_SRV_PARAM &param);
    // Unregisters (a provider or consumer registered or waiting) and lets the device go.
    void Close();

protected:
    virtual void Leave() {}

private:
    PFILE_OBJECT m_pFile = nullptr;
    PDEVICE_OBJECT m_pDevice = nullptr;
    STREAMER_SRV_PARAM m_param{}; // a pending request's buffer and event outlive the call
    KEVENT m_done{};
    IO_STATUS_BLOCK m_iosb{};
};

// The provider of a stream. Byte n of the stream (counted from the first Provide) is n * 7 + 1, so
// that a consumer's copy that wraps wrongly or skips shows. `notifications` holds every notification
// it is told of, in order (CONSUMER_REGISTERED, those its consumers send, ...).
class Provider : public Client {
public:
    Provider(ULONG stream, ULONG ringSize);
    ~Provider() override;
    NTSTATUS Register();
    NTSTATUS Unregister();
    // Hands the next `size` bytes of the stream to the exchange and returns them.
    std::vector<UCHAR> Provide(ULONG size);
    // Brings the ring's head to `size / 2` bytes before its end with a first block, runs the queued
    // DPCs so that consumers take it, then provides `size` bytes across the end. Returns both blocks.
    std::vector<UCHAR> ProvideAcrossTheEnd(ULONG size);
    // Sends a notification to the stream's consumers through the notify entry point the
    // registration returned (`param` may be null where the code carries none).
    void Notify(ULONG code, PSTREAMER_NOTIFICATION_PARAM param = nullptr);
    ULONG Stream() const { return m_stream; }
    uint64_t Sent() const { return m_sent; }
    std::vector<Notification> notifications;

protected:
    void Leave() override;

private:
    static VOID STREAMER_CALL OnNotify(PVOID consumer, ULONG code, PSTREAMER_NOTIFICATION_PARAM param, PVOID self);
    ULONG m_stream, m_ringSize;
    uint64_t m_sent = 0;
    bool m_registered = false;
    STREAMER_PROVIDE_DATA_ENTRY m_pfnProvide = nullptr;
    STREAMER_PROVIDER_NOTIFY_ENTRY m_pfnNotify = nullptr;
};

// A consumer of a stream that copies every block out of the ring as it is told of it, wrapping at
// the ring's end, and reports it processed at once. `notifications` holds every notification it is
// told of, in order; a registration made before the stream's provider answers STATUS_PENDING and
// its wait ends with PROVIDER_REGISTERED.
class Consumer : public Client {
public:
    explicit Consumer(ULONG stream);
    ~Consumer() override;
    NTSTATUS Register();
    NTSTATUS Unregister();
    // Sends a notification to the stream's provider through the notify entry point the
    // registration returned (`param` may be null where the code carries none).
    void Notify(ULONG code, PSTREAMER_NOTIFICATION_PARAM param = nullptr);
    ULONG Stream() const { return m_stream; }
    std::vector<UCHAR> received;
    std::vector<Notification> notifications;

protected:
    void Leave() override;

private:
    static VOID STREAMER_CALL NewData(ULONG size, PVOID self);
    static VOID STREAMER_CALL OnNotify(ULONG code, PSTREAMER_NOTIFICATION_PARAM param, PVOID self);
    ULONG m_stream;
    bool m_registered = false;
    PUCHAR m_pRing = nullptr;
    ULONG m_nSize = 0, m_nTail = 0;
    STREAMER_DATA_PROCESSED_ENTRY m_pfnProcessed = nullptr;
    STREAMER_CONSUMER_NOTIFY_ENTRY m_pfnNotify = nullptr;
};

class ExchangeTest : public ::testing::Test {
protected:
    ExchangeTest();
    ~ExchangeTest() override;
    void SetUp() override;
    void TearDown() override;

    // Loads DEVIDIDI_CLIENT_DIR/FILE.so as \Driver\NAME (FILE defaults to NAME); the status of its
    // DriverEntry. One client driver at a time.
    NTSTATUS LoadClient(const std::string &name, const std::string &file = "")
    {
#ifdef DEVIDIDI_CLIENT_DIR
        return LoadClientFile(std::string(DEVIDIDI_CLIENT_DIR) + "/" + (file.empty() ? name : file) + ".so", name);
#else
        return LoadClientFile((file.empty() ? name : file) + ".so", name);
#endif
    }
    NTSTATUS LoadClientFile(const std::string &path, const std::string &name);
    // The driver linked into the test: devididi_add_client_driver renames its entry NAME_DriverEntry.
    NTSTATUS LoadLinkedClient(PDRIVER_INITIALIZE entry, const std::string &name);
    // Calls its DriverUnload, runs the DPCs it may have left queued, then lets its code go.
    void UnloadClient();
    PDRIVER_OBJECT ClientDriver() const { return m_pClient; }

    Provider &StartProvider(ULONG stream, ULONG ringSize);
    Consumer &StartConsumer(ULONG stream);
    static void RunDpcs();
    // Removes the exchange's device under the clients, as an unplug would.
    void RemoveExchangeDevice();

    // Every DbgPrint message since SetUp, in order; whether one contains `text`.
    const std::vector<std::string> &PrintedLines() const { return m_printed; }
    bool Printed(const std::string &text) const;
    std::string PrintedText() const;
    // The exchange's own log lines (its debug service) that contain `text`.
    static std::vector<std::string> Logged(const std::string &text);

private:
    PDRIVER_OBJECT m_pExchange = nullptr;
    PDEVICE_OBJECT m_pPdo = nullptr;
    PDRIVER_OBJECT m_pClient = nullptr;
    std::unique_ptr<kemu::DriverModule> m_module;
    std::vector<std::unique_ptr<Provider>> m_providers;
    std::vector<std::unique_ptr<Consumer>> m_consumers;
    std::vector<std::string> m_printed;
};

// The byte the helpers' providers send at position `n` of a stream.
inline UCHAR StreamByte(uint64_t n) { return static_cast<UCHAR>(n * 7 + 1); }

} // namespace devididi::kit

#endif
