#include "cues/CueBook.h"

#include "app/Errors.h"
#include "cues/CueLayout.h"
#include "store/KeyValueFile.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <numeric>
#include <utility>

namespace {
const QString SettingsSection = QStringLiteral("Settings");

TStoredSize SizeIn(const KeyValueFile& file) {
    TStoredSize size;
    size.Exists = true;
    size.Height = file.ReadInteger(SettingsSection, QStringLiteral("Height"), 580);
    size.Width = file.ReadInteger(SettingsSection, QStringLiteral("Width"), 900);
    return size;
}
} // namespace

TCueBook::TCueBook(QObject* parent) : QObject(parent) {}

TCueBook::~TCueBook() = default;

bool TCueBook::Load(const QString& script, int pageCount) {
    const bool changed = script != FScript;
    // The rows still to be read belong to the table as it is.
    if (changed)
        FRest.reset();
    else
        ReadRest();
    if (changed) {
        FTable.clear();
        FDirty.clear();
        FPromptPage = -1;
        FCurrentCue = 0;
        FCueFields.clear();
        FLoadProblem.clear();
    }
    FScript = script;
    FTable.resize(std::max(0, pageCount));
    // Changes of pages the script no longer has cannot be saved anywhere.
    for (auto it = FDirty.begin(); it != FDirty.end();)
        it = ValidPage(*it) ? std::next(it) : FDirty.erase(it);
    if (FPromptPage >= PageCount())
        ClearPrompt();
    if (changed) {
        emit ScriptChanged();
        emit PromptMoved();
    }
    return changed;
}

QString TCueBook::CueFile() const {
    return FScript.isEmpty() ? QString() : CueFilePath(FScript);
}

CueRecord TCueBook::Record(int page, int slot) const {
    if (!ValidPage(page) || slot < 0 || slot >= MaxCuesPerPage)
        return {};
    Need(page);
    return FTable[page][slot];
}

int TCueBook::CueCount(int page) const {
    if (!ValidPage(page))
        return 0;
    Need(page);
    int count = 0;
    while (count < MaxCuesPerPage && !FTable[page][count].isEmpty())
        ++count;
    return count;
}

TStoredSize TCueBook::ReadAhead(const QString& script) {
    FReadAhead = TReadAhead();
    const QString cueFile = CueFilePath(script);
    QFile file(cueFile);
    if (!file.exists())
        return TStoredSize();
    // The bytes are taken before the file is loaded: a change made in between
    // shows as a change.
    if (file.open(QIODevice::ReadOnly))
        FReadAhead.Bytes = file.readAll();
    FReadAhead.File = std::make_unique<KeyValueFile>(cueFile);
    FReadAhead.Path = cueFile;
    return SizeIn(*FReadAhead.File);
}

std::unique_ptr<KeyValueFile> TCueBook::TakeReadAhead(const QString& cueFile) {
    TReadAhead taken = std::exchange(FReadAhead, TReadAhead());
    if (!taken.File || taken.Path != cueFile)
        return nullptr;
    // Comparing the bytes costs a read of the file; loading it anew, a parse.
    QFile file(cueFile);
    if (!file.open(QIODevice::ReadOnly) || file.readAll() != taken.Bytes)
        return nullptr;
    return std::move(taken.File);
}

TStoredSize TCueBook::ReadCues() {
    TStoredSize size;
    FLoadProblem.clear();
    FRest.reset();
    std::unique_ptr<KeyValueFile> file = TakeReadAhead(CueFile());
    if (FScript.isEmpty() || !QFileInfo::exists(CueFile()))
        return size;
    if (!file)
        file = std::make_unique<KeyValueFile>(CueFile());
    // A damaged file is read as far as it can be; the window says so once.
    FLoadProblem = file->LoadProblem();
    // The first page is what the window shows first; the others wait for it.
    if (!FTable.isEmpty())
        ReadPageSection(*file, 0, FTable[0]);
    size = SizeIn(*file);
    if (FTable.size() > 1)
        FRest = std::move(file);
    // What was read is what the file holds.
    FDirty.clear();
    if (FPromptPage >= 0)
        ClearPrompt();
    emit PageCuesChanged(AllPages, {});
    return size;
}

void TCueBook::ReadRest() const {
    if (!FRest)
        return;
    // In one walk over the file; the first page was read already.
    ReadAllPageSections(*FRest, FTable, 1);
    FRest.reset();
}

void TCueBook::ReadPage(int page) {
    ReadRest();
    if (!ValidPage(page) || FScript.isEmpty() || !QFileInfo::exists(CueFile()))
        return;
    KeyValueFile file(CueFile());
    ReadPageSection(file, page, FTable[page]);
    file.Free();
    FDirty.remove(page);
    if (FPromptPage == page)
        ClearPrompt();
    emit PageCuesChanged(page, {});
}

void TCueBook::SavePage(int page) {
    ReadRest();
    if (!ValidPage(page) || FScript.isEmpty())
        return;
    KeyValueFile file(CueFile());
    file.SetAutoSave(true);
    WritePageSection(file, page, FTable[page]);
    // Raises when the file cannot be written: the page stays pending.
    file.Free();
    FDirty.remove(page);
}

void TCueBook::SaveCues() {
    // Every row goes to the file: none may be written before it was read.
    ReadRest();
    if (FScript.isEmpty())
        return;
    KeyValueFile file(CueFile());
    file.SetAutoSave(true);
    for (int page = 0; page < PageCount(); ++page)
        WritePageSection(file, page, FTable[page]);
    file.Free();
    FDirty.clear();
}

void TCueBook::SetLocked(bool locked) {
    if (locked == FLocked)
        return;
    FLocked = locked;
    emit LockChanged(locked);
}

void TCueBook::StoreWindowSize(int height, int width) {
    if (FScript.isEmpty() || !QFileInfo::exists(CueFile()))
        return;
    KeyValueFile file(CueFile());
    file.SetAutoSave(true);
    file.WriteInteger(SettingsSection, QStringLiteral("Height"), height);
    file.WriteInteger(SettingsSection, QStringLiteral("Width"), width);
    file.Free();
}

void TCueBook::MarkDirty(int page) {
    if (ValidPage(page) && !FLocked)
        FDirty.insert(page);
}

void TCueBook::CheckSlot(int page, int slot) const {
    if (!ValidPage(page) || slot < 0 || slot >= MaxCuesPerPage || FTable[page][slot].isEmpty())
        throw CuewellError(QStringLiteral("This cue is no longer on its page."));
}

QList<int> TCueBook::SortRow(int page) {
    CueRow& row = FTable[page];
    // The file lists a page's records sorted and without gaps; reading it back
    // gives the row that order, so the row takes it at once.
    std::array<int, MaxCuesPerPage> order;
    std::iota(order.begin(), order.end(), 0);
    const auto end = std::stable_partition(order.begin(), order.end(),
                                           [&](int slot) { return !row[slot].isEmpty(); });
    std::stable_sort(order.begin(), end,
                     [&](int a, int b) { return CueRecordLess(row[a], row[b]); });
    QList<int> newSlotOf(MaxCuesPerPage, -1);
    CueRow sorted;
    int next = 0;
    for (auto it = order.begin(); it != end; ++it) {
        newSlotOf[*it] = next;
        sorted[next++] = row[*it];
    }
    row = sorted;
    return newSlotOf;
}

void TCueBook::FollowPrompt(int page, const QList<int>& newSlotOf) {
    if (FPromptPage != page)
        return;
    const int slot =
        FCurrentCue >= 0 && FCurrentCue < newSlotOf.size() ? newSlotOf[FCurrentCue] : -1;
    if (slot < 0) {
        ClearPrompt();
        return;
    }
    FCurrentCue = slot;
    // The prompted cue's fields follow its record: an edit reaches the next GO.
    FCueFields = SplitRecord(FTable[page][slot]);
    emit PromptMoved();
}

int TCueBook::AddCue(int page, const CueRecord& record) {
    ReadRest();
    if (FLocked)
        return -1;
    if (!ValidPage(page))
        throw CuewellError(QStringLiteral("No page %1 in this script.").arg(page + 1));
    CueRow& row = FTable[page];
    const auto free =
        std::find_if(row.begin(), row.end(), [](const CueRecord& r) { return r.isEmpty(); });
    if (free == row.end())
        throw CuewellError(QStringLiteral("The maximum 21 cues per page has been reached."));
    const int inserted = static_cast<int>(free - row.begin());
    *free = record;
    FDirty.insert(page);
    const QList<int> newSlotOf = SortRow(page);
    emit PageCuesChanged(page, newSlotOf);
    FollowPrompt(page, newSlotOf);
    SavePage(page);
    return newSlotOf[inserted];
}

QList<int> TCueBook::MoveCue(int page, int slot, const CueRecord& record) {
    ReadRest();
    CheckSlot(page, slot);
    if (FLocked) {
        QList<int> unchanged(MaxCuesPerPage);
        std::iota(unchanged.begin(), unchanged.end(), 0);
        return unchanged;
    }
    FTable[page][slot] = record;
    FDirty.insert(page);
    const QList<int> newSlotOf = SortRow(page);
    emit PageCuesChanged(page, newSlotOf);
    FollowPrompt(page, newSlotOf);
    return newSlotOf;
}

int TCueBook::EditCue(int page, int slot, const QByteArray& message, bool autoplay,
                      const QByteArray& call) {
    ReadRest();
    CheckSlot(page, slot);
    if (FLocked)
        return slot;
    // The position is the record's as it stands now, a drag included.
    FTable[page][slot] =
        BuildRecord(SplitRecord(FTable[page][slot]), message, autoplay ? "-1" : "0", call);
    FDirty.insert(page);
    const QList<int> newSlotOf = SortRow(page);
    emit PageCuesChanged(page, newSlotOf);
    FollowPrompt(page, newSlotOf);
    SaveCues();
    return newSlotOf[slot];
}

void TCueBook::DeleteCue(int page, int slot) {
    ReadRest();
    CheckSlot(page, slot);
    if (FLocked)
        return;
    FTable[page][slot].clear();
    FDirty.insert(page);
    const QList<int> newSlotOf = SortRow(page);
    // The prompt no longer names its cue once the cues after it move up.
    if (FPromptPage == page)
        ClearPrompt();
    emit PageCuesChanged(page, newSlotOf);
    SavePage(page);
}

bool TCueBook::SetPrompt(int page, int slot, bool* prompted) {
    if (prompted)
        *prompted = false;
    if (ValidPage(page))
        Need(page);
    if (!ValidPage(page) || slot < 0 || slot >= MaxCuesPerPage || FTable[page][slot].isEmpty())
        return false;
    const CueRecord& record = FTable[page][slot];
    // Read first: a flag that cannot be read changes nothing.
    const bool autoplay = CueAutoplay(record);
    FPromptPage = page;
    FCurrentCue = slot;
    FCueFields = SplitRecord(record);
    if (prompted)
        *prompted = true;
    emit PromptMoved();
    return autoplay;
}

void TCueBook::ClearPrompt() {
    if (FPromptPage < 0 && FCueFields.isEmpty())
        return;
    FPromptPage = -1;
    FCueFields.clear();
    emit PromptMoved();
}
