#include "platform.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "emu/kemu/kemu.h"
#include "entry.h"

namespace sim {

const char kLevelContainer[] = "\\Registry\\Machine\\SOFTWARE\\NRV\\debug\\krnl\\DEVIDIDI";

namespace {
std::string g_driverFile;
}

bool Machine::UseDriverFile(const std::string &path, std::string *error)
{
    if (kemu::DriverModule::Open(path, error) == nullptr) {
        return false;
    }
    g_driverFile = path;
    return true;
}

Machine::~Machine()
{
    if (m_driver != nullptr) {
        Unload();
    }
}

NTSTATUS Machine::Load()
{
    PDRIVER_INITIALIZE entry = &DriverEntry;
    if (!g_driverFile.empty()) {
        m_module.reset(); // the previous load's code, unloaded by now
        std::string error;
        m_module = kemu::DriverModule::Open(g_driverFile, &error);
        if (m_module == nullptr) {
            std::fprintf(stderr, "devididi-sim: %s\n", error.c_str());
            return STATUS_UNSUCCESSFUL;
        }
        entry = m_module->Entry();
    }
    kemu::DriverLoad load = kemu::LoadDriver(entry, u"\\Driver\\DeVididi",
                                             u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\DeVididi");
    m_driver = load.driver;
    if (m_module != nullptr) {
        m_module->Attach(m_driver, "\\Driver\\DeVididi");
    }
    return load.status;
}

bool Machine::Running() const { return m_driver != nullptr && kemu::DriverIsLoaded(m_driver); }

NTSTATUS Machine::AddDevice()
{
    PDEVICE_OBJECT pdo = kemu::CreatePdo(u"DeVididi");
    NTSTATUS status = kemu::PnpAddDevice(m_driver, pdo);
    m_pdos.push_back(pdo);
    return status;
}

NTSTATUS Machine::RemoveDevice()
{
    PDEVICE_OBJECT pdo = m_pdos.back();
    m_pdos.pop_back();
    return kemu::PnpRemoveDevice(pdo);
}

void Machine::Unload()
{
    while (!m_pdos.empty()) {
        RemoveDevice();
    }
    if (m_driver != nullptr) {
        kemu::UnloadDriver(m_driver);
        m_driver = nullptr;
    }
}

void Machine::SetLevel(const std::string &module, uint32_t level)
{
    kemu::SetRegistryDword(std::string(kLevelContainer) + "\\" + module, "DebugLevel", level);
}

std::map<std::string, size_t> LivePoolByTag()
{
    std::map<std::string, size_t> byTag;
    for (const auto &block : kemu::LivePoolBlocks()) {
        byTag[kemu::TagText(block.tag)]++;
    }
    return byTag;
}

std::string PoolSummary(const std::map<std::string, size_t> &blocks)
{
    std::string text;
    for (const auto &[tag, count] : blocks) {
        text += (text.empty() ? "" : ", ") + std::to_string(count) + " '" + tag + "'";
    }
    return text;
}

} // namespace sim
