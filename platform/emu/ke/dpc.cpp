// Deferred procedure calls: one queue, drained at DISPATCH_LEVEL by the platform's DPC thread or, in
// Manual mode, by whoever calls RunQueuedDpcs. A DPC is queued at most once at a time, as on the
// kernel; its routine must come back at DISPATCH_LEVEL holding no spin lock.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "emu/internal/core.h"
#include "emu/kemu/core.h"

namespace kemu {
namespace {

struct DpcQueue {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<PKDPC> queued;
    DpcMode mode = DpcMode::Thread;
    std::thread worker;
    bool stopping = false;
    size_t running = 0; // routines being run right now

    ~DpcQueue() { Stop(); }
    void Stop()
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            stopping = true;
        }
        changed.notify_all();
        if (worker.joinable()) {
            worker.join();
        }
        stopping = false;
    }
};

DpcQueue &Queue()
{
    static DpcQueue queue;
    return queue;
}

// The marker DpcData holds while the DPC waits in the queue.
char g_queuedMark;
void *const kQueuedMark = &g_queuedMark;

void RunOne(PKDPC dpc, PVOID argument1, PVOID argument2)
{
    const KIRQL before = KeGetCurrentIrql();
    const size_t locks = HeldSpinLocks();
    SetCurrentIrql(DISPATCH_LEVEL);
    dpc->DeferredRoutine(dpc, dpc->DeferredContext, argument1, argument2);
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
        ReportViolation(rule::kDpcLevelChanged, "DPC " + detail::Hex(dpc) + " returned at IRQL " +
                                                    std::to_string(KeGetCurrentIrql()));
    }
    if (HeldSpinLocks() != locks) {
        ReportViolation(rule::kDpcHoldsSpinLock, "DPC " + detail::Hex(dpc) + " returned holding " +
                                                     std::to_string(HeldSpinLocks() - locks) + " spin lock(s)");
    }
    SetCurrentIrql(before);
}

// Takes the next DPC off the queue (lock held); its arguments are read before it may be queued again.
bool TakeNext(DpcQueue &queue, PKDPC &dpc, PVOID &argument1, PVOID &argument2)
{
    if (queue.queued.empty()) {
        return false;
    }
    dpc = queue.queued.front();
    queue.queued.pop_front();
    argument1 = dpc->SystemArgument1;
    argument2 = dpc->SystemArgument2;
    dpc->DpcData = nullptr;
    ++queue.running;
    return true;
}

void WorkerLoop()
{
    DpcQueue &queue = Queue();
    std::unique_lock<std::mutex> guard(queue.lock);
    for (;;) {
        // A switch to Manual ends the thread: from then on only RunQueuedDpcs drains the queue.
        queue.changed.wait(guard, [&] { return queue.stopping || queue.mode == DpcMode::Manual || !queue.queued.empty(); });
        if (queue.mode == DpcMode::Manual) {
            return;
        }
        PKDPC dpc;
        PVOID argument1, argument2;
        if (!TakeNext(queue, dpc, argument1, argument2)) {
            return; // stopping with nothing left
        }
        guard.unlock();
        RunOne(dpc, argument1, argument2);
        guard.lock();
        --queue.running;
        queue.changed.notify_all();
    }
}

} // namespace

void SetDpcMode(DpcMode mode)
{
    DpcQueue &queue = Queue();
    std::unique_lock<std::mutex> guard(queue.lock);
    queue.mode = mode;
    if (mode == DpcMode::Manual) {
        // Not from a routine the thread runs: that thread cannot wait for itself.
        if (queue.worker.joinable() && queue.worker.get_id() != std::this_thread::get_id()) {
            guard.unlock();
            queue.changed.notify_all();
            queue.worker.join(); // after the routine it may be running
        }
    } else if (!queue.queued.empty() && !queue.worker.joinable()) {
        // What waited for RunQueuedDpcs in Manual mode is the thread's now.
        queue.worker = std::thread(WorkerLoop);
    }
}

size_t RunQueuedDpcs()
{
    DpcQueue &queue = Queue();
    std::unique_lock<std::mutex> guard(queue.lock);
    if (queue.mode == DpcMode::Thread) {
        const size_t before = queue.queued.size();
        queue.changed.wait(guard, [&] { return queue.queued.empty() && queue.running == 0; });
        return before;
    }
    size_t ran = 0;
    PKDPC dpc;
    PVOID argument1, argument2;
    while (TakeNext(queue, dpc, argument1, argument2)) {
        guard.unlock();
        RunOne(dpc, argument1, argument2);
        guard.lock();
        --queue.running;
        ++ran;
    }
    return ran;
}

size_t QueuedDpcCount()
{
    DpcQueue &queue = Queue();
    std::lock_guard<std::mutex> guard(queue.lock);
    return queue.queued.size();
}

size_t ResetDpcs()
{
    DpcQueue &queue = Queue();
    size_t dropped = 0;
    {
        std::lock_guard<std::mutex> guard(queue.lock);
        if (queue.mode == DpcMode::Manual) {
            dropped = queue.queued.size();
            for (PKDPC dpc : queue.queued) {
                dpc->DpcData = nullptr;
            }
            queue.queued.clear();
        }
        queue.mode = DpcMode::Thread;
    }
    queue.Stop(); // the thread drains what is left before it ends
    return dropped;
}

std::vector<std::string> RemoveDpcsOf(const std::function<bool(const void *)> &inImage)
{
    DpcQueue &queue = Queue();
    std::vector<std::string> removed;
    std::lock_guard<std::mutex> guard(queue.lock);
    for (auto it = queue.queued.begin(); it != queue.queued.end();) {
        PKDPC dpc = *it;
        const void *routine = reinterpret_cast<const void *>(dpc->DeferredRoutine);
        if (inImage(dpc) || inImage(routine)) {
            removed.push_back("DPC " + detail::Hex(dpc) + " (routine " + detail::Hex(routine) + ")");
            if (!inImage(dpc)) {
                dpc->DpcData = nullptr; // the object outlives the image: it may be queued again
            }
            it = queue.queued.erase(it);
        } else {
            ++it;
        }
    }
    return removed;
}

} // namespace kemu

extern "C" {

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    Dpc->Type = DpcObject;
    Dpc->Number = 0;
    Dpc->Importance = 1;
    InitializeListHead(&Dpc->DpcListEntry);
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    using namespace kemu;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        ReportViolation(rule::kDpcAboveDispatch, "DPC " + detail::Hex(Dpc) + " at IRQL " +
                                                     std::to_string(KeGetCurrentIrql()));
    }
    if (Dpc->Type != DpcObject || Dpc->DeferredRoutine == nullptr) {
        ReportViolation(rule::kDpcUninitialised, "DPC " + detail::Hex(Dpc));
        return FALSE;
    }
    DpcQueue &queue = Queue();
    {
        std::lock_guard<std::mutex> guard(queue.lock);
        if (Dpc->DpcData != nullptr) {
            return FALSE;
        }
        Dpc->DpcData = kQueuedMark;
        Dpc->SystemArgument1 = SystemArgument1;
        Dpc->SystemArgument2 = SystemArgument2;
        queue.queued.push_back(Dpc);
        if (queue.mode == DpcMode::Thread && !queue.worker.joinable()) {
            queue.worker = std::thread(WorkerLoop);
        }
    }
    queue.changed.notify_all();
    return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc)
{
    using namespace kemu;
    DpcQueue &queue = Queue();
    std::lock_guard<std::mutex> guard(queue.lock);
    if (Dpc->DpcData == nullptr) {
        return FALSE;
    }
    for (auto it = queue.queued.begin(); it != queue.queued.end(); ++it) {
        if (*it == Dpc) {
            queue.queued.erase(it);
            break;
        }
    }
    Dpc->DpcData = nullptr;
    return TRUE;
}

} // extern "C"
