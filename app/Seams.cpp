#include "app/Seams.h"

#include "app/Errors.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

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

QString SettingsFilePath(const IPaths& paths) {
    const QFileInfo exe(paths.ExecutablePath());
    return exe.path() + u'/' + exe.completeBaseName() + QStringLiteral(".ini");
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
