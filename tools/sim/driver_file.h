// Client drivers loaded from a file: an author's own driver, built as a loadable image against the
// emulated kernel (devididi_add_client_driver), run beside the exchange.
#ifndef DEVIDIDI_SIM_DRIVER_FILE_H
#define DEVIDIDI_SIM_DRIVER_FILE_H

#include <string>

#include "kernel.h"

namespace sim {

class DriverFile {
public:
    DriverFile() = default;
    ~DriverFile();
    DriverFile(const DriverFile &) = delete;
    DriverFile &operator=(const DriverFile &) = delete;

    // Opens the image and calls its DriverEntry as "\Driver\<name>". False with the reason in
    // error when the image cannot be opened or has no DriverEntry; a DriverEntry that fails is a
    // success of the loading, its status in status.
    bool Load(const std::string &name, const std::string &path, NTSTATUS &status, std::string &error);
    bool Loaded() const { return m_driver != nullptr; }
    // The platform's unload (DriverUnload, then the driver object), and the image closed.
    void Unload();

private:
    void *m_image = nullptr;
    PDRIVER_OBJECT m_driver = nullptr;
};

} // namespace sim

#endif
