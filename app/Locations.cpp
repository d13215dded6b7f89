#include "app/Locations.h"

#include <QDir>
#include <QFileInfo>

QString SettingsFileName(const QString& executablePath) {
    return QFileInfo(executablePath).completeBaseName() + QStringLiteral(".ini");
}

QString SettingsFileBeside(const QString& executablePath) {
    return QFileInfo(executablePath).path() + u'/' + SettingsFileName(executablePath);
}

QString ChooseSettingsFile(const QString& executablePath, bool besideExists,
                           bool executableFolderWritable, const QString& userConfigFolder) {
    if (besideExists || executableFolderWritable || userConfigFolder.isEmpty())
        return SettingsFileBeside(executablePath);
    return QDir::cleanPath(userConfigFolder) + u'/' + SettingsFileName(executablePath);
}

QString InstalledDataFolder(const QString& executablePath) {
    return QDir::cleanPath(QFileInfo(executablePath).path() + u'/' +
                           QStringLiteral(CUEWELL_DATA_FROM_BIN));
}

QString PinGlyphFile(const QString& workingFolder, const QString& executablePath) {
    const QString name = QString::fromLatin1(PinGlyphName);
    const QString here = QDir(workingFolder).filePath(name);
    if (QFileInfo(here).isFile())
        return here;
    const QString installed = InstalledDataFolder(executablePath) + u'/' + name;
    if (QFileInfo(installed).isFile())
        return installed;
    return here;
}
