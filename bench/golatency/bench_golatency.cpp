// GO latency of the real main window: from the Space key entering the
// application to the cue's datagram arriving at a loopback receiver, over a
// many-page script with page turns, beside the floor of one `send` on a
// socket connected once, at the start, to the same receiver in the same run:
// the least any sender can do for a datagram.
//
// bench_golatency [--gos N] [--warmup N] [--pages N] [--per-page N] [--gap-ms N] [--call]
//                 [--breakdown]
//
// With --breakdown the same show is run step by step instead, timing each
// stage of the GO path on its own: key delivery, hiding the prompt, the
// dispatch and each socket call in it, building the bundle, and the advance.

#include "app/Application.h"
#include "bench/common/ConnectedSender.h"
#include "bench/common/Goal.h"
#include "bench/common/Headless.h"
#include "bench/common/ShowRig.h"
#include "cues/CuePin.h"
#include "osc/UdpClient.h"
#include "tests/common/CuewellFixture.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPushButton>

#include <cstring>

namespace {

// The goals: GO against the floor, and the key handler of GOs that turn the page.
constexpr double GoMedianGoal = 1.3;
constexpr double GoP99Goal = 2;
constexpr double TurnHandlerP99GoalMs = 1;

struct TOptions {
    int Gos = 2000;
    int Warmup = 100;
    int Pages = 100;
    int PerPage = 20;
    int GapMs = 3;
    bool CallPrompt = false;
    bool Breakdown = false;
};

TOptions ParseOptions(int argc, char** argv) {
    TOptions o;
    for (int i = 1; i < argc; ++i) {
        const auto number = [&] { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
        if (!std::strcmp(argv[i], "--gos"))
            o.Gos = number();
        else if (!std::strcmp(argv[i], "--warmup"))
            o.Warmup = number();
        else if (!std::strcmp(argv[i], "--pages"))
            o.Pages = number();
        else if (!std::strcmp(argv[i], "--per-page"))
            o.PerPage = std::clamp(number(), 1, MaxCuesPerPage);
        else if (!std::strcmp(argv[i], "--gap-ms"))
            o.GapMs = number();
        else if (!std::strcmp(argv[i], "--call"))
            o.CallPrompt = true;
        else if (!std::strcmp(argv[i], "--breakdown"))
            o.Breakdown = true;
    }
    return o;
}

// Between GOs the window is left alone to repaint and take rendered pages in.
void Idle(int ms) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    QCoreApplication::processEvents();
}

// When the show is over: back to page 0, and the operator clicks its first pin.
bool PromptFirstCue(TCuewell& w) {
    w.AdvPDF->FirstPage();
    w.ShownPage = w.AdvPDF->PageIndex();
    w.ShowCues(w.ShownPage);
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    Idle(20);
    if (!w.NowCue->isVisible()) {
        std::fprintf(stderr, "no prompt after clicking the first pin\n");
        return false;
    }
    return true;
}

// Stamps a key press when it first reaches the application's event filters:
// when it is offered to the shortcuts, or as the press itself when it comes
// without an offer. The window's own filter, installed earlier, runs right
// after this one. The program's application object takes GO before any
// filter: then the press never comes here.
class TKeyStamp : public QObject {
public:
    BenchClock::time_point At;
    void Reset() { FStamped = false; }
    bool Stamped() const { return FStamped; }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (!FStamped &&
            (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress)) {
            At = BenchClock::now();
            FStamped = true;
        }
        return false;
    }

private:
    bool FStamped = false;
};

class TStages {
public:
    void Add(const char* name, double us) {
        for (auto& [n, v] : FStages)
            if (!std::strcmp(n, name)) {
                v.push_back(us);
                return;
            }
        FStages.push_back({name, {us}});
    }
    void Print() const {
        for (const auto& [name, v] : FStages) {
            const TFigures f = FiguresOf(v);
            std::printf("  %-44s median %8.1f us   p99 %8.1f us\n", name, f.Median, f.P99);
        }
    }

private:
    std::vector<std::pair<const char*, std::vector<double>>> FStages;
};

bool Arrived(TArrivalLog& log, std::size_t slot) {
    if (log.WaitFor(slot + 1, std::chrono::milliseconds(2000)))
        return true;
    std::fprintf(stderr, "a datagram did not arrive\n");
    return false;
}

// The GO path taken apart. Each round: a GO by key with its delivery to the
// filters stamped; the same steps as the key handler called one by one; the
// dispatch's own work on a client of its own, socket call by socket call.
int RunBreakdown(const TOptions& o, TCuewell& w, TArrivalLog& log) {
    TKeyStamp stamp;
    qApp->installEventFilter(&stamp);
    TStages key, steps, dispatch;
    int takenFirst = 0;
    UdpClient client;
    client.SetHost(QStringLiteral("127.0.0.1"));
    client.SetPort(log.Port());
    const QString sound = QStringLiteral("sound");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(log.Port());
    int oldSocket = -1;
    const auto us = [](BenchClock::time_point a, BenchClock::time_point b) {
        return Micros(b - a);
    };

    for (int k = 0; k < o.Warmup + o.Gos; ++k) {
        const bool measured = k >= o.Warmup;
        // 1. A GO by key.
        if (!w.NowCue->isVisible() && !PromptFirstCue(w))
            return 2;
        {
            QWidget* target = KeyTarget(w);
            QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, QString());
            const std::size_t slot = log.Count();
            stamp.Reset();
            const BenchClock::time_point start = BenchClock::now();
            QCoreApplication::sendEvent(target, &press);
            const BenchClock::time_point end = BenchClock::now();
            if (!Arrived(log, slot))
                return 1;
            QCoreApplication::sendEvent(target, &release);
            if (measured) {
                if (stamp.Stamped()) {
                    key.Add("key press to application filters (offer)", us(start, stamp.At));
                    key.Add("application filters to arrival", us(stamp.At, log.At(slot)));
                } else {
                    ++takenFirst;
                }
                key.Add("key press to arrival", us(start, log.At(slot)));
                key.Add("key press to handler returned", us(start, end));
            }
        }
        Idle(o.GapMs);

        // 2. The key handler's steps, one by one.
        if (!w.NowCue->isVisible() && !PromptFirstCue(w))
            return 2;
        {
            const bool turns = w.Book->CurrentCue() + 1 >= o.PerPage;
            const std::size_t slot = log.Count();
            const BenchClock::time_point t0 = BenchClock::now();
            w.NowCue->hide();
            const BenchClock::time_point t1 = BenchClock::now();
            w.SendOSCMessage();
            const BenchClock::time_point t2 = BenchClock::now();
            if (!Arrived(log, slot))
                return 1;
            const BenchClock::time_point t3 = BenchClock::now();
            w.CueAdvance();
            const BenchClock::time_point t4 = BenchClock::now();
            if (measured) {
                steps.Add("hide the prompt", us(t0, t1));
                steps.Add("SendOSCMessage to arrival", us(t1, log.At(slot)));
                steps.Add("SendOSCMessage to return", us(t1, t2));
                steps.Add(turns ? "CueAdvance, page turn" : "CueAdvance, same page", us(t3, t4));
            }
        }
        Idle(o.GapMs);

        // 3. The dispatch's own work.
        {
            const QByteArray text = QByteArrayLiteral("/sound/go 0");
            const std::size_t slot = log.Count();
            const BenchClock::time_point t0 = BenchClock::now();
            const OscCommand command = SplitOscCommand(QString::fromUtf8(text));
            const bool toSound = command.Selector == sound;
            const BenchClock::time_point t1 = BenchClock::now();
            client.MakeActive();
            client.Connect();
            const BenchClock::time_point t2 = BenchClock::now();
            const QByteArray bytes = CueBundleBytes(command);
            const BenchClock::time_point t3 = BenchClock::now();
            if (toSound)
                client.SendBuffer(bytes);
            const BenchClock::time_point t4 = BenchClock::now();
            if (!Arrived(log, slot))
                return 1;
            if (measured) {
                dispatch.Add("split the message, choose the target", us(t0, t1));
                dispatch.Add("make active and connect (UdpClient)", us(t1, t2));
                dispatch.Add("build the bundle bytes", us(t2, t3));
                dispatch.Add("send (UdpClient) to return", us(t3, t4));
                dispatch.Add("send (UdpClient) to arrival", us(t3, log.At(slot)));
                dispatch.Add("whole dispatch to arrival", us(t0, log.At(slot)));
            }
        }
        Idle(o.GapMs);

        // 4. The same socket calls bare, as the client makes them.
        {
            const QByteArray bytes = SoundGoBytes(0);
            const std::size_t slot = log.Count();
            const BenchClock::time_point t0 = BenchClock::now();
            if (oldSocket >= 0)
                ::close(oldSocket);
            const BenchClock::time_point t1 = BenchClock::now();
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            const BenchClock::time_point t2 = BenchClock::now();
            sockaddr_in any{};
            any.sin_family = AF_INET;
            ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any);
            const BenchClock::time_point t3 = BenchClock::now();
            ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            const BenchClock::time_point t4 = BenchClock::now();
            if (::send(fd, bytes.constData(), size_t(bytes.size()), 0) != bytes.size()) {
                std::perror("send");
                return 2;
            }
            const BenchClock::time_point t5 = BenchClock::now();
            oldSocket = fd;
            if (!Arrived(log, slot))
                return 1;
            if (measured) {
                dispatch.Add("bare close of the previous socket", us(t0, t1));
                dispatch.Add("bare socket()", us(t1, t2));
                dispatch.Add("bare bind()", us(t2, t3));
                dispatch.Add("bare connect()", us(t3, t4));
                dispatch.Add("bare send() to return", us(t4, t5));
                dispatch.Add("bare send() to arrival", us(t4, log.At(slot)));
            }
        }
        Idle(o.GapMs);
    }
    if (oldSocket >= 0)
        ::close(oldSocket);
    qApp->removeEventFilter(&stamp);

    std::printf("GO path stages, %d rounds after %d warm-up, %d pages x %d cues, %s prompt\n",
                o.Gos, o.Warmup, o.Pages, o.PerPage, o.CallPrompt ? "call" : "arrow");
    std::printf(" GO by key:\n");
    key.Print();
    if (takenFirst > 0)
        std::printf("  (%d GOs taken before the application's filters, by its object)\n",
                    takenFirst);
    std::printf(" the key handler's steps called one by one:\n");
    steps.Print();
    std::printf(" the dispatch on a client of its own:\n");
    dispatch.Print();
    return 0;
}

int Run(const TOptions& o) {
    const int gos = o.Warmup + o.Gos;
    const int showCues = o.Pages * o.PerPage;
    TArrivalLog log(std::size_t(4 * gos + 16));

    TWindowFixture f;
    WriteFileText(f.SettingsPath(), SoundSettings(log.Port(), !o.CallPrompt));
    const QString script = MakeScript(f.Path("show.pdf"), o.Pages);
    WriteFileText(f.Path("show.cues"),
                  ShowCueFile(o.Pages, o.PerPage, showCues, [](int) { return false; }));
    TCuewell& w = f.StartOn(script);
    if (!w.Book->ScriptLoaded() || w.AdvPDF->PageCount() != o.Pages) {
        std::fprintf(stderr, "the script did not load\n");
        return 2;
    }
    if (o.Breakdown)
        return RunBreakdown(o, w, log);

    TConnectedSender floorSender(log.Port(), SoundGoBytes(0));
    std::vector<double> go, floor, handler, turnGo, turnHandler;
    std::vector<int> expected;
    std::vector<std::size_t> goSlot;
    int restarts = 0;
    for (int k = 0; k < gos; ++k) {
        if (!w.NowCue->isVisible()) {
            if (!PromptFirstCue(w))
                return 2;
            restarts += k > 0 ? 1 : 0;
        }
        const int page = w.AdvPDF->PageIndex();
        expected.push_back(page * o.PerPage + w.Book->CurrentCue());
        const bool turns = w.Book->CurrentCue() + 1 >= o.PerPage && page + 1 < o.Pages;

        QWidget* target = KeyTarget(w);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, QString());
        const std::size_t slot = log.Count();
        const BenchClock::time_point start = BenchClock::now();
        QCoreApplication::sendEvent(target, &press);
        const BenchClock::time_point handled = BenchClock::now();
        if (!log.WaitFor(slot + 1, std::chrono::milliseconds(2000))) {
            std::fprintf(stderr, "GO %d: no datagram arrived\n", k);
            return 1;
        }
        QCoreApplication::sendEvent(target, &release);
        goSlot.push_back(slot);
        if (k >= o.Warmup) {
            const double latency = Micros(log.At(slot) - start);
            go.push_back(latency);
            handler.push_back(Micros(handled - start));
            if (turns) {
                turnGo.push_back(latency);
                turnHandler.push_back(Micros(handled - start));
            }
        }
        Idle(o.GapMs);

        const std::size_t floorSlot = log.Count();
        const BenchClock::time_point floorStart = floorSender.Send();
        if (!log.WaitFor(floorSlot + 1, std::chrono::milliseconds(2000))) {
            std::fprintf(stderr, "floor %d: no datagram arrived\n", k);
            return 1;
        }
        if (k >= o.Warmup)
            floor.push_back(Micros(log.At(floorSlot) - floorStart));
        Idle(o.GapMs);
    }

    // Every GO sent exactly its own cue, once, and nothing else came.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int wrong = 0;
    for (int k = 0; k < gos; ++k)
        if (log.Bytes(goSlot[std::size_t(k)]) != SoundGoBytes(expected[k]))
            ++wrong;
    // A GO whose datagram never came stops the run above; count them anyway.
    const std::size_t got = log.Count() + log.Overflow();
    const std::size_t missing = got < std::size_t(2 * gos) ? std::size_t(2 * gos) - got : 0;
    const std::size_t extra = got > std::size_t(2 * gos) ? got - std::size_t(2 * gos) : 0;

    const TFigures g = FiguresOf(go);
    const TFigures fl = FiguresOf(floor);
    const TFigures h = FiguresOf(handler);
    const TFigures tg = FiguresOf(turnGo);
    const TFigures th = FiguresOf(turnHandler);
    std::printf("GO latency, Space key to datagram arrival, %d GOs after %d warm-up, "
                "%d pages x %d cues, %s prompt, %d restart(s) at page 0\n",
                o.Gos, o.Warmup, o.Pages, o.PerPage, o.CallPrompt ? "call" : "arrow", restarts);
    std::printf("  GO             median %8.1f us   p99 %8.1f us   max %8.1f us\n", g.Median, g.P99,
                g.Max);
    std::printf("  floor          median %8.1f us   p99 %8.1f us   max %8.1f us   (send on a "
                "socket connected once)\n",
                fl.Median, fl.P99, fl.Max);
    std::printf("  ratio GO/floor median %8.2f      p99 %8.2f\n", g.Median / fl.Median,
                g.P99 / fl.P99);
    std::printf("  key handler    median %8.1f us   p99 %8.1f us   (press sent to handler "
                "returned, includes the advance)\n",
                h.Median, h.P99);
    std::printf("  page-turn GOs  median %8.1f us   p99 %8.1f us   handler median %8.1f us   "
                "p99 %8.1f us   (%zu GOs)\n",
                tg.Median, tg.P99, th.Median, th.P99, turnGo.size());
    const double medianRatio = g.Median / fl.Median;
    const double p99Ratio = g.P99 / fl.P99;
    std::printf("  goal GO/floor median <= %g: %s (%.2f), p99 <= %g: %s (%.2f), "
                "page-turn handler p99 < %g ms: %s (%.3f ms)\n",
                GoMedianGoal, medianRatio <= GoMedianGoal ? "met" : "MISSED", medianRatio,
                GoP99Goal, p99Ratio <= GoP99Goal ? "met" : "MISSED", p99Ratio, TurnHandlerP99GoalMs,
                th.P99 / 1000 < TurnHandlerP99GoalMs ? "met" : "MISSED", th.P99 / 1000);
    PrintGoal("go-median-x-floor", medianRatio, GoMedianGoal);
    PrintGoal("go-p99-x-floor", p99Ratio, GoP99Goal);
    PrintGoal("go-page-turn-handler-p99-ms", th.P99 / 1000, TurnHandlerP99GoalMs);
    std::printf("  check: %d wrong, %zu missing, %zu doubled or stray: %s\n", wrong, missing, extra,
                wrong == 0 && missing == 0 && extra == 0 ? "ok" : "FAILED");
    return wrong == 0 && missing == 0 && extra == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    UseHeadlessDefaults();
    // The program's own application object, as the program runs it: every
    // event, a key too, passes its dispatch.
    TCuewellApplication app(argc, argv);
    return Run(ParseOptions(argc, argv));
}
