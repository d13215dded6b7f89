#pragma once

// The recent-scripts list hosted by a menu item ("Open Recent PDF").

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>

class QAction;

constexpr int MruTag = 195894762;

class TMostRecentFiles : public QObject {
    Q_OBJECT
public:
    using TMRUMenuEvent = std::function<void(QObject* sender, const QString& Filename)>;

    // With IniFile empty the list lives in `settingsFile`, the owner's settings
    // file, or beside the executable (its name with ".ini") when that is empty;
    // a bare IniFile name lives in the executable's folder.
    TMostRecentFiles(QObject* owner, const QString& executablePath,
                     const QString& settingsFile = QString());
    // Writes the list into the storage file, key by key; failures are ignored.
    ~TMostRecentFiles() override;

    int MaxFiles() const;
    void SetMaxFiles(int value); // 0 gives 1, above 8 gives 8
    int MenuPosition() const;
    void SetMenuPosition(int value);
    QMenu* OwnerMenuItem() const;
    void SetOwnerMenuItem(QMenu* menu);
    QString IniFile() const;
    void SetIniFile(const QString& value);
    bool ShowFullPath() const;
    void SetShowFullPath(bool value);
    QStringList Files() const;
    QString StorageFile() const;

    void ReadList();  // reads the stored list and rebuilds the menu
    void WriteList(); // writes all MaxFiles keys
    void AddFile(const QString& Filename);
    void RebuildRecentMenu();
    // Choosing an entry (the action of a menu item the component created).
    void MenuItemClick(QAction* item);

    TMRUMenuEvent OnMenuClick;
    TMRUMenuEvent OnFileNotExist;

private:
    int fMaxFiles = 4;
    int fMenuPosition = 0;
    // Becomes null when the menu is destroyed.
    QPointer<QMenu> fOwnerMenuItem;
    QString fIniFilename;
    QString fExecutablePath;
    QString fSettingsFile;
    bool fShowFullPath = false;
    QStringList fFileList;
};
