#include "view/PdfRenderer.h"

#include "store/CueStore.h"
#include "view/ViewerGeometry.h"

#include <QDateTime>
#include <QFileInfo>
#include <QPainter>
#include <QPdfDocument>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#ifdef Q_OS_LINUX
#include <pthread.h>
#include <sched.h>
#endif

namespace {
// A render larger than this would cost hundreds of megabytes for a view that
// shows a fraction of it (deep zoom); the image is stretched beyond it instead.
constexpr int MaxRenderSide = 8192;
constexpr qint64 MaxRenderPixels = 16 * 1024 * 1024;

QSize CappedRenderSize(QSize size) {
    double scale = 1.0;
    if (size.width() > MaxRenderSide)
        scale = std::min(scale, double(MaxRenderSide) / size.width());
    if (size.height() > MaxRenderSide)
        scale = std::min(scale, double(MaxRenderSide) / size.height());
    const double pixels = double(size.width()) * size.height() * scale * scale;
    if (pixels > double(MaxRenderPixels))
        scale *= std::sqrt(double(MaxRenderPixels) / pixels);
    if (scale >= 1.0)
        return size;
    return QSize(std::max(1, int(size.width() * scale)), std::max(1, int(size.height() * scale)));
}
} // namespace

namespace {
constexpr QRgb White = 0xFFFFFFFF;

// One pixel over white. Premultiplied: each channel plus the uncovered part,
// which can only exceed 255 for a malformed pixel. Straight: the blend
// rounded to nearest.
template <bool Premultiplied> inline QRgb OnWhite(QRgb p) {
    const uint a = qAlpha(p);
    const uint back = 255 - a;
    auto blend = [&](uint c) {
        return Premultiplied ? std::min(255u, c + back) : (c * a + 255 * back + 127) / 255;
    };
    return qRgb(blend(qRed(p)), blend(qGreen(p)), blend(qBlue(p)));
}

#ifdef __SSE2__
// Four pixels at once, with the same results as OnWhite. Most of a page is
// bare paper or solid ink, which need no arithmetic at all.
template <bool Premultiplied> inline void OnWhite4(QRgb* pixels) {
    auto* at = reinterpret_cast<__m128i*>(pixels);
    const __m128i p = _mm_loadu_si128(at);
    const __m128i alpha = _mm_srli_epi32(p, 24);
    const __m128i zero = _mm_setzero_si128();
    const int clear = _mm_movemask_epi8(_mm_cmpeq_epi32(alpha, zero));
    if (clear == 0xFFFF) {
        _mm_storeu_si128(at, _mm_set1_epi32(int(White)));
        return;
    }
    const __m128i opaqueAlpha = _mm_set1_epi32(255);
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(alpha, opaqueAlpha)) == 0xFFFF)
        return;
    const __m128i alphaByte = _mm_set1_epi32(int(0xFF000000));
    if constexpr (Premultiplied) {
        // 255 - alpha in every byte of its pixel, added with saturation.
        __m128i back = _mm_sub_epi32(opaqueAlpha, alpha);
        back = _mm_or_si128(back, _mm_slli_epi32(back, 8));
        back = _mm_or_si128(back, _mm_slli_epi32(back, 16));
        _mm_storeu_si128(at, _mm_or_si128(_mm_adds_epu8(p, back), alphaByte));
    } else {
        // In 16-bit lanes: c * a + 255 * (255 - a) + 127 stays below 65153,
        // and (t + 1 + (t >> 8)) >> 8 is t / 255 over that whole range.
        const __m128i c255 = _mm_set1_epi16(255);
        const __m128i c127 = _mm_set1_epi16(127);
        const __m128i one = _mm_set1_epi16(1);
        auto blend = [&](__m128i c) {
            __m128i a = _mm_shufflelo_epi16(c, _MM_SHUFFLE(3, 3, 3, 3));
            a = _mm_shufflehi_epi16(a, _MM_SHUFFLE(3, 3, 3, 3));
            __m128i t =
                _mm_add_epi16(_mm_mullo_epi16(c, a), _mm_mullo_epi16(_mm_sub_epi16(c255, a), c255));
            t = _mm_add_epi16(t, c127);
            t = _mm_add_epi16(_mm_add_epi16(t, one), _mm_srli_epi16(t, 8));
            return _mm_srli_epi16(t, 8);
        };
        const __m128i low = blend(_mm_unpacklo_epi8(p, zero));
        const __m128i high = blend(_mm_unpackhi_epi8(p, zero));
        _mm_storeu_si128(at, _mm_or_si128(_mm_packus_epi16(low, high), alphaByte));
    }
}
#endif

template <bool Premultiplied> void OnWhiteInPlace(QImage& image) {
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        int x = 0;
#ifdef __SSE2__
        for (; x + 4 <= width; x += 4)
            OnWhite4<Premultiplied>(line + x);
#endif
        for (; x < width; ++x) {
            const QRgb p = line[x];
            const uint a = qAlpha(p);
            if (a == 0)
                line[x] = White;
            else if (a != 255)
                line[x] = OnWhite<Premultiplied>(p);
        }
    }
}
} // namespace

// Qt PDF leaves the paper transparent: lay the page onto white. Done by hand in
// place, as a QPainter composite of a non-premultiplied image costs as much as
// a third of the render itself.
QImage CompositeOnWhite(QImage image) {
    const bool premultiplied = image.format() == QImage::Format_ARGB32_Premultiplied;
    if (!premultiplied && image.format() != QImage::Format_ARGB32) {
        QImage paper(image.size(), QImage::Format_RGB32);
        if (paper.isNull())
            return paper;
        paper.fill(Qt::white);
        QPainter painter(&paper);
        painter.drawImage(0, 0, image);
        return paper;
    }
    if (premultiplied)
        OnWhiteInPlace<true>(image);
    else
        OnWhiteInPlace<false>(image);
    image.reinterpretAsFormat(QImage::Format_RGB32);
    return image;
}

QSize DerivedRenderSize(QSize destination, QSizeF pageSize) {
    if (!(pageSize.width() > 0) || !(pageSize.height() > 0))
        return QSize();
    if (destination.width() > 0) {
        const double h = RoundHalfEven(destination.width() * pageSize.height() / pageSize.width());
        return CappedRenderSize(
            QSize(destination.width(), int(std::clamp(h, 1.0, double(MaxRenderSide) * 64))));
    }
    if (destination.height() > 0) {
        const double w = RoundHalfEven(destination.height() * pageSize.width() / pageSize.height());
        return CappedRenderSize(
            QSize(int(std::clamp(w, 1.0, double(MaxRenderSide) * 64)), destination.height()));
    }
    return QSize();
}

struct TPdfResult {
    std::shared_ptr<const TPdfDocumentInfo> Doc;
    QImage Image;
};

enum class TPdfJobKind { Open, OpenAhead, Render, Close };

struct TPdfJob {
    TPdfJobKind What = TPdfJobKind::Open;
    TPdfOperation Op = 0;
    QString Path;
    QString Password;
    quint64 Doc = 0;
    int Page = 0;
    QRectF Box;
    qreal DevicePixelRatio = 1.0;
    // Receives the outcome on the user-interface thread.
    std::function<void(TPdfCompletion, const TPdfResult&)> Finish;
};

class TPdfRendererWorker : public QThread {
public:
    using Job = TPdfJob;
    using Kind = TPdfJobKind;

    explicit TPdfRendererWorker(TPdfRenderer* owner) : FOwner(owner) {}
    ~TPdfRendererWorker() override { Stop(); }

    void Post(Job job) {
        {
            std::lock_guard lock(FMutex);
            FQueue.push_back(std::move(job));
        }
        FWake.notify_one();
    }

    // Takes a job out of the queue when it has not started yet.
    bool Unqueue(TPdfOperation op, Job& out) {
        std::lock_guard lock(FMutex);
        auto it =
            std::find_if(FQueue.begin(), FQueue.end(), [op](const Job& j) { return j.Op == op; });
        if (it == FQueue.end())
            return false;
        out = std::move(*it);
        FQueue.erase(it);
        return true;
    }

    void MoveToFront(TPdfOperation op) {
        std::lock_guard lock(FMutex);
        auto it =
            std::find_if(FQueue.begin(), FQueue.end(), [op](const Job& j) { return j.Op == op; });
        if (it != FQueue.end())
            std::rotate(FQueue.begin(), it, std::next(it));
    }

    void Stop() {
        {
            std::lock_guard lock(FMutex);
            FStopping = true;
            FQueue.clear();
        }
        FWake.notify_one();
        wait();
    }

    // Waits for a call of the previous hook under way, so that whatever the
    // hook refers to may go once this returns. Must not be called from the hook.
    void SetHook(std::function<void(int)> hook) {
        std::lock_guard lock(FHookMutex);
        FHook = std::move(hook);
    }

    std::atomic<int> RendersRun{0};
    std::atomic<int> DocumentsLoaded{0};
    std::atomic<int> ServedAhead{0};

protected:
    void run() override {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(FMutex);
                FWake.wait(lock, [this] { return FStopping || !FQueue.empty(); });
                if (FStopping)
                    break;
                job = std::move(FQueue.front());
                FQueue.pop_front();
            }
            Execute(job);
        }
        // Documents are created and destroyed on this thread only.
        FDocs.clear();
        FAhead = TAhead();
        FFirstPage = TFirstPage();
    }

private:
    // Renders are background work: on Linux, batch scheduling keeps a waking
    // render from preempting the user-interface thread (a GO, an autoplay tick)
    // while still getting its fair share of the processor, which idle
    // scheduling would not on a busy machine. The first render is the
    // exception: it is the page start-up waits for, before any show can run,
    // and at batch priority it would wait behind other programs' work.
    static void LowerPriority() {
#ifdef Q_OS_LINUX
        sched_param param{};
        param.sched_priority = 0;
        pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);
#endif
    }

    void Execute(Job& job) {
        TPdfResult result;
        TPdfCompletion status = TPdfCompletion::Failed;
        switch (job.What) {
        case Kind::Close:
            if (FFirstPage.Doc == job.Doc)
                FFirstPage = TFirstPage();
            FDocs.erase(job.Doc);
            return;
        case Kind::OpenAhead:
            OpenAhead(job);
            return;
        case Kind::Open:
            status = Open(job, result);
            break;
        case Kind::Render:
            status = Render(job, result);
            if (!std::exchange(FLowered, true))
                LowerPriority();
            break;
        }
        FOwner->Deliver([finish = std::move(job.Finish), status, result = std::move(result)] {
            finish(status, result);
        });
    }

    // Page 0 rendered ahead, and the box and scale it was rendered for.
    struct TFirstPage {
        quint64 Doc = 0;
        QRectF Box;
        qreal DevicePixelRatio = 0;
        QImage Image;
    };

    // A document and the file as it was when the document was loaded.
    struct TAhead {
        QString Path;
        qint64 Size = -1;
        QDateTime Modified;
        std::unique_ptr<QPdfDocument> Doc;
        TFirstPage FirstPage;
    };

    static bool SameFile(const TAhead& ahead, const QFileInfo& file) {
        return ahead.Path == file.absoluteFilePath() && ahead.Size == file.size() &&
               ahead.Modified == file.lastModified();
    }

    // Null for a file that is not a usable document.
    std::unique_ptr<QPdfDocument> Load(const QFileInfo& file, const QString& password) {
        auto doc = std::make_unique<QPdfDocument>();
        if (!password.isEmpty())
            doc->setPassword(password);
        const bool loaded = doc->load(file.absoluteFilePath()) == QPdfDocument::Error::None &&
                            doc->status() == QPdfDocument::Status::Ready && doc->pageCount() > 0;
        ++DocumentsLoaded;
        return loaded ? std::move(doc) : nullptr;
    }

    void OpenAhead(const Job& job) {
        FAhead = TAhead();
        const QFileInfo file(job.Path);
        if (job.Path.isEmpty() || !file.isFile())
            return;
        // Taken before the load: a change made during it shows as a change.
        TAhead ahead{file.absoluteFilePath(), file.size(), file.lastModified(), nullptr, {}};
        ahead.Doc = Load(file, QString());
        if (!ahead.Doc)
            return;
        if (job.Box.isValid()) {
            ahead.FirstPage.Box = job.Box;
            ahead.FirstPage.DevicePixelRatio = job.DevicePixelRatio;
            Rendered(*ahead.Doc, 0, job.Box, job.DevicePixelRatio, ahead.FirstPage.Image);
        }
        FAhead = std::move(ahead);
    }

    TPdfCompletion Open(const Job& job, TPdfResult& result) {
        TAhead ahead = std::exchange(FAhead, TAhead());
        const QFileInfo file(job.Path);
        if (job.Path.isEmpty() || !file.isFile())
            return TPdfCompletion::Failed;
        std::unique_ptr<QPdfDocument> doc;
        FFirstPage = TFirstPage();
        if (ahead.Doc && job.Password.isEmpty() && SameFile(ahead, file)) {
            doc = std::move(ahead.Doc);
            FFirstPage = std::move(ahead.FirstPage);
            FFirstPage.Doc = job.Doc;
        } else {
            doc = Load(file, job.Password);
        }
        if (!doc)
            return TPdfCompletion::Failed;
        auto info = std::make_shared<TPdfDocumentInfo>();
        info->Id = job.Doc;
        info->PageCount = doc->pageCount();
        FDocs[info->Id] = std::move(doc);
        result.Doc = std::move(info);
        return TPdfCompletion::Success;
    }

    TPdfCompletion Render(const Job& job, TPdfResult& result) {
        // The page rendered ahead serves the first render of its document, if
        // that asks for the same page in the same box; it goes either way.
        TFirstPage first = std::exchange(FFirstPage, TFirstPage());
        auto it = FDocs.find(job.Doc);
        if (it == FDocs.end() || job.Page < 0 || job.Page >= it->second->pageCount())
            return TPdfCompletion::Failed;
        if (first.Doc == job.Doc && job.Page == 0 && first.Box == job.Box &&
            first.DevicePixelRatio == job.DevicePixelRatio && !first.Image.isNull()) {
            result.Image = std::move(first.Image);
            ++ServedAhead;
            return TPdfCompletion::Success;
        }
        if (!Rendered(*it->second, job.Page, job.Box, job.DevicePixelRatio, result.Image))
            return TPdfCompletion::Failed;
        return TPdfCompletion::Success;
    }

    // The page composited onto white, fitted into `box`; false if it cannot be.
    bool Rendered(QPdfDocument& doc, int pageIndex, QRectF box, qreal devicePixelRatio,
                  QImage& out) {
        const QSizeF points = doc.pagePointSize(pageIndex);
        if (!points.isValid())
            return false;
        // Points are 1/72 inch; the viewer works in 1/96 inch.
        const QSizeF pageSize = points * (96.0 / 72.0);
        const QSize size =
            DerivedRenderSize(RenderDestination(pageSize, box, devicePixelRatio), pageSize);
        if (size.isEmpty())
            return false;
        {
            // Held through the call: the hook cannot be replaced under it. The
            // queue has its own lock, so posting and cancelling go on meanwhile.
            std::lock_guard lock(FHookMutex);
            if (FHook)
                FHook(pageIndex);
        }
        QImage page = doc.render(pageIndex, size);
        ++RendersRun;
        if (page.isNull())
            return false;
        out = CompositeOnWhite(std::move(page));
        return !out.isNull();
    }

    TPdfRenderer* FOwner;
    std::mutex FMutex;
    std::condition_variable FWake;
    std::deque<Job> FQueue;
    bool FStopping = false;
    std::mutex FHookMutex;
    std::function<void(int)> FHook;
    std::map<quint64, std::unique_ptr<QPdfDocument>> FDocs;
    // The document opened ahead, until an open takes it or lets it go.
    TAhead FAhead;
    // Page 0 of the document the last open took from FAhead, until the next
    // render.
    TFirstPage FFirstPage;
    bool FLowered = false;
};

TPdfRenderer::TPdfRenderer(QObject* parent)
    : QObject(parent), FWorker(std::make_unique<TPdfRendererWorker>(this)) {
    FWorker->start();
}

TPdfRenderer::~TPdfRenderer() {
    // Joining here, before QObject's destructor, means every completion the
    // worker posts goes to a live object; QObject's destructor then drops them.
    FWorker->Stop();
}

void TPdfRenderer::Deliver(std::function<void()> completion) {
    QMetaObject::invokeMethod(this, std::move(completion), Qt::QueuedConnection);
}

TPdfOperation TPdfRenderer::Start(TPdfJob&& job, TPdfFinisher finish) {
    const TPdfOperation op = ++FLastOp;
    FPending.emplace(op, false);
    job.Op = op;
    // The status is settled here, on the user-interface thread: once Cancel has
    // returned, the operation can only end as cancelled.
    job.Finish = [this, op, finish = std::move(finish)](TPdfCompletion status,
                                                        const TPdfResult& result) {
        auto it = FPending.find(op);
        if (it == FPending.end())
            return;
        if (it->second)
            status = TPdfCompletion::Cancelled;
        FPending.erase(it);
        finish(op, status, result);
    };
    FWorker->Post(std::move(job));
    return op;
}

TPdfOperation TPdfRenderer::OpenDocument(const QString& file, const QString& password,
                                         OpenDone done, quint64* document) {
    TPdfJob job;
    job.What = TPdfJobKind::Open;
    job.Path = file;
    job.Password = password;
    // Given here, on the user-interface thread, so that renders can be queued
    // behind the open.
    job.Doc = ++FLastDoc;
    if (document)
        *document = job.Doc;
    return Start(std::move(job), [this, done = std::move(done)](
                                     TPdfOperation op, TPdfCompletion status, const TPdfResult& r) {
        if (status == TPdfCompletion::Success) {
            done(op, status, r.Doc);
            return;
        }
        // Opened, but no longer wanted: nobody else will ever close it.
        if (r.Doc)
            CloseDocument(r.Doc->Id);
        done(op, status, nullptr);
    });
}

TPdfOperation TPdfRenderer::RenderPage(quint64 document, int page, QRectF box,
                                       qreal devicePixelRatio, RenderDone done) {
    TPdfJob job;
    job.What = TPdfJobKind::Render;
    job.Doc = document;
    job.Page = page;
    job.Box = box;
    job.DevicePixelRatio = devicePixelRatio;
    return Start(std::move(job), [done = std::move(done)](TPdfOperation op, TPdfCompletion status,
                                                          const TPdfResult& r) {
        done(op, status, status == TPdfCompletion::Success ? r.Image : QImage());
    });
}

void TPdfRenderer::Prioritise(TPdfOperation operation) {
    if (FPending.count(operation))
        FWorker->MoveToFront(operation);
}

void TPdfRenderer::Cancel(TPdfOperation operation) {
    auto it = FPending.find(operation);
    if (it == FPending.end() || it->second)
        return;
    it->second = true;
    TPdfJob job;
    if (FWorker->Unqueue(operation, job)) {
        // Never started: it ends now, through its completion, but not from
        // inside this call.
        Deliver(
            [finish = std::move(job.Finish)] { finish(TPdfCompletion::Cancelled, TPdfResult()); });
    }
}

void TPdfRenderer::OpenAhead(const QString& file, QRectF firstPageBox, qreal devicePixelRatio) {
    TPdfJob job;
    job.What = TPdfJobKind::OpenAhead;
    job.Path = file;
    job.Box = firstPageBox;
    job.DevicePixelRatio = devicePixelRatio;
    job.Finish = [](TPdfCompletion, const TPdfResult&) {};
    FWorker->Post(std::move(job));
}

void TPdfRenderer::CloseDocument(quint64 document) {
    TPdfJob job;
    job.What = TPdfJobKind::Close;
    job.Doc = document;
    job.Finish = [](TPdfCompletion, const TPdfResult&) {};
    FWorker->Post(std::move(job));
}

int TPdfRenderer::RendersRun() const {
    return FWorker->RendersRun.load();
}

int TPdfRenderer::DocumentsLoaded() const {
    return FWorker->DocumentsLoaded.load();
}

int TPdfRenderer::RendersServedAhead() const {
    return FWorker->ServedAhead;
}

void TPdfRenderer::SetBeforeRenderHook(std::function<void(int page)> hook) {
    FWorker->SetHook(std::move(hook));
}
