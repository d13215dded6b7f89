#include "view/AdvPDFViewer.h"
#include "view/PdfRenderer.h"
#include "view/ViewerGeometry.h"

#include <QFile>
#include <QMimeData>
#include <QPainter>
#include <QPdfWriter>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#ifdef Q_OS_LINUX
#include <sched.h>
#endif

namespace {

// Writes a PDF with one page per entry of `pages`; each page carries its number
// as small text in the middle, so its edges stay white.
void WritePdf(const QString& path, const QList<QPageLayout::Orientation>& pages) {
    QPdfWriter writer(path);
    writer.setResolution(72);
    writer.setPageLayout(
        QPageLayout(QPageSize(QPageSize::A4), pages.value(0), QMarginsF(0, 0, 0, 0)));
    QPainter painter(&writer);
    for (int i = 0; i < pages.size(); ++i) {
        if (i > 0) {
            writer.setPageOrientation(pages[i]);
            writer.newPage();
        }
        const QRect r = writer.pageLayout().paintRectPixels(writer.resolution());
        painter.drawText(r, Qt::AlignCenter, QStringLiteral("Page %1").arg(i + 1));
    }
}

void WritePortraitPdf(const QString& path, int pageCount) {
    WritePdf(path, QList<QPageLayout::Orientation>(pageCount, QPageLayout::Portrait));
}

// Holds renders at their start until released, so a render is reliably "under
// way" while the test acts.
class RenderGate {
public:
    explicit RenderGate(TPdfRenderer& renderer) : FRenderer(&renderer) {
        FRenderer->SetBeforeRenderHook([this](int page) {
            std::unique_lock lock(FMutex);
            FPages.append(page);
            ++FWaiting;
            FChanged.notify_all();
            FChanged.wait(lock, [this] { return FOpen; });
        });
    }
    ~RenderGate() {
        Open();
        if (FRenderer)
            FRenderer->SetBeforeRenderHook({});
    }
    void WaitForRender() {
        std::unique_lock lock(FMutex);
        FChanged.wait(lock, [this] { return FWaiting > 0; });
    }
    bool RenderHeld() {
        std::lock_guard lock(FMutex);
        return FWaiting > 0;
    }
    void Open() {
        std::lock_guard lock(FMutex);
        FOpen = true;
        FChanged.notify_all();
    }
    // The pages whose render started, in the order they started.
    QList<int> Pages() {
        std::lock_guard lock(FMutex);
        return FPages;
    }

private:
    QPointer<TPdfRenderer> FRenderer;
    std::mutex FMutex;
    std::condition_variable FChanged;
    int FWaiting = 0;
    bool FOpen = false;
    QList<int> FPages;
};

QRgb Pixel(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xFFFFFF;
}
constexpr QRgb Background = 0xF5F5F5;
constexpr QRgb Paper = 0xFFFFFF;

} // namespace

class tst_AdvPDFViewer : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void fitSize_data();
    void fitSize();
    void layout_data();
    void layout();
    void renderSize_data();
    void renderSize();
    void wheelAccumulator_data();
    void wheelAccumulator();

    void loadsAfterWriteReturns();
    void sameNameDoesNothingOtherCaseLoads();
    void failedLoadKeepsPreviousDocument_data();
    void failedLoadKeepsPreviousDocument();
    void loadReplacesDocumentWhileRendering();
    void openAheadTakenOnlyForSameUnchangedFile_data();
    void openAheadTakenOnlyForSameUnchangedFile();
    void firstPageAheadServesOnlyTheSameRender_data();
    void firstPageAheadServesOnlyTheSameRender();
    void resizedWhileOpeningShowsPageAsOpenedAtThatSize_data();
    void resizedWhileOpeningShowsPageAsOpenedAtThatSize();

    void pageTurnsClamp_data();
    void pageTurnsClamp();
    void noDocument();
    void keys_data();
    void keys();
    void wheel_data();
    void wheel();
    void ctrlWheelZooms();
    void mouse();
    void drops_data();
    void drops();

    void pageChangeCancelsRender();
    void cachedImageReused();
    void returningToCancelledPageRendersIt();
    void paintedGeometry_data();
    void paintedGeometry();
    void bandsPainted();
    void resizeRendersAgain();
    void destroyedWhileRendering();

    void hookReplacementWaitsForCallUnderWay();
    void rendersRunBelowInterfacePriority();
    void firstPageRendersAtNormalPriority();
    void cacheFollowsShownPage_data();
    void cacheFollowsShownPage();
    void cacheBoundedPagingLongScript();
    void shownPageRendersFirst_data();
    void shownPageRendersFirst();
    void turnFindsPagePainted_data();
    void turnFindsPagePainted();
    void pendingTurnKeepsPagePainted();
    void waitCursorOnlyForShownPage();
    void compositeOnWhite_data();
    void compositeOnWhite();

private:
    // A shown 940 x 524 viewer with `path` loaded, page 0 and the pages rendered
    // ahead of it done.
    std::unique_ptr<TAdvPDFViewer> OpenViewer(const QString& path, QSize size = {940, 524});
    static void WaitRendered(TAdvPDFViewer& viewer, int page);
    // Waits until the shown page and its neighbours are rendered.
    static void WaitSettled(TAdvPDFViewer& viewer);
    static QList<int> CachedPages(const TAdvPDFViewer& viewer);

    QTemporaryDir FDir;
    QString FTwelve;    // 12 portrait A4 pages
    QString FThree;     // 3 portrait A4 pages
    QString FLandscape; // portrait, landscape
};

void tst_AdvPDFViewer::initTestCase() {
    QVERIFY(FDir.isValid());
    FTwelve = FDir.filePath("twelve.pdf");
    FThree = FDir.filePath("three.pdf");
    FLandscape = FDir.filePath("landscape.pdf");
    WritePortraitPdf(FTwelve, 12);
    WritePortraitPdf(FThree, 3);
    WritePdf(FLandscape, {QPageLayout::Portrait, QPageLayout::Landscape});
}

std::unique_ptr<TAdvPDFViewer> tst_AdvPDFViewer::OpenViewer(const QString& path, QSize size) {
    auto viewer = std::make_unique<TAdvPDFViewer>();
    viewer->resize(size);
    viewer->show();
    viewer->activateWindow();
    if (!QTest::qWaitForWindowActive(viewer.get()))
        return nullptr;
    QSignalSpy loaded(viewer.get(), &TAdvPDFViewer::OnLoaded);
    viewer->SetFileName(path);
    if (!loaded.wait(10000))
        return nullptr;
    WaitSettled(*viewer);
    return viewer;
}

void tst_AdvPDFViewer::WaitRendered(TAdvPDFViewer& viewer, int page) {
    QTRY_VERIFY_WITH_TIMEOUT(viewer.PageCached(page), 10000);
}

void tst_AdvPDFViewer::WaitSettled(TAdvPDFViewer& viewer) {
    const int shown = viewer.PageIndex();
    for (int page = std::max(0, shown - 1); page <= std::min(shown + 1, viewer.PageCount() - 1);
         ++page)
        WaitRendered(viewer, page);
}

QList<int> tst_AdvPDFViewer::CachedPages(const TAdvPDFViewer& viewer) {
    QList<int> pages;
    for (int page = 0; page < viewer.PageCount(); ++page)
        if (viewer.PageCached(page))
            pages.append(page);
    return pages;
}

// --- geometry ----------------------------------------------------------------

void tst_AdvPDFViewer::fitSize_data() {
    QTest::addColumn<QSizeF>("source");
    QTest::addColumn<QSizeF>("box");
    QTest::addColumn<QSizeF>("expected");
    QTest::newRow("tall into wide: height fills")
        << QSizeF(100, 200) << QSizeF(400, 100) << QSizeF(50, 100);
    QTest::newRow("wide into tall: width fills")
        << QSizeF(200, 100) << QSizeF(100, 400) << QSizeF(100, 50);
    QTest::newRow("enlarges") << QSizeF(10, 10) << QSizeF(300, 200) << QSizeF(200, 200);
    QTest::newRow("same proportions") << QSizeF(2, 1) << QSizeF(400, 200) << QSizeF(400, 200);
    QTest::newRow("empty source") << QSizeF(0, 10) << QSizeF(100, 100) << QSizeF(0, 0);
    QTest::newRow("negative box") << QSizeF(10, 10) << QSizeF(100, -5) << QSizeF(0, 0);
}

void tst_AdvPDFViewer::fitSize() {
    QFETCH(QSizeF, source);
    QFETCH(QSizeF, box);
    QFETCH(QSizeF, expected);
    QCOMPARE(FitSize(source, box), expected);
}

void tst_AdvPDFViewer::layout_data() {
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("header");
    QTest::addColumn<float>("zoom");
    QTest::addColumn<QRectF>("page");
    QTest::addColumn<QRectF>("clip");
    auto r = [](double l, double t, double rr, double b) {
        return QRectF(QPointF(l, t), QPointF(rr, b));
    };
    QTest::newRow("940x524") << QSize(940, 524) << true << 1.0f << r(5, 40, 935, 519)
                             << r(5, 40, 935, 519);
    QTest::newRow("no header text, same page")
        << QSize(940, 524) << false << 1.0f << r(5, 40, 935, 519) << r(5, 40, 935, 519);
    QTest::newRow("zoom 1.5 grows, clip stays")
        << QSize(940, 524) << true << 1.5f << r(5, 40, 935, 781) << r(5, 40, 935, 519);
    QTest::newRow("zoom 0.5 shrinks")
        << QSize(940, 524) << true << 0.5f << r(5, 40, 935, 257) << r(5, 40, 935, 519);
}

void tst_AdvPDFViewer::layout() {
    QFETCH(QSize, size);
    QFETCH(bool, header);
    QFETCH(float, zoom);
    QFETCH(QRectF, page);
    QFETCH(QRectF, clip);
    const TViewerLayout l = ComputeViewerLayout(size, header, zoom);
    QCOMPARE(l.Page, page);
    QCOMPARE(l.PageClip, clip);
    QCOMPARE(l.HasHeader, header);
    const QRectF headerBand(QPointF(5, 5), QPointF(size.width() - 5, 35));
    QCOMPARE(l.Header, headerBand);
    const QRectF numberBand(QPointF(10, 5), QPointF(size.width() - 10, 35));
    QCOMPARE(l.PageNumber, numberBand);
}

void tst_AdvPDFViewer::renderSize_data() {
    QTest::addColumn<QSizeF>("pageSize"); // 1/96 inch
    QTest::addColumn<float>("zoom");
    QTest::addColumn<qreal>("dpr");
    QTest::addColumn<QSize>("destination");
    QTest::addColumn<QSize>("rendered");
    QTest::addColumn<QRectF>("placed");
    const QSizeF a4(595 * 96.0 / 72, 842 * 96.0 / 72);
    const QSizeF a4Landscape = a4.transposed();
    // 479 high; width 479 * 595 / 842 = 338.48 -> 338; x = 5 + Round(296).
    QTest::newRow("A4 portrait") << a4 << 1.0f << 1.0 << QSize(0, 479) << QSize(338, 479)
                                 << QRectF(301, 40, 338, 479);
    // Landscape fits as 677.9 x 479: wider than high, so the width is given.
    QTest::newRow("A4 landscape") << a4Landscape << 1.0f << 1.0 << QSize(678, 0) << QSize(678, 479)
                                  << QRectF(131, 40, 678, 479);
    QTest::newRow("zoom 1.5") << a4 << 1.5f << 1.0 << QSize(0, 741) << QSize(524, 741)
                              << QRectF(208, 40, 524, 741);
    QTest::newRow("device pixel ratio 2")
        << a4 << 1.0f << 2.0 << QSize(0, 958) << QSize(677, 958) << QRectF(301, 40, 338.5, 479);
}

void tst_AdvPDFViewer::renderSize() {
    QFETCH(QSizeF, pageSize);
    QFETCH(float, zoom);
    QFETCH(qreal, dpr);
    QFETCH(QSize, destination);
    QFETCH(QSize, rendered);
    QFETCH(QRectF, placed);
    const TViewerLayout l = ComputeViewerLayout(QSize(940, 524), true, zoom);
    QCOMPARE(RenderDestination(pageSize, l.Page, dpr), destination);
    QCOMPARE(DerivedRenderSize(destination, pageSize), rendered);
    QCOMPARE(PlacedImageRect(l.Page, QSizeF(rendered) / dpr), placed);
}

void tst_AdvPDFViewer::wheelAccumulator_data() {
    QTest::addColumn<QList<int>>("deltas");
    QTest::addColumn<QList<int>>("notches");
    QTest::newRow("one notch down") << QList<int>{-120} << QList<int>{-1};
    QTest::newRow("one notch up") << QList<int>{120} << QList<int>{1};
    QTest::newRow("three at once") << QList<int>{360} << QList<int>{3};
    QTest::newRow("quarters add up") << QList<int>{30, 30, 30, 30} << QList<int>{0, 0, 0, 1};
    QTest::newRow("remainder kept") << QList<int>{-200, -40} << QList<int>{-1, -1};
    QTest::newRow("zero") << QList<int>{0} << QList<int>{0};
    QTest::newRow("int limit") << QList<int>{100, INT_MAX} << QList<int>{0, 17895697};
}

void tst_AdvPDFViewer::wheelAccumulator() {
    QFETCH(QList<int>, deltas);
    QFETCH(QList<int>, notches);
    TWheelAccumulator acc;
    for (int i = 0; i < deltas.size(); ++i)
        QCOMPARE(acc.Add(deltas[i]), notches[i]);
    QVERIFY(std::abs(acc.Pending()) < 120);
}

// --- loading -----------------------------------------------------------------

void tst_AdvPDFViewer::loadsAfterWriteReturns() {
    TAdvPDFViewer viewer;
    viewer.resize(940, 524);
    int seenCount = -1, seenIndex = -1;
    bool insideWrite = false, raisedInside = false;
    connect(&viewer, &TAdvPDFViewer::OnLoaded, this, [&](QObject* sender) {
        QCOMPARE(sender, &viewer);
        raisedInside = insideWrite;
        seenCount = viewer.PageCount();
        seenIndex = viewer.PageIndex();
    });
    QSignalSpy loaded(&viewer, &TAdvPDFViewer::OnLoaded);
    insideWrite = true;
    viewer.SetFileName(FTwelve);
    insideWrite = false;
    QCOMPARE(viewer.FileName(), FTwelve);
    QCOMPARE(viewer.PageCount(), 0); // still the previous (no) document
    QVERIFY(viewer.IsLoading());
    QVERIFY(loaded.wait(10000));
    QVERIFY(!raisedInside);
    QCOMPARE(seenCount, 12);
    QCOMPARE(seenIndex, 0);
    QVERIFY(!viewer.IsLoading());
    WaitRendered(viewer, 0);
    QCOMPARE(loaded.count(), 1);
}

void tst_AdvPDFViewer::resizedWhileOpeningShowsPageAsOpenedAtThatSize_data() {
    QTest::addColumn<QSize>("resizedTo");
    QTest::newRow("kept") << QSize(940, 524);
    QTest::newRow("smaller") << QSize(600, 400);
    QTest::newRow("taller") << QSize(940, 700);
    QTest::newRow("narrow") << QSize(250, 524);
}

// The first page rendered with the open belongs to the size the viewer had
// when the load started; a viewer resized since must show its page at the new
// size, never the old image stretched.
void tst_AdvPDFViewer::resizedWhileOpeningShowsPageAsOpenedAtThatSize() {
    QFETCH(QSize, resizedTo);
    TAdvPDFViewer viewer;
    viewer.resize(940, 524);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    QSignalSpy loaded(&viewer, &TAdvPDFViewer::OnLoaded);
    viewer.SetFileName(FThree);
    viewer.resize(resizedTo);
    QVERIFY(loaded.wait(10000));
    WaitSettled(viewer);

    auto reference = OpenViewer(FThree, resizedTo);
    QVERIFY(reference);
    QCOMPARE(viewer.grab().toImage(), reference->grab().toImage());
}

void tst_AdvPDFViewer::sameNameDoesNothingOtherCaseLoads() {
    const QString lower = FDir.filePath("case.pdf");
    const QString upper = FDir.filePath("CASE.pdf");
    WritePortraitPdf(lower, 2);
    WritePortraitPdf(upper, 5);
    auto viewer = OpenViewer(lower);
    QVERIFY(viewer);
    QCOMPARE(viewer->PageCount(), 2);
    viewer->NextPage();
    WaitRendered(*viewer, 1);

    const int renders = viewer->RendersRequested();
    viewer->SetFileName(lower);
    QVERIFY(!viewer->IsLoading());
    QCOMPARE(viewer->PageIndex(), 1);
    QVERIFY(viewer->PageCached(1));
    QCOMPARE(viewer->RendersRequested(), renders);

    QSignalSpy loaded(viewer.get(), &TAdvPDFViewer::OnLoaded);
    viewer->SetFileName(upper);
    QVERIFY(loaded.wait(10000));
    QCOMPARE(viewer->PageCount(), 5);
    QCOMPARE(viewer->PageIndex(), 0);
}

void tst_AdvPDFViewer::openAheadTakenOnlyForSameUnchangedFile_data() {
    QTest::addColumn<QString>("change"); // between the open ahead and the open
    QTest::addColumn<int>("pages");      // shown once open
    QTest::addColumn<int>("loads");      // of a document from its file, in all
    QTest::newRow("same file, unchanged: taken") << "none" << 3 << 1;
    QTest::newRow("same file, rewritten since") << "rewrite" << 12 << 2;
    QTest::newRow("another file opened") << "other" << 12 << 2;
}

void tst_AdvPDFViewer::openAheadTakenOnlyForSameUnchangedFile() {
    QFETCH(QString, change);
    QFETCH(int, pages);
    QFETCH(int, loads);
    const QString script = FDir.filePath("ahead.pdf");
    const QString other = FDir.filePath("other.pdf");
    QFile::remove(script);
    QFile::remove(other);
    WritePortraitPdf(script, 3);
    TAdvPDFViewer viewer;
    viewer.resize(940, 524);
    viewer.OpenAhead(script);
    QTRY_COMPARE(viewer.Renderer().DocumentsLoaded(), 1);
    QString opened = script;
    if (change == "rewrite") {
        WritePortraitPdf(script, 12);
    } else if (change == "other") {
        WritePortraitPdf(other, 12);
        opened = other;
    }
    QSignalSpy loaded(&viewer, &TAdvPDFViewer::OnLoaded);
    viewer.SetFileName(opened);
    QVERIFY(loaded.wait(10000));
    QCOMPARE(viewer.PageCount(), pages);
    QCOMPARE(viewer.Renderer().DocumentsLoaded(), loads);
    // The document taken renders like any other.
    viewer.show();
    WaitRendered(viewer, 0);
}

void tst_AdvPDFViewer::firstPageAheadServesOnlyTheSameRender_data() {
    QTest::addColumn<QString>("change"); // between the open ahead and the first render
    QTest::addColumn<bool>("served");    // by the page rendered ahead
    QTest::newRow("same page, box and scale") << "none" << true;
    QTest::newRow("another box") << "box" << false;
    QTest::newRow("another scale") << "scale" << false;
    QTest::newRow("another page first") << "page" << false;
    QTest::newRow("file rewritten") << "rewrite" << false;
    QTest::newRow("no box given") << "unboxed" << false;
}

void tst_AdvPDFViewer::firstPageAheadServesOnlyTheSameRender() {
    QFETCH(QString, change);
    QFETCH(bool, served);
    const QString script = FDir.filePath("first.pdf");
    QFile::remove(script);
    WritePortraitPdf(script, 3);
    const QRectF box(5, 40, 930, 479);
    TPdfRenderer renderer;
    renderer.OpenAhead(script, change == "unboxed" ? QRectF() : box, 1.0);
    QTRY_COMPARE(renderer.DocumentsLoaded(), 1);
    if (change == "rewrite")
        WritePortraitPdf(script, 4);
    const int ranAhead = change == "unboxed" ? 0 : 1;
    QTRY_COMPARE(renderer.RendersRun(), ranAhead);

    quint64 doc = 0;
    bool opened = false;
    renderer.OpenDocument(
        script, QString(),
        [&](TPdfOperation, TPdfCompletion status, std::shared_ptr<const TPdfDocumentInfo>) {
            opened = status == TPdfCompletion::Success;
        },
        &doc);
    QTRY_VERIFY(opened);
    // Asks as a viewer would; gives the image, null on failure.
    const auto render = [&](int page, QRectF at, qreal ratio) {
        std::optional<QImage> image;
        renderer.RenderPage(
            doc, page, at, ratio,
            [&](TPdfOperation, TPdfCompletion, const QImage& result) { image = result; });
        if (!QTest::qWaitFor([&] { return image.has_value(); }, 10000))
            return QImage();
        return *image;
    };
    const QRectF asked = change == "box" ? box.adjusted(0, 0, -100, -100) : box;
    const qreal ratio = change == "scale" ? 2.0 : 1.0;
    if (change == "page")
        QVERIFY(!render(1, box, 1.0).isNull());
    const int before = renderer.RendersRun();
    const QImage first = render(0, asked, ratio);
    QCOMPARE(renderer.RendersRun(), before + (served ? 0 : 1));
    QCOMPARE(renderer.RendersServedAhead(), served ? 1 : 0);

    // Whichever way it came, it is the page as a render for that request gives.
    TPdfRenderer fresh;
    quint64 freshDoc = 0;
    fresh.OpenDocument(
        script, QString(),
        [](TPdfOperation, TPdfCompletion, std::shared_ptr<const TPdfDocumentInfo>) {}, &freshDoc);
    std::optional<QImage> expected;
    fresh.RenderPage(
        freshDoc, 0, asked, ratio,
        [&](TPdfOperation, TPdfCompletion, const QImage& result) { expected = result; });
    QTRY_VERIFY_WITH_TIMEOUT(expected.has_value(), 10000);
    QVERIFY(!first.isNull());
    QCOMPARE(first, *expected);
    // Served once only: the same request again renders.
    if (served) {
        QVERIFY(!render(0, asked, ratio).isNull());
        QCOMPARE(renderer.RendersRun(), before + 1);
    }
}

void tst_AdvPDFViewer::failedLoadKeepsPreviousDocument_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing") << "missing";
    QTest::newRow("empty") << "empty";
    QTest::newRow("not a PDF") << "text";
    QTest::newRow("damaged") << "damaged";
    QTest::newRow("password") << "password";
    QTest::newRow("folder") << "folder";
}

void tst_AdvPDFViewer::failedLoadKeepsPreviousDocument() {
    QFETCH(QString, kind);
    const QString bad = FDir.filePath(kind + ".pdf");
    if (kind == "empty" || kind == "text" || kind == "damaged") {
        QByteArray bytes;
        if (kind == "text")
            bytes = "This is a cue list, not a PDF.\n";
        if (kind == "damaged") {
            QFile good(FTwelve);
            QVERIFY(good.open(QIODevice::ReadOnly));
            bytes = good.read(good.size() / 3); // cut off: no xref, no trailer
        }
        QFile f(bad);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    } else if (kind == "password") {
        const QString qpdf = QStandardPaths::findExecutable("qpdf");
        if (qpdf.isEmpty())
            QSKIP("qpdf is not installed");
        QCOMPARE(
            QProcess::execute(qpdf, {"--encrypt", "secret", "owner", "256", "--", FThree, bad}), 0);
    } else if (kind == "folder") {
        QVERIFY(QDir(FDir.path()).mkpath(kind + ".pdf"));
    }

    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    viewer->SetPageIndex(4);
    WaitRendered(*viewer, 4);
    QSignalSpy loaded(viewer.get(), &TAdvPDFViewer::OnLoaded);
    viewer->SetFileName(bad);
    QCOMPARE(viewer->FileName(), bad);
    QTRY_VERIFY_WITH_TIMEOUT(!viewer->IsLoading(), 10000);
    QCOMPARE(loaded.count(), 0);
    QCOMPARE(viewer->PageCount(), 12);
    QCOMPARE(viewer->PageIndex(), 4);
    // The page of the document still open comes back.
    WaitRendered(*viewer, 4);
    viewer->NextPage();
    WaitRendered(*viewer, 5);

    // Writing the failed name again does nothing at all.
    viewer->SetFileName(bad);
    QVERIFY(!viewer->IsLoading());
}

void tst_AdvPDFViewer::loadReplacesDocumentWhileRendering() {
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    QSignalSpy loaded(viewer.get(), &TAdvPDFViewer::OnLoaded);
    {
        RenderGate gate(viewer->Renderer());
        viewer->SetPageIndex(7);
        gate.WaitForRender();
        viewer->SetFileName(FThree);
        QTest::qWait(20); // the load must wait for the render, not skip it
        QCOMPARE(loaded.count(), 0);
        QCOMPARE(viewer->PageCount(), 12);
    }
    QVERIFY(loaded.wait(10000));
    QCOMPARE(viewer->PageCount(), 3);
    QCOMPARE(viewer->PageIndex(), 0);
    WaitRendered(*viewer, 0);
    // The image of page 7 was of the other document and never enters this one.
    QVERIFY(!viewer->PageCached(7));
}

// --- page turns and input ----------------------------------------------------

void tst_AdvPDFViewer::pageTurnsClamp_data() {
    QTest::addColumn<int>("start");
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("expected");
    QTest::newRow("next") << 3 << "next" << 4;
    QTest::newRow("next at last") << 11 << "next" << 11;
    QTest::newRow("previous") << 3 << "previous" << 2;
    QTest::newRow("previous at first") << 0 << "previous" << 0;
    QTest::newRow("first") << 6 << "first" << 0;
    QTest::newRow("last") << 0 << "last" << 11;
    QTest::newRow("above the count") << 0 << "set 99" << 11;
    QTest::newRow("negative") << 5 << "set -3" << 0;
    QTest::newRow("int max") << 5 << "set 2147483647" << 11;
}

void tst_AdvPDFViewer::pageTurnsClamp() {
    QFETCH(int, start);
    QFETCH(QString, action);
    QFETCH(int, expected);
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    viewer->SetPageIndex(start);
    QCOMPARE(viewer->PageIndex(), start);
    QSignalSpy changed(viewer.get(), &TAdvPDFViewer::OnPageChanged);
    if (action == "next")
        viewer->NextPage();
    else if (action == "previous")
        viewer->PreviousPage();
    else if (action == "first")
        viewer->FirstPage();
    else if (action == "last")
        viewer->LastPage();
    else
        viewer->SetPageIndex(action.mid(4).toInt());
    QCOMPARE(viewer->PageIndex(), expected);
    QCOMPARE(changed.count(), expected == start ? 0 : 1);
    WaitRendered(*viewer, expected);
}

void tst_AdvPDFViewer::noDocument() {
    TAdvPDFViewer viewer;
    viewer.resize(300, 200);
    viewer.Options().Header = "Header only";
    viewer.show();
    QCOMPARE(viewer.PageCount(), 0);
    QCOMPARE(viewer.PageIndex(), 0);
    viewer.NextPage();
    viewer.PreviousPage();
    viewer.LastPage();
    viewer.SetPageIndex(5);
    QCOMPARE(viewer.PageIndex(), 0);
    QCOMPARE(viewer.RendersRequested(), 0);
    const QImage shot = viewer.grab().toImage();
    // No page number: the right end of the band stays background.
    for (int x = 200; x < 288; ++x)
        for (int y = 7; y < 33; ++y)
            QCOMPARE(Pixel(shot, x, y), Background);
    QCOMPARE(Pixel(shot, 150, 120), Background);
}

void tst_AdvPDFViewer::keys_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("expected");
    QTest::newRow("page up") << int(Qt::Key_PageUp) << 4;
    QTest::newRow("left") << int(Qt::Key_Left) << 4;
    QTest::newRow("up") << int(Qt::Key_Up) << 4;
    QTest::newRow("page down") << int(Qt::Key_PageDown) << 6;
    QTest::newRow("right") << int(Qt::Key_Right) << 6;
    QTest::newRow("down") << int(Qt::Key_Down) << 6;
    QTest::newRow("home") << int(Qt::Key_Home) << 0;
    QTest::newRow("end") << int(Qt::Key_End) << 11;
    QTest::newRow("space does nothing here") << int(Qt::Key_Space) << 5;
}

void tst_AdvPDFViewer::keys() {
    QFETCH(int, key);
    QFETCH(int, expected);
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    viewer->SetPageIndex(5);
    QTest::mouseClick(viewer.get(), Qt::RightButton, {}, QPoint(400, 300));
    QVERIFY(viewer->hasFocus());
    QTest::keyClick(viewer.get(), Qt::Key(key));
    QCOMPARE(viewer->PageIndex(), expected);
}

void tst_AdvPDFViewer::wheel_data() {
    QTest::addColumn<int>("delta");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("downs");
    QTest::addColumn<int>("ups");
    QTest::newRow("notch down: next") << -120 << 5 << 6 << 1 << 0;
    QTest::newRow("notch up: previous") << 120 << 5 << 4 << 0 << 1;
    QTest::newRow("three notches: one page") << -360 << 5 << 6 << 3 << 0;
    QTest::newRow("part notch: a page, no notice") << 40 << 5 << 4 << 0 << 0;
    QTest::newRow("zero delta: next") << 0 << 5 << 6 << 0 << 0;
    QTest::newRow("down at last") << -120 << 11 << 11 << 1 << 0;
    QTest::newRow("up at first") << 120 << 0 << 0 << 0 << 1;
}

void tst_AdvPDFViewer::wheel() {
    QFETCH(int, delta);
    QFETCH(int, start);
    QFETCH(int, expected);
    QFETCH(int, downs);
    QFETCH(int, ups);
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    viewer->SetPageIndex(start);
    QSignalSpy down(viewer.get(), &TAdvPDFViewer::OnMouseWheelDown);
    QSignalSpy up(viewer.get(), &TAdvPDFViewer::OnMouseWheelUp);
    // The owner hears the notch before the page turns.
    int pageSeenByOwner = -1;
    auto seen = [&] { pageSeenByOwner = viewer->PageIndex(); };
    connect(viewer.get(), &TAdvPDFViewer::OnMouseWheelDown, this, seen);
    connect(viewer.get(), &TAdvPDFViewer::OnMouseWheelUp, this, seen);
    const QPoint pos(300, 200);
    QWheelEvent event(pos, viewer->mapToGlobal(pos), QPoint(), QPoint(0, delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(viewer.get(), &event);
    QCOMPARE(viewer->PageIndex(), expected);
    QCOMPARE(down.count(), downs);
    QCOMPARE(up.count(), ups);
    if (downs + ups > 0) {
        QCOMPARE(pageSeenByOwner, start);
        const QList<QVariant> args = downs ? down.first() : up.first();
        QCOMPARE(args.at(1).toPoint(), pos);
    }
}

void tst_AdvPDFViewer::ctrlWheelZooms() {
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    viewer->SetPageIndex(3);
    QSignalSpy up(viewer.get(), &TAdvPDFViewer::OnMouseWheelUp);
    auto send = [&](int delta) {
        QWheelEvent event(QPointF(300, 200), QPointF(300, 200), QPoint(), QPoint(0, delta),
                          Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(viewer.get(), &event);
    };
    send(120);
    QCOMPARE(viewer->ZoomFactor(), 1.12f);
    QCOMPARE(viewer->PageIndex(), 3);
    QCOMPARE(up.count(), 1);
    // The page is rendered again for the new size.
    QTRY_VERIFY_WITH_TIMEOUT(viewer->PageCached(3), 10000);
    for (int i = 0; i < 20; ++i)
        send(-120);
    QCOMPARE(viewer->ZoomFactor(), 0.2f);
    QCOMPARE(viewer->PageIndex(), 3);
    const int renders = viewer->RendersRequested();
    send(-120); // already at the floor: nothing to redo
    QCOMPARE(viewer->ZoomFactor(), 0.2f);
    QTRY_VERIFY_WITH_TIMEOUT(viewer->PageCached(3), 10000);
    QCOMPARE(viewer->RendersRequested(), renders);
}

void tst_AdvPDFViewer::mouse() {
    auto viewer = OpenViewer(FThree);
    QVERIFY(viewer);
    QSignalSpy down(viewer.get(), &TAdvPDFViewer::OnMouseDown);
    QSignalSpy up(viewer.get(), &TAdvPDFViewer::OnMouseUp);
    QSignalSpy click(viewer.get(), &TAdvPDFViewer::OnClick);

    QTest::mousePress(viewer.get(), Qt::LeftButton, Qt::ControlModifier, QPoint(108, 208));
    QCOMPARE(down.count(), 1);
    QCOMPARE(down.first().at(0).value<Qt::MouseButton>(), Qt::LeftButton);
    QCOMPARE(down.first().at(1).value<Qt::KeyboardModifiers>(), Qt::ControlModifier);
    QCOMPARE(down.first().at(2).toInt(), 108);
    QCOMPARE(down.first().at(3).toInt(), 208);
    QVERIFY(viewer->hasFocus());
    QTest::mouseRelease(viewer.get(), Qt::LeftButton, Qt::ControlModifier, QPoint(110, 210));
    QCOMPARE(up.count(), 1);
    QCOMPARE(up.first().at(2).toInt(), 110);
    QCOMPARE(click.count(), 1);

    // Released outside: no click.
    QTest::mousePress(viewer.get(), Qt::LeftButton, {}, QPoint(50, 50));
    QTest::mouseRelease(viewer.get(), Qt::LeftButton, {}, QPoint(2000, 50));
    QCOMPARE(click.count(), 1);
    // Other buttons: no click.
    QTest::mouseClick(viewer.get(), Qt::RightButton, {}, QPoint(50, 50));
    QCOMPARE(click.count(), 1);
    QCOMPARE(down.count(), 3);
    QCOMPARE(up.count(), 3);
    QCOMPARE(viewer->PageIndex(), 0);
}

void tst_AdvPDFViewer::drops_data() {
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<bool>("opens");
    QTest::newRow("lower case") << QStringList{"drop.pdf"} << true;
    QTest::newRow("upper case") << QStringList{"DROP.PDF"} << true;
    QTest::newRow("mixed case") << QStringList{"Drop.Pdf"} << true;
    QTest::newRow("first counts") << QStringList{"drop.pdf", "notes.txt"} << true;
    QTest::newRow("only the first") << QStringList{"notes.txt", "drop.pdf"} << false;
    QTest::newRow("other extension") << QStringList{"drop.pdfx"} << false;
    QTest::newRow("no extension") << QStringList{"pdf"} << false;
    QTest::newRow("not a local file") << QStringList{"http://example.invalid/a.pdf"} << false;
}

void tst_AdvPDFViewer::drops() {
    QFETCH(QStringList, names);
    QFETCH(bool, opens);
    QList<QUrl> urls;
    for (const QString& name : names) {
        if (name.startsWith("http:")) {
            urls.append(QUrl(name));
            continue;
        }
        const QString path = FDir.filePath(name);
        if (name.endsWith(".pdf", Qt::CaseInsensitive))
            WritePortraitPdf(path, 2);
        urls.append(QUrl::fromLocalFile(path));
    }
    TAdvPDFViewer viewer;
    viewer.resize(400, 300);
    viewer.show();
    QMimeData mime;
    mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&viewer, &enter);
    QCOMPARE(enter.isAccepted(), opens);
    QSignalSpy loaded(&viewer, &TAdvPDFViewer::OnLoaded);
    QDropEvent drop(QPointF(50, 50), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&viewer, &drop);
    if (opens) {
        QCOMPARE(viewer.FileName(), urls.first().toLocalFile());
        QVERIFY(loaded.wait(10000));
        QCOMPARE(viewer.PageCount(), 2);
    } else {
        QVERIFY(viewer.FileName().isEmpty());
        QVERIFY(!viewer.IsLoading());
    }
}

// --- rendering and cache -----------------------------------------------------

void tst_AdvPDFViewer::pageChangeCancelsRender() {
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    const int ranBefore = viewer->Renderer().RendersRun();
    QSignalSpy rendered(viewer.get(), &TAdvPDFViewer::OnPageRendered);
    {
        RenderGate gate(viewer->Renderer());
        viewer->SetPageIndex(5);
        gate.WaitForRender();    // page 5 is rendering
        viewer->SetPageIndex(6); // 6 is queued, 5 kept as its neighbour
        viewer->SetPageIndex(9); // neither is wanted any more
    }
    WaitSettled(*viewer);
    QTRY_COMPARE(rendered.count(), 5);
    QCOMPARE(CachedPages(*viewer), (QList<int>{8, 9, 10}));
    // Page 5 ran and was thrown away; 6 never ran.
    QCOMPARE(viewer->Renderer().RendersRun(), ranBefore + 4);
    for (const QList<QVariant>& args : rendered)
        QCOMPARE(args.at(1).toBool(), args.at(0).toInt() >= 8);
}

void tst_AdvPDFViewer::cachedImageReused() {
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    viewer->NextPage();
    WaitSettled(*viewer); // pages 0, 1, 2
    const int requested = viewer->RendersRequested();
    const int ran = viewer->Renderer().RendersRun();
    viewer->PreviousPage(); // page 2 falls out of the cache
    QVERIFY(viewer->PageCached(0));
    viewer->NextPage();
    viewer->NextPage(); // at page 1, then 2: only 2 (again) and 3 are rendered
    WaitSettled(*viewer);
    QCOMPARE(viewer->RendersRequested(), requested + 2);
    QCOMPARE(viewer->Renderer().RendersRun(), ran + 2);
    // The cached page paints at once, without a render; only page 0, which
    // comes back into reach, is asked for.
    RenderGate gate(viewer->Renderer());
    viewer->PreviousPage();
    const QImage shot = viewer->grab().toImage();
    QCOMPARE(Pixel(shot, 470, 45), Paper);
    QCOMPARE(viewer->RendersRequested(), requested + 2);
    // Once the page is on screen.
    QTRY_COMPARE(viewer->RendersRequested(), requested + 3);
    QVERIFY(!viewer->PageCached(0));
}

void tst_AdvPDFViewer::returningToCancelledPageRendersIt() {
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    {
        RenderGate gate(viewer->Renderer());
        viewer->SetPageIndex(6);
        gate.WaitForRender();
        viewer->SetPageIndex(9);
        viewer->SetPageIndex(6); // back before the cancelled render has drained
    }
    WaitSettled(*viewer);
    QCOMPARE(CachedPages(*viewer), (QList<int>{5, 6, 7}));
    // Asking again for a page being rendered, or for one around it, keeps
    // its render: each page runs once.
    const int ran = viewer->Renderer().RendersRun();
    {
        RenderGate gate(viewer->Renderer());
        viewer->SetPageIndex(2);
        gate.WaitForRender(); // 2 runs; 3 and 1 are queued
        viewer->SetPageIndex(2);
        viewer->NextPage();
        viewer->PreviousPage();
    }
    WaitSettled(*viewer);
    QCOMPARE(CachedPages(*viewer), (QList<int>{1, 2, 3}));
    QCOMPARE(viewer->Renderer().RendersRun(), ran + 3);
}

void tst_AdvPDFViewer::paintedGeometry_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("page");
    QTest::addColumn<int>("zoomDelta"); // one Ctrl+wheel message
    QTest::addColumn<QRect>("paper");   // expected painted page, clipped
    // A4 portrait: 338 x 479 at x = 301, y = 40 to 519.
    QTest::newRow("A4 portrait") << "twelve" << 0 << 0 << QRect(301, 40, 338, 479);
    QTest::newRow("A4 landscape") << "landscape" << 1 << 0 << QRect(131, 40, 678, 479);
    // Zoom 1.5: page rectangle 5, 40, 935, 781; the page is 524 x 741 at x = 208
    // and cut off below y = 519.
    QTest::newRow("zoom 1.5") << "twelve" << 0 << 500 << QRect(208, 40, 524, 479);
}

void tst_AdvPDFViewer::paintedGeometry() {
    QFETCH(QString, file);
    QFETCH(int, page);
    QFETCH(int, zoomDelta);
    QFETCH(QRect, paper);
    auto viewer = OpenViewer(file == "twelve" ? FTwelve : FLandscape);
    QVERIFY(viewer);
    viewer->SetPageIndex(page);
    if (zoomDelta) {
        QWheelEvent event(QPointF(300, 200), QPointF(300, 200), QPoint(), QPoint(0, zoomDelta),
                          Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(viewer.get(), &event);
        QCOMPARE(viewer->ZoomFactor(), 1.5f);
    }
    WaitRendered(*viewer, page);
    const QImage shot = viewer->grab().toImage();
    QCOMPARE(shot.size(), QSize(940, 524));
    const int midY = paper.top() + paper.height() / 4;
    const int midX = paper.left() + paper.width() / 8;
    QCOMPARE(Pixel(shot, paper.left() - 1, midY), Background);
    QCOMPARE(Pixel(shot, paper.left(), midY), Paper);
    QCOMPARE(Pixel(shot, paper.right(), midY), Paper);
    QCOMPARE(Pixel(shot, paper.right() + 1, midY), Background);
    QCOMPARE(Pixel(shot, midX, paper.top() - 1), Background);
    QCOMPARE(Pixel(shot, midX, paper.top()), Paper);
    QCOMPARE(Pixel(shot, midX, paper.bottom()), Paper);
    QCOMPARE(Pixel(shot, midX, paper.bottom() + 1), Background);
    // The page's own text is there.
    const QImage middle = shot.copy(paper.adjusted(1, 1, -1, -1));
    bool ink = false;
    for (int y = 0; y < middle.height() && !ink; ++y)
        for (int x = 0; x < middle.width() && !ink; ++x)
            ink = qGray(middle.pixel(x, y)) < 128;
    QVERIFY(ink);
}

void tst_AdvPDFViewer::bandsPainted() {
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    viewer->SetPageIndex(2);
    WaitRendered(*viewer, 2);
    auto inkColumns = [](const QImage& shot, int from, int to) {
        int first = -1, last = -1;
        for (int x = from; x < to; ++x)
            for (int y = 7; y < 33; ++y)
                if (qGray(shot.pixel(x, y)) < 160) {
                    if (first < 0)
                        first = x;
                    last = x;
                    break;
                }
        return std::make_pair(first, last);
    };
    // No header text: the page number alone, "3 / 12" flush right, ending by
    // x = 928.
    QImage shot = viewer->grab().toImage();
    auto [numberFirst, numberLast] = inkColumns(shot, 0, 940);
    QVERIFY2(numberFirst > 850, qPrintable(QString::number(numberFirst)));
    QVERIFY2(numberLast <= 928 && numberLast > 915, qPrintable(QString::number(numberLast)));
    // A header, set directly, shows from the next repaint on, centred in the band.
    viewer->Options().Header = QStringLiteral("/shows/act one/script.pdf");
    shot = viewer->grab().toImage();
    const auto [headerFirst, headerLast] = inkColumns(shot, 0, 850);
    QVERIFY(headerFirst > 300);
    QVERIFY2(std::abs((headerFirst + headerLast) - 940) <= 12,
             qPrintable(QStringLiteral("%1..%2").arg(headerFirst).arg(headerLast)));
    // The header does not move the page.
    QCOMPARE(Pixel(shot, 320, 40), Paper);
    QCOMPARE(Pixel(shot, 320, 39), Background);
}

void tst_AdvPDFViewer::resizeRendersAgain() {
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    const int requested = viewer->RendersRequested();
    {
        RenderGate gate(viewer->Renderer());
        viewer->resize(940, 324);
        // The page ahead is of the old size too.
        QCOMPARE(CachedPages(*viewer), QList<int>());
        // Meanwhile the stale image is stretched into the new page rectangle:
        // 279 high from y = 40.
        gate.WaitForRender();
        const QImage stale = viewer->grab().toImage();
        QCOMPARE(Pixel(stale, 470, 40), Paper);
        QCOMPARE(Pixel(stale, 470, 318), Paper);
        QCOMPARE(Pixel(stale, 470, 319), Background);
    }
    WaitSettled(*viewer);
    QCOMPARE(viewer->RendersRequested(), requested + 2);
    QCOMPARE(CachedPages(*viewer), (QList<int>{0, 1}));
    const QImage shot = viewer->grab().toImage();
    QCOMPARE(Pixel(shot, 470, 318), Paper);
    QCOMPARE(Pixel(shot, 470, 319), Background);
    // The page ahead, turned to, is of the new size without a render.
    viewer->NextPage();
    const QImage next = viewer->grab().toImage();
    QCOMPARE(Pixel(next, 470, 318), Paper);
    QCOMPARE(Pixel(next, 470, 319), Background);
    QCOMPARE(viewer->RendersRequested(), requested + 2);
    QTRY_COMPARE(viewer->RendersRequested(), requested + 3); // page 2, ahead again
}

void tst_AdvPDFViewer::destroyedWhileRendering() {
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    QSignalSpy rendered(viewer.get(), &TAdvPDFViewer::OnPageRendered);
    RenderGate gate(viewer->Renderer());
    viewer->SetPageIndex(6);
    gate.WaitForRender();
    viewer->SetPageIndex(7);
    gate.Open(); // the render finishes while the viewer goes away
    viewer.reset();
    QCoreApplication::processEvents();
    QCOMPARE(rendered.count(), 0);
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
}

// --- rendering ahead -----------------------------------------------------------

void tst_AdvPDFViewer::hookReplacementWaitsForCallUnderWay() {
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    TPdfRenderer& renderer = viewer->Renderer();
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, released = false, returned = false;
    renderer.SetBeforeRenderHook([&](int) {
        std::unique_lock lock(mutex);
        if (entered)
            return;
        entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
        returned = true;
    });
    viewer->SetPageIndex(6);
    {
        std::unique_lock lock(mutex);
        QVERIFY(changed.wait_for(lock, std::chrono::seconds(10), [&] { return entered; }));
    }
    // Cleared from another thread while the hook is held inside its call: the
    // clearing must not return before the call has, whatever the hook's
    // captures are by then.
    bool clearedBeforeReturn = true;
    bool clearDone = false;
    std::thread clearer([&] {
        renderer.SetBeforeRenderHook({});
        std::lock_guard lock(mutex);
        clearedBeforeReturn = !returned;
        clearDone = true;
        changed.notify_all();
    });
    {
        // Time for a clearing that does not wait to show itself.
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::milliseconds(500), [&] { return clearDone; });
        released = true;
        changed.notify_all();
    }
    clearer.join();
    QVERIFY(!clearedBeforeReturn);
    WaitSettled(*viewer);
}

void tst_AdvPDFViewer::rendersRunBelowInterfacePriority() {
#ifndef Q_OS_LINUX
    QSKIP("batch scheduling is a Linux policy");
#else
    auto viewer = OpenViewer(FThree);
    QVERIFY(viewer);
    std::atomic<int> policy{-1};
    viewer->Renderer().SetBeforeRenderHook([&](int) { policy = sched_getscheduler(0); });
    viewer->resize(900, 500); // renders the pages again
    WaitSettled(*viewer);
    viewer->Renderer().SetBeforeRenderHook({});
    QCOMPARE(policy.load(), SCHED_BATCH);
#endif
}

void tst_AdvPDFViewer::firstPageRendersAtNormalPriority() {
#ifndef Q_OS_LINUX
    QSKIP("batch scheduling is a Linux policy");
#else
    // The first page is what start-up waits for, before any show can run: it
    // must not queue behind other programs' work. Every render after it is
    // background work again.
    TAdvPDFViewer viewer;
    viewer.resize(940, 524);
    std::mutex mutex;
    QList<int> policies; // of each render, in order
    viewer.Renderer().SetBeforeRenderHook([&](int) {
        std::lock_guard lock(mutex);
        policies.append(sched_getscheduler(0));
    });
    viewer.show();
    QSignalSpy loaded(&viewer, &TAdvPDFViewer::OnLoaded);
    viewer.SetFileName(FThree);
    QVERIFY(loaded.wait(10000));
    WaitSettled(viewer);
    viewer.resize(900, 500); // renders the pages again
    WaitSettled(viewer);
    viewer.Renderer().SetBeforeRenderHook({});
    QVERIFY(policies.size() >= 3);
    QCOMPARE(policies.first(), SCHED_OTHER);
    for (qsizetype i = 1; i < policies.size(); ++i)
        QCOMPARE(policies.at(i), SCHED_BATCH);
#endif
}

void tst_AdvPDFViewer::cacheFollowsShownPage_data() {
    QTest::addColumn<QList<int>>("path"); // pages gone to, in order, after opening
    QTest::addColumn<QList<int>>("cached");
    QTest::newRow("open: the next page ahead") << QList<int>{} << QList<int>{0, 1};
    QTest::newRow("middle: both sides") << QList<int>{5} << QList<int>{4, 5, 6};
    QTest::newRow("last: the one before") << QList<int>{11} << QList<int>{10, 11};
    QTest::newRow("paging on lets go behind")
        << QList<int>{1, 2, 3, 4, 5, 6} << QList<int>{5, 6, 7};
    QTest::newRow("paging back lets go ahead") << QList<int>{9, 8, 7} << QList<int>{6, 7, 8};
    QTest::newRow("jump back") << QList<int>{8, 2} << QList<int>{1, 2, 3};
}

void tst_AdvPDFViewer::cacheFollowsShownPage() {
    QFETCH(QList<int>, path);
    QFETCH(QList<int>, cached);
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    for (int page : path) {
        viewer->SetPageIndex(page);
        WaitSettled(*viewer);
    }
    QCOMPARE(CachedPages(*viewer), cached);
}

void tst_AdvPDFViewer::cacheBoundedPagingLongScript() {
    const QString path = FDir.filePath("long.pdf");
    WritePortraitPdf(path, 60);
    auto viewer = OpenViewer(path);
    QVERIFY(viewer);
    auto window = [&](int shown) {
        QList<int> pages;
        for (int p = std::max(0, shown - 1); p <= std::min(shown + 1, 59); ++p)
            pages.append(p);
        return pages;
    };
    for (int page = 1; page < 60; ++page) {
        viewer->NextPage();
        QVERIFY(viewer->PageCached(page)); // rendered ahead
        WaitSettled(*viewer);
        QCOMPARE(CachedPages(*viewer), window(page));
    }
    for (int page = 58; page >= 50; --page) {
        viewer->PreviousPage();
        QVERIFY(viewer->PageCached(page));
        WaitSettled(*viewer);
        QCOMPARE(CachedPages(*viewer), window(page));
    }
}

void tst_AdvPDFViewer::shownPageRendersFirst_data() {
    QTest::addColumn<int>("start");
    // Pages gone to; the first one's render is held until all are made.
    QTest::addColumn<QList<int>>("path");
    QTest::addColumn<QList<int>>("order"); // renders in the order they ran
    QTest::newRow("jump: the page, then the next, then the previous")
        << 5 << QList<int>{9} << QList<int>{9, 10, 8};
    QTest::newRow("back twice while a page renders")
        << 5 << QList<int>{9, 8, 7} << QList<int>{9, 7, 8, 6};
    QTest::newRow("on twice to the last while a page renders")
        << 2 << QList<int>{9, 10, 11} << QList<int>{9, 11, 10};
    QTest::newRow("jump while the page ahead renders")
        << 5 << QList<int>{6, 10} << QList<int>{7, 10, 11, 9};
}

void tst_AdvPDFViewer::shownPageRendersFirst() {
    QFETCH(int, start);
    QFETCH(QList<int>, path);
    QFETCH(QList<int>, order);
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    viewer->SetPageIndex(start);
    WaitSettled(*viewer);
    const int requested = viewer->RendersRequested();
    {
        RenderGate gate(viewer->Renderer());
        viewer->SetPageIndex(path.first());
        QTRY_VERIFY_WITH_TIMEOUT(gate.RenderHeld(), 10000);
        // Nothing else competes with the page being rendered: the pages
        // around it are asked for once it is there.
        QCOMPARE(viewer->RendersRequested(), requested + 1);
        for (qsizetype i = 1; i < path.size(); ++i)
            viewer->SetPageIndex(path[i]);
        gate.Open();
        WaitSettled(*viewer);
        QCOMPARE(gate.Pages(), order);
    }
}

void tst_AdvPDFViewer::turnFindsPagePainted_data() {
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("to");
    QTest::newRow("page down") << 4 << int(Qt::Key_PageDown) << 5;
    QTest::newRow("page up") << 6 << int(Qt::Key_PageUp) << 5;
    QTest::newRow("right to the last") << 10 << int(Qt::Key_Right) << 11;
}

void tst_AdvPDFViewer::turnFindsPagePainted() {
    QFETCH(int, from);
    QFETCH(int, key);
    QFETCH(int, to);
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    // How the page looks when painted normally.
    viewer->SetPageIndex(to);
    WaitSettled(*viewer);
    const QImage expected = viewer->grab().toImage();
    // Away and back next to it, so that nothing of the page is left over.
    viewer->SetPageIndex(to < 6 ? 11 : 0);
    WaitSettled(*viewer);
    viewer->SetPageIndex(from);
    WaitSettled(*viewer);
    QTest::mouseClick(viewer.get(), Qt::RightButton, {}, QPoint(400, 300));
    const int requested = viewer->RendersRequested();
    // Whatever the worker would do now waits: the page must already be there.
    RenderGate gate(viewer->Renderer());
    QTest::keyClick(viewer.get(), Qt::Key(key));
    QCOMPARE(viewer->PageIndex(), to);
    QVERIFY(viewer->PageCached(to));
    QCOMPARE(viewer->grab().toImage(), expected);
    // At most the page beyond it is asked for, never the page itself.
    QVERIFY(viewer->RendersRequested() <= requested + 1);
}

void tst_AdvPDFViewer::pendingTurnKeepsPagePainted() {
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    viewer->SetPageIndex(3);
    WaitSettled(*viewer);
    const QImage before = viewer->grab().toImage();
    RenderGate gate(viewer->Renderer());
    viewer->SetPageIndex(9); // not rendered, and held
    gate.WaitForRender();
    // No blank page meanwhile: page 4 stays painted, with its own number.
    QCOMPARE(viewer->grab().toImage(), before);
    gate.Open();
    WaitRendered(*viewer, 9);
    QVERIFY(viewer->grab().toImage() != before);
}

void tst_AdvPDFViewer::waitCursorOnlyForShownPage() {
    auto viewer = OpenViewer(FTwelve);
    QVERIFY(viewer);
    viewer->SetPageIndex(4);
    WaitSettled(*viewer);
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
    {
        RenderGate gate(viewer->Renderer());
        viewer->NextPage(); // page 5 is there; page 6 is rendered ahead, held
        QTRY_VERIFY_WITH_TIMEOUT(gate.RenderHeld(), 10000); // asked for after the paint
        QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
        viewer->SetPageIndex(10); // the shown page itself must be rendered
        QVERIFY(QGuiApplication::overrideCursor());
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    }
    WaitRendered(*viewer, 10);
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
    WaitSettled(*viewer);
}

namespace {
// Blends each pixel over white, one pixel at a time, without shortcuts.
QImage ReferenceOnWhite(const QImage& image) {
    const bool premultiplied = image.format() == QImage::Format_ARGB32_Premultiplied;
    QImage out(image.size(), QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        const auto* in = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const uint a = qAlpha(in[x]);
            auto blend = [&](uint c) {
                return premultiplied ? std::min(255u, c + 255 - a)
                                     : (c * a + 255 * (255 - a) + 127) / 255;
            };
            line[x] = qRgb(blend(qRed(in[x])), blend(qGreen(in[x])), blend(qBlue(in[x])));
        }
    }
    return out;
}
} // namespace

void tst_AdvPDFViewer::compositeOnWhite_data() {
    QTest::addColumn<QImage>("image");
    // Pixels as a render leaves them: bare paper, solid ink, and the grey
    // edges of glyphs, in runs and mixed, on odd widths.
    auto make = [](QImage::Format format, QSize size, auto pixel) {
        QImage image(size, format);
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                reinterpret_cast<QRgb*>(image.scanLine(y))[x] = pixel(x, y);
        return image;
    };
    auto mixed = [](bool premultiplied) {
        return [premultiplied](int x, int y) -> QRgb {
            const uint alphas[] = {0, 0, 0, 255, 255, 1, 128, 254, 0, 37};
            const uint a = alphas[(x + 3 * y) % 10];
            const uint r = (x * 7 + y) % 256, g = (x * 13) % 256, b = (y * 29) % 256;
            if (!premultiplied)
                return qRgba(r, g, b, a);
            return qRgba(r * a / 255, g * a / 255, b * a / 255, a);
        };
    };
    const auto pre = QImage::Format_ARGB32_Premultiplied;
    const auto straight = QImage::Format_ARGB32;
    QTest::newRow("premultiplied, mixed") << make(pre, {37, 11}, mixed(true));
    QTest::newRow("straight, mixed") << make(straight, {37, 11}, mixed(false));
    QTest::newRow("premultiplied, all clear")
        << make(pre, {5, 3}, [](int, int) -> QRgb { return 0; });
    QTest::newRow("straight, clear with colour")
        << make(straight, {5, 3}, [](int x, int) { return qRgba(200, 10 * x, 90, 0); });
    QTest::newRow("premultiplied, opaque ink")
        << make(pre, {4, 4}, [](int x, int y) { return qRgba(x * 60, y * 60, 30, 255); });
    // Every alpha against every channel value, on a width that leaves a
    // remainder after whole groups of pixels.
    auto every = [](bool premultiplied) {
        return [premultiplied](int x, int y) -> QRgb {
            const uint a = uint(y) % 256, c = uint(x) % 256;
            if (!premultiplied)
                return qRgba(c, 255 - c, c ^ a, a);
            return qRgba(c * a / 255, (255 - c) * a / 255, c > a ? c : a - c, a);
        };
    };
    QTest::newRow("premultiplied, every alpha and value") << make(pre, {259, 256}, every(true));
    QTest::newRow("straight, every alpha and value") << make(straight, {259, 256}, every(false));
    QTest::newRow("one pixel, half")
        << make(pre, {1, 1}, [](int, int) { return qRgba(64, 0, 127, 128); });
}

void tst_AdvPDFViewer::compositeOnWhite() {
    QFETCH(QImage, image);
    const QImage expected = ReferenceOnWhite(image);
    const QImage actual = CompositeOnWhite(image);
    QCOMPARE(actual.format(), QImage::Format_RGB32);
    QCOMPARE(actual.size(), expected.size());
    for (int y = 0; y < expected.height(); ++y)
        QVERIFY2(std::memcmp(actual.constScanLine(y), expected.constScanLine(y),
                             size_t(expected.width()) * 4) == 0,
                 qPrintable(QStringLiteral("row %1").arg(y)));
}

QTEST_MAIN(tst_AdvPDFViewer)
#include "tst_advpdfviewer.moc"
