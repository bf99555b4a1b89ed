// Shared between the emulation's own sources only: formatting and the reset hooks of each service.
#ifndef DEVIDIDI_EMU_INTERNAL_CORE_H
#define DEVIDIDI_EMU_INTERNAL_CORE_H

#include <cstdint>
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <string>

#include "emu/ddk/base.h"
#include "emu/kemu/core.h"

namespace kemu::detail {

// The verifier's switch (kemu::SetVerifierChecks), read on every lock, level and pool call.
extern std::atomic<bool> g_verifierChecks;
inline bool ChecksOn() { return g_verifierChecks.load(std::memory_order_relaxed); }

// Formats with the kernel's conventions into buffer[0..capacity) without a NUL and returns the
// length of the whole text (which may exceed capacity: nothing beyond capacity is written).
size_t FormatKernel(char *buffer, size_t capacity, const char *format, va_list args);
// "0x" and the address in hex, for violation details.
std::string Hex(const void *p);
std::string Hex(ULONG_PTR value);

// The header that events, timers and system threads share, read and written under the events'
// lock so that KeWaitForSingleObject sees every change (io/event.cpp). Setting a state other than
// 0 wakes the waiters; the previous state is returned.
void InitializeDispatcherHeader(struct _KEVENT *header, UCHAR type, LONG state);
LONG ExchangeSignalState(struct _KEVENT *header, LONG state);
LONG ReadSignalState(struct _KEVENT *header);

// The clock's time in 100 ns units (the tick count's, finer in real time), and whether a test or
// script holds the tick count (clock.cpp).
uint64_t InterruptTime();
bool TickCountHeld();
// True when the tick count is held and the calling thread is the one that last moved it: a wait
// there for a timer would never end.
bool MovesHeldClock();
// Fires the timers due by InterruptTime() on the calling thread; the clock calls it whenever its
// count is set or advanced (timer.cpp).
void ExpireTimers();
// Forgets every timer, set or not (called by ResetClock).
void ResetTimers();
// System threads' objects and handles (thread.cpp): true when `object` or `handle` is one, which is
// then dereferenced or closed.
bool DereferenceThreadObject(void *object);
bool CloseThreadHandle(HANDLE handle);

// Reset hooks called by ResetCore.
void ResetViolations();
void ResetThreadLevelAndLocks();
size_t ResetPool();
void ResetClock();
void ResetDebugOutput();
void ResetPreemption();
// Arms the spin watchdog (ke/preempt.cpp) with the verifier's checks, or disarms it.
void ArmSpinWatchdog(bool checks);

} // namespace kemu::detail

namespace kemu {
// The fault handler that turns faults in unloaded modules and special pool pages into stops
// (installed once, on first need; faults of other addresses go to the handler before it).
void InstallFaultHandler();
// A code address for a report: "<driver>+0x<offset>", else the routine's (mangled) name, else
// file+offset. Safe inside the fault handler: no allocation, and no lock the faulting thread could hold.
void DescribeCode(uintptr_t address, FaultText &text);
// "<driver>+0x<offset>" when `address` lies in an open driver module; the same constraints.
bool DescribeModuleCode(uintptr_t address, FaultText &text);
// The name of the open driver module whose ranges hold `address` and the address of its lowest
// range; false when none does. The same constraints.
bool FindModuleCode(uintptr_t address, const char **name, uintptr_t *base);
// Whether a module of this name is the serving driver's (SetServingDriver).
bool IsServingDriver(const char *name);
// The broken rule and its report for a fault at `address` in a special pool block's guard page or
// in a freed special pool block; null when the address is in neither.
const char *SpecialPoolFault(const void *address, bool write, FaultText &report);
} // namespace kemu

#endif
