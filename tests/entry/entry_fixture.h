// Common ground of the driver frame tests: a fresh emulated kernel, the ENTRY level in the registry,
// the driver loaded through the I/O manager, and the frame's log lines read back as "[level]text".
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "emu/kemu/kemu.h"
#include "devididi.h"
#include "entry.h"
#include "krnl_dbg.h"
#include "newdel.h"

namespace dvtest {

using Lines = std::vector<std::string>;
inline const std::u16string kDeviceName = u"\\Device\\DeVididi";
inline const std::u16string kLinkName = u"\\DosDevices\\DeVididi";

class DriverFrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kemu::ResetCore();
        kemu::ResetIo();
        kemu::ResetRegistry();
        for (DEBUG_ID_ENTRY &entry : DebugIdArray) {
            entry.nDebugLevel = 0;
        }
        SetLevel("ENTRY", 8);
    }
    void TearDown() override
    {
        if (m_driver != nullptr) {
            kemu::UnloadDriver(m_driver);
        }
        EXPECT_EQ(pDeVididiArray, nullptr);
        EXPECT_EQ(g_pTraceList, nullptr);
        EXPECT_EQ(kemu::ResetIo(), 0u) << "I/O objects left behind";
        EXPECT_EQ(kemu::PoolLeakReport(), "");
        kemu::ResetCore();
    }
    static void SetLevel(const std::string &module, uint32_t level)
    {
        kemu::SetRegistryDword("\\Registry\\Machine\\SOFTWARE\\NRV\\debug\\krnl\\DEVIDIDI\\" + module, "DebugLevel",
                               level);
    }
    void Load()
    {
        kemu::DriverLoad load = kemu::LoadDriver(DriverEntry, u"\\Driver\\DeVididi", u"");
        ASSERT_EQ(load.status, STATUS_SUCCESS);
        m_driver = load.driver;
    }
    PDEVICE_OBJECT AddFunctionDevice()
    {
        PDEVICE_OBJECT pdo = kemu::CreatePdo(u"DeVididi");
        EXPECT_EQ(kemu::PnpAddDevice(m_driver, pdo), STATUS_SUCCESS);
        return pdo;
    }
    static PDEVICE_OBJECT ControlDevice() { return kemu::FindDevice(kDeviceName); }
    // Shown lines without the tick: "[7]DEVIDIDI-ENTRY:DriverEntry --- End".
    static Lines Shown()
    {
        Lines lines;
        for (const std::string &line : kemu::DebugService::Lines()) {
            lines.push_back(line.substr(line.find(' ') + 1));
        }
        return lines;
    }
    // The frame's lines as "[7]DriverEntry --- End"; with starts, only those whose text begins so.
    // The traced allocator's per-block lines share the module and are left out.
    static Lines Entry(const std::vector<std::string> &starts = {})
    {
        Lines lines;
        for (const std::string &line : Shown()) {
            const size_t at = line.find("]DEVIDIDI-ENTRY:");
            if (at == std::string::npos) {
                continue;
            }
            const std::string text = line.substr(at + 16);
            const bool wanted = starts.empty() ? text.rfind("Traced", 0) != 0
                                               : std::any_of(starts.begin(), starts.end(), [&](const std::string &s) {
                                                     return text.rfind(s, 0) == 0;
                                                 });
            if (wanted) {
                lines.push_back(line.substr(0, at + 1) + text);
            }
        }
        return lines;
    }
    static size_t Count(const std::string &line)
    {
        const Lines lines = Entry();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }
    static void ClearLog() { kemu::DebugService::Clear(); }
    PDRIVER_OBJECT m_driver = nullptr;
};

// A counted string over a name, as a kernel-mode client builds one.
struct KString {
    explicit KString(const std::u16string &name) : text(name)
    {
        string.Buffer = text.data();
        string.Length = string.MaximumLength = static_cast<USHORT>(text.size() * sizeof(char16_t));
    }
    std::u16string text;
    UNICODE_STRING string{};
};

// One device-control request of a kernel-mode client: built with an event and a status block, sent
// with IoCallDriver, waited for when the driver keeps it.
struct ClientCall {
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS returned = STATUS_UNSUCCESSFUL;
    ClientCall(PDEVICE_OBJECT device, ULONG code, void *input, ULONG inputLength, void *output = nullptr,
               ULONG outputLength = 0)
    {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, device, input, inputLength, output, outputLength, FALSE, &done,
                                                 &iosb);
        if (irp != nullptr) {
            returned = IoCallDriver(device, irp);
        }
    }
    NTSTATUS Wait()
    {
        if (returned != STATUS_PENDING) {
            return returned;
        }
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return iosb.Status;
    }
};

inline STREAMER_SRV_PARAM ZeroRecord()
{
    STREAMER_SRV_PARAM record;
    std::memset(&record, 0, sizeof record);
    return record;
}
// Registration records with only the stream, the ring's size or the consumer handle set.
inline STREAMER_SRV_PARAM ProviderRecord(ULONG hStream, ULONG size = 64)
{
    STREAMER_SRV_PARAM record = ZeroRecord();
    record.RegisterProvider.hStream = hStream;
    record.RegisterProvider.dwBufferSize = size;
    return record;
}
inline STREAMER_SRV_PARAM ConsumerRecord(ULONG hStream, ULONG_PTR hConsumer, bool leaving = false)
{
    STREAMER_SRV_PARAM record = ZeroRecord();
    if (leaving) {
        record.UnRegisterConsumer = {hStream, reinterpret_cast<PVOID>(hConsumer)};
    } else {
        record.RegisterConsumer.hStream = hStream;
        record.RegisterConsumer.hConsumer = reinterpret_cast<PVOID>(hConsumer);
    }
    return record;
}

} // namespace dvtest
