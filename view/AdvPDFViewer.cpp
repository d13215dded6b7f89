#include "view/AdvPDFViewer.h"

#include "view/AdvPDFViewerPages.h"
#include "view/PdfRenderer.h"
#include "view/ViewerGeometry.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QTimer>
#include <QWheelEvent>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

namespace {
// Fixed look of the viewer.
const QColor FillColour(245, 245, 245);
const QColor StrokeColour(192, 192, 192);
// The band texts are drawn on the light fill whatever the application's
// palette, so they keep the classic dark window-text colour.
const QColor BandTextColour(0, 0, 0);
constexpr int BandFontPixels = 11;
constexpr int BandTextInset = 2;
constexpr float MinZoom = 0.2f;
// The cache holds the shown page and this many pages on either side, rendered
// ahead so that a page turn finds its page painted: at most three images.
constexpr int CacheRadius = 1;
// Posted at low priority, behind the repaint of a page turn: the pages ahead
// are asked for once the turned page is on screen.
const QEvent::Type LoadAheadEvent = QEvent::Type(QEvent::User + 0x4c41);

QFont BandFont() {
    QFont font(QStringLiteral("Segoe UI"));
    font.setPixelSize(BandFontPixels);
    return font;
}

// The path of a drop that opens: the first URL, a local file whose extension
// upper-cased is ".PDF"; empty for anything else.
QString DroppedPdf(const QMimeData* mime) {
    if (!mime || !mime->hasUrls())
        return {};
    const QList<QUrl> urls = mime->urls();
    if (urls.isEmpty() || !urls.first().isLocalFile())
        return {};
    const QString path = urls.first().toLocalFile();
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || name.mid(dot).toUpper() != QLatin1String(".PDF"))
        return {};
    return path;
}
} // namespace

class TAdvPDFViewerPrivate {
public:
    explicit TAdvPDFViewerPrivate(TAdvPDFViewer* viewer);

    void StartDocumentLoad();
    void DoDocLoadTimer();
    void DocumentOpened(TPdfOperation op, TPdfCompletion status,
                        std::shared_ptr<const TPdfDocumentInfo> doc);
    // Starts page 0's render behind the open under way, at the viewer's size.
    void RequestFirstPage();
    // Lets go of the first page's render started with the open, if any.
    void DropFirstPage();
    void LoadFailed();

    // Cancels every render under way except those of pages keepFirst..keepLast.
    void CancelRenders(int keepFirst = 1, int keepLast = 0);
    void GoToPage(int index, bool repaint = true);
    // Requests the shown page, then its neighbours, and lets go of the rest.
    void LoadAround();
    void LoadAhead();
    // Asks for the pages ahead once the events before it, the repaint of the
    // shown page among them, are handled.
    void PostLoadAhead();
    void LoadPage(int index);
    void RenderCompleted(TPdfOperation op, int index, TPdfCompletion status, const QImage& image);
    void ResizeReaction();
    void ForgetPages();
    // The shown page has no image yet and one is on its way.
    bool ShownPagePending() const;

    void UpdateWaitCursor();
    void RestoreCursor();

    int PageCount() const { return FPdfDocument ? FPdfDocument->PageCount : 0; }
    TViewerLayout Layout() const {
        return ComputeViewerLayout(q->size(), !FOptions.Header.isEmpty(), FZoomFactor);
    }
    // Returns whether the shown page's own image was painted.
    bool Paint(QPainter& painter) const;

    TAdvPDFViewer* q;
    TAdvPDFViewerOptions FOptions;
    QString FFileName;
    QString FPassword; // never set in Cuewell
    std::shared_ptr<const TPdfDocumentInfo> FPdfDocument;
    int FPageIndex = 0;
    float FZoomFactor = 1.0f;
    TAdvPDFViewerPages FPages;
    // Page renders whose completion has not arrived yet, with their page index.
    std::vector<std::pair<TPdfOperation, int>> FLoadingPages;
    TPdfOperation FDocLoad = 0; // 0: none under way
    // Page 0's render, started right behind the open, and the page rectangle
    // and pixel ratio it is made for; 0 once the open has completed.
    // FOpening is the id of the document being opened.
    quint64 FOpening = 0;
    TPdfOperation FFirstPage = 0;
    QRectF FFirstPageBox;
    qreal FFirstPageRatio = 1.0;
    QTimer FDocLoadTimer;
    // After a resize or zoom, the shown page is asked for once more when the
    // renders have drained.
    bool FFollowUpPending = false;
    bool FLoadAheadPosted = false;
    bool FWaitCursorShown = false;
    // The image on screen: while the shown page renders, the page before it
    // stays painted instead of a blank page.
    mutable QImage FDisplayedImage;
    mutable int FDisplayedIndex = -1;
    // Opt-in start-up trace: the time of the first painted page, on stdout.
    mutable bool FTraceFirstPaint = false;
    bool FDestroying = false;
    TWheelAccumulator FWheel;
    bool FLeftPressed = false;
    int FRendersRequested = 0;
    // Last, so it is destroyed first: no completion may reach a half-destroyed
    // viewer.
    std::unique_ptr<TPdfRenderer> FRenderer;
};

TAdvPDFViewerPrivate::TAdvPDFViewerPrivate(TAdvPDFViewer* viewer)
    : q(viewer), FRenderer(std::make_unique<TPdfRenderer>()) {
    FDocLoadTimer.setInterval(1);
    FDocLoadTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&FDocLoadTimer, &QTimer::timeout, q, [this] { DoDocLoadTimer(); });
    FTraceFirstPaint = qEnvironmentVariableIntValue("CUEWELL_TRACE_FIRST_PAINT") == 1;
}

// --- document load -----------------------------------------------------------

void TAdvPDFViewerPrivate::StartDocumentLoad() {
    CancelRenders();
    UpdateWaitCursor();
    // The write returns at once either way. With renders still draining, the
    // load waits for them on the timer, so the cache is emptied after them;
    // with none, it starts now and opens while the caller goes on.
    if (FLoadingPages.empty())
        DoDocLoadTimer();
    else
        FDocLoadTimer.start();
}

void TAdvPDFViewerPrivate::DoDocLoadTimer() {
    if (!FLoadingPages.empty())
        return;
    FDocLoadTimer.stop();
    ForgetPages();
    if (FDocLoad)
        FRenderer->Cancel(std::exchange(FDocLoad, 0));
    DropFirstPage();
    FDocLoad = FRenderer->OpenDocument(
        FFileName, FPassword,
        [this](TPdfOperation op, TPdfCompletion status,
               std::shared_ptr<const TPdfDocumentInfo> doc) {
            DocumentOpened(op, status, std::move(doc));
        },
        &FOpening);
    // A viewer not shown yet has no final size: its first show asks for the page.
    if (q->isVisible())
        RequestFirstPage();
}

void TAdvPDFViewerPrivate::RequestFirstPage() {
    if (!FDocLoad || FFirstPage)
        return;
    // Page 0 renders right after the open, while the open's completion is
    // handled here; it is kept only if the viewer's size still holds then.
    FFirstPageBox = Layout().Page;
    FFirstPageRatio = q->devicePixelRatioF();
    if (!FFirstPageBox.isValid())
        return;
    FFirstPage =
        FRenderer->RenderPage(FOpening, 0, FFirstPageBox, FFirstPageRatio,
                              [this](TPdfOperation op, TPdfCompletion status, const QImage& image) {
                                  RenderCompleted(op, 0, status, image);
                              });
    ++FRendersRequested;
}

void TAdvPDFViewerPrivate::DropFirstPage() {
    if (FFirstPage)
        FRenderer->Cancel(std::exchange(FFirstPage, 0));
}

void TAdvPDFViewerPrivate::DocumentOpened(TPdfOperation op, TPdfCompletion status,
                                          std::shared_ptr<const TPdfDocumentInfo> doc) {
    if (FDestroying)
        return;
    if (op != FDocLoad) {
        if (doc)
            FRenderer->CloseDocument(doc->Id);
        return;
    }
    FDocLoad = 0;
    if (status != TPdfCompletion::Success || !doc) {
        DropFirstPage();
        if (status == TPdfCompletion::Failed)
            LoadFailed();
        return;
    }
    // Pages requested during the load came from the previous document; their
    // images must never be shown for this one.
    CancelRenders();
    ForgetPages();
    if (FPdfDocument)
        FRenderer->CloseDocument(FPdfDocument->Id);
    FPdfDocument = std::move(doc);
    if (FFirstPage && FFirstPageBox == Layout().Page && FFirstPageRatio == q->devicePixelRatioF()) {
        // The render under way is the one going to page 0 asks for.
        TAdvPDFViewerPage& entry = FPages.Obtain(0);
        entry.FLoading = true;
        entry.FOperation = std::exchange(FFirstPage, 0);
        FLoadingPages.emplace_back(entry.FOperation, 0);
    }
    DropFirstPage();
    FPageIndex = -1; // so that going to page 0 reports the change
    GoToPage(0);
    try {
        emit q->OnLoaded(q);
    } catch (...) {
        // A failing handler ends this completion's handling, nothing more.
    }
}

void TAdvPDFViewerPrivate::LoadFailed() {
    // The previous document stays current; show its page again rather than
    // leaving the page area blank under its page number.
    if (PageCount() > 0) {
        LoadAround();
        q->update();
        UpdateWaitCursor();
    }
}

// --- pages -------------------------------------------------------------------

void TAdvPDFViewerPrivate::CancelRenders(int keepFirst, int keepLast) {
    for (auto it = FLoadingPages.rbegin(); it != FLoadingPages.rend(); ++it) {
        const auto [op, page] = *it;
        if (page >= keepFirst && page <= keepLast)
            continue;
        FRenderer->Cancel(op);
        // The entry stops waiting at once, so a new request of the page starts
        // a fresh render instead of waiting for a result that will be dropped.
        if (TAdvPDFViewerPage* entry = FPages.Find(page); entry && entry->FOperation == op) {
            entry->FLoading = false;
            entry->FOperation = 0;
        }
    }
}

void TAdvPDFViewerPrivate::GoToPage(int index, bool repaint) {
    const int count = PageCount();
    const int target = std::max(0, std::min(index, count - 1));
    // Renders of the pages around the one gone to are kept: they are wanted
    // again at once, and a render cannot be restarted for less.
    CancelRenders(target - CacheRadius, target + CacheRadius);
    const bool changed = target != FPageIndex;
    FPageIndex = target;
    FPages.KeepOnly(FPageIndex - CacheRadius, FPageIndex + CacheRadius);
    LoadPage(FPageIndex);
    // Its render may have been asked for as a page ahead, behind another one.
    if (const TAdvPDFViewerPage* shown = FPages.Find(FPageIndex); shown && shown->FLoading)
        FRenderer->Prioritise(shown->FOperation);
    // A page still rendering is painted by its completion; until then the
    // page before it stays on screen rather than a blank one, and the pages
    // ahead wait for it, so that nothing competes with its render, its
    // hand-over or its paint.
    if (!ShownPagePending()) {
        if (repaint)
            q->update();
        PostLoadAhead();
    }
    UpdateWaitCursor();
    if (changed)
        emit q->OnPageChanged(FPageIndex);
}

void TAdvPDFViewerPrivate::LoadAround() {
    FPages.KeepOnly(FPageIndex - CacheRadius, FPageIndex + CacheRadius);
    LoadPage(FPageIndex);
    LoadAhead();
}

void TAdvPDFViewerPrivate::LoadAhead() {
    // The worker takes them in order, after the shown page: the next page (a
    // GO turns forwards), then the previous one.
    for (int step = 1; step <= CacheRadius; ++step) {
        LoadPage(FPageIndex + step);
        LoadPage(FPageIndex - step);
    }
}

void TAdvPDFViewerPrivate::PostLoadAhead() {
    if (!std::exchange(FLoadAheadPosted, true))
        QCoreApplication::postEvent(q, new QEvent(LoadAheadEvent), Qt::LowEventPriority);
}

void TAdvPDFViewerPrivate::LoadPage(int index) {
    if (!FPdfDocument || index < 0 || index >= PageCount())
        return;
    TAdvPDFViewerPage& entry = FPages.Obtain(index);
    if (entry.IsLoaded() || entry.FLoading)
        return;
    const QRectF box = Layout().Page;
    if (!(box.width() > 0) || !(box.height() > 0)) {
        // No room to show it; the next resize asks again.
        if (!entry.IsLoadedForPainting())
            FPages.Remove(index);
        return;
    }
    entry.FLoading = true;
    entry.FOperation = FRenderer->RenderPage(
        FPdfDocument->Id, index, box, q->devicePixelRatioF(),
        [this, index](TPdfOperation op, TPdfCompletion status, const QImage& image) {
            RenderCompleted(op, index, status, image);
        });
    FLoadingPages.emplace_back(entry.FOperation, index);
    ++FRendersRequested;
}

bool TAdvPDFViewerPrivate::ShownPagePending() const {
    const TAdvPDFViewerPage* entry = FPages.Find(FPageIndex);
    return entry && entry->FLoading && !entry->IsLoadedForPainting();
}

void TAdvPDFViewerPrivate::RenderCompleted(TPdfOperation op, int index, TPdfCompletion status,
                                           const QImage& image) {
    if (FDestroying)
        return;
    bool rendered = false;
    bool current = false;
    if (TAdvPDFViewerPage* entry = FPages.Find(index); entry && entry->FOperation == op) {
        current = true;
        entry->FLoading = false;
        entry->FOperation = 0;
        if (status == TPdfCompletion::Success && !image.isNull()) {
            entry->FBitmap = image;
            entry->FBitmap.setDevicePixelRatio(q->devicePixelRatioF());
            entry->FReload = false;
            rendered = true;
        }
    }
    std::erase_if(FLoadingPages, [op](const auto& p) { return p.first == op; });
    if (FLoadingPages.empty() && std::exchange(FFollowUpPending, false) && PageCount() > 0) {
        // Whatever a resize cancelled and the renders since left stale.
        LoadAround();
    }
    // A page rendered ahead changes nothing on screen. The shown page, done
    // (or failed), lets the pages around it be rendered.
    if (index == FPageIndex) {
        q->update();
        if (current && status != TPdfCompletion::Cancelled)
            PostLoadAhead();
    }
    UpdateWaitCursor();
    emit q->OnPageRendered(index, rendered);
}

void TAdvPDFViewerPrivate::ResizeReaction() {
    FPages.MarkAllForReload();
    CancelRenders();
    FPageIndex = std::max(0, std::min(FPageIndex, PageCount() - 1));
    LoadAround();
    FFollowUpPending = !FLoadingPages.empty();
    // The stale image is stretched into the new page rectangle meanwhile.
    q->update();
    UpdateWaitCursor();
}

void TAdvPDFViewerPrivate::ForgetPages() {
    FPages.Clear();
    FDisplayedImage = QImage();
    FDisplayedIndex = -1;
}

// --- wait cursor -------------------------------------------------------------

// The hourglass shows while the shown page is rendering; renders ahead of the
// reader do not show it.
void TAdvPDFViewerPrivate::UpdateWaitCursor() {
    const TAdvPDFViewerPage* shown = FPages.Find(FPageIndex);
    const bool busy = PageCount() > 0 && shown && shown->FLoading;
    if (busy && !FWaitCursorShown) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        FWaitCursorShown = true;
    } else if (!busy) {
        RestoreCursor();
    }
}

void TAdvPDFViewerPrivate::RestoreCursor() {
    if (FWaitCursorShown) {
        QApplication::restoreOverrideCursor();
        FWaitCursorShown = false;
    }
}

// --- painting ----------------------------------------------------------------

bool TAdvPDFViewerPrivate::Paint(QPainter& painter) const {
    const TViewerLayout layout = Layout();
    painter.fillRect(layout.Content, FillColour);
    painter.setPen(QPen(StrokeColour, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(layout.Content.adjusted(0.5, 0.5, -0.5, -0.5));

    const int count = PageCount();
    int number = FPageIndex;
    bool shownPage = false;
    if (count > 0) {
        const TAdvPDFViewerPage* entry = FPages.Find(FPageIndex);
        if (entry && entry->IsLoadedForPainting()) {
            FDisplayedImage = entry->FBitmap;
            FDisplayedIndex = FPageIndex;
        } else if (!ShownPagePending()) {
            FDisplayedImage = QImage();
            FDisplayedIndex = -1;
        }
        // While the shown page renders, the page on screen is painted again
        // with its own number, so the two always agree.
        if (FDisplayedIndex >= 0)
            number = FDisplayedIndex;
        const QImage& image = FDisplayedImage;
        if (!image.isNull()) {
            const QRectF target = PlacedImageRect(layout.Page, image.size());
            painter.save();
            painter.setClipRect(layout.PageClip);
            if (target.size() != QSizeF(image.size()) / image.devicePixelRatio())
                painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.drawImage(target, image);
            painter.restore();
            shownPage = FDisplayedIndex == FPageIndex;
            if (FTraceFirstPaint) {
                FTraceFirstPaint = false;
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                std::printf("cuewell first page painted %lld\n",
                            (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
                std::fflush(stdout);
            }
        }
    }

    const int textFlags = Qt::AlignVCenter | Qt::TextWordWrap;
    const QMarginsF inset(BandTextInset, BandTextInset, BandTextInset, BandTextInset);
    painter.setFont(BandFont());
    painter.setPen(BandTextColour);
    if (layout.HasHeader)
        painter.drawText(layout.Header - inset, textFlags | Qt::AlignHCenter, FOptions.Header);
    if (count > 0)
        painter.drawText(layout.PageNumber - inset, textFlags | Qt::AlignRight,
                         QStringLiteral("%1 / %2").arg(number + 1).arg(count));
    return shownPage;
}

// --- TAdvPDFViewer -----------------------------------------------------------

TAdvPDFViewer::TAdvPDFViewer(QWidget* parent)
    : QWidget(parent), d(std::make_unique<TAdvPDFViewerPrivate>(this)) {
    setFocusPolicy(Qt::ClickFocus);
    setAcceptDrops(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
}

TAdvPDFViewer::~TAdvPDFViewer() {
    d->FDestroying = true;
    d->FRenderer.reset();
    d->RestoreCursor();
}

QString TAdvPDFViewer::FileName() const {
    return d->FFileName;
}

void TAdvPDFViewer::SetFileName(const QString& fileName) {
    if (fileName == d->FFileName)
        return;
    d->FFileName = fileName;
    d->StartDocumentLoad();
}

void TAdvPDFViewer::StartFirstPage() {
    d->RequestFirstPage();
}

void TAdvPDFViewer::OpenAhead(const QString& fileName, QRectF firstPageBox,
                              qreal devicePixelRatio) {
    d->FRenderer->OpenAhead(fileName, firstPageBox, devicePixelRatio);
}

QRectF TAdvPDFViewer::PageBox() const {
    return d->Layout().Page;
}

int TAdvPDFViewer::PageCount() const {
    return d->PageCount();
}
int TAdvPDFViewer::PageIndex() const {
    return d->FPageIndex;
}
void TAdvPDFViewer::SetPageIndex(int index) {
    d->GoToPage(index);
}

void TAdvPDFViewer::NextPage() {
    // Computed without overflow at the int limit.
    d->GoToPage(d->FPageIndex < PageCount() - 1 ? d->FPageIndex + 1 : d->FPageIndex);
}

void TAdvPDFViewer::PreviousPage() {
    d->GoToPage(d->FPageIndex > 0 ? d->FPageIndex - 1 : d->FPageIndex);
}

void TAdvPDFViewer::FirstPage() {
    d->GoToPage(0);
}
void TAdvPDFViewer::LastPage() {
    d->GoToPage(PageCount());
}

TAdvPDFViewerOptions& TAdvPDFViewer::Options() {
    return d->FOptions;
}
float TAdvPDFViewer::ZoomFactor() const {
    return d->FZoomFactor;
}
int TAdvPDFViewer::RendersRequested() const {
    return d->FRendersRequested;
}

bool TAdvPDFViewer::IsLoading() const {
    return d->FDocLoadTimer.isActive() || d->FDocLoad != 0;
}

bool TAdvPDFViewer::PageCached(int index) const {
    const TAdvPDFViewerPage* entry = d->FPages.Find(index);
    return entry && entry->IsLoaded();
}

TPdfRenderer& TAdvPDFViewer::Renderer() const {
    return *d->FRenderer;
}

bool TAdvPDFViewer::event(QEvent* event) {
    // Laid out and about to be painted: the size the first page is shown at.
    if (event->type() == QEvent::Show)
        d->RequestFirstPage();
    if (event->type() == LoadAheadEvent) {
        d->FLoadAheadPosted = false;
        d->LoadAhead();
        return true;
    }
    return QWidget::event(event);
}

void TAdvPDFViewer::paintEvent(QPaintEvent*) {
    bool shownPage = false;
    {
        QPainter painter(this);
        shownPage = d->Paint(painter);
    }
    if (shownPage)
        emit OnPagePainted(d->FPageIndex);
}

void TAdvPDFViewer::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (event->size() != event->oldSize())
        d->ResizeReaction();
}

void TAdvPDFViewer::mousePressEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    emit OnMouseDown(event->button(), event->modifiers(), pos.x(), pos.y());
    if (event->button() == Qt::LeftButton)
        d->FLeftPressed = true;
    event->accept();
}

void TAdvPDFViewer::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    emit OnMouseUp(event->button(), event->modifiers(), pos.x(), pos.y());
    if (event->button() == Qt::LeftButton && std::exchange(d->FLeftPressed, false) &&
        rect().contains(pos))
        emit OnClick();
    event->accept();
}

void TAdvPDFViewer::wheelEvent(QWheelEvent* event) {
    const QPoint angle = event->angleDelta();
    // A sideways scroll and the begin/end markers of a touchpad gesture are not
    // turns of the wheel.
    if (angle.y() == 0 &&
        (angle.x() != 0 || event->phase() == Qt::ScrollBegin || event->phase() == Qt::ScrollEnd)) {
        event->ignore();
        return;
    }
    event->accept();
    const int delta = angle.y();
    const Qt::KeyboardModifiers shift = event->modifiers();
    const QPoint pos = event->position().toPoint();
    const int notches = d->FWheel.Add(delta);
    for (int i = 0; i < std::abs(notches); ++i) {
        bool handled = false;
        if (notches < 0)
            emit OnMouseWheelDown(shift, pos, &handled);
        else
            emit OnMouseWheelUp(shift, pos, &handled);
    }
    if (shift & Qt::ControlModifier) {
        const float zoom = std::max(MinZoom, d->FZoomFactor + float(delta) / 1000.0f);
        if (zoom != d->FZoomFactor) {
            d->FZoomFactor = zoom;
            d->ResizeReaction();
        }
    } else if (delta <= 0) {
        NextPage();
    } else {
        PreviousPage();
    }
}

void TAdvPDFViewer::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_PageUp:
    case Qt::Key_Left:
    case Qt::Key_Up:
        PreviousPage();
        break;
    case Qt::Key_PageDown:
    case Qt::Key_Right:
    case Qt::Key_Down:
        NextPage();
        break;
    case Qt::Key_Home:
        FirstPage();
        break;
    case Qt::Key_End:
        LastPage();
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

void TAdvPDFViewer::dragEnterEvent(QDragEnterEvent* event) {
    if (!DroppedPdf(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void TAdvPDFViewer::dropEvent(QDropEvent* event) {
    const QString path = DroppedPdf(event->mimeData());
    if (path.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    SetFileName(path);
}
