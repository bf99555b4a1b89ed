#include "driver_file.h"

#include <dlfcn.h>

#include "emu/kemu.h"

namespace sim {

DriverFile::~DriverFile() { Unload(); }

bool DriverFile::Load(const std::string &name, const std::string &path, NTSTATUS &status, std::string &error)
{
    // A name without a slash would be searched for in the system's library path: keep it local.
    const std::string where = path.find('/') == std::string::npos ? "./" + path : path;
    m_image = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_image == nullptr) {
        const char *reason = dlerror();
        error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown reason");
        return false;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(m_image, "DriverEntry"));
    if (entry == nullptr) {
        dlclose(m_image);
        m_image = nullptr;
        error = path + " has no DriverEntry";
        return false;
    }
    std::u16string driverName = u"\\Driver\\";
    std::u16string serviceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    for (char c : name) {
        driverName += static_cast<char16_t>(c);
        serviceKey += static_cast<char16_t>(c);
    }
    kemu::DriverLoad load = kemu::LoadDriver(entry, driverName, serviceKey);
    status = load.status;
    m_driver = load.driver;
    if (m_driver == nullptr) {
        dlclose(m_image);
        m_image = nullptr;
    }
    return true;
}

void DriverFile::Unload()
{
    if (m_driver != nullptr) {
        kemu::UnloadDriver(m_driver);
        m_driver = nullptr;
    }
    if (m_image != nullptr) {
        dlclose(m_image);
        m_image = nullptr;
    }
}

} // namespace sim
