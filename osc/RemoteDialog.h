#pragma once

// "Remote Control": turns the remote GO on or off, its UDP port, where it
// listens and who may send. Save applies at once and writes the settings
// file; Cancel leaves everything as it was. Non-modal.

#include <QString>
#include <QWidget>

class IPrompts;
class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class TRemoteControl;

class TRemoteDialog : public QWidget {
    Q_OBJECT
public:
    TRemoteDialog(TRemoteControl& remote, IPrompts& prompts, const QString& settingsPath,
                  QWidget* parent = nullptr);

    // Shows the current settings, or only brings the dialog forward when it
    // is already open.
    void ShowNonModal();

    QCheckBox* ListenBox = nullptr;
    QSpinBox* PortBox = nullptr;
    QRadioButton* LocalOnly = nullptr;
    QRadioButton* AllInterfaces = nullptr;
    QLineEdit* AllowFromEdit = nullptr;
    QPushButton* SaveButton = nullptr;
    QPushButton* CancelButton = nullptr;

private:
    void Fill();
    void UpdateEnabled();
    void Save();

    TRemoteControl& FRemote;
    IPrompts& FPrompts;
    QString FSettingsPath;
};
