#pragma once

// "OSC Settings": host, port and selector of the sound and the light target,
// and how each takes its cues (bundle or plain message, one text or typed
// arguments).

#include <QWidget>

#include <functional>

class IPrompts;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class TOscTargets;

class TForm3 : public QWidget {
    Q_OBJECT
public:
    // Edits `targets`; errors go to the standard error box through `prompts`;
    // Save writes the settings file that `settingsFile` names. Centred over
    // `parent` when shown.
    TForm3(TOscTargets& targets, IPrompts& prompts, std::function<QString()> settingsFile,
           QWidget* parent = nullptr);

    // Shows the dialog, or only brings it forward when it is already open.
    void ShowNonModal();

    QGroupBox* SoundGroup = nullptr;
    QGroupBox* LightGroup = nullptr;
    QLineEdit* soundip = nullptr;
    QLineEdit* soundOSC = nullptr;
    QLineEdit* soundport = nullptr;
    QLineEdit* Lightip = nullptr;
    QLineEdit* lightosc = nullptr;
    QLineEdit* lightport = nullptr;
    QGroupBox* FormGroup = nullptr;
    QComboBox* soundForm = nullptr;
    QComboBox* soundArgs = nullptr;
    QComboBox* lightForm = nullptr;
    QComboBox* lightArgs = nullptr;
    QPushButton* btnSave = nullptr;
    QPushButton* Button1 = nullptr;

    void FormShow();
    void btnSaveClick();
    void Button1Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    TOscTargets& FTargets;
    IPrompts& FPrompts;
    std::function<QString()> FSettingsFile;
};

// A port as typed: optional blanks and sign, decimal (or "$"/"0x" hexadecimal)
// digits, 32 bits; otherwise "'%s' is not a valid integer value".
int PortFromText(const QString& text);
