// Remote GO latency of the real main window: from the send of an OSC
// "/cuewell/go" datagram to the window's remote port until the cue's datagram
// arrives at a loopback receiver. Beside it, in the same run and interleaved
// with it, GO by key (Space entering the application to arrival) and the floor
// of one `send` on a socket connected once to the same receiver.
//
// The window runs its own event loop on the main thread, asleep between GOs as
// in a show; a driver thread gives the GOs and waits for each to be handled.
//
// bench_remotego [--gos N] [--warmup N] [--per-page N] [--gap-ms N] [--call]
//
// N is per kind: --gos 400 gives 400 remote GOs and 400 key GOs.

#include "bench/common/ConnectedSender.h"
#include "bench/common/Headless.h"
#include "bench/common/ShowRig.h"
#include "osc/OSCUtils.h"
#include "osc/RemoteControl.h"
#include "tests/common/CuewellFixture.h"

#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPushButton>

#include <cstring>

namespace {

struct TOptions {
    int Gos = 400;
    int Warmup = 50;
    int PerPage = 20;
    int GapMs = 3;
    bool CallPrompt = false;
};

TOptions ParseOptions(int argc, char** argv) {
    TOptions o;
    for (int i = 1; i < argc; ++i) {
        const auto number = [&] { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
        if (!std::strcmp(argv[i], "--gos"))
            o.Gos = std::max(1, number());
        else if (!std::strcmp(argv[i], "--warmup"))
            o.Warmup = std::max(0, number());
        else if (!std::strcmp(argv[i], "--per-page"))
            o.PerPage = std::clamp(number(), 1, MaxCuesPerPage);
        else if (!std::strcmp(argv[i], "--gap-ms"))
            o.GapMs = std::max(0, number());
        else if (!std::strcmp(argv[i], "--call"))
            o.CallPrompt = true;
    }
    return o;
}

// A UDP port on 127.0.0.1 that nobody holds right now.
int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof sa;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) == 0)
        port = ntohs(sa.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

enum class TKind { Key, Remote, Floor };

struct TSlot {
    TKind Kind;
    QByteArray Expected;
};

int Run(const TOptions& o) {
    const int rounds = o.Warmup + o.Gos;
    // Each round fires two cues, one by key and one by remote, in show order.
    const int showCues = 2 * rounds;
    const int pages = (showCues + o.PerPage - 1) / o.PerPage + 1;
    TArrivalLog log(std::size_t(3 * rounds + 16));

    TWindowFixture f;
    TCuewell* window = nullptr;
    // Another program may take the chosen port before the window opens it.
    for (int attempt = 0; attempt < 5 && !window; ++attempt) {
        f.Window.reset();
        WriteFileText(f.SettingsPath(), SoundSettings(log.Port(), !o.CallPrompt) +
                                            "[Remote]\r\nEnabled=1\r\nPort=" +
                                            QByteArray::number(FreeLoopbackPort()) + "\r\n\r\n");
        const QString script = MakeScript(f.Path("show.pdf"), pages);
        WriteFileText(f.Path("show.cues"),
                      ShowCueFile(pages, o.PerPage, showCues, [](int) { return false; }));
        TCuewell& w = f.StartOn(script);
        if (w.Remote->Listening())
            window = &w;
    }
    if (!window || !window->Book->ScriptLoaded() || window->AdvPDF->PageCount() != pages) {
        std::fprintf(stderr, "the window did not start listening on its script\n");
        return 2;
    }
    TCuewell& w = *window;
    QTest::mouseClick(w.CuePin[0], Qt::LeftButton);
    if (!w.NowCue->isVisible()) {
        std::fprintf(stderr, "no prompt after clicking the first pin\n");
        return 2;
    }

    TConnectedSender remote(uint16_t(w.Remote->ListeningPort()),
                            TOSCMessage(QStringLiteral("/cuewell/go")).ToOSCBytes());
    TConnectedSender floorSender(log.Port(), SoundGoBytes(0));
    std::vector<double> keyGo, remoteGo, floor;
    std::vector<TSlot> expected;
    std::atomic<BenchClock::rep> keyStart{0};
    int failed = 0;

    QEventLoop loop;
    std::thread driver([&] {
        // Returns once the window has handled everything before it: the GO's
        // handler, with its advance and any page turn, is over.
        const auto settle = [&] {
            QMetaObject::invokeMethod(
                &loop, [] {}, Qt::BlockingQueuedConnection);
            std::this_thread::sleep_for(std::chrono::milliseconds(o.GapMs));
        };
        const auto arrived = [&](std::size_t slot, const char* what, int k) {
            if (log.WaitFor(slot + 1, std::chrono::milliseconds(2000)))
                return true;
            std::fprintf(stderr, "round %d: no datagram arrived for the %s\n", k, what);
            failed = 1;
            return false;
        };
        int cue = 0;
        for (int k = 0; k < rounds && !failed; ++k) {
            const bool measured = k >= o.Warmup;

            // GO by key, given on the window's thread as the key arrives there.
            std::size_t slot = log.Count();
            expected.push_back({TKind::Key, SoundGoBytes(cue++)});
            QMetaObject::invokeMethod(&loop, [&] {
                QWidget* target = KeyTarget(w);
                QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, u" "_qs);
                QKeyEvent release(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, QString());
                keyStart = BenchClock::now().time_since_epoch().count();
                QCoreApplication::sendEvent(target, &press);
                QCoreApplication::sendEvent(target, &release);
            });
            if (!arrived(slot, "key GO", k))
                break;
            if (measured)
                keyGo.push_back(
                    Micros(log.At(slot) - BenchClock::time_point(BenchClock::duration(keyStart))));
            settle();

            // GO by remote: the datagram is sent while the window sleeps.
            slot = log.Count();
            expected.push_back({TKind::Remote, SoundGoBytes(cue++)});
            const BenchClock::time_point sent = remote.Send();
            if (!arrived(slot, "remote GO", k))
                break;
            if (measured)
                remoteGo.push_back(Micros(log.At(slot) - sent));
            settle();

            // The floor: one hop from a socket connected once.
            slot = log.Count();
            expected.push_back({TKind::Floor, floorSender.Payload()});
            const BenchClock::time_point floorSent = floorSender.Send();
            if (!arrived(slot, "floor", k))
                break;
            if (measured)
                floor.push_back(Micros(log.At(slot) - floorSent));
            settle();
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    driver.join();

    // Every GO sent exactly its own cue, once, and nothing else came.
    QTest::qWait(200);
    int wrong[3] = {0, 0, 0};
    for (std::size_t i = 0; i < expected.size() && i < log.Count(); ++i)
        if (log.Bytes(i) != expected[i].Expected)
            ++wrong[int(expected[i].Kind)];
    const std::size_t got = log.Count() + log.Overflow();
    const std::size_t missing = got < expected.size() ? expected.size() - got : 0;
    const std::size_t extra = got > expected.size() ? got - expected.size() : 0;
    const bool ok = !failed && wrong[0] + wrong[1] + wrong[2] == 0 && missing == 0 && extra == 0;

    const TFigures r = FiguresOf(remoteGo);
    const TFigures k = FiguresOf(keyGo);
    const TFigures fl = FiguresOf(floor);
    std::printf("GO latency to datagram arrival, %d GOs of each kind after %d warm-up, "
                "interleaved, %d pages x %d cues, %s prompt, %d ms apart\n",
                int(remoteGo.size()), o.Warmup, pages, o.PerPage, o.CallPrompt ? "call" : "arrow",
                o.GapMs);
    std::printf("  remote GO      median %8.1f us   p99 %8.1f us   max %8.1f us   (datagram "
                "sent to the remote port)\n",
                r.Median, r.P99, r.Max);
    std::printf("  key GO         median %8.1f us   p99 %8.1f us   max %8.1f us   (Space "
                "entering the application)\n",
                k.Median, k.P99, k.Max);
    std::printf("  floor          median %8.1f us   p99 %8.1f us   max %8.1f us   (send on a "
                "socket connected once)\n",
                fl.Median, fl.P99, fl.Max);
    std::printf("  remote - key   median %8.1f us   p99 %8.1f us\n", r.Median - k.Median,
                r.P99 - k.P99);
    std::printf("  check: remote %d wrong, key %d wrong, floor %d wrong, %zu missing, %zu "
                "doubled or stray: %s\n",
                wrong[int(TKind::Remote)], wrong[int(TKind::Key)], wrong[int(TKind::Floor)],
                missing, extra, ok ? "ok" : "FAILED");
    std::printf("  remote receiver: %llu datagrams read, %llu actions fired\n",
                static_cast<unsigned long long>(w.Remote->Counters().Datagrams),
                static_cast<unsigned long long>(w.Remote->Counters().Fired));
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    UseHeadlessDefaults();
    QApplication app(argc, argv);
    return Run(ParseOptions(argc, argv));
}
