#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringView>

#include <memory>

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
    // Several keys of one section at once, the section looked up once: each
    // as ReadString and WriteString do it.
    void ReadStrings(const QString& section, const QString* keys, QString* values,
                     qsizetype count) const;
    void WriteStrings(const QString& section, const QString* keys, const QString* values,
                      qsizetype count);
    void WriteInteger(const QString& section, const QString& key, int value);
    void WriteBool(const QString& section, const QString& key, bool value);

    // Writes the file when auto-save is on and something was written. Where
    // the folder allows it the new file is flushed and renamed over the old
    // one, so a failed write or a crash leaves the old file as it was; in a
    // folder that does not allow new files, a writable file is rewritten in
    // place. A damaged file is first kept under KeptCopyPath().
    void Free();

    // The whole text as it would be written (without the BOM).
    QString ToText() const;

    // Name lookup without regard to letter case; views into the names held.
    struct NameKey {
        QStringView name;
    };

private:
    struct Entry {
        QString key; // the bare line itself when hasValue is false
        QString value;
        bool hasValue = true;
        // A line whose value was not UTF-8: its key reads as missing (and
        // hides later entries of the key, as the line did), it is not written.
        bool damaged = false;
    };
    struct Section {
        QString name;
        QList<Entry> entries;
        // Each entry's key hash, scanned in one cache line or two for the
        // small sections a cue file is made of.
        QList<quint32> hashes;
        // For a large section, built at its first lookup: the first entry of
        // each key; views into entries[].key.
        mutable std::shared_ptr<QHash<NameKey, qsizetype>> firstEntry;
    };
    void Load(const QByteArray& bytes);
    void LoadLine(QStringView line, const QByteArray* damagedBytes);
    void AddEntry(qsizetype section, Entry entry);
    const Section* FindSection(QStringView name) const;
    const Entry* FindEntry(const QString& section, const QString& key) const;
    void KeepDamagedCopy();

    QString FPath;
    QList<Section> FSections;
    QHash<NameKey, qsizetype> FSectionIndex; // views into FSections[].name
    qsizetype FirstEntry(const Section& section, QStringView key) const; // -1: none
    qsizetype SectionFor(const QString& section);                        // found or appended
    void WriteAt(qsizetype section, const QString& key, const QString& value);
    // While loading: one copy of each key spelling, shared by all its entries.
    QHash<QStringView, QString> FKeySpellings;
    bool FModified = false;
    bool FAutoSave = false;

    // Load state and damage.
    qsizetype FCurrent = -1;
    bool FSkipping = false;
    int FLineNumber = 0;
    int FDamagedLines = 0;
    int FFirstDamagedLine = 0;
    QByteArray FOriginal; // the bytes as loaded, kept only for a damaged file
    QString FKeptCopyPath;
    bool FCopyKept = false;
};

size_t qHash(KeyValueFile::NameKey key, size_t seed = 0) noexcept;
bool operator==(KeyValueFile::NameKey a, KeyValueFile::NameKey b) noexcept;

// Parses an integer the way settings are read: optional blanks, sign, decimal
// or hexadecimal after "$", "x", "X" or "0x"; the whole text, 32 bits.
bool ParseSettingsInteger(const QString& text, int& value);

// Writes `bytes` as the whole file at `path`, the way Free() does: a new file
// beside it, flushed, renamed over it, the folder flushed; a writable file in
// a folder that allows no new file is rewritten in place. Leftovers of earlier
// interrupted saves of the same file are removed. Raises CuewellError.
void SaveFileBytes(const QString& path, const QByteArray& bytes);
