// System threads: a host thread each, running the driver's start routine at PASSIVE_LEVEL. The
// thread's object is a dispatcher object (signalled when the thread ends) with a reference count:
// one for the running thread, one for each open handle and one for each ObReferenceObjectByHandle.
// PsTerminateSystemThread jumps back to the start of the thread (longjmp: the driver's frames in
// between are C or foreign code, with nothing to unwind).
#include <csetjmp>
#include <map>
#include <mutex>
#include <thread>

#include "emu/ddk/io.h"
#include "emu/internal/core.h"
#include "emu/kemu/core.h"

namespace {

struct SystemThread {
    KEVENT header; // first: what KeWaitForSingleObject sees
    PKSTART_ROUTINE start;
    PVOID context;
    unsigned references;
    bool ended;
};

struct Threads {
    std::mutex lock;
    std::map<HANDLE, SystemThread *> handles;
    std::map<const void *, SystemThread *> objects;
    uintptr_t nextHandle = 0x80000004; // apart from the registry's key handles
};

Threads &Table()
{
    static Threads *threads = new Threads; // never destroyed: detached threads may outlive main
    return *threads;
}

thread_local SystemThread *t_current;
thread_local std::jmp_buf *t_exit;

char g_threadTypeTag;
POBJECT_TYPE g_threadType = reinterpret_cast<POBJECT_TYPE>(&g_threadTypeTag);

// Drops one reference; the table's lock held. The object goes with the last.
void Release(Threads &threads, SystemThread *thread)
{
    if (--thread->references == 0) {
        threads.objects.erase(thread);
        delete thread;
    }
}

std::string Describe(const SystemThread *thread)
{
    return "system thread " + kemu::detail::Hex(thread) + " (start routine " +
           kemu::detail::Hex(reinterpret_cast<const void *>(thread->start)) + ")";
}

// What a thread must be back at when it ends, however it ends.
void Ended(SystemThread *thread)
{
    using namespace kemu;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation(rule::kThreadNotPassive, Describe(thread) + " ended at IRQL " + std::to_string(KeGetCurrentIrql()));
    }
    if (HeldSpinLocks() != 0) {
        ReportViolation(rule::kThreadHoldsSpinLock,
                        Describe(thread) + " ended holding " + std::to_string(HeldSpinLocks()) + " spin lock(s)");
    }
    // Ended before signalled: a waiter that sees the signal (an unload) finds the thread gone.
    Threads &threads = Table();
    {
        std::lock_guard<std::mutex> guard(threads.lock);
        thread->ended = true;
    }
    detail::ExchangeSignalState(&thread->header, 1);
    std::lock_guard<std::mutex> guard(threads.lock);
    Release(threads, thread);
}

void Run(SystemThread *thread)
{
    std::jmp_buf end;
    t_current = thread;
    t_exit = &end;
    if (setjmp(end) == 0) {
        thread->start(thread->context);
    }
    t_current = nullptr;
    t_exit = nullptr;
    Ended(thread);
}

} // namespace

namespace kemu {

namespace detail {

bool DereferenceThreadObject(void *object)
{
    Threads &threads = Table();
    std::lock_guard<std::mutex> guard(threads.lock);
    auto found = threads.objects.find(object);
    if (found == threads.objects.end()) {
        return false;
    }
    Release(threads, found->second);
    return true;
}

bool CloseThreadHandle(HANDLE handle)
{
    Threads &threads = Table();
    std::lock_guard<std::mutex> guard(threads.lock);
    auto found = threads.handles.find(handle);
    if (found == threads.handles.end()) {
        return false;
    }
    SystemThread *thread = found->second;
    threads.handles.erase(found);
    Release(threads, thread);
    return true;
}

} // namespace detail

std::vector<std::string> RunningThreadsOf(const std::function<bool(const void *)> &inImage)
{
    Threads &threads = Table();
    std::vector<std::string> running;
    std::lock_guard<std::mutex> guard(threads.lock);
    for (const auto &entry : threads.objects) {
        const SystemThread *thread = entry.second;
        if (!thread->ended && inImage(reinterpret_cast<const void *>(thread->start))) {
            running.push_back(Describe(thread));
        }
    }
    return running;
}

} // namespace kemu

extern "C" {

POBJECT_TYPE *PsThreadType = &g_threadType;

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext)
{
    using namespace kemu;
    (void)DesiredAccess;
    (void)ObjectAttributes;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation(rule::kThreadNotPassive, "PsCreateSystemThread at IRQL " + std::to_string(KeGetCurrentIrql()));
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (ThreadHandle == nullptr || StartRoutine == nullptr || ProcessHandle != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto *thread = new SystemThread{};
    detail::InitializeDispatcherHeader(&thread->header, ThreadObject, 0);
    thread->start = StartRoutine;
    thread->context = StartContext;
    thread->references = 2; // the running thread's and the handle's
    HANDLE handle;
    {
        Threads &threads = Table();
        std::lock_guard<std::mutex> guard(threads.lock);
        handle = reinterpret_cast<HANDLE>(threads.nextHandle);
        threads.nextHandle += 4;
        threads.handles.emplace(handle, thread);
        threads.objects.emplace(thread, thread);
    }
    *ThreadHandle = handle;
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(uintptr_t(4)); // the system process
        ClientId->UniqueThread = handle;
    }
    std::thread(Run, thread).detach();
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    (void)ExitStatus;
    if (t_exit == nullptr) {
        kemu::ReportViolation(kemu::rule::kTerminateOutsideThread,
                              "PsTerminateSystemThread(" + kemu::detail::Hex(ULONG_PTR(ULONG(ExitStatus))) + ")");
        return STATUS_INVALID_PARAMETER;
    }
    std::longjmp(*t_exit, 1);
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID *Object, PVOID HandleInformation)
{
    (void)DesiredAccess;
    (void)AccessMode;
    (void)HandleInformation;
    Threads &threads = Table();
    std::lock_guard<std::mutex> guard(threads.lock);
    auto found = threads.handles.find(Handle);
    if (found == threads.handles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    if (ObjectType != nullptr && ObjectType != g_threadType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ++found->second->references;
    *Object = found->second;
    return STATUS_SUCCESS;
}

} // extern "C"
