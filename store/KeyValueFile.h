#pragma once

#include <QList>
#include <QString>

// An INI-style file of sections and key=value lines, loaded whole when opened
// and written whole (UTF-8 with BOM, CR LF) when freed after a change.
// Errors (unreadable file, invalid UTF-8, failed write) raise CuewellError.
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

    QString ReadString(const QString& section, const QString& key, const QString& def) const;
    int ReadInteger(const QString& section, const QString& key, int def) const;
    bool ReadBool(const QString& section, const QString& key, bool def) const;

    void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInteger(const QString& section, const QString& key, int value);
    void WriteBool(const QString& section, const QString& key, bool value);

    // Writes the file when auto-save is on and something was written; the
    // replacement is atomic, so a failed write leaves the old file as it was.
    void Free();

    // The whole text as it would be written (without the BOM).
    QString ToText() const;

private:
    struct Entry {
        QString key; // the bare line itself when hasValue is false
        QString value;
        bool hasValue = true;
    };
    struct Section {
        QString name;
        QList<Entry> entries;
    };

    const Section* FindSection(const QString& name) const;
    const Entry* FindEntry(const QString& section, const QString& key) const;

    QString FPath;
    QList<Section> FSections;
    bool FModified = false;
    bool FAutoSave = false;
};

// Parses an integer the way settings are read: optional blanks, sign, decimal
// or hexadecimal after "$", "x", "X" or "0x"; the whole text, 32 bits.
bool ParseSettingsInteger(const QString& text, int& value);
