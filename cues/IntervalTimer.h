#pragma once

// A periodic timer whose ticks come from a worker thread on a steady clock and
// run on the user-interface thread, one at a time, with a blocking hand-over.
// Each tick is handed over a fraction of a millisecond before it is due and
// that thread waits out the rest, so that the handler starts on time even
// when waking that thread takes a while.

#include <QObject>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class IntervalTimerThread;

class IntervalTimer : public QObject {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;

    explicit IntervalTimer(QObject* owner = nullptr);
    ~IntervalTimer() override;

    bool Enabled() const { return FEnabled; }
    // Enabling (re)starts the period; disabling stops ticks at once. Enabled
    // again from inside the handler of its own tick, the new period counts
    // from when that tick was due, so the hand-over to this thread and the
    // handler's work do not stretch a chain of one-shot armings; a tick handed
    // over late gives back at most half a period of its lateness, so the next
    // tick never comes sooner than half a period after this one ran.
    // The first enabling asks short scheduling slices for this thread (its
    // ticks run here), as the timer's worker does for itself: on kernels
    // that honour it, their wake-ups may then preempt other work, ours or
    // other programs', instead of waiting for the end of its slice.
    void SetEnabled(bool value);
    uint32_t Interval() const;
    // A change restarts a running timer with the new period.
    void SetInterval(uint32_t milliseconds);

    // Called on the user-interface thread with the timer as sender; errors
    // it raises are dropped.
    std::function<void(QObject* sender)> OnTimer;

private:
    friend class IntervalTimerThread;
    void DeliverTick(Clock::time_point due, Clock::duration period);

    bool FEnabled = false;
    bool FDestroying = false;
    bool FThreadHinted = false;
    // Set while the handler of a tick runs: where a period armed from inside
    // it starts, and the event loop level it runs at (an event served by a
    // loop nested in the handler, a GO by hand under a message box, is not
    // the tick's own arming).
    bool FInTick = false;
    Clock::time_point FTickStart;
    int FTickLoopLevel = 0;
    std::unique_ptr<IntervalTimerThread> FTimerThread;
};
