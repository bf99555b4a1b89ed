// The GoogleTest fixture and stream helpers of the client-driver kit.
#include "devididi_testing.h"

#include <algorithm>

#include "devididi_exchange.h"
#include "devididi_kit.h"
#include "emu/kemu/ldr.h"

namespace devididi::kit {

namespace {

// Every helper alive, wherever it lives, for the fixture's TearDown.
std::vector<Client *> &LiveClients()
{
    static std::vector<Client *> clients;
    return clients;
}

// A notification as a helper keeps it: the record copied, and the information block it points at.
Notification Record(ULONG code, PSTREAMER_NOTIFICATION_PARAM param, PVOID from)
{
    Notification notification;
    notification.code = code;
    notification.from = from;
    if (param != nullptr) {
        notification.param = *param;
        notification.hasParam = true;
        if (code == STREAMERNOTIFY_STREAM_INFO_CHANGED && param->StreamInfo.pInfo != nullptr &&
            param->StreamInfo.nSize > 0) {
            const auto *block = static_cast<const UCHAR *>(param->StreamInfo.pInfo);
            notification.info.assign(block, block + param->StreamInfo.nSize);
        }
    }
    return notification;
}

} // namespace

Client::Client() { LiveClients().push_back(this); }

Client::~Client()
{
    if (m_pFile != nullptr) {
        ObDereferenceObject(m_pFile);
    }
    std::vector<Client *> &clients = LiveClients();
    clients.erase(std::remove(clients.begin(), clients.end(), this), clients.end());
}

void Client::Close()
{
    Leave();
    if (m_pFile != nullptr) {
        ObDereferenceObject(m_pFile);
        m_pFile = nullptr;
        m_pDevice = nullptr;
    }
}

NTSTATUS Client::Send(ULONG code, const STREAMER_SRV_PARAM &param)
{
    if (m_pFile == nullptr) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\DeVididi");
        const NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &m_pFile, &m_pDevice);
        if (status != STATUS_SUCCESS) {
            ADD_FAILURE() << "the exchange's device is not there (status 0x" << std::hex << status << ")";
            m_pFile = nullptr;
            m_pDevice = nullptr;
            return STATUS_NO_SUCH_DEVICE;
        }
    }
    m_param = param;
    m_iosb = IO_STATUS_BLOCK{};
    KeInitializeEvent(&m_done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, m_pDevice, &m_param, sizeof m_param, nullptr, 0, FALSE, &m_done,
                                             &m_iosb);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IoCallDriver(m_pDevice, irp);
    return status == STATUS_PENDING ? STATUS_PENDING : m_iosb.Status;
}

Provider::Provider(ULONG stream, ULONG ringSize) : m_stream(stream), m_ringSize(ringSize) {}

Provider::~Provider() { Leave(); }

void Provider::Leave()
{
    if (m_registered) {
        Unregister();
    }
}

NTSTATUS Provider::Register()
{
    STREAMER_SRV_PARAM param{};
    param.RegisterProvider.hStream = m_stream;
    param.RegisterProvider.dwBufferSize = m_ringSize;
    param.RegisterProvider.pfnProvideDataComplete = [](PUCHAR, PVOID) STREAMER_CALL {};
    param.RegisterProvider.pfnNotify = &Provider::OnNotify;
    param.RegisterProvider.ppfnProvideData = &m_pfnProvide;
    param.RegisterProvider.ppfnNotify = &m_pfnNotify;
    param.RegisterProvider.pContext = this;
    NTSTATUS status = Send(STREAMER_REGISTER_PROVIDER, param);
    m_registered = NT_SUCCESS(status);
    return status;
}

NTSTATUS Provider::Unregister()
{
    STREAMER_SRV_PARAM param{};
    param.UnRegisterProvider.hStream = m_stream;
    m_registered = false;
    return Send(STREAMER_UNREGISTER_PROVIDER, param);
}

std::vector<UCHAR> Provider::Provide(ULONG size)
{
    std::vector<UCHAR> block(size);
    for (UCHAR &byte : block) {
        byte = StreamByte(m_sent++);
    }
    if (m_pfnProvide == nullptr) {
        ADD_FAILURE() << "stream " << m_stream << ": Provide before the provider is registered";
        return {};
    }
    m_pfnProvide(m_stream, block.data(), size);
    return block;
}

void Provider::Notify(ULONG code, PSTREAMER_NOTIFICATION_PARAM param)
{
    if (m_pfnNotify == nullptr) {
        ADD_FAILURE() << "stream " << m_stream << ": Notify before the provider is registered";
        return;
    }
    m_pfnNotify(m_stream, code, param);
}

VOID STREAMER_CALL Provider::OnNotify(PVOID consumer, ULONG code, PSTREAMER_NOTIFICATION_PARAM param, PVOID self)
{
    static_cast<Provider *>(self)->notifications.push_back(Record(code, param, consumer));
}

std::vector<UCHAR> Provider::ProvideAcrossTheEnd(ULONG size)
{
    const ULONG head = static_cast<ULONG>(m_sent % m_ringSize);
    const ULONG target = m_ringSize - std::max<ULONG>(size / 2, 1);
    std::vector<UCHAR> all = Provide((target + m_ringSize - head) % m_ringSize);
    kemu::RunQueuedDpcs();
    std::vector<UCHAR> crossing = Provide(size);
    all.insert(all.end(), crossing.begin(), crossing.end());
    return all;
}

Consumer::Consumer(ULONG stream) : m_stream(stream) {}

Consumer::~Consumer() { Leave(); }

void Consumer::Leave()
{
    if (m_registered) {
        Unregister();
    }
}

NTSTATUS Consumer::Register()
{
    STREAMER_SRV_PARAM param{};
    param.RegisterConsumer.hStream = m_stream;
    param.RegisterConsumer.pfnNewDataReady = &Consumer::NewData;
    param.RegisterConsumer.pfnNotify = &Consumer::OnNotify;
    param.RegisterConsumer.hConsumer = this;
    param.RegisterConsumer.ppBuffer = &m_pRing;
    param.RegisterConsumer.pdwBufferSize = &m_nSize;
    param.RegisterConsumer.pdwTail = &m_nTail;
    param.RegisterConsumer.ppfnDataProcessed = &m_pfnProcessed;
    param.RegisterConsumer.ppfnNotify = &m_pfnNotify;
    NTSTATUS status = Send(STREAMER_REGISTER_CONSUMER, param);
    m_registered = NT_SUCCESS(status); // STATUS_PENDING too: it waits for the provider
    return status;
}

NTSTATUS Consumer::Unregister()
{
    STREAMER_SRV_PARAM param{};
    param.UnRegisterConsumer.hStream = m_stream;
    param.UnRegisterConsumer.hConsumer = this;
    m_registered = false;
    return Send(STREAMER_UNREGISTER_CONSUMER, param);
}

void Consumer::Notify(ULONG code, PSTREAMER_NOTIFICATION_PARAM param)
{
    if (m_pfnNotify == nullptr) {
        ADD_FAILURE() << "stream " << m_stream << ": Notify before the consumer is registered";
        return;
    }
    m_pfnNotify(m_stream, this, code, param);
}

VOID STREAMER_CALL Consumer::OnNotify(ULONG code, PSTREAMER_NOTIFICATION_PARAM param, PVOID self)
{
    static_cast<Consumer *>(self)->notifications.push_back(Record(code, param, nullptr));
}

VOID STREAMER_CALL Consumer::NewData(ULONG size, PVOID self)
{
    auto *consumer = static_cast<Consumer *>(self);
    for (ULONG i = 0; i < size; ++i) {
        consumer->received.push_back(consumer->m_pRing[(consumer->m_nTail + i) % consumer->m_nSize]);
    }
    consumer->m_nTail = (consumer->m_nTail + size) % consumer->m_nSize;
    consumer->m_pfnProcessed(consumer->m_stream, self, size);
}

ExchangeTest::ExchangeTest() = default;
ExchangeTest::~ExchangeTest() = default;

void ExchangeTest::SetUp()
{
    kemu::ResetCore();
    kemu::ResetIo();
    kemu::ResetRegistry();
    kemu::ClearDbgPrint();
    kemu::SetViolationMode(kemu::ViolationMode::Record);
    kemu::SetDpcMode(kemu::DpcMode::Manual);
    for (const char *module : {"STREAM", "CONSUMER_INFO", "PROVIDER_INFO"}) {
        kemu::SetRegistryDword(std::string("\\Registry\\Machine\\SOFTWARE\\NRV\\debug\\krnl\\DEVIDIDI\\") + module,
                               "DebugLevel", 5);
    }
    kemu::SetDbgPrintSink([this](const std::string &text) { m_printed.push_back(text); });
    WatchRegistrations();
    UseSpecialPoolForRings();
    m_pExchange = kemu::LoadDriver(DriverEntry, u"\\Driver\\DeVididi", u"").driver;
    ASSERT_NE(m_pExchange, nullptr) << "the exchange did not load";
    m_pPdo = kemu::CreatePdo(u"DeVididi");
    ASSERT_EQ(kemu::PnpAddDevice(m_pExchange, m_pPdo), STATUS_SUCCESS) << "the exchange's device did not start";
}

void ExchangeTest::TearDown()
{
    UnloadClient();
    m_providers.clear();
    m_consumers.clear();
    // The test's own helpers, which may outlive the fixture: unregistered and closed while the
    // exchange is there, so that nothing is left open and their destructors have nothing to do.
    for (Client *client : std::vector<Client *>(LiveClients())) {
        client->Close();
    }
    RemoveExchangeDevice();
    if (m_pExchange != nullptr) {
        kemu::UnloadDriver(m_pExchange);
    }
    EXPECT_EQ(kemu::LiveRequestCount(), 0u) << "a request is left pending";
    EXPECT_EQ(kemu::PoolLeakReport(), "") << "pool blocks leaked";
    EXPECT_EQ(kemu::ResetDpcs(), 0u) << "a DPC was left queued";
    EXPECT_EQ(kemu::ResetIo(), 0u) << "I/O objects were left";
    for (const auto &violation : kemu::TakeViolations()) {
        ADD_FAILURE() << "kernel rule broken: " << violation.rule << ": " << violation.detail;
    }
    UnwatchRegistrations();
    kemu::SetDbgPrintSink({});
    kemu::ResetCore();
}

NTSTATUS ExchangeTest::LoadClientFile(const std::string &path, const std::string &name)
{
    if (m_pClient != nullptr) {
        ADD_FAILURE() << "a client driver is loaded already";
        return STATUS_UNSUCCESSFUL;
    }
    std::string error;
    m_module = kemu::DriverModule::Open(path.find('/') == std::string::npos ? "./" + path : path, &error);
    if (!m_module) {
        ADD_FAILURE() << "cannot load " << path << ": " << error;
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = LoadLinkedClient(m_module->Entry(), name);
    if (m_pClient == nullptr) {
        m_module.reset();
    } else {
        m_module->Attach(m_pClient, "\\Driver\\" + name);
    }
    return status;
}

NTSTATUS ExchangeTest::LoadLinkedClient(PDRIVER_INITIALIZE entry, const std::string &name)
{
    std::u16string driverName = u"\\Driver\\";
    std::u16string serviceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    for (char c : name) {
        driverName += static_cast<char16_t>(c);
        serviceKey += static_cast<char16_t>(c);
    }
    kemu::DriverLoad load = kemu::LoadDriver(entry, driverName, serviceKey);
    m_pClient = load.driver;
    return load.status;
}

void ExchangeTest::UnloadClient()
{
    if (m_pClient != nullptr) {
        kemu::UnloadDriver(m_pClient);
        m_pClient = nullptr;
        RunDpcs(); // a DPC the unload left behind would run now, too late
    }
    m_module.reset();
}

Provider &ExchangeTest::StartProvider(ULONG stream, ULONG ringSize)
{
    m_providers.push_back(std::make_unique<Provider>(stream, ringSize));
    EXPECT_EQ(m_providers.back()->Register(), STATUS_SUCCESS) << "provider of stream " << stream;
    return *m_providers.back();
}

Consumer &ExchangeTest::StartConsumer(ULONG stream)
{
    m_consumers.push_back(std::make_unique<Consumer>(stream));
    const NTSTATUS status = m_consumers.back()->Register();
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_PENDING) << "consumer of stream " << stream << ": 0x"
                                                                      << std::hex << status;
    return *m_consumers.back();
}

void ExchangeTest::RunDpcs() { kemu::RunQueuedDpcs(); }

void ExchangeTest::RemoveExchangeDevice()
{
    if (m_pPdo != nullptr) {
        EXPECT_EQ(kemu::PnpRemoveDevice(m_pPdo), STATUS_SUCCESS);
        m_pPdo = nullptr;
    }
}

bool ExchangeTest::Printed(const std::string &text) const
{
    return std::any_of(m_printed.begin(), m_printed.end(),
                       [&](const std::string &line) { return line.find(text) != std::string::npos; });
}

std::string ExchangeTest::PrintedText() const
{
    std::string all;
    for (const std::string &line : m_printed) {
        all += line;
    }
    return all;
}

std::vector<std::string> ExchangeTest::Logged(const std::string &text)
{
    std::vector<std::string> found;
    for (const std::string &line : kemu::DebugService::Lines()) {
        if (line.find(text) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

} // namespace devididi::kit
