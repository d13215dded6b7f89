#include "osc/Unit3.h"

#include "app/Errors.h"
#include "app/Unit1.h"
#include "store/KeyValueFile.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

QLineEdit* AddEdit(QGroupBox* group, const QString& label, int left, int top, int width,
                   const QString& text) {
    auto* caption = new QLabel(label, group);
    caption->adjustSize();
    caption->move(left - caption->width() - 6, top + 4);
    auto* edit = new QLineEdit(text, group);
    edit->setGeometry(left, top, width, 23);
    return edit;
}

} // namespace

int PortFromText(const QString& text) {
    int value = 0;
    if (!ParseSettingsInteger(text, value))
        RaiseConvertError(text, "integer");
    return value;
}

TForm3::TForm3(TCuewell* owner)
    : QWidget(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                         Qt::MSWindowsFixedSizeDialogHint),
      FOwner(owner) {
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("OSC Settings"));
    setFixedSize(394, 271);

    SoundGroup = new QGroupBox(QStringLiteral("Sound Cue Connection"), this);
    SoundGroup->setGeometry(16, 8, 361, 97);
    soundip = AddEdit(SoundGroup, QStringLiteral("IP Address:"), 80, 24, 145, QString());
    soundOSC =
        AddEdit(SoundGroup, QStringLiteral("OSC Address:"), 80, 53, 145, QStringLiteral("/"));
    soundport = AddEdit(SoundGroup, QStringLiteral("IP Port:"), 285, 24, 57, QString());

    LightGroup = new QGroupBox(QStringLiteral("Light cue connection"), this);
    LightGroup->setGeometry(8, 127, 369, 99);
    Lightip = AddEdit(LightGroup, QStringLiteral("IP Address:"), 88, 24, 145, QString());
    lightosc =
        AddEdit(LightGroup, QStringLiteral("OSC Address:"), 88, 53, 145, QStringLiteral("/"));
    lightport = AddEdit(LightGroup, QStringLiteral("IP Port:"), 293, 24, 57, QString());

    btnSave = new QPushButton(QStringLiteral("Save"), this);
    btnSave->setGeometry(221, 232, 65, 25);
    Button1 = new QPushButton(QStringLiteral("Cancel"), this);
    Button1->setGeometry(312, 232, 65, 25);

    setTabOrder(soundip, soundOSC);
    setTabOrder(soundOSC, soundport);
    setTabOrder(soundport, Lightip);
    setTabOrder(Lightip, lightosc);
    setTabOrder(lightosc, lightport);
    setTabOrder(lightport, btnSave);
    setTabOrder(btnSave, Button1);

    connect(btnSave, &QPushButton::clicked, this,
            [this] { FOwner->Guarded([this] { btnSaveClick(); }); });
    connect(Button1, &QPushButton::clicked, this,
            [this] { FOwner->Guarded([this] { Button1Click(); }); });
    hide();
}

void TForm3::ShowNonModal() {
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    const QRect area = FOwner->frameGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
    show();
}

void TForm3::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    FOwner->Guarded([this] { FormShow(); });
}

void TForm3::FormShow() {
    soundip->setText(FOwner->SoundIP);
    soundport->setText(QString::number(FOwner->SoundPort));
    soundOSC->setText(FOwner->SoundAddress);
    lightport->setText(QString::number(FOwner->LightPort));
    Lightip->setText(FOwner->LightIP);
    lightosc->setText(FOwner->LightAddress);
}

void TForm3::btnSaveClick() {
    // A pasted line break would end its line in the settings file and leave
    // the rest of the text as a stray line.
    for (const QLineEdit* edit : {soundip, soundOSC, Lightip, lightosc})
        if (edit->text().contains(u'\n') || edit->text().contains(u'\r'))
            throw CuewellError(QStringLiteral("The OSC settings cannot contain a line break."));
    const QString OSC = QStringLiteral("OSC");
    KeyValueFile settings(FOwner->SettingsFile());
    settings.SetAutoSave(true);
    // A port that does not convert stops the save before anything is written.
    settings.WriteString(OSC, QStringLiteral("soundIP"), soundip->text());
    const int soundPort = PortFromText(soundport->text());
    settings.WriteInteger(OSC, QStringLiteral("soundPort"), soundPort);
    settings.WriteString(OSC, QStringLiteral("soundAddress"), soundOSC->text());
    settings.WriteString(OSC, QStringLiteral("lightIP"), Lightip->text());
    const int lightPort = PortFromText(lightport->text());
    settings.WriteInteger(OSC, QStringLiteral("lightPort"), lightPort);
    settings.WriteString(OSC, QStringLiteral("lightAddress"), lightosc->text());
    settings.Free();
    hide();

    FOwner->SoundIP = soundip->text();
    FOwner->SoundPort = soundPort;
    FOwner->SoundAddress = soundOSC->text();
    FOwner->LightIP = Lightip->text();
    FOwner->LightPort = lightPort;
    FOwner->LightAddress = lightosc->text();
    for (auto [client, host, port] :
         {std::tuple{&FOwner->UDPsound, FOwner->SoundIP, FOwner->SoundPort},
          std::tuple{&FOwner->UDPLight, FOwner->LightIP, FOwner->LightPort}}) {
        client->Disconnect();
        client->Deactivate();
        client->SetHost(host);
        client->SetPort(port);
    }
}

void TForm3::Button1Click() {
    hide();
}
