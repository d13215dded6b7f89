#pragma once

// The prompt book: the script on paper with every cue marked where it is
// pinned, its number, and beside it in the margin the call, the message, the
// target and whether it plays by itself.

#include "cues/CueSheet.h"
#include "store/CueStore.h"

#include <QObject>
#include <QRectF>
#include <QSize>
#include <QSizeF>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>

class QThread;

struct TPromptBookRequest {
    QString Script; // the show's PDF
    QString Output; // the prompt book to write
    TCueTable Table;
    QString SoundSelector;
    QString LightSelector;
    // The page viewer's size the pins' fractions refer to.
    QSize ViewSize;
    // The script page's resolution in the book; print quality needs 200 or more.
    int Dpi = 200;
};

// Where a pin whose top-left corner is `pin` in a page viewer of `view` sits on
// the page itself, in the units of `pageSize`: the viewer fits the page into its
// page rectangle and centres it, so the same words lie under the pin.
QRectF PinRectOnPage(QPoint pin, QSize view, QSizeF pageSize);

// Width of the notes column added beside each script page, in points.
constexpr double PromptBookNotesWidth = 220;

// Raises CuewellError when writing `output` would replace the script itself or
// its cue file.
void CheckExportTarget(const QString& output, const QString& script);

// Called after each page with the pages done and the total.
using TPromptBookProgress = std::function<void(int done, int total)>;

// Writes the book on the calling thread. Returns false when `cancel` was set
// before the end; raises CuewellError for a script that does not open, a record
// whose position does not read or an output that cannot be written. A
// cancelled or failed export leaves no file under the output's name (an older
// one stays as it was): the book is written beside it and renamed at the end.
bool WritePromptBook(const TPromptBookRequest& request, const std::atomic<bool>& cancel,
                     const TPromptBookProgress& progress = {});

enum class TExportOutcome { Written, Cancelled, Failed };

// Runs WritePromptBook on a thread of its own and reports on the thread that
// started it, so the window keeps answering while a long script is written.
class TPromptBookExport : public QObject {
    Q_OBJECT
public:
    explicit TPromptBookExport(TPromptBookRequest request, QObject* parent = nullptr);
    // Cancels a running export and waits for it to leave nothing behind.
    ~TPromptBookExport() override;

    void Start();
    // The export stops after the page under way; Finished then says Cancelled.
    void Cancel();
    bool Running() const;

signals:
    void Progress(int done, int total);
    // `error` is the reason of a failure, empty otherwise.
    void Finished(TExportOutcome outcome, const QString& error);

private:
    TPromptBookRequest FRequest;
    std::atomic<bool> FCancel{false};
    QThread* FThread = nullptr;
};
