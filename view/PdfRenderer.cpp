#include "view/PdfRenderer.h"

#include "store/CueStore.h"
#include "view/ViewerGeometry.h"

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
    constexpr QRgb White = 0xFFFFFFFF;
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = line[x];
            const uint a = qAlpha(p);
            // Most of a page is bare paper or solid ink, and either way the
            // blend below gives white or the pixel itself.
            if (a == 0) {
                line[x] = White;
                continue;
            }
            if (a == 255)
                continue;
            const uint back = 255 - a;
            auto blend = [&](uint c) {
                return premultiplied ? std::min(255u, c + back) : (c * a + 255 * back + 127) / 255;
            };
            line[x] = qRgb(blend(qRed(p)), blend(qGreen(p)), blend(qBlue(p)));
        }
    }
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

enum class TPdfJobKind { Open, Render, Close };

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

protected:
    void run() override {
        LowerPriority();
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
    }

private:
    // Renders are background work: on Linux, batch scheduling keeps a waking
    // render from preempting the user-interface thread (a GO, an autoplay tick)
    // while still getting its fair share of the processor, which idle
    // scheduling would not on a busy machine.
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
            FDocs.erase(job.Doc);
            return;
        case Kind::Open:
            status = Open(job, result);
            break;
        case Kind::Render:
            status = Render(job, result);
            break;
        }
        FOwner->Deliver([finish = std::move(job.Finish), status, result = std::move(result)] {
            finish(status, result);
        });
    }

    TPdfCompletion Open(const Job& job, TPdfResult& result) {
        const QFileInfo file(job.Path);
        if (job.Path.isEmpty() || !file.isFile())
            return TPdfCompletion::Failed;
        auto doc = std::make_unique<QPdfDocument>();
        if (!job.Password.isEmpty())
            doc->setPassword(job.Password);
        if (doc->load(file.absoluteFilePath()) != QPdfDocument::Error::None ||
            doc->status() != QPdfDocument::Status::Ready || doc->pageCount() <= 0)
            return TPdfCompletion::Failed;
        auto info = std::make_shared<TPdfDocumentInfo>();
        info->Id = job.Doc;
        info->PageCount = doc->pageCount();
        FDocs[info->Id] = std::move(doc);
        result.Doc = std::move(info);
        return TPdfCompletion::Success;
    }

    TPdfCompletion Render(const Job& job, TPdfResult& result) {
        auto it = FDocs.find(job.Doc);
        if (it == FDocs.end() || job.Page < 0 || job.Page >= it->second->pageCount())
            return TPdfCompletion::Failed;
        QPdfDocument& doc = *it->second;
        const QSizeF points = doc.pagePointSize(job.Page);
        if (!points.isValid())
            return TPdfCompletion::Failed;
        // Points are 1/72 inch; the viewer works in 1/96 inch.
        const QSizeF pageSize = points * (96.0 / 72.0);
        const QSize size =
            DerivedRenderSize(RenderDestination(pageSize, job.Box, job.DevicePixelRatio), pageSize);
        if (size.isEmpty())
            return TPdfCompletion::Failed;
        {
            // Held through the call: the hook cannot be replaced under it. The
            // queue has its own lock, so posting and cancelling go on meanwhile.
            std::lock_guard lock(FHookMutex);
            if (FHook)
                FHook(job.Page);
        }
        QImage page = doc.render(job.Page, size);
        ++RendersRun;
        if (page.isNull())
            return TPdfCompletion::Failed;
        QImage paper = CompositeOnWhite(std::move(page));
        if (paper.isNull())
            return TPdfCompletion::Failed;
        result.Image = std::move(paper);
        return TPdfCompletion::Success;
    }

    TPdfRenderer* FOwner;
    std::mutex FMutex;
    std::condition_variable FWake;
    std::deque<Job> FQueue;
    bool FStopping = false;
    std::mutex FHookMutex;
    std::function<void(int)> FHook;
    std::map<quint64, std::unique_ptr<QPdfDocument>> FDocs;
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

void TPdfRenderer::SetBeforeRenderHook(std::function<void(int page)> hook) {
    FWorker->SetHook(std::move(hook));
}
