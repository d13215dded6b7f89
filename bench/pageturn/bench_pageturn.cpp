// Page turns in the page viewer on a 300-page text script at 940 x 524, beside a
// bare QPdfDocument::render of the same page at the same size (the floor),
// measured in the same run:
// - a page turn during a show: the next page, after the previous one has been
//   shown for 100 ms, from the turn to the page painted;
// - a jump to a page not rendered yet, with the renderer otherwise idle.
//
// Run from a Release build with QT_QPA_PLATFORM=offscreen.

#include "bench/common/BenchScript.h"
#include "bench/common/Figures.h"
#include "bench/common/Goal.h"
#include "bench/common/Headless.h"
#include "view/AdvPDFViewer.h"
#include "view/PdfRenderer.h"
#include "view/ViewerGeometry.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPainter>
#include <QPdfDocument>
#include <QPdfWriter>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int PageCount = 300;
constexpr int Samples = 100;
// The goals: an uncached jump against the bare render, a turn during a show in ms.
constexpr double JumpGoal = 1.2;
constexpr double ShowTurnGoalMs = 2;

double Ms(qint64 ns) {
    return double(ns) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    UseHeadlessDefaults();
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath("script.pdf");
    WriteBenchScript(path, PageCount);

    TAdvPDFViewer viewer;
    viewer.resize(940, 524);
    viewer.show();
    {
        QEventLoop loop;
        QObject::connect(&viewer, &TAdvPDFViewer::OnLoaded, &loop, &QEventLoop::quit);
        viewer.SetFileName(path);
        loop.exec();
    }
    auto waitRendered = [&](int page) {
        if (viewer.PageCached(page))
            return;
        QEventLoop loop;
        auto c =
            QObject::connect(&viewer, &TAdvPDFViewer::OnPageRendered, &loop, [&](int index, bool) {
                if (index == page && viewer.PageCached(page))
                    loop.quit();
            });
        loop.exec();
        QObject::disconnect(c);
    };
    // The shown page and the pages rendered ahead of it are done.
    auto waitSettled = [&] {
        const int shown = viewer.PageIndex();
        for (int p = std::max(0, shown - 1); p <= std::min(shown + 1, PageCount - 1); ++p)
            waitRendered(p);
    };
    auto dwell = [](int ms) {
        QElapsedTimer d;
        d.start();
        while (d.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, ms - int(d.elapsed()));
    };
    waitSettled();
    viewer.repaint();

    // The floor: a bare render of the same page at the same size from a document
    // of its own, taken beside each turn so both see the same machine load.
    QPdfDocument doc;
    doc.load(path);
    const TViewerLayout layout = ComputeViewerLayout(viewer.size(), false, 1.0f);
    auto bareRender = [&](int page) {
        const QSizeF size = doc.pagePointSize(page) * (96.0 / 72.0);
        const QSize render = DerivedRenderSize(
            RenderDestination(size, layout.Page, viewer.devicePixelRatioF()), size);
        QElapsedTimer bare;
        bare.start();
        const QImage image = doc.render(page, render);
        const double ms = Ms(bare.nsecsElapsed());
        return image.isNull() ? -1.0 : ms;
    };

    // Pages spread over the script, each jumped to once while not rendered,
    // with the renderer idle (the pages around the previous one done).
    std::vector<int> pages;
    for (int i = 0; i < Samples; ++i)
        pages.push_back(1 + (i * 7) % (PageCount - 1));
    std::sort(pages.begin(), pages.end());
    pages.erase(std::unique(pages.begin(), pages.end()), pages.end());

    std::vector<double> uncached, show, floor;
    QElapsedTimer t;
    viewer.SetPageIndex(PageCount - 1);
    waitSettled();
    // Whichever renders a page second finds PDFium's caches warm, so the order
    // alternates from page to page.
    for (size_t i = 0; i < pages.size(); ++i) {
        const int page = pages[i];
        if (viewer.PageCached(page)) {
            std::fprintf(stderr, "page %d was rendered before the jump\n", page);
            return 1;
        }
        if (i % 2)
            floor.push_back(bareRender(page));
        t.start();
        viewer.SetPageIndex(page);
        waitRendered(page);
        viewer.repaint();
        uncached.push_back(Ms(t.nsecsElapsed()));
        if (i % 2 == 0)
            floor.push_back(bareRender(page));
        if (floor.back() < 0)
            return 1;
        waitSettled();
    }

    // A show: each page is read for 100 ms, then the next one is turned to.
    viewer.SetPageIndex(0);
    waitSettled();
    int notReady = 0;
    for (int page = 1; page <= Samples; ++page) {
        dwell(100);
        const bool ready = viewer.PageCached(page);
        t.start();
        viewer.NextPage();
        waitRendered(page);
        viewer.repaint();
        show.push_back(Ms(t.nsecsElapsed()));
        if (!ready)
            ++notReady;
    }

    const TFigures f = FiguresOf(floor), u = FiguresOf(uncached), s = FiguresOf(show);
    const double mf = f.Median, pf = f.P99, mu = u.Median, pu = u.P99, ms = s.Median, ps = s.P99;
    std::printf("pageturn: %d-page text script, 940 x 524 viewer\n", PageCount);
    std::printf("  bare render (floor)          median %7.3f ms  p99 %7.3f ms\n", mf, pf);
    std::printf("  jump, not rendered           median %7.3f ms  p99 %7.3f ms  (median %.2f x "
                "floor, goal <= %g)\n",
                mu, pu, mu / mf, JumpGoal);
    std::printf("  page turn during a show      median %7.3f ms  p99 %7.3f ms  (goal < %g ms; "
                "%d of %d turns found the page not ready)\n",
                ms, ps, ShowTurnGoalMs, notReady, Samples);
    PrintGoal("page-jump-x-floor", mu / mf, JumpGoal);
    PrintGoal("page-turn-in-show-median-ms", ms, ShowTurnGoalMs);
    PrintGoal("page-turn-in-show-p99-ms", ps, ShowTurnGoalMs);
    return 0;
}
