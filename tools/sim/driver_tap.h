// Client drivers loaded from a file, accounted as the simulator's own clients are, from outside
// them: their registrations are seen on their way to the exchange, and the callbacks and
// the report entry they name are routed through the simulator, which counts what the exchange
// tells the driver and what the driver reports back before passing each call on unchanged.
#ifndef DEVIDIDI_SIM_DRIVER_TAP_H
#define DEVIDIDI_SIM_DRIVER_TAP_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "client.h"
#include "kernel.h"
#include "streamer.h"

namespace kemu {
struct RequestEvent;
}

namespace sim {

struct TappedConsumer {
    std::string driver;
    ULONG stream = 0;
    PVOID handle = nullptr;

    std::atomic<NTSTATUS> firstAnswer{STATUS_PENDING};  // what the registration request returned
    std::atomic<NTSTATUS> registration{STATUS_PENDING}; // its final status
    std::atomic<bool> joined{false}, left{false};
    // The driver unregistered it while it still waited for its provider (no fault of the driver's).
    std::atomic<bool> withdrawn{false};
    // As ConsumerClient counts them (see there).
    std::atomic<uint64_t> bytesAnnounced{0}, bytesLost{0}, bytesProcessed{0}, processedWhileJoined{0};
    std::atomic<uint64_t> firstTold{0}, toldEnd{0}, joinedAt{0}, leftAt{0};
    std::atomic<bool> told{false};
    // Ring offsets as the exchange hands them out: blocks told of that run past the ring's end.
    std::atomic<uint64_t> blocks{0}, blocksAcrossEnd{0};
    std::atomic<uint64_t> ringSize{0}, writePosition{0};
    ProblemLog problems;

    // The driver's own side of the registration, and the exchange's entry it reports through.
    STREAMER_NEW_DATA_READY_CALLBACK pfnNewData = nullptr;
    STREAMER_CONSUMER_NOTIFY_CALLBACK pfnNotify = nullptr;
    STREAMER_DATA_PROCESSED_ENTRY *pDriverEntry = nullptr;
    PULONG pDriverRingSize = nullptr, pDriverTail = nullptr;
    STREAMER_DATA_PROCESSED_ENTRY pfnExchangeEntry = nullptr;
    bool tracking = false; // callbacks only (the stream's lock serialises them)
    ULONG readOffset = 0;
    uint64_t nextPosition = 0;

    int64_t FreeSpace() const
    {
        return static_cast<int64_t>(ringSize.load()) - static_cast<int64_t>(bytesAnnounced.load() + bytesLost.load()) +
               static_cast<int64_t>(processedWhileJoined.load());
    }
};

// A loaded driver's provider registration. Its provide entry and data-complete callback pass
// through the simulator, which records each block in the stream's ledger on its way in, so that
// every consumer of the stream checks the bytes it reads in place against what the driver sent.
struct TappedProvider {
    std::string driver;
    ULONG stream = 0;
    ULONG ringSize = 0;
    std::atomic<NTSTATUS> registration{STATUS_PENDING};
    std::atomic<bool> joined{false}, left{false};
    std::atomic<uint64_t> bytesAccepted{0};

    // The driver's own side of the registration, and the exchange's entry it provides through.
    STREAMER_PROVIDE_DATA_COMPLETE_CALLBACK pfnDataComplete = nullptr;
    STREAMER_PROVIDER_NOTIFY_CALLBACK pfnNotify = nullptr;
    STREAMER_PROVIDE_DATA_ENTRY *pDriverEntry = nullptr;
    STREAMER_PROVIDE_DATA_ENTRY pfnExchangeEntry = nullptr;
    bool completed = false; // the block in hand got its data-complete (the providing thread only)
};

// Starts afresh; the observer to chain after the kit's (devididi::kit::WatchRegistrations).
std::function<void(const kemu::RequestEvent &)> TapDriverRequests();
// Called on the sending thread, before a loaded driver's provider registration of a stream that no
// loaded driver provides reaches the exchange, with the stream and the driver's name: a provider of
// the tool's own may give the stream up first. Empty: none (as after TapDriverRequests).
void SetBeforeDriverProvides(std::function<void(ULONG stream, const std::string &driver)> hook);
// Every consumer registration of a loaded driver so far, in order; they live until the next start.
std::vector<TappedConsumer *> TappedConsumers();
// Every provider registration of a loaded driver so far, in order; they live until the next start.
std::vector<TappedProvider *> TappedProviders();

} // namespace sim

#endif
