#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringView>

#include <functional>
#include <optional>
#include <vector>

// An INI-style file of sections and key=value lines, loaded whole when opened
// and written whole (UTF-8 with BOM, CR LF) when freed after a change.
// A file that cannot be opened or read, and a failed write, raise CuewellError.
// Bytes that are not UTF-8 do not: they spoil only the line they are on, which
// is left out; every other line loads, and Damaged() tells the caller.
class KeyValueFile {
public:
    // Loads the file; a missing file gives an empty one. Auto-save starts off.
    explicit KeyValueFile(const QString& path);
    // Discards the content; never writes. Call Free() to write.
    ~KeyValueFile();

    KeyValueFile(const KeyValueFile&) = delete;
    KeyValueFile& operator=(const KeyValueFile&) = delete;

    const QString& FileName() const { return FPath; }
    bool AutoSave() const { return FAutoSave; }
    void SetAutoSave(bool on) { FAutoSave = on; }
    bool Modified() const { return FModified; }

    // Some lines were not UTF-8 and were left out.
    bool Damaged() const { return FDamagedLines > 0; }
    // The first such line, counted from 1 (0 when the file is whole).
    int DamagedLine() const { return FFirstDamagedLine; }
    int DamagedLineCount() const { return FDamagedLines; }
    // Where the original bytes are kept before the first save over the file;
    // empty when the file is whole.
    QString KeptCopyPath() const { return FKeptCopyPath; }
    // The error text for the operator: the file, the line, the kept copy.
    // Empty when the file is whole.
    QString LoadProblem() const;

    QString ReadString(const QString& section, const QString& key, const QString& def) const;
    int ReadInteger(const QString& section, const QString& key, int def) const;
    bool ReadBool(const QString& section, const QString& key, bool def) const;

    void WriteString(const QString& section, const QString& key, const QString& value);

    // Keys asked together again and again (a page's cue keys): their hashes,
    // and whether each may be one asked before it, found once.
    class KeyList {
    public:
        KeyList(const QString* keys, qsizetype count);
        qsizetype size() const { return qsizetype(FKeys.size()); }

    private:
        friend class KeyValueFile;
        std::vector<QString> FKeys;
        std::vector<quint32> FHashes;
        std::vector<bool> FMaybeRepeated;
    };
    // Several keys of one section at once, the section looked up once: each
    // as ReadString and WriteString do it.
    void ReadStrings(QStringView section, const QString* keys, QString* values,
                     qsizetype count) const;
    void WriteStrings(QStringView section, const QString* keys, const QString* values,
                      qsizetype count);
    void ReadStrings(QStringView section, const KeyList& keys, QString* values) const;
    // values[i] for keys[i]; a null pointer writes the empty text.
    void WriteStrings(QStringView section, const KeyList& keys, const QString* const* values);
    void WriteInteger(const QString& section, const QString& key, int value);
    void WriteBool(const QString& section, const QString& key, bool value);

    // Writes the file when auto-save is on and something was written. Where
    // the folder allows it the new file is flushed and renamed over the old
    // one, so a failed write or a crash leaves the old file as it was; in a
    // folder that does not allow new files, a writable file is rewritten in
    // place. A damaged file is first kept under KeptCopyPath().
    void Free();

    // For a reader that takes in a whole file once, in the file's order,
    // without the index being built: while nothing was looked up or written
    // yet (so the file is as loaded, and every line of it UTF-8), calls
    // onSection(name) at each section's header and onEntry(key, value,
    // hasValue) at each line after one that holds a key (hasValue: it has
    // "="; else the key is the whole line), all in UTF-8, and returns true.
    // Unlike the index, a section whose name (in any letter case) came
    // before is passed on again with its entries: the reader keeps the
    // first. False, with nothing called, once the index is built: the
    // reader then walks the index below. Defined in store/KeyValueLines.h.
    template <typename OnSection, typename OnEntry>
    bool WalkLines(OnSection&& onSection, OnEntry&& onEntry) const;

    // The sections and their entries in the file's order, names, keys and
    // values in UTF-8, for a reader that takes in a whole file at once. Each
    // section name appears once (a repeated section was left out as read).
    qint32 SectionCount() const {
        EnsureIndexed();
        return qint32(FSections.size());
    }
    QByteArrayView SectionName(qint32 section) const {
        return Bytes(FSections[size_t(section)].name);
    }
    // -1: the section has no entries / this was its last.
    qint32 FirstEntry(qint32 section) const { return FSections[size_t(section)].first; }
    qint32 NextEntry(qint32 entry) const { return FEntries[size_t(entry)].next; }
    // The key, or the whole line when it has no "=".
    QByteArrayView EntryKey(qint32 entry) const { return Bytes(FEntries[size_t(entry)].key); }
    // False for a line without "=" or one whose value could not be read:
    // ReadString gives the default there.
    bool EntryValue(qint32 entry, QByteArrayView* value) const {
        const Entry& e = FEntries[size_t(entry)];
        *value = Bytes(e.value);
        return e.flags == HasValue;
    }

    // The whole text as it would be written (without the BOM).
    QString ToText() const;
    // The bytes as they would be written: BOM, then the text in UTF-8.
    QByteArray ToBytes() const;

private:
    // Names, keys and values stay in UTF-8 where they were read (or were
    // written since), so that a large file costs no allocation per line.
    // Bytes() resolves a span; Added marks the bytes written since loading.
    // 32 bits each keep the index small; the top bit of pos marks Added.
    struct Span {
        quint32 pos = 0;
        quint32 size = 0;
    };
    static constexpr quint32 Added = quint32(1) << 31;
    static constexpr qsizetype MaxBytes = qsizetype(Added) - 1;
    static Span MakeSpan(qsizetype pos, qsizetype size) {
        return Span{quint32(pos), quint32(size)};
    }
    QByteArrayView Bytes(Span span) const {
        if (span.pos & Added)
            return QByteArrayView(FAdded.constData() + (span.pos & ~Added), span.size);
        return QByteArrayView(FBytes.constData() + span.pos, span.size);
    }
    Span AddBytes(QStringView text, bool oneLine);

    enum EntryFlag : quint8 {
        HasValue = 1, // else the key span holds the bare line
        // The line's value was not UTF-8: its key reads as missing (and hides
        // later entries of the key, as the line did), it is not written.
        IsDamaged = 2,
    };
    struct Entry {
        Span key;
        Span value;
        // Of the key without letter case; found at the section's first lookup.
        mutable quint32 hash = 0;
        qint32 next = -1; // the section's next entry, in the file's order
        quint8 flags = 0;
    };
    // Open addressing over indexes into FEntries (a key's first entry) or
    // FSections; -1 is a free slot.
    struct Index {
        std::vector<qint32> table;
        qsizetype used = 0;
    };
    struct Section {
        Span name;
        quint32 hash = 0;
        qint32 first = -1;
        qint32 last = -1;
        qint32 count = 0;
        // Its entries' hashes are set: a file read whole never looks them up.
        mutable bool hashed = false;
        // For a large section, built at its first lookup; small ones are
        // scanned, their entries side by side as the file lists them.
        mutable qint32 keyIndex = -1; // into FKeyIndexes
    };

    // The index is built from the bytes when first needed: a reader that
    // walks the whole file once needs none. A file with lines that are not
    // UTF-8 is indexed at once, which finds and counts them.
    void EnsureIndexed() const {
        if (!FIndexed)
            Load();
    }
    void Load() const;
    // One line of [begin, end), its first "=" at `equals` (-1: none).
    void LoadLine(qsizetype begin, qsizetype end, qsizetype equals) const;
    // A line that is not UTF-8.
    void LoadDamagedLine(qsizetype begin, qsizetype end, qsizetype equals) const;
    qint32 AddSection(Span name, quint32 hash) const;
    // Appends the entry to the section's chain; its index.
    qint32 LinkEntry(qint32 section, const Entry& entry) const;
    // An entry as loaded: its hash is found at the section's first lookup.
    void AddLoadedEntry(qint32 section, Span key, Span value, quint8 flags) const;
    // An entry written, with the hash of its key.
    void AddEntry(qint32 section, Span key, Span value, quint8 flags, quint32 hash);
    void HashEntries(const Section& section) const;
    const Index& KeyIndex(const Section& section) const;
    qint32 FindSection(QStringView name) const;                            // -1: none
    qint32 FindSection(QByteArrayView name, quint32 hash) const;           // -1: none
    qint32 FindEntry(qint32 section, QStringView key, quint32 hash) const; // -1: none
    // FindEntry for one of several keys asked one after another. `cursor`
    // starts at the section's first entry and follows the keys while the
    // section lists them in the order asked; `repeated`: the key may be one
    // asked before.
    static constexpr qint32 NotInOrder = -2;
    qint32 FindInOrder(qint32 section, QStringView key, quint32 hash, bool repeated,
                       qint32& cursor) const;
    QString ValueOf(qint32 entry, const QString& def) const;
    qint32 SectionFor(QStringView section); // found or appended
    void WriteAt(qint32 section, const QString& key, const QString& value);
    void WriteAt(qint32 section, qint32 found, const QString& key, quint32 hash,
                 const QString& value);
    void CompactAdded();
    void KeepDamagedCopy();
    // Hands the bytes ToBytes() gives to `put`, piece by piece.
    template <typename Put> void Serialize(Put&& put) const;
    // Writes them to the file; false with errno set when a write fails.
    bool WriteTo(int fd) const;

    QString FPath;
    QByteArray FBytes;          // the file as loaded
    QByteArray FAdded;          // names, keys and values written since
    qsizetype FAddedUnused = 0; // bytes of FAdded no longer referred to
    // The index, built from FBytes by the first reader or writer that needs it.
    mutable bool FIndexed = false;
    mutable std::vector<Section> FSections;
    mutable std::vector<Entry> FEntries;
    mutable Index FSectionIndex;
    mutable std::vector<Index> FKeyIndexes;
    bool FModified = false;
    bool FAutoSave = false;

    // Load state and damage.
    mutable qint32 FCurrent = -1;
    mutable int FLineNumber = 0;
    mutable int FDamagedLines = 0;
    mutable int FFirstDamagedLine = 0;
    QString FKeptCopyPath;
    bool FCopyKept = false;
};

// UTF-8 as text, a U+FEFF at its start kept as part of it (QString::fromUtf8
// drops it as a byte order mark, so a value, name or field that begins with
// it would change on every read).
QString Utf8Text(QByteArrayView utf8);

// Parses an integer the way settings are read: optional blanks, sign, decimal
// or hexadecimal after "$", "x", "X" or "0x"; the whole text, 32 bits.
bool ParseSettingsInteger(const QString& text, int& value);

// Writes `bytes` as the whole file at `path`, the way Free() does: a new file
// beside it, flushed, renamed over it, the folder flushed; a writable file in
// a folder that allows no new file is rewritten in place. Leftovers of earlier
// interrupted saves of the same file are removed. Raises CuewellError.
void SaveFileBytes(const QString& path, const QByteArray& bytes);
// The same with the bytes that `write` writes to the file, once, from its
// start (false with errno set when a write fails).
void SaveFileWith(const QString& path, const std::function<bool(int fd)>& write);
