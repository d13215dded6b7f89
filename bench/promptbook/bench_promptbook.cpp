// Prompt book of a 300-page script written in the background: the longest gap
// between events processed on the user-interface thread while it runs (a 2 ms
// timer stands in for the window's events), and the export's time beside a
// bare QPdfDocument::render of the same pages at the same resolution.
//
// Run from a Release build with QT_QPA_PLATFORM=offscreen.

#include "bench/common/BenchScript.h"
#include "bench/common/Headless.h"
#include "cues/PromptBook.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPainter>
#include <QPdfDocument>
#include <QPdfWriter>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {

constexpr int PageCount = 300;
constexpr int Dpi = 200;

} // namespace

int main(int argc, char** argv) {
    UseHeadlessDefaults();
    QGuiApplication app(argc, argv);
    QTemporaryDir dir;
    const QString script = dir.filePath(QStringLiteral("long.pdf"));
    WriteBenchScript(script, PageCount);

    TPromptBookRequest request;
    request.Script = script;
    request.Output = dir.filePath(QStringLiteral("book.pdf"));
    request.Table = TCueTable(PageCount);
    for (int page = 0; page < PageCount; ++page)
        for (int slot = 0; slot < 4; ++slot)
            request.Table[page][slot] =
                QStringLiteral("0.%1|0.1|/%2/go %3|%4|Cue %3 call text|")
                    .arg(2 + slot * 2)
                    .arg(slot % 2 ? QStringLiteral("light") : QStringLiteral("sound"))
                    .arg(page * 4 + slot + 1)
                    .arg(slot == 3 ? -1 : 0);
    request.SoundSelector = QStringLiteral("sound");
    request.LightSelector = QStringLiteral("light");
    request.ViewSize = QSize(940, 615);
    request.Dpi = Dpi;

    // The user-interface thread while the export runs.
    QElapsedTimer clock;
    qint64 last = 0, longest = 0, ticks = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(2);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        last = now;
        ++ticks;
    });
    TPromptBookExport exporter(request);
    QEventLoop loop;
    TExportOutcome outcome = TExportOutcome::Failed;
    QString error;
    QObject::connect(&exporter, &TPromptBookExport::Finished,
                     [&](TExportOutcome o, const QString& e) {
                         outcome = o;
                         error = e;
                         loop.quit();
                     });
    clock.start();
    tick.start();
    exporter.Start();
    loop.exec();
    const double exportMs = clock.nsecsElapsed() / 1e6;
    tick.stop();
    if (outcome != TExportOutcome::Written) {
        std::fprintf(stderr, "export failed: %s\n", qPrintable(error));
        return 1;
    }

    // The same pages rendered bare, at the same size.
    QPdfDocument doc;
    doc.load(script);
    QElapsedTimer bare;
    bare.start();
    for (int page = 0; page < PageCount; ++page) {
        const QSizeF pt = doc.pagePointSize(page);
        const QImage image = doc.render(
            page, QSize(qRound(pt.width() * Dpi / 72.0), qRound(pt.height() * Dpi / 72.0)));
        if (image.isNull())
            return 1;
    }
    const double bareMs = bare.nsecsElapsed() / 1e6;

    std::printf("pages                          %d at %d dpi, 4 cues each\n", PageCount, Dpi);
    std::printf("export, background thread      %.0f ms (%.1f ms a page)\n", exportMs,
                exportMs / PageCount);
    std::printf("bare render of the same pages  %.0f ms (%.1f ms a page)\n", bareMs,
                bareMs / PageCount);
    std::printf("UI thread: %lld timer ticks of 2 ms, longest gap between them %.1f ms\n",
                (long long)ticks, longest / 1e6);
    std::printf("book size                      %.1f MB\n", QFileInfo(request.Output).size() / 1e6);
    return 0;
}
