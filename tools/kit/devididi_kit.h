/*
 * The client-driver kit's checks of the exchange's contract (C++17, for tests and tools).
 *
 * WatchRegistrations follows every registration sent to the exchange through the I/O manager,
 * whichever driver sends it and whether the exchange is linked, a module or a kernel image. When a
 * client driver's module unloads, each registration whose callbacks lie in it, pending or not, is
 * reported as kemu::rule::kCallbacksLeftAtUnload ("<driver>: consumer of stream 2, handle 0x20,
 * still registered") and then unregistered for it through the exchange's own unregistration
 * request, so that the exchange never calls into the unloaded code.
 *
 * It also stands between every client and the exchange's entry points: the client's slots get the
 * kit's, which check each call and pass it on (rules kEntryAboveDispatch, kProvidedWithoutRegistration,
 * kKernelStackOverflow below; a block larger than the ring is a warning on standard error), each call
 * of a client driver named for the reports made meanwhile. The exchange is the serving driver
 * (kemu::SetServingDriver): a report names the client that called in.
 */
#ifndef DEVIDIDI_KIT_H
#define DEVIDIDI_KIT_H

#include <functional>

namespace kemu {
struct RequestEvent;
namespace rule {
inline constexpr char kEntryAboveDispatch[] = "exchange entry point called above DISPATCH_LEVEL";
inline constexpr char kProvidedWithoutRegistration[] = "data provided without the stream's provider registration";
inline constexpr char kKernelStackOverflow[] = "kernel stack overflow";
} // namespace rule
}

namespace devididi::kit {

// Installs the request observer and the modules' unload check; Unwatch takes both away. `also`, when
// given, sees every request after the kit has (the platform keeps one observer at a time).
void WatchRegistrations(std::function<void(const kemu::RequestEvent &)> also = {});
void UnwatchRegistrations();

// Places the exchange's traced blocks, its rings among them, in the emulation's special pool (until
// ResetCore), so that a client that reads past a ring's end stops at once with a report naming the
// block, the source line that allocated it and the reading driver. Client drivers' blocks go there
// too: a read past one (an information block declared longer than it is) stops naming its allocator.
// With WatchRegistrations, every consumer registration that succeeds gets its own view of the ring
// (kemu::OpenPoolView) in place of the ring's address, closed when its unregistration succeeds: a
// read through it after that stops naming the reader ("read of the ring of stream 2 after its
// consumer's unregistration"), even while the ring lives on.
void UseSpecialPoolForRings();

} // namespace devididi::kit

#endif
