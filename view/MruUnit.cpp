#include "view/MruUnit.h"

#include "app/Errors.h"
#include "app/Locations.h"
#include "store/KeyValueFile.h"
#include "store/ProfileFile.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QMenu>
#include <algorithm>

namespace {
const QString MruSection = QStringLiteral("MRU List");
constexpr int MaxMaxFiles = 8;

bool IsMruItem(const QAction* action) {
    const QVariant tag = action->data();
    return tag.typeId() == QMetaType::Int && tag.toInt() == MruTag;
}

bool IsSeparator(const QAction* action) {
    return action->isSeparator() || action->text() == QLatin1String("-");
}

// Same length and the same letters without regard to case, under the user's
// locale.
bool SameFileName(const QString& a, const QString& b) {
    if (a.size() != b.size())
        return false;
    const QLocale locale;
    return locale.toUpper(a) == locale.toUpper(b);
}

// A line break or other control character would split the stored line and
// plant foreign keys in the settings file; such a path is not stored.
bool Storable(const QString& path) {
    return std::none_of(path.begin(), path.end(), [](QChar c) { return c.unicode() < 32; });
}
} // namespace

TMostRecentFiles::TMostRecentFiles(QObject* owner, const QString& executablePath,
                                   const QString& settingsFile)
    : QObject(owner), fExecutablePath(executablePath), fSettingsFile(settingsFile) {}

TMostRecentFiles::~TMostRecentFiles() {
    try {
        WriteList();
    } catch (...) {
        // The list of this run is lost; nothing else is at stake.
    }
}

int TMostRecentFiles::MaxFiles() const {
    return fMaxFiles;
}

void TMostRecentFiles::SetMaxFiles(int value) {
    value = std::clamp(value, 1, MaxMaxFiles);
    if (value == fMaxFiles)
        return;
    fMaxFiles = value;
    while (fFileList.size() > fMaxFiles)
        fFileList.removeLast();
    RebuildRecentMenu();
}

int TMostRecentFiles::MenuPosition() const {
    return fMenuPosition;
}
void TMostRecentFiles::SetMenuPosition(int value) {
    fMenuPosition = value;
}
QMenu* TMostRecentFiles::OwnerMenuItem() const {
    return fOwnerMenuItem;
}
void TMostRecentFiles::SetOwnerMenuItem(QMenu* menu) {
    fOwnerMenuItem = menu;
}
QString TMostRecentFiles::IniFile() const {
    return fIniFilename;
}
void TMostRecentFiles::SetIniFile(const QString& value) {
    fIniFilename = value;
}
bool TMostRecentFiles::ShowFullPath() const {
    return fShowFullPath;
}

void TMostRecentFiles::SetShowFullPath(bool value) {
    if (value == fShowFullPath)
        return;
    fShowFullPath = value;
    RebuildRecentMenu();
}

QStringList TMostRecentFiles::Files() const {
    return fFileList;
}

QString TMostRecentFiles::StorageFile() const {
    const QFileInfo exe(fExecutablePath);
    if (fIniFilename.isEmpty())
        return fSettingsFile.isEmpty() ? SettingsFileBeside(fExecutablePath) : fSettingsFile;
    if (fIniFilename.contains(u'/') || fIniFilename.contains(u'\\'))
        return fIniFilename;
    return exe.path() + u'/' + fIniFilename;
}

void TMostRecentFiles::ReadList() {
    fFileList.clear();
    const QString path = StorageFile();
    if (QFileInfo::exists(path)) {
        try {
            const KeyValueFile file(path);
            for (int i = 1; i <= fMaxFiles; ++i) {
                const QString entry = file.ReadString(MruSection, QString::number(i), QString());
                if (entry.isEmpty())
                    break;
                fFileList.append(entry);
            }
        } catch (const CuewellError&) {
            // An unreadable settings file gives an empty list; the main window
            // reports the file itself when it reads its settings.
            fFileList.clear();
        }
    }
    RebuildRecentMenu();
}

void TMostRecentFiles::WriteList() {
    QStringList stored;
    for (const QString& path : std::as_const(fFileList))
        if (Storable(path))
            stored.append(path);
    // Straight into the file, key by key: the settings around the list stay as
    // they are, whoever wrote them.
    QList<std::pair<QString, QString>> values;
    for (int i = 1; i <= fMaxFiles; ++i)
        values.append({QString::number(i), i <= stored.size() ? stored[i - 1] : QString()});
    WriteProfileStrings(StorageFile(), MruSection, values);
}

void TMostRecentFiles::AddFile(const QString& Filename) {
    if (!fOwnerMenuItem)
        return;
    const auto found = std::find_if(fFileList.cbegin(), fFileList.cend(),
                                    [&](const QString& f) { return SameFileName(f, Filename); });
    if (found != fFileList.cend()) {
        if (found == fFileList.cbegin())
            return; // already the most recent; its spelling stays
        fFileList.removeAt(found - fFileList.cbegin());
    }
    fFileList.prepend(Filename);
    while (fFileList.size() > fMaxFiles)
        fFileList.removeAt(fMaxFiles);
    RebuildRecentMenu();
}

void TMostRecentFiles::RebuildRecentMenu() {
    QMenu* menu = fOwnerMenuItem;
    if (!menu)
        return;
    const QList<QAction*> before = menu->actions();
    for (auto it = before.crbegin(); it != before.crend(); ++it) {
        if (IsMruItem(*it)) {
            menu->removeAction(*it);
            // Later: this may run inside the triggered signal of that very item.
            (*it)->deleteLater();
        }
    }
    menu->menuAction()->setEnabled(!menu->actions().isEmpty() || !fFileList.isEmpty());
    if (fFileList.isEmpty())
        return;

    auto insertAt = [menu](int pos, QAction* action) {
        const QList<QAction*> actions = menu->actions();
        menu->insertAction(pos < actions.size() ? actions[pos] : nullptr, action);
    };
    auto separator = [menu] {
        auto* action = new QAction(menu);
        action->setSeparator(true);
        action->setData(MruTag);
        return action;
    };

    int count = int(menu->actions().size());
    int p = fMenuPosition < count ? std::max(0, fMenuPosition) : count;
    if (p > 0 && !IsSeparator(menu->actions()[p - 1])) {
        insertAt(p, separator());
        ++p;
    }
    for (int i = 0; i < fFileList.size(); ++i) {
        const QString& path = fFileList[i];
        const QString shown = fShowFullPath ? path : QFileInfo(path).fileName();
        auto* action = new QAction(QStringLiteral("&%1  %2").arg(i + 1).arg(shown), menu);
        action->setData(MruTag);
        connect(action, &QAction::triggered, this, [this, action] { MenuItemClick(action); });
        insertAt(p, action);
        ++p;
    }
    count = int(menu->actions().size());
    if (p < count && !IsSeparator(menu->actions()[p]))
        insertAt(p, separator());
}

void TMostRecentFiles::MenuItemClick(QAction* item) {
    QMenu* menu = fOwnerMenuItem;
    if (!item || !menu || !OnMenuClick)
        return;
    const QList<QAction*> actions = menu->actions();
    const qsizetype position = actions.indexOf(item);
    if (position < 0)
        return;
    const auto first = std::find_if(actions.cbegin(), actions.cend(), IsMruItem);
    if (first == actions.cend())
        return;
    const qsizetype firstPos = first - actions.cbegin();
    const qsizetype index = position - firstPos - (IsSeparator(*first) ? 1 : 0);
    if (index < 0 || index >= fFileList.size())
        return;

    const QString path = fFileList[index];
    const QFileInfo info(path);
    if (info.exists() && !info.isDir()) {
        if (index > 0) {
            fFileList.move(index, 0);
            RebuildRecentMenu();
        }
        OnMenuClick(item, path);
        return;
    }
    if (OnFileNotExist)
        OnFileNotExist(item, path);
    // The handler shows a modal box; find the entry again rather than trust the
    // index across it.
    const qsizetype now = fFileList.indexOf(path);
    if (now >= 0) {
        fFileList.removeAt(now);
        RebuildRecentMenu();
    }
}
