#include "cues/PromptBook.h"

#include "app/Errors.h"
#include "cues/CueLayout.h"
#include "view/PdfRenderer.h"
#include "view/ViewerGeometry.h"

#include <QFileInfo>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPdfDocument>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextOption>
#include <QThread>
#include <algorithm>
#include <cmath>

QRectF PinRectOnPage(QPoint pin, QSize view, QSizeF pageSize) {
    // The viewer's page rectangle at zoom 1 is the same with or without a header.
    const QRectF pageRect = ComputeViewerLayout(view, true, 1.0f).Page;
    const QRectF placed = PlacedImageRect(pageRect, pageSize);
    if (placed.width() <= 0 || placed.height() <= 0)
        throw CuewellError(QStringLiteral("The page does not fit a page viewer of %1 x %2 pixels")
                               .arg(view.width())
                               .arg(view.height()));
    const double sx = pageSize.width() / placed.width();
    const double sy = pageSize.height() / placed.height();
    return QRectF((pin.x() - placed.left()) * sx, (pin.y() - placed.top()) * sy, PinSize * sx,
                  PinSize * sy);
}

namespace {

const QColor MarkerColour(220, 0, 0);
const QColor NoTargetColour(200, 0, 0);
const QColor LeaderColour(150, 150, 150);
const QColor NoteColour(20, 20, 20);
constexpr double NoteGap = 4;
constexpr double NoteMargin = 12;

struct TMark {
    TCueEntry Entry;
    QRectF Marker; // on the page, in points
};

// The marks of one page where its pins are shown: the shift that keeps a pin
// clear of the one above it applies here as on screen.
QList<TMark> PageMarks(const QList<TCueEntry>& entries, QSize view, QSizeF pageSize) {
    QList<TMark> marks;
    int previousTop = 0;
    for (const TCueEntry& entry : entries) {
        QPoint pin;
        try {
            pin = PinTopLeft(SplitRecord(entry.Record), view.width(), view.height());
        } catch (const CuewellError& error) {
            throw CuewellError(QStringLiteral("Page %1, cue %2: %3")
                                   .arg(entry.Page + 1)
                                   .arg(entry.Slot + 1)
                                   .arg(error.Text()));
        }
        if (!marks.isEmpty())
            pin.setY(SeparatedTop(pin.y(), previousTop));
        previousTop = pin.y();
        marks.append({entry, PinRectOnPage(pin, view, pageSize)});
    }
    return marks;
}

QFont NoteFont(double points, bool bold) {
    // A face without ligatures: "fl" must stay two letters for anyone searching
    // the book's text, and messages read best in fixed pitch.
    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setStyleHint(QFont::Monospace);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

struct TNote {
    const TMark* Mark = nullptr;
    QString Head, Message, Target;
    QRectF HeadBox, MessageBox, TargetBox;
    double Top = 0, Height = 0;
};

void DrawMarker(QPainter& painter, const TMark& mark) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(MarkerColour);
    const double radius = mark.Marker.width() / 4;
    painter.drawRoundedRect(mark.Marker, radius, radius);
    painter.setPen(Qt::white);
    painter.setFont(NoteFont(mark.Marker.height() * 0.55, true));
    painter.drawText(mark.Marker, Qt::AlignCenter, QString::number(mark.Entry.Slot + 1));
}

// Notes stand in the column right of the page, each level with its marker
// unless the one above pushes it down; a column that runs off the foot of the
// page is pushed back up from the bottom.
void DrawNotes(QPainter& painter, const QList<TMark>& marks, QSizeF pageSize) {
    const double left = pageSize.width() + NoteMargin;
    const double width = PromptBookNotesWidth - 2 * NoteMargin;
    const QFont head = NoteFont(10, true), body = NoteFont(8.5, false);
    // Lines break between words; only a word wider than the column is split.
    QTextOption wrap(Qt::AlignLeft | Qt::AlignTop);
    wrap.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);

    QList<TNote> notes;
    double bottom = -1e9;
    for (const TMark& mark : marks) {
        const TCueEntry& e = mark.Entry;
        TNote note;
        note.Mark = &mark;
        note.Head = e.Call.isEmpty() ? QString::number(e.Slot + 1)
                                     : QStringLiteral("%1  %2").arg(e.Slot + 1).arg(e.Call);
        note.Message = e.Message.isEmpty() ? QStringLiteral("(no message)") : e.Message;
        note.Target = QStringLiteral("to %1").arg(CueTargetName(e.Target));
        if (e.Target == TCueTarget::None)
            note.Target = CueTargetName(e.Target);
        if (!e.AutoplayValid)
            note.Target += QStringLiteral("   autoplay unreadable: %1").arg(e.Autoplay);
        else if (e.AutoplayOn)
            note.Target += QStringLiteral("   AUTOPLAY");
        painter.setFont(head);
        note.HeadBox = painter.boundingRect(QRectF(0, 0, width, 1e6), note.Head, wrap);
        painter.setFont(body);
        note.MessageBox = painter.boundingRect(QRectF(0, 0, width, 1e6), note.Message, wrap);
        note.TargetBox = painter.boundingRect(QRectF(0, 0, width, 1e6), note.Target, wrap);
        note.Height = note.HeadBox.height() + note.MessageBox.height() + note.TargetBox.height();
        const double wanted = mark.Marker.center().y() - note.HeadBox.height() / 2;
        note.Top = std::max(wanted, bottom + NoteGap);
        bottom = note.Top + note.Height;
        notes.append(note);
    }
    double limit = pageSize.height() - NoteGap;
    for (auto it = notes.rbegin(); it != notes.rend(); ++it) {
        it->Top = std::min(it->Top, limit - it->Height);
        limit = it->Top - NoteGap;
    }

    painter.setPen(QPen(LeaderColour, 0.5));
    painter.drawLine(QPointF(pageSize.width(), 0), QPointF(pageSize.width(), pageSize.height()));
    for (const TNote& note : notes) {
        const QRectF& m = note.Mark->Marker;
        const double y = note.Top + note.HeadBox.height() / 2;
        // Only across the gutter, never through the script's words.
        painter.setPen(QPen(LeaderColour, 0.6));
        painter.drawLine(QPointF(pageSize.width(), m.center().y()), QPointF(left - 3, y));

        double top = note.Top;
        painter.setPen(NoteColour);
        painter.setFont(head);
        painter.drawText(QRectF(left, top, width, note.HeadBox.height()), note.Head, wrap);
        top += note.HeadBox.height();
        painter.setFont(body);
        painter.drawText(QRectF(left, top, width, note.MessageBox.height()), note.Message, wrap);
        top += note.MessageBox.height();
        if (note.Mark->Entry.Target == TCueTarget::None)
            painter.setPen(NoTargetColour);
        painter.drawText(QRectF(left, top, width, note.TargetBox.height()), note.Target, wrap);
    }
}

QString DocumentError(QPdfDocument::Error error) {
    switch (error) {
    case QPdfDocument::Error::FileNotFound:
        return QStringLiteral("the file does not exist");
    case QPdfDocument::Error::InvalidFileFormat:
        return QStringLiteral("it is not a PDF file");
    case QPdfDocument::Error::IncorrectPassword:
        return QStringLiteral("it is protected by a password");
    case QPdfDocument::Error::UnsupportedSecurityScheme:
        return QStringLiteral("its security scheme is not supported");
    default:
        return QStringLiteral("it cannot be read");
    }
}

} // namespace

void CheckExportTarget(const QString& output, const QString& script) {
    const QString target = QFileInfo(output).absoluteFilePath();
    const auto same = [&](const QString& path) {
        const QFileInfo a(target), b(path);
        if (a.exists() && b.exists())
            return a.canonicalFilePath() == b.canonicalFilePath();
        return a.absoluteFilePath() == b.absoluteFilePath();
    };
    if (same(script))
        throw CuewellError(
            QStringLiteral("The export \"%1\" would replace the script itself").arg(output));
    if (same(CueFilePath(script)))
        throw CuewellError(
            QStringLiteral("The export \"%1\" would replace the script's cues").arg(output));
}

bool WritePromptBook(const TPromptBookRequest& request, const std::atomic<bool>& cancel,
                     const TPromptBookProgress& progress) {
    CheckExportTarget(request.Output, request.Script);
    QPdfDocument doc;
    const QPdfDocument::Error loaded = doc.load(request.Script);
    if (loaded != QPdfDocument::Error::None || doc.pageCount() <= 0)
        throw CuewellError(QStringLiteral("Cannot open the script \"%1\": %2")
                               .arg(request.Script, loaded == QPdfDocument::Error::None
                                                        ? QStringLiteral("it has no pages")
                                                        : DocumentError(loaded)));
    const int pages = doc.pageCount();
    const QList<TCueEntry> entries =
        CueEntries(request.Table, request.SoundSelector, request.LightSelector);

    // Written beside the target and renamed over it only when complete.
    QSaveFile file(request.Output);
    if (!file.open(QIODevice::WriteOnly))
        throw CuewellError(QStringLiteral("Cannot write the prompt book \"%1\": %2")
                               .arg(request.Output, file.errorString()));
    QPdfWriter writer(&file);
    writer.setResolution(72); // painter units are points
    writer.setCreator(QStringLiteral("Cuewell"));
    writer.setTitle(QFileInfo(request.Script).completeBaseName() +
                    QStringLiteral(" - prompt book"));

    auto layoutFor = [&](QSizeF points) {
        const QPageSize size(QSizeF(points.width() + PromptBookNotesWidth, points.height()),
                             QPageSize::Point, QString(), QPageSize::ExactMatch);
        return QPageLayout(size, QPageLayout::Portrait, QMarginsF(0, 0, 0, 0));
    };
    QSizeF points = doc.pagePointSize(0);
    writer.setPageLayout(layoutFor(points));
    QPainter painter;
    if (!painter.begin(&writer))
        throw CuewellError(
            QStringLiteral("Cannot write the prompt book \"%1\"").arg(request.Output));
    painter.setRenderHint(QPainter::Antialiasing);

    int next = 0; // first entry not yet drawn
    for (int page = 0; page < pages; ++page) {
        if (cancel.load())
            break;
        points = doc.pagePointSize(page);
        if (page > 0) {
            writer.setPageLayout(layoutFor(points));
            writer.newPage();
        }
        const double scale = request.Dpi / 72.0;
        const QSize pixels(std::max(1, int(std::lround(points.width() * scale))),
                           std::max(1, int(std::lround(points.height() * scale))));
        // Qt PDF leaves the paper transparent; the book's page lies on white.
        const QImage image = CompositeOnWhite(doc.render(page, pixels));
        if (image.isNull())
            throw CuewellError(QStringLiteral("Cannot render page %1 of \"%2\"")
                                   .arg(page + 1)
                                   .arg(request.Script));
        painter.drawImage(QRectF(QPointF(0, 0), points), image);

        QList<TCueEntry> onPage;
        while (next < entries.size() && entries[next].Page == page)
            onPage.append(entries[next++]);
        const QList<TMark> marks = PageMarks(onPage, request.ViewSize, points);
        for (const TMark& mark : marks)
            DrawMarker(painter, mark);
        DrawNotes(painter, marks, points);
        if (progress)
            progress(page + 1, pages);
    }
    painter.end();
    if (cancel.load()) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit())
        throw CuewellError(QStringLiteral("Cannot write the prompt book \"%1\": %2")
                               .arg(request.Output, file.errorString()));
    return true;
}

TPromptBookExport::TPromptBookExport(TPromptBookRequest request, QObject* parent)
    : QObject(parent), FRequest(std::move(request)) {}

TPromptBookExport::~TPromptBookExport() {
    FCancel = true;
    if (FThread) {
        FThread->wait();
        delete FThread;
    }
}

void TPromptBookExport::Start() {
    if (FThread)
        return;
    FCancel = false;
    auto outcome =
        std::make_shared<std::pair<TExportOutcome, QString>>(TExportOutcome::Failed, QString());
    FThread = QThread::create([this, outcome] {
        try {
            const bool written = WritePromptBook(FRequest, FCancel, [this](int done, int total) {
                QMetaObject::invokeMethod(
                    this, [this, done, total] { emit Progress(done, total); },
                    Qt::QueuedConnection);
            });
            outcome->first = written ? TExportOutcome::Written : TExportOutcome::Cancelled;
        } catch (const CuewellError& error) {
            outcome->second = error.Text();
        } catch (const std::exception& error) {
            outcome->second = QString::fromLocal8Bit(error.what());
        }
    });
    // Reported once the thread has ended, so a receiver may delete this at once.
    connect(FThread, &QThread::finished, this,
            [this, outcome] { emit Finished(outcome->first, outcome->second); });
    FThread->start();
}

void TPromptBookExport::Cancel() {
    FCancel = true;
}

bool TPromptBookExport::Running() const {
    return FThread && !FThread->isFinished();
}
