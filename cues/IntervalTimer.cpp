#include "cues/IntervalTimer.h"

#include <QMetaObject>
#include <QPointer>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#ifdef __linux__
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#endif

using Clock = IntervalTimer::Clock;

namespace {

// One turn of a busy wait: tells the processor, not the scheduler, that this
// thread spins.
inline void SpinPause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield");
#endif
}

#ifdef __linux__
// The kernel's struct sched_attr as far as its first version; the C library
// has no wrapper for these calls.
struct TSchedAttr {
    uint32_t Size;
    uint32_t Policy;
    uint64_t Flags;
    int32_t Nice;
    uint32_t Priority;
    uint64_t Runtime;
    uint64_t Deadline;
    uint64_t Period;
};
#endif

// Asks the kernel to give the calling thread short scheduling slices.
void RequestShortSlices() {
#ifdef __linux__
    // A normal thread's runtime is its time slice on kernels that schedule by
    // earliest eligible deadline: a short one lets its wake-up preempt a task
    // that is in the middle of a long slice (a compiler, a page render)
    // rather than wait for that slice to end, without raising its share of
    // the processor or needing any privilege. Older kernels ignore it.
    TSchedAttr attr{};
    if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0 || attr.Policy != SCHED_OTHER)
        return;
    attr.Size = sizeof attr;
    attr.Flags = 0;
    attr.Runtime = 100'000; // ns, the shortest the kernel takes
    syscall(SYS_sched_setattr, 0, &attr, 0);
#endif
}

} // namespace

// The worker: parked while disabled, otherwise sleeping towards the next
// deadline on the steady clock and handing each tick to the timer's thread,
// where it waits until the tick has been delivered.
//
// Every field below the mutex is shared between the worker and the thread the
// timer lives on, and is only touched with the mutex held.
class IntervalTimerThread {
public:
    explicit IntervalTimerThread(IntervalTimer* owner) : FOwner(owner) {
        FThread = std::thread([this] { Run(); });
    }

    ~IntervalTimerThread() {
        {
            std::lock_guard lock(FMutex);
            FTerminated = true;
        }
        FWake.notify_all();
        // The worker never waits for the timer's thread once FTerminated is
        // set, so this join cannot hang on a tick waiting to be delivered.
        FThread.join();
    }

    IntervalTimerThread(const IntervalTimerThread&) = delete;
    IntervalTimerThread& operator=(const IntervalTimerThread&) = delete;

    uint32_t Interval() const {
        std::lock_guard lock(FMutex);
        return FInterval;
    }

    void SetInterval(uint32_t milliseconds) {
        std::lock_guard lock(FMutex);
        FInterval = milliseconds;
    }

    // Starts a new period at `start`. With an interval of 0 nothing is armed.
    void Arm(Clock::time_point start) {
        bool wake;
        {
            std::lock_guard lock(FMutex);
            ++FGeneration;
            if (FInterval == 0)
                return;
            FArmed = true;
            FStart = start;
            wake = !Delivering();
        }
        if (wake)
            FWake.notify_all();
    }

    void Disarm() {
        bool wake;
        {
            std::lock_guard lock(FMutex);
            // A new generation also voids a tick already on its way.
            ++FGeneration;
            FArmed = false;
            wake = !Delivering();
        }
        if (wake)
            FWake.notify_all();
    }

private:
    // A tick belongs to the arming it was measured for; a tick of an earlier
    // arming (disabled, perhaps enabled again since) must not run the handler.
    bool IsCurrent(uint64_t generation) const {
        std::lock_guard lock(FMutex);
        return FArmed && FGeneration == generation && !FTerminated;
    }

    void Delivered(uint64_t tick) {
        {
            std::lock_guard lock(FMutex);
            FDeliveredTick = tick;
        }
        FWake.notify_all();
    }

    // A tick is queued or running on the timer's thread, and the worker
    // waits for its delivery, which wakes it anyway: an arming changed
    // meanwhile (mostly by the tick's own handler, just before its cue is
    // sent) needs no wake-up of its own, which would cost that handler a
    // system call and the worker a pointless turn on the other processor.
    bool Delivering() const { return FPostedTick != FDeliveredTick; }

    bool StillWanted(uint64_t generation) const {
        return !FTerminated && FArmed && FGeneration == generation;
    }

    // Sleeps until a little before Deadline: the tick is handed over that
    // early and the timer's thread waits out the rest itself (DeliverTick).
    // Condition-variable waits overshoot by tens to hundreds of
    // microseconds, and on a busy machine a thread woken at the deadline
    // waits for the processor, so the one wake-up the timer's thread needs
    // has that long to be served while the deadline itself finds it already
    // running. False when the arming changed meanwhile.
    bool WaitUntil(std::unique_lock<std::mutex>& lock, Clock::time_point deadline,
                   Clock::duration period, uint64_t generation) {
        const Clock::duration lead = std::min<Clock::duration>(period / 4, kHandOverLead);
        const Clock::time_point wakeAt = deadline - lead;
        while (StillWanted(generation) && Clock::now() < wakeAt)
            FWake.wait_until(lock, wakeAt);
        return StillWanted(generation);
    }

    // Queues the tick for the timer's thread and waits until it has run
    // there, or until the worker is told to end.
    void Deliver(std::unique_lock<std::mutex>& lock, uint64_t generation, Clock::time_point due,
                 Clock::duration period) {
        const uint64_t tick = ++FPostedTick;
        lock.unlock();
        IntervalTimer* owner = FOwner;
        QMetaObject::invokeMethod(
            owner,
            [this, owner, generation, tick, due, period] {
                if (IsCurrent(generation)) {
                    const QPointer<IntervalTimer> alive(owner);
                    owner->DeliverTick(due, period);
                    // The handler may have destroyed the timer, and this
                    // worker with it; the worker has ended already then.
                    if (!alive)
                        return;
                }
                Delivered(tick);
            },
            Qt::QueuedConnection);
        lock.lock();
        FWake.wait(lock, [&] { return FTerminated || FDeliveredTick == tick; });
    }

    void Run() {
#ifdef __linux__
        // The default timer slack of 50 us would show in a 10 ms period.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
        RequestShortSlices();
        std::unique_lock lock(FMutex);
        for (;;) {
            FWake.wait(lock, [&] { return FTerminated || FArmed; });
            if (FTerminated)
                return;
            const uint64_t generation = FGeneration;
            const Clock::duration period = std::chrono::milliseconds(FInterval);
            Clock::time_point deadline = FStart + period;
            while (WaitUntil(lock, deadline, period, generation)) {
                Deliver(lock, generation, deadline, period);
                // Deadlines stay on the grid of the arming, so periods do not
                // drift; periods missed while the handler ran are skipped
                // rather than fired back to back.
                deadline += period;
                const Clock::time_point now = Clock::now();
                if (deadline <= now)
                    deadline += ((now - deadline) / period + 1) * period;
            }
        }
    }

    static constexpr Clock::duration kHandOverLead = std::chrono::microseconds(300);

    IntervalTimer* const FOwner;
    std::thread FThread;

    mutable std::mutex FMutex;
    std::condition_variable FWake;
    uint32_t FInterval = 1000;
    bool FArmed = false;
    bool FTerminated = false;
    uint64_t FGeneration = 0;
    Clock::time_point FStart;
    uint64_t FPostedTick = 0;
    uint64_t FDeliveredTick = 0;
};

IntervalTimer::IntervalTimer(QObject* owner)
    : QObject(owner), FTimerThread(std::make_unique<IntervalTimerThread>(this)) {}

IntervalTimer::~IntervalTimer() {
    FDestroying = true;
    FEnabled = false;
    // Ends and joins the worker. A tick it had queued is discarded with this
    // object's pending events and never runs.
    FTimerThread.reset();
}

void IntervalTimer::SetEnabled(bool value) {
    if (value == FEnabled)
        return;
    FEnabled = value;
    if (value && !FThreadHinted && QThread::currentThread() == thread()) {
        // The handler runs here: its wake-up must not wait for another
        // task's slice either.
        FThreadHinted = true;
        RequestShortSlices();
    }
    if (value)
        FTimerThread->Arm(FInTick && thread()->loopLevel() == FTickLoopLevel ? FTickStart
                                                                             : Clock::now());
    else
        FTimerThread->Disarm();
}

uint32_t IntervalTimer::Interval() const {
    return FTimerThread->Interval();
}

void IntervalTimer::SetInterval(uint32_t milliseconds) {
    if (milliseconds == FTimerThread->Interval())
        return;
    const bool wasEnabled = FEnabled;
    SetEnabled(false);
    FTimerThread->SetInterval(milliseconds);
    // A new interval always counts from now, also when set by a tick handler.
    const bool inTick = std::exchange(FInTick, false);
    SetEnabled(wasEnabled);
    FInTick = inTick;
}

void IntervalTimer::DeliverTick(Clock::time_point due, Clock::duration period) {
    if (!FEnabled || !OnTimer || FDestroying)
        return;
    // Handed over a little early: the last stretch is spun here, on the
    // thread that runs the handler, so that nothing needs waking at the due
    // time. Not yielding: a yield hands the processor to any other runnable
    // task for the rest of its slice, milliseconds on a busy machine.
    while (Clock::now() < due)
        SpinPause();
    const QPointer<IntervalTimer> alive(this);
    FInTick = true;
    FTickStart = std::max(due, Clock::now() - period / 2);
    FTickLoopLevel = thread()->loopLevel();
    try {
        OnTimer(this);
    } catch (...) {
        // A failing tick handler is silent by design: an autoplay cue that
        // cannot fire must not put a dialog in front of the operator.
    }
    // The handler may have destroyed the timer.
    if (alive)
        FInTick = false;
}
