// Which driver a request comes from: the one whose DriverEntry or DriverUnload the building thread
// runs. Its unload is then checked for requests it left pending with another driver.
#include "emu/io/internal.h"

namespace kemu::io {

PDRIVER_OBJECT &CallingDriver()
{
    thread_local PDRIVER_OBJECT t_driver = nullptr;
    return t_driver;
}

PDRIVER_OBJECT &UnloadingDriver()
{
    thread_local PDRIVER_OBJECT t_driver = nullptr;
    return t_driver;
}

const char *&UnloadingStep()
{
    thread_local const char *t_step = "DriverUnload";
    return t_step;
}

std::chrono::milliseconds &UnloadWaitLimit()
{
    static std::chrono::milliseconds limit{5000};
    return limit;
}

} // namespace kemu::io

void kemu::SetUnloadWaitLimit(std::chrono::milliseconds limit) { io::UnloadWaitLimit() = limit; }
