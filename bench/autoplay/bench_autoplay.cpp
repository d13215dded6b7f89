// Spacing of an autoplay run in the real main window: one GO fires cue 0, the
// autoplay cues after it fire by themselves across page turns, and each
// datagram is stamped on arrival at a loopback receiver. Beside it, in the
// same run, a bare interval timer at the same period with an empty handler,
// ticking freely and re-armed from its handler as the window re-arms it.
//
// bench_autoplay [--cues N] [--per-page N] [--stages]
//
// With --stages the window's tick handler is wrapped to stamp its entry and
// exit, which splits each interval into the period, the tick's lateness on
// the user-interface thread, and the handler's work before and after the send.

#include "bench/common/Headless.h"
#include "bench/common/ShowRig.h"
#include "cues/CuePin.h"
#include "cues/IntervalTimer.h"
#include "tests/common/CuewellFixture.h"

#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPushButton>
#include <QTimer>

#include <cmath>
#include <cstring>

namespace {

constexpr double PeriodUs = 10000.0;

struct TOptions {
    int Cues = 200; // autoplay cues after the first one
    int PerPage = 21;
    bool Stages = false;
};

TOptions ParseOptions(int argc, char** argv) {
    TOptions o;
    for (int i = 1; i < argc; ++i) {
        const auto number = [&] { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
        if (!std::strcmp(argv[i], "--cues"))
            o.Cues = std::max(2, number());
        else if (!std::strcmp(argv[i], "--per-page"))
            o.PerPage = std::clamp(number(), 1, MaxCuesPerPage);
        else if (!std::strcmp(argv[i], "--stages"))
            o.Stages = true;
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

TSpacing SpacingOf(const std::vector<BenchClock::time_point>& at, std::size_t from) {
    std::vector<double> intervals;
    for (std::size_t i = from + 1; i < at.size(); ++i)
        intervals.push_back(Micros(at[i] - at[i - 1]));
    return SpacingOfIntervals(intervals);
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
bool RunLoop(QEventLoop& loop, int timeoutMs) {
    bool timedOut = false;
    QTimer::singleShot(timeoutMs, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
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

int Run(const TOptions& o) {
    const int total = o.Cues + 1;
    const int pages = (total + o.PerPage - 1) / o.PerPage;
    TArrivalLog log(std::size_t(total + 16));

    TWindowFixture f;
    WriteFileText(f.SettingsPath(), SoundSettings(log.Port(), true));
    const QString script = MakeScript(f.Path("show.pdf"), pages);
    WriteFileText(f.Path("show.cues"),
                  ShowCueFile(pages, o.PerPage, total, [](int n) { return n > 0; }));
    TCuewell& w = f.StartOn(script);
    if (!w.Book->ScriptLoaded() || w.AdvPDF->PageCount() != pages) {
        std::fprintf(stderr, "the script did not load\n");
        return 2;
    }
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    QTest::qWait(50);

    std::vector<BenchClock::time_point> entered, left;
    if (o.Stages) {
        entered.reserve(std::size_t(total));
        left.reserve(std::size_t(total));
        w.AutoCue->OnTimer = [&, handler = w.AutoCue->OnTimer](QObject* sender) {
            entered.push_back(BenchClock::now());
            handler(sender);
            left.push_back(BenchClock::now());
        };
    }

    QEventLoop loop;
    log.OnCount(std::size_t(total), [&] {
        QMetaObject::invokeMethod(
            &loop, [&] { loop.quit(); }, Qt::QueuedConnection);
    });
    QWidget* focus = QApplication::focusWidget();
    QWidget* target = focus && focus->window() == &w ? focus : &w;
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, QString());
    const BenchClock::time_point go = BenchClock::now();
    QCoreApplication::sendEvent(target, &press);
    QCoreApplication::sendEvent(target, &release);
    if (!RunLoop(loop, total * 50 + 5000)) {
        std::fprintf(stderr, "only %zu of %d datagrams arrived\n", log.Count(), total);
        return 1;
    }
    // Nothing after the last cue, and every cue its own datagram, in order.
    QTest::qWait(200);
    int wrong = 0;
    std::vector<BenchClock::time_point> at;
    for (int n = 0; n < total; ++n) {
        at.push_back(log.At(std::size_t(n)));
        if (log.Bytes(std::size_t(n)) != SoundGoBytes(n))
            ++wrong;
    }
    const std::size_t extra = log.Count() + log.Overflow() - std::size_t(total);

    // Intervals that end on the first cue of a page include the page turn.
    std::vector<double> turnIntervals;
    for (int n = 2; n < total; ++n)
        if (n % o.PerPage == 0)
            turnIntervals.push_back(Micros(at[std::size_t(n)] - at[std::size_t(n - 1)]));
    const TSpacing turns = SpacingOfIntervals(turnIntervals);

    const TSpacing show = SpacingOf(at, 1);
    const TSpacing free = SpacingOf(BareTimer(total, false), 0);
    const TSpacing rearmed = SpacingOf(BareTimer(total, true), 0);

    std::printf("Autoplay spacing, %d autoplay cues after one GO, %d pages x %d cues, period "
                "10 ms\n",
                o.Cues, pages, o.PerPage);
    std::printf("  GO to first datagram %.1f us; cue 0 to first autoplay cue %.3f ms\n",
                Micros(at[0] - go), Micros(at[1] - at[0]) / 1000.0);
    Print("window, autoplay datagrams", show);
    Print("floor: bare timer, empty handler", free);
    Print("bare timer re-armed in its handler", rearmed);
    std::printf("  ratio window/floor mean interval %.4f; window mean - 10 ms = %+.3f ms\n",
                show.Mean / free.Mean, (show.Mean - PeriodUs) / 1000.0);
    if (turns.Count > 0)
        Print("window, across a page turn", turns);
    if (o.Stages && entered.size() == std::size_t(o.Cues) && left.size() == entered.size()) {
        // Tick k fires cue k + 1; the next arming happens near the end of its handler.
        std::vector<double> toSend, afterSend, late;
        for (std::size_t k = 0; k < entered.size(); ++k) {
            toSend.push_back(Micros(at[k + 1] - entered[k]));
            afterSend.push_back(Micros(left[k] - at[k + 1]));
            if (k + 1 < entered.size())
                late.push_back(Micros(entered[k + 1] - left[k]) - PeriodUs);
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
    return wrong == 0 && extra == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    UseHeadlessDefaults();
    QApplication app(argc, argv);
    return Run(ParseOptions(argc, argv));
}
