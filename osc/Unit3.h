#pragma once

// "OSC Settings": host, port and selector of the sound and the light target.

#include <QWidget>

class QGroupBox;
class QLineEdit;
class QPushButton;
class TCuewell;

class TForm3 : public QWidget {
    Q_OBJECT
public:
    explicit TForm3(TCuewell* owner);

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
    QPushButton* btnSave = nullptr;
    QPushButton* Button1 = nullptr;

    void FormShow();
    void btnSaveClick();
    void Button1Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    TCuewell* FOwner;
};

// A port as typed: optional blanks and sign, decimal (or "$"/"0x" hexadecimal)
// digits, 32 bits; otherwise "'%s' is not a valid integer value".
int PortFromText(const QString& text);
