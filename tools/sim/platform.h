// The simulator's side of the emulated machine: loading the driver, the plug-and-play device, the
// debug-level registry container, and where the debug output goes. The clients never use this.
#ifndef DEVIDIDI_SIM_PLATFORM_H
#define DEVIDIDI_SIM_PLATFORM_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kernel.h"

namespace sim {

// Registry key under which each module's subkey holds its DebugLevel.
extern const char kLevelContainer[];

class Machine {
public:
    Machine() = default;
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    bool Loaded() const { return m_driver != nullptr; }
    // Loaded and not yet unloaded by the platform after the removal of its last device.
    bool Running() const;
    size_t Devices() const { return m_pdos.size(); }
    // DriverEntry through the platform's loader.
    NTSTATUS Load();
    // A new physical device on the bus, handed to the driver by plug-and-play.
    NTSTATUS AddDevice();
    // Plug-and-play removal of the newest device.
    NTSTATUS RemoveDevice();
    // The platform's unload (if removal has not already unloaded the driver) and the end of the
    // driver object.
    void Unload();

    // Writes DebugLevel of a module under the container.
    static void SetLevel(const std::string &module, uint32_t level);

private:
    PDRIVER_OBJECT m_driver = nullptr;
    std::vector<PDEVICE_OBJECT> m_pdos;
};

// Live pool blocks by tag text ("Trcd" -> 3), for the leak report.
std::map<std::string, size_t> LivePoolByTag();
std::string PoolSummary(const std::map<std::string, size_t> &blocks);

} // namespace sim

#endif
