#pragma once

// The page viewer's renderer layer over Qt PDF. Every operation (file lookup,
// document open, page render) is started on the user-interface thread, runs on
// one worker thread that owns the documents, and ends through a completion
// (success, cancelled, failed) delivered on the user-interface thread, never
// from inside the call that started it.
//
// Qt PDF serialises every PDFium call behind one process-wide mutex and a render
// cannot be interrupted, so a second worker would gain nothing. Cancelling drops
// an operation not yet started and discards the result of one under way. The
// worker runs at a priority that never preempts the user-interface thread, from
// the end of its first render on.

#include <QImage>
#include <QList>
#include <QObject>
#include <QRectF>
#include <QSize>
#include <QSizeF>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <unordered_map>

enum class TPdfCompletion { Success, Cancelled, Failed };

// What the user-interface thread knows of an open document; read once at open,
// so that nothing calls into the document while a render may hold its lock.
// Page sizes are read by each render instead: reading them all would hold up
// the open by a fifth of a millisecond a page.
struct TPdfDocumentInfo {
    quint64 Id = 0;
    int PageCount = 0;
};

using TPdfOperation = quint64;

class TPdfRendererWorker;
struct TPdfResult;
struct TPdfJob;
using TPdfFinisher = std::function<void(TPdfOperation, TPdfCompletion, const TPdfResult&)>;

class TPdfRenderer : public QObject {
    Q_OBJECT
public:
    using OpenDone = std::function<void(TPdfOperation, TPdfCompletion,
                                        std::shared_ptr<const TPdfDocumentInfo> doc)>;
    using RenderDone = std::function<void(TPdfOperation, TPdfCompletion, const QImage& image)>;

    explicit TPdfRenderer(QObject* parent = nullptr);
    // Cancels everything, waits for a render under way to end and closes every
    // document; no completion is delivered afterwards.
    ~TPdfRenderer() override;

    TPdfRenderer(const TPdfRenderer&) = delete;
    TPdfRenderer& operator=(const TPdfRenderer&) = delete;

    // Fails for a missing, damaged, password-protected or page-less file, and
    // for a path that names no file. A successful document stays open until
    // CloseDocument. `document` receives at once the id the document has once
    // open: a render of it may be started before the open completes, and runs
    // right after the open (failing when the open does).
    TPdfOperation OpenDocument(const QString& file, const QString& password, OpenDone done,
                               quint64* document = nullptr);
    // Opens a file on the worker ahead of the OpenDocument the caller expects to
    // make of it soon (the script of the last show, while the window is still
    // being built). That OpenDocument takes the document when it names the same
    // file, unchanged in size and time since, instead of loading it again; any
    // other open lets it go. Reports nothing, and fails silently.
    //
    // With a valid `firstPageBox`, page 0 is rendered too, as RenderPage would
    // for that box and ratio: the first render of the document that open gives,
    // when it asks for exactly that, is served with it instead of rendering.
    void OpenAhead(const QString& file, QRectF firstPageBox = QRectF(),
                   qreal devicePixelRatio = 1.0);
    // Renders one page composited onto white, fitted into `box` (the viewer's
    // page rectangle) at `devicePixelRatio`: the render size follows from the
    // page's size as RenderDestination and DerivedRenderSize give it. Fails for
    // a page the document cannot give or that does not fit the box.
    TPdfOperation RenderPage(quint64 document, int page, QRectF box, qreal devicePixelRatio,
                             RenderDone done);
    // Moves an operation not started yet to the front of the queue, so that the
    // page the reader waits for goes before pages rendered ahead of it.
    void Prioritise(TPdfOperation operation);
    // Ends the operation through its completion with Cancelled, unless it has
    // already completed.
    void Cancel(TPdfOperation operation);
    void CloseDocument(quint64 document);

    // Renders that actually ran in the worker (cancelled ones that never started
    // are not counted).
    int RendersRun() const;
    // Loads of a document from its file that the worker has finished, whether
    // they succeeded or not, opened ahead or not.
    int DocumentsLoaded() const;
    // Renders answered with the first page rendered by OpenAhead.
    int RendersServedAhead() const;
    // Called on the worker thread just before each render runs; lets a test hold
    // a render "under way" without relying on timing. Replacing or clearing the
    // hook waits for a call of the previous one under way to return, so what it
    // refers to may be destroyed afterwards; not to be called from the hook.
    void SetBeforeRenderHook(std::function<void(int page)> hook);

private:
    friend class TPdfRendererWorker;
    void Deliver(std::function<void()> completion);
    TPdfOperation Start(TPdfJob&& job, TPdfFinisher finish);

    std::unique_ptr<TPdfRendererWorker> FWorker;
    // Operations whose completion has not been handled yet, and whether they
    // were cancelled; user-interface thread only.
    TPdfOperation FLastOp = 0;
    quint64 FLastDoc = 0;
    std::unordered_map<TPdfOperation, bool> FPending;
};

// The page laid onto white: an ARGB32 image, premultiplied or not, becomes RGB32
// with each pixel blended over white (other formats are painted onto white).
QImage CompositeOnWhite(QImage image);

// The image size for a render: `destination` holds one dimension, the other is
// derived from `pageSize` and rounded with halves to even (at least 1).
QSize DerivedRenderSize(QSize destination, QSizeF pageSize);
