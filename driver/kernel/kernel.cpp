// Executive and run-time calls of the stand-in kernel: strings, pool, IRPs, MDLs,
// events, fast mutexes, the performance counter and the high-resolution timer.
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "driver/kernel/wdm.h"
#include "platform/rtprio.h"

// ---- strings ----
void RtlInitUnicodeString(UNICODE_STRING* dst, const char16_t* src) {
    size_t n = 0;
    if (src)
        while (src[n]) ++n;
    if (n > 32766) n = 32766;
    dst->Buffer = const_cast<char16_t*>(src);
    dst->Length = USHORT(n * 2);
    dst->MaximumLength = src ? USHORT(n * 2 + 2) : 0;
}

long RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
    const size_t na = a->Length / 2, nb = b->Length / 2;
    for (size_t i = 0; i < na && i < nb; ++i) {
        char16_t x = a->Buffer[i], y = b->Buffer[i];
        if (caseInsensitive) {
            if (x >= u'a' && x <= u'z') x = char16_t(x - 32);
            if (y >= u'a' && y <= u'z') y = char16_t(y - 32);
        }
        if (x != y) return long(x) - long(y);
    }
    return long(na) - long(nb);
}

void RtlCopyUnicodeString(UNICODE_STRING* dst, PCUNICODE_STRING src) {
    if (!src || !src->Buffer) {
        dst->Length = 0;
        return;
    }
    USHORT n = src->Length < dst->MaximumLength ? src->Length : dst->MaximumLength;
    n &= USHORT(~1u);
    std::memcpy(dst->Buffer, src->Buffer, n);
    dst->Length = n;
    if (n + 2 <= dst->MaximumLength) dst->Buffer[n / 2] = 0;
}

void RtlFreeUnicodeString(UNICODE_STRING* s) {
    std::free(s->Buffer);
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

// ---- pool ----
void* ExAllocatePool2(uint64_t, size_t bytes, ULONG) { return std::calloc(1, bytes ? bytes : 1); }
void ExFreePoolWithTag(void* p, ULONG) { std::free(p); }

// ---- IRPs ----
void IofCompleteRequest(IRP* irp, int) {
    IO_STACK_LOCATION* s = &irp->Stack;
    irp->Completed = TRUE;
    if (s->CompletionRoutine) s->CompletionRoutine(s->DeviceObject, irp, s->Context);
}

IRP* IoAllocateIrp(int, BOOLEAN) { return static_cast<IRP*>(std::calloc(1, sizeof(IRP))); }
void IoFreeIrp(IRP* irp) { std::free(irp); }
void IoReuseIrp(IRP* irp, NTSTATUS status) {
    std::memset(irp, 0, sizeof *irp);
    irp->IoStatus.Status = status;
}
void IoSetCompletionRoutine(IRP* irp, IO_COMPLETION_ROUTINE* routine, void* context, BOOLEAN, BOOLEAN, BOOLEAN) {
    irp->Stack.CompletionRoutine = routine;
    irp->Stack.Context = context;
}

// ---- MDLs ----
MDL* IoAllocateMdl(void* va, ULONG length, BOOLEAN, BOOLEAN, IRP*) {
    MDL* m = static_cast<MDL*>(std::calloc(1, sizeof(MDL)));
    if (!m) return nullptr;
    m->StartVa = va;
    m->ByteCount = length;
    return m;
}
void IoFreeMdl(MDL* mdl) { std::free(mdl); }
void MmBuildMdlForNonPagedPool(MDL* mdl) { mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA; }
void* MmGetSystemAddressForMdlSafe(MDL* mdl, ULONG) { return mdl ? mdl->StartVa : nullptr; }

// ---- events ----
namespace {
struct EventImpl {
    std::mutex m;
    std::condition_variable cv;
    bool autoReset;
};
}  // namespace

static_assert(sizeof(EventImpl) <= sizeof(KEVENT::Impl), "the host's event fits a KEVENT");
static EventImpl* impl(KEVENT* e) { return reinterpret_cast<EventImpl*>(e->Impl); }

// Events live in their owner's memory and have no destructor, as kernel events do.
void KeInitializeEvent(KEVENT* e, EVENT_TYPE type, BOOLEAN state) {
    EventImpl* x = new (e->Impl) EventImpl();
    x->autoReset = type == SynchronizationEvent;
    e->Signalled = state ? 1 : 0;
}
long KeSetEvent(KEVENT* e, long, BOOLEAN) {
    EventImpl* x = impl(e);
    std::lock_guard<std::mutex> g(x->m);
    long was = e->Signalled;
    e->Signalled = 1;
    x->cv.notify_all();
    return was;
}
void KeClearEvent(KEVENT* e) {
    EventImpl* x = impl(e);
    std::lock_guard<std::mutex> g(x->m);
    e->Signalled = 0;
}
NTSTATUS KeWaitForSingleObject(KEVENT* e, int, int, BOOLEAN, int64_t* timeout) {
    EventImpl* x = impl(e);
    std::unique_lock<std::mutex> g(x->m);
    auto ready = [&] { return e->Signalled != 0; };
    if (timeout) {
        // Relative times are negative, in 100 ns units.
        int64_t t = *timeout < 0 ? -*timeout : *timeout;
        if (!x->cv.wait_for(g, std::chrono::nanoseconds(t * 100), ready)) return NTSTATUS(0x00000102); // STATUS_TIMEOUT
    } else {
        x->cv.wait(g, ready);
    }
    if (x->autoReset) e->Signalled = 0;
    return STATUS_SUCCESS;
}

// ---- fast mutex ----
static_assert(sizeof(std::mutex) <= sizeof(FAST_MUTEX::Opaque), "the host's mutex fits a FAST_MUTEX");
void ExInitializeFastMutex(FAST_MUTEX* m) { new (m->Opaque) std::mutex(); }
void ExAcquireFastMutex(FAST_MUTEX* m) { reinterpret_cast<std::mutex*>(m->Opaque)->lock(); }
void ExReleaseFastMutex(FAST_MUTEX* m) { reinterpret_cast<std::mutex*>(m->Opaque)->unlock(); }

// ---- clock ----
int64_t KeQueryPerformanceCounter(int64_t* frequency) {
    if (frequency) *frequency = 1000000000LL;
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// ---- the high-resolution timer ----
// A real-time thread (SCHED_FIFO where permitted) sleeps to absolute deadlines on
// CLOCK_MONOTONIC and runs the callback at each one: the callback's "dispatch level".
// Deadlines stay on the grid from the first expiry, so lateness never accumulates.
struct EX_TIMER {
    EXT_CALLBACK* callback;
    void* context;
    std::mutex m;
    std::condition_variable cv;
    bool armed = false;
    bool quit = false;
    uint64_t generation = 0; // bumped by every set and cancel
    int64_t firstNs = 0;
    int64_t periodNs = 0;
    std::thread thread;
    std::atomic<int64_t> testDelayNs{0};
    std::atomic<int64_t> period100ns{0};
};

namespace {

int64_t monoNs() { return KeQueryPerformanceCounter(nullptr); }

void sleepUntil(int64_t ns) {
    timespec ts{time_t(ns / 1000000000LL), long(ns % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void timerThread(EX_TIMER* t) {
    RtPrio_joinClass("Pro Audio");
    RtPrio_setLevel(RTPRIO_CRITICAL, "velunor-kernel timer");
    std::unique_lock<std::mutex> g(t->m);
    while (!t->quit) {
        if (!t->armed) {
            t->cv.wait(g);
            continue;
        }
        const uint64_t gen = t->generation;
        int64_t due = t->firstNs;
        const int64_t period = t->periodNs;
        uint64_t k = 0;
        while (!t->quit && t->armed && t->generation == gen) {
            g.unlock();
            int64_t delay = t->testDelayNs.exchange(0);
            sleepUntil(due + delay);
            g.lock();
            if (t->quit || !t->armed || t->generation != gen) break;
            g.unlock();
            t->callback(t, t->context);
            g.lock();
            if (period <= 0) {
                if (t->generation == gen) t->armed = false;
                break;
            }
            // The next deadline on the grid that still lies ahead: a callback held up
            // for several periods gets one call, as a late kernel timer would.
            const int64_t now = monoNs();
            ++k;
            due = t->firstNs + int64_t(k) * period;
            if (due < now) {
                k = uint64_t((now - t->firstNs) / period) + 1;
                due = t->firstNs + int64_t(k) * period;
            }
        }
    }
}

}  // namespace

EX_TIMER* ExAllocateTimer(EXT_CALLBACK* callback, void* context, ULONG) {
    if (!callback) return nullptr;
    EX_TIMER* t = new (std::nothrow) EX_TIMER();
    if (!t) return nullptr;
    t->callback = callback;
    t->context = context;
    t->thread = std::thread(timerThread, t);
    return t;
}

BOOLEAN ExSetTimer(EX_TIMER* t, int64_t dueTime, int64_t period, EXT_SET_PARAMETERS*) {
    if (!t) return FALSE;
    std::lock_guard<std::mutex> g(t->m);
    const BOOLEAN was = t->armed;
    const int64_t now = monoNs();
    t->firstNs = dueTime < 0 ? now + (-dueTime) * 100 : now + dueTime * 100;
    t->periodNs = period * 100;
    t->period100ns.store(period);
    t->armed = true;
    ++t->generation;
    t->cv.notify_all();
    return was;
}

BOOLEAN ExCancelTimer(EX_TIMER* t, void*) {
    if (!t) return FALSE;
    std::lock_guard<std::mutex> g(t->m);
    const BOOLEAN was = t->armed;
    t->armed = false;
    ++t->generation;
    t->cv.notify_all();
    return was;
}

BOOLEAN ExDeleteTimer(EX_TIMER* t, BOOLEAN cancel, BOOLEAN wait, EXT_DELETE_PARAMETERS* params) {
    if (!t) return FALSE;
    BOOLEAN was = FALSE;
    {
        std::lock_guard<std::mutex> g(t->m);
        was = t->armed;
        if (cancel) t->armed = false;
        t->quit = true;
        ++t->generation;
        t->cv.notify_all();
    }
    // The timer's thread ends after a running callback returns. It is joined even when
    // the caller does not ask to wait, since its memory is freed here.
    (void)wait;
    t->thread.join();
    if (params && params->DeleteCallback) params->DeleteCallback(params->DeleteContext);
    delete t;
    return was;
}

// Test hooks of the stand-in (not part of the driver's view of the kernel).
VELUNOR_KAPI int64_t KernelTest_timerPeriod(EX_TIMER* t) { return t ? t->period100ns.load() : 0; }
VELUNOR_KAPI void KernelTest_delayNextExpiry(EX_TIMER* t, int64_t ns) {
    if (t) t->testDelayNs.store(ns);
}
