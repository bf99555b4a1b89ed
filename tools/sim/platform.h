// The simulator's side of the emulated machine: loading the driver, the plug-and-play device, the
// debug-level registry container, and where the debug output goes. The clients never use this.
#ifndef DEVIDIDI_SIM_PLATFORM_H
#define DEVIDIDI_SIM_PLATFORM_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "emu/kemu/ldr.h"
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
    // Where every later Load finds the driver: a module file (the driver built as a shared object,
    // or in the i386 build its kernel image), opened anew at each load so that every global starts
    // fresh. False, with the reason, when the file cannot be loaded. Without a file, Load calls the
    // driver linked into the program.
    static bool UseDriverFile(const std::string &path, std::string *error);

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
    // The loaded module stays mapped after the unload until the next load: clients may still
    // call the entry points they were given, as on the linked driver.
    std::unique_ptr<kemu::DriverModule> m_module;
};

// Live pool blocks by tag text ("Trcd" -> 3), for the leak report.
std::map<std::string, size_t> LivePoolByTag();
std::string PoolSummary(const std::map<std::string, size_t> &blocks);

} // namespace sim

#endif
