// Client drivers loaded from a file: an author's own driver, built as a loadable image against the
// emulated kernel (devididi_add_client_driver), run beside the exchange.
#ifndef DEVIDIDI_SIM_DRIVER_FILE_H
#define DEVIDIDI_SIM_DRIVER_FILE_H

#include <memory>
#include <string>

#include "kernel.h"

namespace kemu {
class DriverModule;
}

namespace sim {

class DriverFile {
public:
    DriverFile();
    ~DriverFile();
    DriverFile(const DriverFile &) = delete;
    DriverFile &operator=(const DriverFile &) = delete;

    // Opens the module (a shared object built against the emulation, or in an i386 build also a
    // kernel image) and calls its DriverEntry as "\Driver\<name>". False with the reason in error
    // when the file cannot be loaded; a DriverEntry that fails is a success of the loading, its
    // status in status.
    bool Load(const std::string &name, const std::string &path, NTSTATUS &status, std::string &error);
    bool Loaded() const { return m_driver != nullptr; }
    // The platform's unload (DriverUnload, then the driver object), and the image closed.
    void Unload();

private:
    std::unique_ptr<kemu::DriverModule> m_module;
    PDRIVER_OBJECT m_driver = nullptr;
};

} // namespace sim

#endif
