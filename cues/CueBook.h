#pragma once

// The show's cue state, owned in one place and observed by the windows: the
// script the cue table belongs to, the table itself, the prompted cue and the
// changes not yet in the cue file.
//
// Invariants every operation keeps:
// - the table is read from and saved to its own script's cue file, never to the
//   file of a script that is only being opened;
// - a change stays pending (CuesDirty) until a save of its page succeeds;
// - a row that is changed is kept as the file lists it (sorted, without gaps),
//   and the prompted cue is followed to the slot it lands in.

#include "store/CueStore.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <memory>

class KeyValueFile;

// The window size a cue file remembers.
struct TStoredSize {
    bool Exists = false; // the cue file exists
    int Height = 0;
    int Width = 0;
};

class TCueBook : public QObject {
    Q_OBJECT
public:
    static constexpr int AllPages = -1;

    explicit TCueBook(QObject* parent = nullptr);
    ~TCueBook() override;

    // ---- the script ----
    // Makes `script` with `pageCount` pages the book's script. Another script
    // starts from an empty table and no prompt; the same script keeps its
    // table, resized to the page count. Returns whether the script changed.
    bool Load(const QString& script, int pageCount);
    bool ScriptLoaded() const { return !FScript.isEmpty(); }
    const QString& Script() const { return FScript; }
    // The cue file of the book's script; empty while no script is loaded.
    QString CueFile() const;

    // ---- the table and its file ----
    // ReadCues reads the first page's row at once and the others when anything
    // looks at them, or when ReadRest is called (once the first page shows).
    const TCueTable& CueTable() const {
        ReadRest();
        return FTable;
    }
    // One page's row; `page` must be valid.
    const CueRow& Row(int page) const {
        Need(page);
        return FTable[page];
    }
    bool RestPending() const { return FRest != nullptr; }
    // Reads the rows ReadCues left for later.
    void ReadRest() const;
    int PageCount() const { return static_cast<int>(FTable.size()); }
    bool ValidPage(int page) const { return page >= 0 && page < PageCount(); }
    // The record in a slot; the empty text outside the table.
    CueRecord Record(int page, int slot) const;
    // Records before the first empty slot: the cues shown and played.
    int CueCount(int page) const;

    // Reads the cue file of a script that is about to load and returns the
    // window size it holds; the table is untouched. The ReadCues after that
    // script's load takes its rows from this read, so the file is read once,
    // unless the file has changed in between.
    TStoredSize ReadAhead(const QString& script);
    // Reads every page from the cue file when it exists and returns the window
    // size it holds: the first page's row now, the others as said above. A
    // damaged file is read as far as it can be; its problem is in LoadProblem()
    // until the next read.
    TStoredSize ReadCues();
    // Reloads one page's row from the cue file.
    void ReadPage(int page);
    // Writes one page (sorted, without gaps); its changes are then no longer pending.
    void SavePage(int page);
    // Writes every page at once; nothing is pending afterwards.
    void SaveCues();
    // Writes the window's outer size into the cue file, when the script has one.
    void StoreWindowSize(int height, int width);
    // The text of the last read's problem (a damaged cue file), or empty.
    const QString& LoadProblem() const { return FLoadProblem; }

    bool CuesDirty() const { return !FDirty.isEmpty(); }
    bool PageDirty(int page) const { return FDirty.contains(page); }
    // Whether `page` holds the only pending changes.
    bool OnlyPageDirty(int page) const { return FDirty.size() == 1 && FDirty.contains(page); }
    // A change that is not in the table yet (a pin being dragged) is pending too.
    void MarkDirty(int page);

    // ---- the show lock: while it is on, no cue is added, moved, edited or deleted ----
    bool Locked() const { return FLocked; }
    void SetLocked(bool locked);

    // ---- editing: each keeps the row sorted and the prompt on its cue ----
    // While the book is locked each of them changes nothing.
    // Adds a cue to a page and saves the page. Returns the cue's slot. Raises
    // when the page is full; a failed save leaves the cue in the table, pending.
    int AddCue(int page, const CueRecord& record);
    // Stores a dragged pin's record; saved with the page later. Returns where
    // each cue of the row went (indexed by its old slot).
    QList<int> MoveCue(int page, int slot, const CueRecord& record);
    // The cue details' Save: new message, autoplay and call, then every page is saved.
    int EditCue(int page, int slot, const QByteArray& message, bool autoplay,
                const QByteArray& call);
    // Removes a cue, closes the gap and saves the page.
    void DeleteCue(int page, int slot);

    // ---- the prompted cue: what GO fires ----
    bool HasPrompt() const { return FPromptPage >= 0; }
    int PromptPage() const { return FPromptPage; }
    int CurrentCue() const { return FCurrentCue; }
    // The prompted cue's record split into (at least five) fields.
    const arStr& CueFields() const { return FCueFields; }
    // Prompts the cue in that slot and returns whether it is autoplay. An empty
    // slot prompts nothing and returns false with `prompted` false. A record
    // whose autoplay field cannot be read raises before anything changes.
    bool SetPrompt(int page, int slot, bool* prompted = nullptr);
    void ClearPrompt();

signals:
    // A script replaced the previous one: the table and the prompt start empty.
    void ScriptChanged();
    // The records of a page changed; `newSlotOf[old slot]` is where each cue of
    // the row went (-1: deleted). An empty list means the row was replaced;
    // `page` AllPages means every row was.
    void PageCuesChanged(int page, const QList<int>& newSlotOf);
    // The prompted cue moved to another slot, was replaced or was cleared.
    void PromptMoved();
    void LockChanged(bool locked);

private:
    // Puts row `page` in file order and reports where each cue went.
    QList<int> SortRow(int page);
    void FollowPrompt(int page, const QList<int>& newSlotOf);
    void CheckSlot(int page, int slot) const;

    // Reads the rows left for later unless `page` is the first one.
    void Need(int page) const {
        if (page != 0)
            ReadRest();
    }

    QString FScript;
    // The rows after the first are filled in by the first look at them.
    mutable TCueTable FTable;
    // The cue file the rows after the first are still to be read from.
    mutable std::unique_ptr<KeyValueFile> FRest;
    QSet<int> FDirty;
    int FPromptPage = -1;
    int FCurrentCue = 0;
    arStr FCueFields;
    QString FLoadProblem;
    bool FLocked = false;
    // The read ahead of a load: the cue file as loaded, and its bytes then,
    // so that a file changed since is read anew.
    struct TReadAhead {
        QString Path;
        QByteArray Bytes;
        std::unique_ptr<KeyValueFile> File;
    };
    TReadAhead FReadAhead;
    // The read ahead of `cueFile` when it still holds what the file does; null otherwise.
    std::unique_ptr<KeyValueFile> TakeReadAhead(const QString& cueFile);
};
