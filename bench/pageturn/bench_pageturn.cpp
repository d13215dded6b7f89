// Page turns in the page viewer on a 300-page text script at 940 x 524:
// time from a page change to the page painted, for pages already rendered and
// for pages not yet rendered, beside a bare QPdfDocument::render of the same
// page at the same size (the floor), measured in the same run.
//
// Run from a Release build with QT_QPA_PLATFORM=offscreen.

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

void WriteScript(const QString& path) {
    QPdfWriter writer(path);
    writer.setResolution(72);
    writer.setPageLayout(
        QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(50, 50, 50, 50)));
    QPainter painter(&writer);
    QFont font("DejaVu Serif");
    font.setPointSizeF(11);
    painter.setFont(font);
    const QString line = QStringLiteral(
        "HAMLET. To be, or not to be, that is the question: whether 'tis nobler in the mind");
    for (int page = 0; page < PageCount; ++page) {
        if (page > 0)
            writer.newPage();
        painter.drawText(0, 14, QStringLiteral("Act %1, scene %2").arg(page / 40 + 1).arg(page));
        for (int i = 0; i < 46; ++i)
            painter.drawText(0, 40 + i * 15, QStringLiteral("%1 %2").arg(i + 1).arg(line));
    }
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Ms(qint64 ns) {
    return double(ns) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    UseHeadlessDefaults();
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath("script.pdf");
    WriteScript(path);

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
    waitRendered(0);
    viewer.repaint();

    // Pages spread over the script, each turned to once while not rendered...
    std::vector<int> pages;
    for (int i = 0; i < Samples; ++i)
        pages.push_back(1 + (i * 7) % (PageCount - 1));
    std::sort(pages.begin(), pages.end());
    pages.erase(std::unique(pages.begin(), pages.end()), pages.end());

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

    std::vector<double> uncached, cached, floor;
    QElapsedTimer t;
    // Whichever renders a page second finds PDFium's caches warm, so the order
    // alternates from page to page.
    for (size_t i = 0; i < pages.size(); ++i) {
        const int page = pages[i];
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
    }
    // Then every page again, from the cache.
    for (int page : pages) {
        t.start();
        viewer.SetPageIndex(page);
        viewer.repaint();
        cached.push_back(Ms(t.nsecsElapsed()));
        if (!viewer.PageCached(page)) {
            std::fprintf(stderr, "page %d was not cached\n", page);
            return 1;
        }
    }

    const double mu = Median(uncached), mc = Median(cached), mf = Median(floor);
    std::printf("pageturn: %d-page text script, 940 x 524 viewer, %zu pages sampled\n", PageCount,
                pages.size());
    std::printf("  bare render (floor)        median %7.3f ms\n", mf);
    std::printf("  page turn, not rendered    median %7.3f ms  (%.2f x floor, goal <= 1.2)\n", mu,
                mu / mf);
    std::printf("  page turn, cached          median %7.3f ms  (%.2f x floor, goal < 2 ms)\n", mc,
                mc / mf);
    return 0;
}
