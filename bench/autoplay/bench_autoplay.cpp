// Spacing of autoplay runs in the real main window: a GO fires a run's first
// cue, the autoplay cues after it fire by themselves across page turns, and
// each datagram is stamped on arrival at a loopback receiver. After each run,
// as many ticks of a bare interval timer at the same period with an empty
// handler, ticking freely, then of one re-armed from its handler as the window
// re-arms it: window and floor take turns, so that load from elsewhere on the
// machine, which comes and goes within seconds, falls on both alike.
//
// bench_autoplay [--cues N] [--per-page N] [--round N] [--stages] [--trace FILE]
//
// With --stages the window's tick handler is wrapped to stamp its entry and
// exit, which splits each interval into the period, the tick's lateness on
// the user-interface thread, and the handler's work before and after the send.
// With --trace FILE (implies --stages) those stamps are written to FILE on the
// steady clock (CLOCK_MONOTONIC, as `perf record -k CLOCK_MONOTONIC` stamps),
// one line per tick, headed by the user-interface thread's id, so that a
// scheduler trace shows what held that thread when a tick came late.

#include "bench/common/ConnectedSender.h"
#include "bench/common/Goal.h"
#include "bench/common/Headless.h"
#include "bench/common/ShowRig.h"
#include "cues/CuePin.h"
#include "cues/IntervalTimer.h"
#include "tests/common/CuewellFixture.h"

#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <cmath>
#include <cstring>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr double PeriodUs = 10000.0;

struct TOptions {
    int Cues = 200; // autoplay cues after the first one
    int PerPage = 21;
    // Cues per run: each run starts with a GO and is followed by the bare
    // timers' runs of as many ticks, so that whatever else the machine does
    // meanwhile falls on both alike. 0: one run of all the cues, then the
    // bare timers.
    int Round = 23; // no page turn on a run's first interval
    bool Stages = false;
    const char* Trace = nullptr;
};

TOptions ParseOptions(int argc, char** argv) {
    TOptions o;
    for (int i = 1; i < argc; ++i) {
        const auto number = [&] { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
        if (!std::strcmp(argv[i], "--cues"))
            o.Cues = std::max(2, number());
        else if (!std::strcmp(argv[i], "--per-page"))
            o.PerPage = std::clamp(number(), 1, MaxCuesPerPage);
        else if (!std::strcmp(argv[i], "--round"))
            o.Round = std::max(0, number());
        else if (!std::strcmp(argv[i], "--stages"))
            o.Stages = true;
        else if (!std::strcmp(argv[i], "--trace") && i + 1 < argc)
            o.Trace = argv[++i], o.Stages = true;
    }
    return o;
}

struct TSpacing {
    double Mean = 0;
    double P99Deviation = 0;
    double MaxDeviation = 0;
    std::size_t Count = 0;
};

TSpacing SpacingOfIntervals(const std::vector<double>& intervals) {
    std::vector<double> deviations;
    for (const double us : intervals)
        deviations.push_back(std::abs(us - PeriodUs));
    const TFigures d = FiguresOf(deviations);
    return {FiguresOf(intervals).Mean, d.P99, d.Max, intervals.size()};
}

// The goals: the mean interval within 10 +- 0.1 ms, and the p99 deviation
// within twice the bare timer's (empty handler) in the same run.
constexpr double MeanToleranceUs = 100.0;
constexpr double DeviationFactor = 2.0;

bool MeanMet(const TSpacing& s) {
    return s.Count > 0 && std::abs(s.Mean - PeriodUs) <= MeanToleranceUs;
}

bool DeviationMet(const TSpacing& s, const TSpacing& floor) {
    return s.Count > 0 && s.P99Deviation <= DeviationFactor * floor.P99Deviation;
}

const char* Verdict(bool met) {
    return met ? "met" : "MISSED";
}

void Print(const char* what, const TSpacing& s) {
    std::printf("  %-34s mean %8.3f ms   p99 |dev| %7.3f ms   max |dev| %7.3f ms   (%zu "
                "intervals)\n",
                what, s.Mean / 1000.0, s.P99Deviation / 1000.0, s.MaxDeviation / 1000.0, s.Count);
}

// Runs the event loop until `done` is called or the time is up.
// The time-out is a timer of this call's own, gone when it returns, so that it
// cannot end a later run of the same loop.
bool RunLoop(QEventLoop& loop, int timeoutMs) {
    bool timedOut = false;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    timeout.start(timeoutMs);
    loop.exec();
    return !timedOut;
}

// A bare timer with the window's period; `rearm` disables and enables it in
// the handler, as the window does from one autoplay cue to the next.
std::vector<BenchClock::time_point> BareTimer(int ticks, bool rearm) {
    std::vector<BenchClock::time_point> at;
    at.reserve(std::size_t(ticks));
    QEventLoop loop;
    IntervalTimer timer;
    timer.SetInterval(10);
    timer.OnTimer = [&](QObject*) {
        at.push_back(BenchClock::now());
        if (int(at.size()) >= ticks) {
            timer.SetEnabled(false);
            loop.quit();
        } else if (rearm) {
            timer.SetEnabled(false);
            timer.SetEnabled(true);
        }
    };
    timer.SetEnabled(true);
    RunLoop(loop, ticks * 20 + 2000);
    return at;
}

// The re-armed bare timer whose handler sends one datagram on a socket
// connected once, each stamped on arrival as the window's cues are: what a
// datagram's own way through the system adds to a tick, with nothing of the
// window's work. Shown beside the goal, which is against the bare timer.
std::vector<BenchClock::time_point> SendingTimer(int ticks, TArrivalLog& log,
                                                 TConnectedSender& sender) {
    const std::size_t first = log.Count();
    QEventLoop loop;
    IntervalTimer timer;
    timer.SetInterval(10);
    int sent = 0;
    timer.OnTimer = [&](QObject*) {
        sender.Send();
        timer.SetEnabled(false);
        if (++sent >= ticks)
            loop.quit();
        else
            timer.SetEnabled(true);
    };
    timer.SetEnabled(true);
    RunLoop(loop, ticks * 20 + 2000);
    std::vector<BenchClock::time_point> at;
    if (log.WaitFor(first + std::size_t(sent), std::chrono::milliseconds(2000)))
        for (int k = 0; k < sent; ++k)
            at.push_back(log.At(first + std::size_t(k)));
    return at;
}

// With --trace, every event delivered on the user-interface thread outside
// any other event's delivery is stamped on entry and exit with what it was
// and for whom, to show what held the thread when a tick was due.
class TTracedApplication : public QApplication {
public:
    using QApplication::QApplication;

    struct TEvent {
        BenchClock::time_point Start, End;
        int Type;
        const char* Class;
    };

    bool Tracing = false;
    std::vector<TEvent> Events;

    bool notify(QObject* receiver, QEvent* event) override {
        if (!Tracing || FDepth > 0 || QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        const int type = event->type();
        const char* cls = receiver->metaObject()->className();
        ++FDepth;
        const BenchClock::time_point start = BenchClock::now();
        bool result = false;
        try {
            result = QApplication::notify(receiver, event);
        } catch (...) {
            --FDepth;
            throw;
        }
        --FDepth;
        if (Events.size() < Events.capacity())
            Events.push_back({start, BenchClock::now(), type, cls});
        return result;
    }

private:
    int FDepth = 0;
};

long long Nanos(BenchClock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// Where each tick and datagram of a run landed.
struct TRunStamps {
    std::vector<BenchClock::time_point> At;      // datagram n's arrival
    std::vector<int> TickCue;                    // the cue tick k fired
    std::vector<BenchClock::time_point> Entered; // tick k's handler, with --stages
    std::vector<BenchClock::time_point> Left;
    std::vector<std::vector<BenchClock::time_point>> Free, Rearmed; // per round
    std::vector<std::vector<BenchClock::time_point>> Sending;       // per round
};

// "ui TID", then "w K CUE ENTERED LEFT ARRIVAL" for the window's tick K, which
// fired cue CUE, "f ROUND K AT" and "r ROUND K AT" for the bare timers' ticks,
// "e START END TYPE CLASS" for each event on the user-interface thread.
void WriteTrace(const char* path, const TRunStamps& s,
                const std::vector<TTracedApplication::TEvent>& events) {
    FILE* out = std::fopen(path, "w");
    if (!out) {
        std::perror(path);
        return;
    }
    std::fprintf(out, "ui %ld\n", long(::syscall(SYS_gettid)));
    for (std::size_t k = 0; k < s.Entered.size() && k < s.Left.size(); ++k) {
        const int cue = s.TickCue[k];
        std::fprintf(out, "w %zu %d %lld %lld %lld\n", k, cue, Nanos(s.Entered[k]),
                     Nanos(s.Left[k]), Nanos(s.At[std::size_t(cue)]));
    }
    for (const auto& [tag, rounds] : {std::pair{'f', &s.Free}, std::pair{'r', &s.Rearmed}})
        for (std::size_t r = 0; r < rounds->size(); ++r)
            for (std::size_t k = 0; k < (*rounds)[r].size(); ++k)
                std::fprintf(out, "%c %zu %zu %lld\n", tag, r, k, Nanos((*rounds)[r][k]));
    for (const TTracedApplication::TEvent& e : events)
        std::fprintf(out, "e %lld %lld %d %s\n", Nanos(e.Start), Nanos(e.End), e.Type, e.Class);
    std::fclose(out);
}

void AppendIntervals(const std::vector<BenchClock::time_point>& at,
                     std::vector<double>& intervals) {
    for (std::size_t i = 1; i < at.size(); ++i)
        intervals.push_back(Micros(at[i] - at[i - 1]));
}

int Run(const TOptions& o, TTracedApplication& app) {
    const int total = o.Cues + 1;
    const int pages = (total + o.PerPage - 1) / o.PerPage;
    const int round = o.Round > 0 ? o.Round : total;
    TArrivalLog log(std::size_t(total + 16));
    TArrivalLog sendingLog(std::size_t(total + 16));
    TConnectedSender sendingFloor(sendingLog.Port(), SoundGoBytes(0));

    // Every round's first cue is fired by a GO; the others are autoplay.
    TWindowFixture f;
    WriteFileText(f.SettingsPath(), SoundSettings(log.Port(), true));
    const QString script = MakeScript(f.Path("show.pdf"), pages);
    WriteFileText(f.Path("show.cues"),
                  ShowCueFile(pages, o.PerPage, total, [round](int n) { return n % round != 0; }));
    TCuewell& w = f.StartOn(script);
    if (!w.Book->ScriptLoaded() || w.AdvPDF->PageCount() != pages) {
        std::fprintf(stderr, "the script did not load\n");
        return 2;
    }
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    QTest::qWait(50);

    TRunStamps s;
    if (o.Stages) {
        s.Entered.reserve(std::size_t(total));
        s.Left.reserve(std::size_t(total));
        w.AutoCue->OnTimer = [&, handler = w.AutoCue->OnTimer](QObject* sender) {
            s.Entered.push_back(BenchClock::now());
            handler(sender);
            s.Left.push_back(BenchClock::now());
        };
    }

    QEventLoop loop;
    log.OnCount(std::size_t(round), [&] {
        QMetaObject::invokeMethod(
            &loop, [&] { loop.quit(); }, Qt::QueuedConnection);
    });
    BenchClock::time_point go;
    for (int first = 0; first < total; first += round) {
        const int end = std::min(first + round, total);
        log.TriggerAt(std::size_t(end));
        QWidget* focus = QApplication::focusWidget();
        QWidget* target = focus && focus->window() == &w ? focus : &w;
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, QString());
        if (first == 0)
            go = BenchClock::now();
        QCoreApplication::sendEvent(target, &press);
        QCoreApplication::sendEvent(target, &release);
        if (!RunLoop(loop, (end - first) * 50 + 5000)) {
            std::fprintf(stderr, "only %zu of %d datagrams arrived\n", log.Count(), end);
            return 1;
        }
        for (int n = first + 1; n < end; ++n)
            s.TickCue.push_back(n);
        // The bare timers right after, under the same conditions, as many
        // ticks as the window's round had datagrams.
        QTest::qWait(20);
        s.Free.push_back(BareTimer(end - first, false));
        s.Rearmed.push_back(BareTimer(end - first, true));
        s.Sending.push_back(SendingTimer(end - first, sendingLog, sendingFloor));
        QTest::qWait(20);
    }
    // Nothing after the last cue, and every cue its own datagram, in order.
    QTest::qWait(200);
    int wrong = 0;
    for (int n = 0; n < total; ++n) {
        s.At.push_back(log.At(std::size_t(n)));
        if (log.Bytes(std::size_t(n)) != SoundGoBytes(n))
            ++wrong;
    }
    const std::size_t extra = log.Count() + log.Overflow() - std::size_t(total);

    // The window's intervals from one autoplay datagram to the next; those
    // that end on the first cue of a page include the page turn.
    std::vector<double> intervals, turnIntervals;
    for (int n = 2; n < total; ++n) {
        if (n % round == 0 || (n - 1) % round == 0)
            continue;
        const double us = Micros(s.At[std::size_t(n)] - s.At[std::size_t(n - 1)]);
        intervals.push_back(us);
        if (n % o.PerPage == 0)
            turnIntervals.push_back(us);
    }
    const TSpacing show = SpacingOfIntervals(intervals);
    const TSpacing turns = SpacingOfIntervals(turnIntervals);
    std::vector<double> freeIntervals, rearmedIntervals;
    for (const auto& r : s.Free)
        AppendIntervals(r, freeIntervals);
    for (const auto& r : s.Rearmed)
        AppendIntervals(r, rearmedIntervals);
    const TSpacing free = SpacingOfIntervals(freeIntervals);
    const TSpacing rearmed = SpacingOfIntervals(rearmedIntervals);
    std::vector<double> sendingIntervals;
    for (const auto& r : s.Sending)
        AppendIntervals(r, sendingIntervals);
    const TSpacing sending = SpacingOfIntervals(sendingIntervals);
    if (o.Trace)
        WriteTrace(o.Trace, s, app.Events);

    const int rounds = (total + round - 1) / round;
    std::printf("Autoplay spacing, %d cues on %d pages x %d, period 10 ms: %d run%s of up to %d "
                "cues, each started by a GO, each followed by the bare timers' runs\n",
                total, pages, o.PerPage, rounds, rounds == 1 ? "" : "s", round);
    std::printf("  GO to first datagram %.1f us; cue 0 to first autoplay cue %.3f ms\n",
                Micros(s.At[0] - go), Micros(s.At[1] - s.At[0]) / 1000.0);
    Print("window, autoplay datagrams", show);
    Print("floor: bare timer, empty handler", free);
    Print("bare timer re-armed in its handler", rearmed);
    Print("the same, sending a datagram", sending);
    std::printf("  ratio window/floor mean interval %.4f; window mean - 10 ms = %+.3f ms\n",
                show.Mean / free.Mean, (show.Mean - PeriodUs) / 1000.0);
    if (turns.Count > 0)
        Print("window, across a page turn", turns);
    if (o.Stages && s.Entered.size() == s.TickCue.size() && s.Left.size() == s.Entered.size()) {
        // The next arming happens near the end of a tick's handler.
        std::vector<double> toSend, afterSend, late;
        for (std::size_t k = 0; k < s.Entered.size(); ++k) {
            const auto at = s.At[std::size_t(s.TickCue[k])];
            toSend.push_back(Micros(at - s.Entered[k]));
            afterSend.push_back(Micros(s.Left[k] - at));
            if (k + 1 < s.Entered.size() && s.TickCue[k + 1] == s.TickCue[k] + 1)
                late.push_back(Micros(s.Entered[k + 1] - s.Left[k]) - PeriodUs);
        }
        const auto line = [](const char* what, const std::vector<double>& v) {
            const TFigures f = FiguresOf(v);
            std::printf("    %-46s median %8.1f us   p99 %8.1f us   mean %8.1f us\n", what,
                        f.Median, f.P99, f.Mean);
        };
        std::printf("  stages of an interval:\n");
        line("tick handler entered to datagram arrival", toSend);
        line("datagram arrival to tick handler returned", afterSend);
        line("handler returned to next tick, minus 10 ms", late);
    }
    std::printf("  wrong datagrams %d, extra datagrams %zu\n", wrong, extra);
    const double deviationGoal = DeviationFactor * free.P99Deviation;
    std::printf("  goal: mean within 10 +- %.1f ms, p99 |dev| <= %.0f x the floor's (%.3f ms), "
                "0 wrong, 0 extra\n",
                MeanToleranceUs / 1000.0, DeviationFactor, deviationGoal / 1000.0);
    std::printf("    all intervals:         mean %s, p99 |dev| %s\n", Verdict(MeanMet(show)),
                Verdict(DeviationMet(show, free)));
    std::printf("    across page turns:     mean %s, p99 |dev| %s\n", Verdict(MeanMet(turns)),
                Verdict(DeviationMet(turns, free)));
    std::printf("    datagrams:             %s\n", Verdict(wrong == 0 && extra == 0));
    // Deviations as a multiple of the floor's; a run with no interval counts as missed.
    const auto deviationRatio = [&](const TSpacing& s) {
        return s.Count > 0 && free.P99Deviation > 0 ? s.P99Deviation / free.P99Deviation : 1e9;
    };
    const auto meanOff = [](const TSpacing& s) {
        return s.Count > 0 ? std::abs(s.Mean - PeriodUs) / 1000.0 : 1e9;
    };
    PrintGoal("autoplay-mean-off-ms", meanOff(show), MeanToleranceUs / 1000.0);
    PrintGoal("autoplay-p99-dev-x-floor", deviationRatio(show), DeviationFactor);
    PrintGoal("autoplay-turn-mean-off-ms", meanOff(turns), MeanToleranceUs / 1000.0);
    PrintGoal("autoplay-turn-p99-dev-x-floor", deviationRatio(turns), DeviationFactor);
    return wrong == 0 && extra == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    UseHeadlessDefaults();
    TTracedApplication app(argc, argv);
    const TOptions options = ParseOptions(argc, argv);
    if (options.Trace) {
        app.Events.reserve(200000);
        app.Tracing = true;
    }
    return Run(options, app);
}
