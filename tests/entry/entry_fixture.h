// Common ground of the driver frame tests: a fresh emulated kernel, the driver's debug levels in the
// registry, the driver loaded through the I/O manager, and the log read back from the output service.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "emu/kemu.h"
#include "devididi.h"
#include "entry.h"
#include "krnl_dbg.h"
#include "newdel.h"

namespace dvtest {

using Lines = std::vector<std::string>;

inline const std::string kLevelKey = "\\Registry\\Machine\\SOFTWARE\\NRV\\debug\\krnl\\DEVIDIDI\\";
inline const std::u16string kDeviceName = u"\\Device\\DeVididi";
inline const std::u16string kLinkName = u"\\DosDevices\\DeVididi";

// A counted string over a literal, as a kernel-mode client builds one.
struct KString {
    explicit KString(const std::u16string &text) : m_text(text)
    {
        m_string.Buffer = m_text.data();
        m_string.Length = static_cast<USHORT>(m_text.size() * sizeof(char16_t));
        m_string.MaximumLength = m_string.Length;
    }
    PUNICODE_STRING get() { return &m_string; }

private:
    std::u16string m_text;
    UNICODE_STRING m_string{};
};

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
        gfDebugVxdUp = 0;
        kemu::SetTickCount(1000);
        SetLevel("ENTRY", 8);
    }

    void TearDown() override
    {
        if (m_driver != nullptr) {
            kemu::UnloadDriver(m_driver);
            m_driver = nullptr;
        }
        EXPECT_EQ(pDeVididiArray, nullptr);
        EXPECT_EQ(g_pTraceList, nullptr);
        EXPECT_EQ(kemu::ResetIo(), 0u) << "I/O objects left behind";
        EXPECT_EQ(kemu::PoolLeakReport(), "");
        kemu::ResetCore();
        for (DEBUG_ID_ENTRY &entry : DebugIdArray) {
            entry.nDebugLevel = 0;
        }
    }

    static void SetLevel(const std::string &module, uint32_t level)
    {
        kemu::SetRegistryDword(kLevelKey + module, "DebugLevel", level);
    }

    // Loads the driver as the platform does; the test fails if start-up does.
    void Load()
    {
        kemu::DriverLoad load = kemu::LoadDriver(DriverEntry, u"\\Driver\\DeVididi",
                                                 u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\DeVididi");
        ASSERT_EQ(load.status, STATUS_SUCCESS);
        ASSERT_NE(load.driver, nullptr);
        m_driver = load.driver;
    }

    PDEVICE_OBJECT ControlDevice() const { return kemu::FindDevice(kDeviceName); }

    // Every shown line without its tick count: "[7]DEVIDIDI-ENTRY:DriverEntry --- End".
    static Lines Shown()
    {
        Lines lines;
        for (const std::string &line : kemu::DebugService::Lines()) {
            lines.push_back(line.substr(line.find(' ') + 1));
        }
        return lines;
    }
    // The shown lines of one module as "[level]text".
    static Lines Module(const std::string &name)
    {
        const std::string prefix = "]DEVIDIDI-" + name + ":";
        Lines lines;
        for (const std::string &line : Shown()) {
            const size_t at = line.find(prefix);
            if (at != std::string::npos && at == line.find(']')) {
                lines.push_back(line.substr(0, at + 1) + line.substr(at + prefix.size()));
            }
        }
        return lines;
    }
    // The frame's own lines: the traced allocator's per-block lines share its module and are left out.
    static Lines Entry()
    {
        Lines lines;
        for (const std::string &line : Module("ENTRY")) {
            if (line.find("]TracedNew(") == std::string::npos && line.find("]TracedDelete(") == std::string::npos) {
                lines.push_back(line);
            }
        }
        return lines;
    }
    // The ENTRY lines that start with one of the given texts (after the level).
    static Lines EntryStartingWith(const std::vector<std::string> &starts)
    {
        Lines lines;
        for (const std::string &line : Entry()) {
            const std::string text = line.substr(line.find(']') + 1);
            for (const std::string &start : starts) {
                if (text.compare(0, start.size(), start) == 0) {
                    lines.push_back(line);
                    break;
                }
            }
        }
        return lines;
    }
    static size_t CountEntry(const std::string &line)
    {
        const Lines lines = Entry();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }
    static void ClearLog() { kemu::DebugService::Clear(); }

    PDRIVER_OBJECT m_driver = nullptr;
};

// The status as the log's "%x" prints it.
inline std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(status));
    return text;
}

} // namespace dvtest
