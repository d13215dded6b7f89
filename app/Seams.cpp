#include "app/Seams.h"

#include "app/Errors.h"
#include "app/Locations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>

#include <unistd.h>

void DesktopPrompts::MessageBox(QWidget* parent, const QString& title, const QString& text,
                                TMsgIcon icon, TMsgButton button) {
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setText(text);
    switch (icon) {
    case TMsgIcon::None:
        box.setIcon(QMessageBox::NoIcon);
        break;
    case TMsgIcon::Warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case TMsgIcon::Stop:
        box.setIcon(QMessageBox::Critical);
        break;
    }
    switch (button) {
    case TMsgButton::OK:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case TMsgButton::Retry:
        box.setStandardButtons(QMessageBox::Retry);
        break;
    case TMsgButton::Cancel:
        box.setStandardButtons(QMessageBox::Cancel);
        break;
    }
    box.exec();
}

QString DesktopPrompts::OpenFileName(QWidget* parent, const QString& folder,
                                     const QString& filter) {
    QFileDialog dialog(parent, QString(), folder, filter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setDefaultSuffix(QStringLiteral("pdf"));
    dialog.setSizeGripEnabled(true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

QString DesktopPrompts::SaveFileName(QWidget* parent, const QString& title,
                                     const QString& suggested, const QString& filter) {
    QFileDialog dialog(parent, title, suggested, filter);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QFileInfo(suggested).suffix());
    dialog.selectFile(suggested);
    dialog.setSizeGripEnabled(true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

QString ProcessPaths::ExecutablePath() const {
    return QCoreApplication::applicationFilePath();
}

bool IPaths::IsWritableFolder(const QString& folder) const {
    return ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0;
}

QString IPaths::UserConfigFolder() const {
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
}

QString IPaths::UserCacheFolder() const {
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
}

QString FirstPageHintPath(const IPaths& paths) {
    return QDir(paths.UserCacheFolder()).filePath(QStringLiteral("first-page"));
}

QString SettingsFilePath(const IPaths& paths) {
    const QString exe = paths.ExecutablePath();
    const bool besideExists = QFileInfo::exists(SettingsFileBeside(exe));
    const bool writable = !besideExists && paths.IsWritableFolder(QFileInfo(exe).path());
    const QString folder = besideExists || writable ? QString() : paths.UserConfigFolder();
    const QString chosen = ChooseSettingsFile(exe, besideExists, writable, folder);
    // Made before the first write; a folder that cannot be made shows up as
    // the write's own error, naming the file.
    if (!folder.isEmpty() && chosen != SettingsFileBeside(exe))
        QDir().mkpath(folder);
    return chosen;
}

void RunGuarded(IPrompts& prompts, QWidget* parent, const std::function<void()>& handler) {
    try {
        handler();
    } catch (const CuewellError& error) {
        ShowStandardError(prompts, parent, error.Text());
    } catch (const std::exception& error) {
        ShowStandardError(prompts, parent, QString::fromLocal8Bit(error.what()));
    }
}

void ShowStandardError(IPrompts& prompts, QWidget* parent, const QString& text) {
    prompts.MessageBox(parent, QStringLiteral("Cuewell"), StandardErrorText(text), TMsgIcon::Stop,
                       TMsgButton::OK);
}
