#include "driver_file.h"

#include "emu/kemu/kemu.h"
#include "emu/kemu/ldr.h"

namespace sim {

DriverFile::DriverFile() = default;
DriverFile::~DriverFile() { Unload(); }

bool DriverFile::Load(const std::string &name, const std::string &path, NTSTATUS &status, std::string &error)
{
    // A name without a slash would be searched for in the system's library path: keep it local.
    m_module = kemu::DriverModule::Open(path.find('/') == std::string::npos ? "./" + path : path, &error);
    if (!m_module) {
        return false;
    }
    std::u16string driverName = u"\\Driver\\";
    std::u16string serviceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    for (char c : name) {
        driverName += static_cast<char16_t>(c);
        serviceKey += static_cast<char16_t>(c);
    }
    kemu::DriverLoad load = kemu::LoadDriver(m_module->Entry(), driverName, serviceKey);
    status = load.status;
    m_driver = load.driver;
    if (m_driver == nullptr) {
        m_module.reset();
    } else {
        m_module->Attach(m_driver, "\\Driver\\" + name);
    }
    return true;
}

void DriverFile::Unload()
{
    if (m_driver != nullptr) {
        kemu::UnloadDriver(m_driver);
        m_driver = nullptr;
    }
    m_module.reset(); // the code goes only after its unload has run
}

} // namespace sim
