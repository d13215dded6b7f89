#include "app/Errors.h"
#include "cues/IntervalTimer.h"

#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#ifdef __linux__
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

constexpr int kGenerous = 10000; // ms to wait for a tick that must come

// Records when each tick ran, on a clock started by the test.
struct TickLog {
    QElapsedTimer clock;
    std::vector<qint64> at; // nanoseconds on `clock`

    TickLog() { clock.start(); }
    qint64 Now() const { return clock.nsecsElapsed(); }
    int Count() const { return int(at.size()); }
    void Record() { at.push_back(Now()); }
};

constexpr qint64 Ms(qint64 ms) {
    return ms * 1000000;
}

// The steady clock and QElapsedTimer read the same monotonic clock; the
// tolerance only absorbs rounding between them.
constexpr qint64 kTolerance = Ms(1);

#ifdef __linux__
struct TSchedAttr {
    uint32_t Size, Policy;
    uint64_t Flags;
    int32_t Nice;
    uint32_t Priority;
    uint64_t Runtime, Deadline, Period;
};
#endif

// The calling thread's scheduling slice in nanoseconds as the kernel reports
// it; 0 where it reports none (kernels before custom slices, not Linux).
uint64_t OwnSlice() {
#ifdef __linux__
    TSchedAttr attr{};
    if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) == 0)
        return attr.Runtime;
#endif
    return 0;
}

// Gives the calling thread the kernel's default slice again.
void DefaultSlice() {
#ifdef __linux__
    TSchedAttr attr{};
    if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) == 0) {
        attr.Size = sizeof attr;
        attr.Runtime = 0;
        syscall(SYS_sched_setattr, 0, &attr, 0);
    }
#endif
}

} // namespace

class tst_IntervalTimer : public QObject {
    Q_OBJECT

private slots:
    void defaults();
    void periodicTicks();
    void ticksRunOnOwnerThreadOneAtATime();
    void repeatedWritesAreNoOps_data();
    void repeatedWritesAreNoOps();
    void disableTwiceThenEnable();
    void intervalChangeWhileEnabledRestartsPeriod();
    void intervalChangeWhileDisabledArmsNothing();
    void zeroIntervalArmsNothing();
    void rearmInsideHandlerGivesExactlyOneMoreTick();
    void periodArmedByTickCountsFromItsDueTime_data();
    void periodArmedByTickCountsFromItsDueTime();
    void queuedTickAfterDisableDoesNotRun_data();
    void queuedTickAfterDisableDoesNotRun();
    void throwingHandlerKeepsTimerRunning_data();
    void throwingHandlerKeepsTimerRunning();
    void destroyReturns_data();
    void destroyReturns();
    void destroyFromInsideHandler();
    void ticksNeverComeBeforeTheirTime_data();
    void ticksNeverComeBeforeTheirTime();
    void enablingAsksShortSlicesForItsThread();
};

void tst_IntervalTimer::defaults() {
    IntervalTimer timer;
    QCOMPARE(timer.Interval(), 1000u);
    QVERIFY(!timer.Enabled());
    QVERIFY(!timer.OnTimer);
}

void tst_IntervalTimer::periodicTicks() {
    IntervalTimer timer;
    TickLog log;
    QObject* sender = nullptr;
    timer.OnTimer = [&](QObject* s) {
        sender = s;
        log.Record();
    };
    timer.SetInterval(20);
    const qint64 start = log.Now();
    timer.SetEnabled(true);
    QTRY_VERIFY_WITH_TIMEOUT(log.Count() >= 5, kGenerous);
    timer.SetEnabled(false);
    QCOMPARE(sender, &timer);
    // Deadlines lie on the grid of the enable: tick n never comes before n periods.
    for (int n = 0; n < log.Count(); ++n)
        QVERIFY2(log.at[n] - start >= Ms(20) * (n + 1) - kTolerance,
                 qPrintable(QString::number(n)));
}

void tst_IntervalTimer::ticksRunOnOwnerThreadOneAtATime() {
    IntervalTimer timer;
    int calls = 0;
    bool inHandler = false;
    bool nested = false;
    bool wrongThread = false;
    timer.OnTimer = [&](QObject*) {
        if (inHandler)
            nested = true;
        if (QThread::currentThread() != timer.thread())
            wrongThread = true;
        inHandler = true;
        ++calls;
        // Several periods pass while the handler runs its own event loop: a
        // tick handed over without waiting would arrive here, nested.
        QTest::qWait(30);
        inHandler = false;
    };
    timer.SetInterval(2);
    timer.SetEnabled(true);
    QTRY_VERIFY_WITH_TIMEOUT(calls >= 3, kGenerous);
    timer.SetEnabled(false);
    QVERIFY(!nested);
    QVERIFY(!wrongThread);
}

// Writing the current value again must not restart the period: written every
// 10 ms against a 100 ms period, a restart would hold every tick back for ever.
void tst_IntervalTimer::repeatedWritesAreNoOps_data() {
    QTest::addColumn<bool>("writeInterval");
    QTest::newRow("Enabled := true again") << false;
    QTest::newRow("Interval := same value") << true;
}

void tst_IntervalTimer::repeatedWritesAreNoOps() {
    QFETCH(bool, writeInterval);
    IntervalTimer timer;
    int calls = 0;
    timer.OnTimer = [&](QObject*) { ++calls; };
    timer.SetInterval(100);
    timer.SetEnabled(true);
    QTimer rewrite;
    QObject::connect(&rewrite, &QTimer::timeout, [&] {
        if (writeInterval)
            timer.SetInterval(100);
        else
            timer.SetEnabled(true);
    });
    rewrite.start(10);
    QTRY_VERIFY_WITH_TIMEOUT(calls >= 2, kGenerous);
    QVERIFY(timer.Enabled());
    QCOMPARE(timer.Interval(), 100u);
}

void tst_IntervalTimer::disableTwiceThenEnable() {
    IntervalTimer timer;
    int calls = 0;
    timer.OnTimer = [&](QObject*) { ++calls; };
    timer.SetInterval(10);
    timer.SetEnabled(true);
    timer.SetEnabled(false);
    timer.SetEnabled(false);
    QVERIFY(!timer.Enabled());
    QTest::qWait(60);
    QCOMPARE(calls, 0);
    timer.SetEnabled(true);
    QTRY_VERIFY_WITH_TIMEOUT(calls >= 2, kGenerous);
}

void tst_IntervalTimer::intervalChangeWhileEnabledRestartsPeriod() {
    IntervalTimer timer;
    TickLog log;
    timer.OnTimer = [&](QObject*) { log.Record(); };
    timer.SetInterval(100);
    timer.SetEnabled(true);
    QTest::qWait(60);
    const qint64 changed = log.Now();
    timer.SetInterval(200);
    QVERIFY(timer.Enabled());
    QCOMPARE(timer.Interval(), 200u);
    QTRY_VERIFY_WITH_TIMEOUT(log.Count() >= 1, kGenerous);
    timer.SetEnabled(false);
    // Neither the old deadline (about 40 ms after the change) nor the new
    // period counted from the first enable (about 140 ms).
    QVERIFY2(log.at[0] - changed >= Ms(200) - kTolerance,
             qPrintable(QString::number(double(log.at[0] - changed) / 1e6)));
}

void tst_IntervalTimer::intervalChangeWhileDisabledArmsNothing() {
    IntervalTimer timer;
    int calls = 0;
    timer.OnTimer = [&](QObject*) { ++calls; };
    timer.SetInterval(5);
    QVERIFY(!timer.Enabled());
    QTest::qWait(60);
    QCOMPARE(calls, 0);
}

void tst_IntervalTimer::zeroIntervalArmsNothing() {
    IntervalTimer timer;
    int calls = 0;
    timer.OnTimer = [&](QObject*) { ++calls; };
    timer.SetInterval(0);
    timer.SetEnabled(true);
    QVERIFY(timer.Enabled());
    QTest::qWait(100);
    QCOMPARE(calls, 0);
    // The wish to tick is kept: a usable interval starts the timer.
    timer.SetInterval(10);
    QTRY_VERIFY_WITH_TIMEOUT(calls >= 1, kGenerous);
}

// The autoplay handler disarms first and may arm again for the next cue
// within the same call: that arming gives one tick, one period after the
// first tick was due.
void tst_IntervalTimer::rearmInsideHandlerGivesExactlyOneMoreTick() {
    IntervalTimer timer;
    TickLog log;
    timer.OnTimer = [&](QObject*) {
        log.Record();
        timer.SetEnabled(false);
        if (log.Count() == 1)
            timer.SetEnabled(true);
    };
    timer.SetInterval(20);
    const qint64 enabledAt = log.Now();
    timer.SetEnabled(true);
    QTRY_VERIFY_WITH_TIMEOUT(log.Count() >= 2, kGenerous);
    QTest::qWait(150);
    QCOMPARE(log.Count(), 2);
    QVERIFY(!timer.Enabled());
    QVERIFY2(log.at[1] - enabledAt >= Ms(2 * 20) - kTolerance,
             qPrintable(QString::number(double(log.at[1] - enabledAt) / 1e6)));
}

// A chain of one-shot armings, each made by the handler of the tick before,
// keeps the beat: the new period counts from when the tick was due, not from
// the moment the handler got round to arming. A tick that came late, and an
// arming from outside a tick, count from their own time instead.
void tst_IntervalTimer::periodArmedByTickCountsFromItsDueTime_data() {
    QTest::addColumn<int>("blockMs");  // this thread busy right after the first enable
    QTest::addColumn<int>("workMs");   // handler's work before it arms again
    QTest::addColumn<QString>("arm");  // how the second tick is asked for
    QTest::addColumn<int>("withinMs"); // the second tick comes this soon after the arming
    constexpr int none = -1;
    QTest::newRow("armed in the handler after work") << 0 << 120 << "in handler" << 160;
    // The tick due meanwhile is not skipped: it comes at once.
    QTest::newRow("armed in the handler after the next tick was due")
        << 0 << 250 << "in handler" << 160;
    // Its deadline long past, the late tick does not pull the next one forward.
    QTest::newRow("armed in the handler of a late tick") << 450 << 0 << "in handler" << none;
    QTest::newRow("enabled after the handler returned") << 0 << 120 << "after handler" << none;
    // As a GO by hand while the handler shows a message box.
    QTest::newRow("enabled from a loop nested in the handler") << 0 << 120 << "nested loop" << none;
    QTest::newRow("interval set in the handler") << 0 << 120 << "new interval" << none;
}

void tst_IntervalTimer::periodArmedByTickCountsFromItsDueTime() {
    QFETCH(int, blockMs);
    QFETCH(int, workMs);
    QFETCH(QString, arm);
    QFETCH(int, withinMs);
    constexpr qint64 period = 200;
    IntervalTimer timer;
    TickLog log;
    qint64 armedAt = 0;
    timer.OnTimer = [&](QObject*) {
        log.Record();
        if (log.Count() > 1) {
            timer.SetEnabled(false);
            return;
        }
        if (arm == "new interval") {
            QThread::msleep(workMs);
            armedAt = log.Now();
            timer.SetInterval(period + 1);
            return;
        }
        timer.SetEnabled(false);
        if (arm == "nested loop") {
            QEventLoop nested;
            QTimer::singleShot(workMs, [&] {
                armedAt = log.Now();
                timer.SetEnabled(true);
                nested.quit();
            });
            nested.exec();
            return;
        }
        if (arm == "after handler") {
            QTimer::singleShot(workMs, [&] {
                armedAt = log.Now();
                timer.SetEnabled(true);
            });
            return;
        }
        QThread::msleep(workMs);
        armedAt = log.Now();
        timer.SetEnabled(true);
    };
    timer.SetInterval(period);
    const qint64 enabledAt = log.Now();
    timer.SetEnabled(true);
    QThread::msleep(blockMs);
    QTRY_VERIFY_WITH_TIMEOUT(log.Count() >= 2, kGenerous);
    QTest::qWait(2 * period);
    QCOMPARE(log.Count(), 2);
    QVERIFY(!timer.Enabled());
    const auto ms = [](qint64 ns) { return qPrintable(QString::number(double(ns) / 1e6)); };
    // Never before its place on the grid of the first enable...
    QVERIFY2(log.at[1] - enabledAt >= Ms(2 * period) - kTolerance, ms(log.at[1] - enabledAt));
    // ...nor sooner than half a period after the tick before it ran.
    QVERIFY2(log.at[1] - log.at[0] >= Ms(period) / 2 - kTolerance, ms(log.at[1] - log.at[0]));
    if (arm != "in handler")
        QVERIFY2(log.at[1] - armedAt >= Ms(period) - kTolerance, ms(log.at[1] - armedAt));
    if (withinMs >= 0)
        QVERIFY2(log.at[1] - armedAt < Ms(withinMs), ms(log.at[1] - armedAt));
}

void tst_IntervalTimer::queuedTickAfterDisableDoesNotRun_data() {
    QTest::addColumn<bool>("enableAgain");
    QTest::newRow("disabled") << false;
    // A tick of the earlier arming must not fire the new one early.
    QTest::newRow("disabled and enabled again") << true;
}

void tst_IntervalTimer::queuedTickAfterDisableDoesNotRun() {
    QFETCH(bool, enableAgain);
    IntervalTimer timer;
    TickLog log;
    timer.OnTimer = [&](QObject*) {
        log.Record();
        timer.SetEnabled(false);
    };
    timer.SetInterval(40);
    timer.SetEnabled(true);
    // Keep this thread busy past the deadline, so the tick waits in its queue.
    QThread::msleep(150);
    timer.SetEnabled(false);
    qint64 enabledAt = 0;
    if (enableAgain) {
        enabledAt = log.Now();
        timer.SetEnabled(true);
    }
    QCoreApplication::processEvents();
    if (!enableAgain) {
        QTest::qWait(150);
        QCOMPARE(log.Count(), 0);
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(log.Count() >= 1, kGenerous);
    QVERIFY2(log.at[0] - enabledAt >= Ms(40) - kTolerance,
             qPrintable(QString::number(double(log.at[0] - enabledAt) / 1e6)));
    QTest::qWait(100);
    QCOMPARE(log.Count(), 1);
}

void tst_IntervalTimer::throwingHandlerKeepsTimerRunning_data() {
    QTest::addColumn<int>("kind");
    QTest::newRow("CuewellError") << 0;
    QTest::newRow("std::runtime_error") << 1;
    QTest::newRow("not a std::exception") << 2;
}

void tst_IntervalTimer::throwingHandlerKeepsTimerRunning() {
    QFETCH(int, kind);
    IntervalTimer timer;
    int calls = 0;
    timer.OnTimer = [&](QObject*) {
        ++calls;
        if (kind == 0)
            throw CuewellError(QStringLiteral("cue failed"));
        if (kind == 1)
            throw std::runtime_error("cue failed");
        throw 42;
    };
    timer.SetInterval(10);
    timer.SetEnabled(true);
    QTRY_VERIFY_WITH_TIMEOUT(calls >= 3, kGenerous);
    QVERIFY(timer.Enabled());
    timer.SetEnabled(false);
}

void tst_IntervalTimer::destroyReturns_data() {
    QTest::addColumn<int>("state");
    QTest::newRow("never enabled") << 0;
    QTest::newRow("enabled") << 1;
    QTest::newRow("disabled") << 2;
    QTest::newRow("tick waiting for delivery") << 3;
    QTest::newRow("enabled with interval 0") << 4;
}

void tst_IntervalTimer::destroyReturns() {
    QFETCH(int, state);
    int calls = 0;
    {
        auto timer = std::make_unique<IntervalTimer>();
        timer->OnTimer = [&](QObject*) { ++calls; };
        timer->SetInterval(state == 4 ? 0 : 5);
        if (state >= 1)
            timer->SetEnabled(true);
        if (state == 1)
            QTRY_VERIFY_WITH_TIMEOUT(calls >= 1, kGenerous);
        if (state == 2) {
            QTest::qWait(20);
            timer->SetEnabled(false);
        }
        if (state == 3)
            QThread::msleep(50); // the worker now waits for this thread
        const int before = calls;
        timer.reset();
        QCOMPARE(calls, before);
    }
    // Nothing of the destroyed timer may run later.
    const int after = calls;
    QTest::qWait(30);
    QCOMPARE(calls, after);
}

void tst_IntervalTimer::destroyFromInsideHandler() {
    auto timer = std::make_unique<IntervalTimer>();
    int calls = 0;
    timer->OnTimer = [&](QObject*) {
        ++calls;
        timer.reset();
    };
    timer->SetInterval(5);
    timer->SetEnabled(true);
    QTRY_VERIFY_WITH_TIMEOUT(!timer, kGenerous);
    QTest::qWait(30);
    QCOMPARE(calls, 1);
}

// However the tick is handed to this thread, its handler never starts before
// the tick is due: a cue must not leave early. On the timer's own clock, so
// no tolerance; lateness is allowed, so load cannot fail it.
void tst_IntervalTimer::ticksNeverComeBeforeTheirTime_data() {
    QTest::addColumn<int>("interval");
    QTest::addColumn<bool>("rearm"); // each tick arms the next, as autoplay does
    QTest::newRow("free-running, 10 ms") << 10 << false;
    QTest::newRow("armed by each tick, 10 ms") << 10 << true;
    QTest::newRow("free-running, 1 ms") << 1 << false;
    QTest::newRow("armed by each tick, 1 ms") << 1 << true;
}

void tst_IntervalTimer::ticksNeverComeBeforeTheirTime() {
    QFETCH(int, interval);
    QFETCH(bool, rearm);
    using Clock = IntervalTimer::Clock;
    constexpr std::size_t ticks = 30;
    IntervalTimer timer;
    std::vector<Clock::time_point> at;
    // An event loop waiting for events, as the application's: the polling
    // of QTRY sleeps between looks and so hands every tick over late.
    QEventLoop loop;
    QTimer::singleShot(kGenerous, &loop, &QEventLoop::quit);
    timer.OnTimer = [&](QObject*) {
        at.push_back(Clock::now());
        if (at.size() >= ticks) {
            timer.SetEnabled(false);
            loop.quit();
        } else if (rearm) {
            timer.SetEnabled(false);
            timer.SetEnabled(true);
        }
    };
    timer.SetInterval(uint32_t(interval));
    const Clock::time_point start = Clock::now();
    timer.SetEnabled(true);
    loop.exec();
    QCOMPARE(at.size(), ticks);
    // Tick k (from 1) is due k periods after the arming at the earliest: a
    // late tick never pulls the ones after it forward.
    for (std::size_t k = 0; k < at.size(); ++k) {
        const auto early = start + std::chrono::milliseconds(interval) * int64_t(k + 1) - at[k];
        QVERIFY2(early <= Clock::duration::zero(),
                 qPrintable(QStringLiteral("tick %1 ran %2 us early")
                                .arg(k + 1)
                                .arg(std::chrono::duration<double, std::micro>(early).count())));
    }
}

void tst_IntervalTimer::enablingAsksShortSlicesForItsThread() {
    // On a thread of its own with the default slice, which no timer has
    // asked to shorten yet.
    uint64_t before = 0, configured = 0, after = 0;
    std::thread([&] {
        DefaultSlice();
        before = OwnSlice();
        IntervalTimer timer;
        timer.SetInterval(60000);
        configured = OwnSlice();
        timer.SetEnabled(true);
        after = OwnSlice();
        timer.SetEnabled(false);
    }).join();
    if (before == 0)
        QSKIP("this kernel reports no scheduling slice");
    // Only enabling asks; then the shortest slice the kernel grants.
    QCOMPARE(configured, before);
    QVERIFY2(after < before, qPrintable(QStringLiteral("slice %1 ns").arg(after)));
    QCOMPARE(after, uint64_t(100000));
}

QTEST_GUILESS_MAIN(tst_IntervalTimer)
#include "tst_intervaltimer.moc"
