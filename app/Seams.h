#pragma once

#include <QString>

class QWidget;

// What the windows ask of the desktop, behind interfaces that tests replace,
// so that no test ever blocks on a modal box or a file dialog.

enum class TMsgIcon { None, Warning, Stop };
enum class TMsgButton { OK, Retry, Cancel };

class IPrompts {
public:
    virtual ~IPrompts() = default;
    // A modal message box with a single button; returns when it is closed.
    virtual void MessageBox(QWidget* parent, const QString& title, const QString& text,
                            TMsgIcon icon, TMsgButton button) = 0;
    // A modal file-open dialog; the empty text when the operator cancels.
    virtual QString OpenFileName(QWidget* parent, const QString& folder, const QString& filter) = 0;
};

class IPaths {
public:
    virtual ~IPaths() = default;
    // Full path of the running executable; the settings file sits beside it.
    virtual QString ExecutablePath() const = 0;
};

// The real desktop: QMessageBox, QFileDialog, QCoreApplication::applicationFilePath.
class DesktopPrompts final : public IPrompts {
public:
    void MessageBox(QWidget* parent, const QString& title, const QString& text, TMsgIcon icon,
                    TMsgButton button) override;
    QString OpenFileName(QWidget* parent, const QString& folder, const QString& filter) override;
};

class ProcessPaths final : public IPaths {
public:
    QString ExecutablePath() const override;
};

// Settings file: the executable's path with its extension replaced by ".ini".
QString SettingsFilePath(const IPaths& paths);
