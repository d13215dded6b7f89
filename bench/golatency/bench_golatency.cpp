// GO latency of the real main window: from the Space key entering the
// application to the cue's datagram arriving at a loopback receiver, over a
// many-page script with page turns, beside the floor of a bare socket opened,
// connected and sent on to the same receiver in the same run.
//
// bench_golatency [--gos N] [--warmup N] [--pages N] [--per-page N] [--gap-ms N] [--call]

#include "bench/common/ShowRig.h"
#include "cues/CuePin.h"
#include "tests/common/CuewellFixture.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPushButton>

#include <cstring>

namespace {

struct TOptions {
    int Gos = 2000;
    int Warmup = 100;
    int Pages = 100;
    int PerPage = 20;
    int GapMs = 3;
    bool CallPrompt = false;
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
    }
    return o;
}

// The widget that gets the keys: the window's focused control.
QWidget* KeyTarget(TCuewell& w) {
    QWidget* focus = QApplication::focusWidget();
    return focus && focus->window() == &w ? focus : &w;
}

// Between GOs the window is left alone to repaint and take rendered pages in.
void Idle(int ms) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    QCoreApplication::processEvents();
}

// The floor: what any sender pays to get one datagram to the receiver.
BenchClock::time_point BareSend(uint16_t port) {
    static const QByteArray payload = SoundGoBytes(0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    const BenchClock::time_point start = BenchClock::now();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
        ::send(fd, payload.constData(), size_t(payload.size()), 0) != payload.size()) {
        std::perror("floor send");
        std::exit(2);
    }
    ::close(fd);
    return start;
}

int Run(const TOptions& o) {
    const int gos = o.Warmup + o.Gos;
    const int showCues = o.Pages * o.PerPage;
    TArrivalLog log(std::size_t(2 * gos + 16));

    TWindowFixture f;
    WriteFileText(f.SettingsPath(), SoundSettings(log.Port(), !o.CallPrompt));
    const QString script = MakeScript(f.Path("show.pdf"), o.Pages);
    WriteFileText(f.Path("show.cues"),
                  ShowCueFile(o.Pages, o.PerPage, showCues, [](int) { return false; }));
    TCuewell& w = f.StartOn(script);
    if (!w.ScriptLoaded || w.AdvPDF->PageCount() != o.Pages) {
        std::fprintf(stderr, "the script did not load\n");
        return 2;
    }

    std::vector<double> go, floor, handler, turnGo, turnHandler;
    std::vector<int> expected;
    std::vector<std::size_t> goSlot;
    int restarts = 0;
    for (int k = 0; k < gos; ++k) {
        if (!w.NowCue->isVisible()) {
            // The show is over: back to page 0 and the operator clicks its first pin.
            w.AdvPDF->FirstPage();
            w.ShownPage = w.AdvPDF->PageIndex();
            w.ShowCues(w.ShownPage);
            QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
            Idle(20);
            restarts += k > 0 ? 1 : 0;
            if (!w.NowCue->isVisible()) {
                std::fprintf(stderr, "no prompt after clicking the first pin\n");
                return 2;
            }
        }
        const int page = w.AdvPDF->PageIndex();
        expected.push_back(page * o.PerPage + w.CurrentCue);
        const bool turns = w.CurrentCue + 1 >= o.PerPage && page + 1 < o.Pages;

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
        const BenchClock::time_point floorStart = BareSend(log.Port());
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
    const std::size_t extra = log.Count() + log.Overflow() - std::size_t(2 * gos);

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
    std::printf("  floor (bare)   median %8.1f us   p99 %8.1f us   max %8.1f us\n", fl.Median,
                fl.P99, fl.Max);
    std::printf("  ratio GO/floor median %8.2f      p99 %8.2f\n", g.Median / fl.Median,
                g.P99 / fl.P99);
    std::printf("  key handler    median %8.1f us   p99 %8.1f us   (press sent to handler "
                "returned, includes the advance)\n",
                h.Median, h.P99);
    std::printf("  page-turn GOs  median %8.1f us   p99 %8.1f us   handler median %8.1f us   "
                "p99 %8.1f us   (%zu GOs)\n",
                tg.Median, tg.P99, th.Median, th.P99, turnGo.size());
    std::printf("  wrong datagrams %d, extra datagrams %zu\n", wrong, extra);
    std::printf("  goal median < 50 us: %s, p99 < 250 us: %s\n", g.Median < 50 ? "met" : "MISSED",
                g.P99 < 250 ? "met" : "MISSED");
    return wrong == 0 && extra == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("LC_ALL"))
        qputenv("LC_ALL", "C");
    QApplication app(argc, argv);
    return Run(ParseOptions(argc, argv));
}
