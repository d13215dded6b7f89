#pragma once

// A periodic timer whose ticks come from a worker thread on a steady clock and
// run on the user-interface thread, one at a time, with a blocking hand-over.

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>

class IntervalTimerThread;

class IntervalTimer : public QObject {
    Q_OBJECT
public:
    explicit IntervalTimer(QObject* owner = nullptr);
    ~IntervalTimer() override;

    bool Enabled() const { return FEnabled; }
    // Enabling (re)starts the period; disabling stops ticks at once.
    void SetEnabled(bool value);
    uint32_t Interval() const;
    // A change restarts a running timer with the new period.
    void SetInterval(uint32_t milliseconds);

    // Called on the user-interface thread with the timer as sender; errors
    // it raises are dropped.
    std::function<void(QObject* sender)> OnTimer;

private:
    friend class IntervalTimerThread;
    void DeliverTick();

    bool FEnabled = false;
    bool FDestroying = false;
    std::unique_ptr<IntervalTimerThread> FTimerThread;
};
