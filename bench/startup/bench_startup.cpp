// Start-up: from process start to the first page painted, for a 500-page
// script with 21 cues on every page, beside a bare program that opens the same
// PDF with QPdfDocument and renders page 0 (the floor), alternating in one run.
// The goal is judged against that floor. A second reference, the same program
// that also loads the fonts and lays out a line of text on a thread of its own
// meanwhile, shows how much of the difference any window with text must pay.
//
// The cuewell executable is copied into a folder of its own with a settings
// file naming the script, and run with CUEWELL_TRACE_FIRST_PAINT=1, which makes
// the page viewer print the time of its first painted page.
//
// Run from a Release build; both programs use QT_QPA_PLATFORM=offscreen.

#include "bench/common/BenchScript.h"
#include "bench/common/Figures.h"
#include "bench/common/Goal.h"
#include "bench/common/Headless.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

constexpr int PageCount = 500;
constexpr int CuesPerPage = 21;
constexpr int Runs = 15;
// The goal: the first page painted within this many times the floor's time.
constexpr double StartupGoal = 1.5;
// The window's client area is 940 x 524, so the page is shown 479 high.
constexpr int ShownHeight = 479;

// Sorted top to bottom, as a save leaves them.
void WriteCues(const QString& path) {
    QByteArray text;
    for (int page = 0; page < PageCount; ++page) {
        text += "[Page" + QByteArray::number(page) + "]\n";
        for (int cue = 0; cue < CuesPerPage; ++cue) {
            const int top = 10 + cue * 4;
            text += "Cue" + QByteArray::number(cue) + "=0." + QByteArray::number(top) + "|0." +
                    QByteArray::number(20 + cue % 5 * 10) + "|/sound/go " +
                    QByteArray::number(page * CuesPerPage + cue) + "|" +
                    (cue % 3 == 2 ? "-1" : "0") + "|Cue " + QByteArray::number(cue + 1) + "|\n";
        }
        text += "\n";
    }
    text += "[Settings]\nHeight=563\nWidth=946\n\n";
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(text);
}

qint64 MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Starts the program and returns the milliseconds from just before its start to
// the time it prints after `marker`; -1 if it never does.
double TimeToMarker(const QString& program, const QStringList& args, const QString& folder,
                    const QByteArray& marker) {
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    const qint64 start = MonotonicNs();
    process.start(program, args);
    QByteArray out;
    QElapsedTimer waited;
    waited.start();
    qint64 at = -1;
    while (waited.elapsed() < 30000) {
        process.waitForReadyRead(100);
        out += process.readAllStandardOutput();
        const qsizetype pos = out.indexOf(marker);
        if (pos >= 0) {
            const qsizetype end = out.indexOf('\n', pos);
            if (end > pos) {
                at = out.mid(pos + marker.size(), end - pos - marker.size()).trimmed().toLongLong();
                break;
            }
        }
        if (process.state() == QProcess::NotRunning)
            break;
    }
    // Killed, not closed: closing would write the settings file.
    process.kill();
    process.waitForFinished(5000);
    if (at < 0) {
        std::fprintf(stderr, "%s printed no marker:\n%s\n%s\n", qPrintable(program),
                     out.constData(), process.readAllStandardError().constData());
        return -1;
    }
    return double(at - start) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    UseHeadlessDefaults();
    QGuiApplication app(argc, argv);
    QTemporaryDir dir;
    // BENCH_KEEP=1 keeps the folder (script, cues, settings) for a closer look.
    if (qEnvironmentVariableIntValue("BENCH_KEEP") == 1) {
        dir.setAutoRemove(false);
        std::printf("folder kept: %s\n", qPrintable(dir.path()));
    }
    const QString folder = dir.path();
    const QString script = dir.filePath("script.pdf");
    WriteBenchScript(script, PageCount);
    WriteCues(dir.filePath("script.cues"));

    const QString exe = dir.filePath("cuewell");
    if (!QFile::copy(CUEWELL_EXE, exe) || !QFile::copy(CUEWELL_PIN, dir.filePath("Pin_16T3.bmp")))
        return 1;
    {
        QFile ini(dir.filePath("cuewell.ini"));
        if (!ini.open(QIODevice::WriteOnly))
            return 1;
        ini.write("[Settings]\nLeft=100\nTop=100\nHeight=563\nWidth=946\nLastScript=" +
                  script.toUtf8() + "\nArrow=1\n\n");
    }
    qputenv("CUEWELL_TRACE_FIRST_PAINT", "1");
    // Cuewell's cache (where the first page went at the last start) is the
    // run's own: the first start leaves it, the others start as an operator's
    // second start of the same show does.
    qputenv("XDG_CACHE_HOME", QFile::encodeName(dir.filePath("cache")));

    std::vector<double> cuewell, bare, withFonts;
    for (int run = 0; run < Runs; ++run) {
        // Alternating, so all see the same machine and the same file cache.
        const double b = TimeToMarker(FLOOR_EXE, {script, QString::number(ShownHeight)}, folder,
                                      "bare first page rendered ");
        const double c = TimeToMarker(exe, {}, folder, "cuewell first page painted ");
        const double f =
            TimeToMarker(FLOOR_EXE, {script, QString::number(ShownHeight), QStringLiteral("fonts")},
                         folder, "bare first page rendered ");
        if (b < 0 || c < 0 || f < 0)
            return 1;
        bare.push_back(b);
        cuewell.push_back(c);
        withFonts.push_back(f);
    }
    const TFigures b = FiguresOf(bare), c = FiguresOf(cuewell), f = FiguresOf(withFonts);
    const double mb = b.Median, pb = b.P99, mc = c.Median, pc = c.P99;
    std::printf("startup: %d-page script, %d cues a page, %d runs each\n", PageCount, CuesPerPage,
                Runs);
    std::printf("  bare open + render page 0 (floor)  median %7.1f ms  p99 %7.1f ms\n", mb, pb);
    std::printf(
        "  the same, fonts loaded meanwhile   median %7.1f ms  p99 %7.1f ms  (median %.2f x "
        "floor)\n",
        f.Median, f.P99, f.Median / mb);
    std::printf(
        "  cuewell to first page painted      median %7.1f ms  p99 %7.1f ms  (median %.2f x "
        "floor, goal <= %g; %.2f x the floor with fonts)\n",
        mc, pc, mc / mb, StartupGoal, mc / f.Median);
    PrintGoal("startup-x-floor", mc / mb, StartupGoal);
    return 0;
}
