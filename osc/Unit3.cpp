#include "osc/Unit3.h"

#include "app/Errors.h"
#include "app/Seams.h"
#include "osc/OscTargets.h"
#include "store/KeyValueFile.h"

#include <QComboBox>
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

// The two entries of a choice; the first is the default.
QComboBox* AddChoice(QGroupBox* group, int left, int top, int width, const QString& first,
                     const QString& second) {
    auto* choice = new QComboBox(group);
    choice->addItems({first, second});
    choice->setGeometry(left, top, width, 23);
    return choice;
}

} // namespace

int PortFromText(const QString& text) {
    int value = 0;
    if (!ParseSettingsInteger(text, value))
        RaiseConvertError(text, "integer");
    return value;
}

TForm3::TForm3(TOscTargets& targets, IPrompts& prompts, std::function<QString()> settingsFile,
               QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      FTargets(targets), FPrompts(prompts), FSettingsFile(std::move(settingsFile)) {
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("OSC Settings"));
    setFixedSize(394, 365);

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

    // How each target takes its cues, below the targets themselves.
    FormGroup = new QGroupBox(QStringLiteral("Message form"), this);
    FormGroup->setGeometry(8, 232, 369, 88);
    const QString bundle = QStringLiteral("Send as bundle");
    const QString message = QStringLiteral("Send as message");
    const QString text = QStringLiteral("Arguments: one text (default)");
    const QString typed = QStringLiteral("Arguments: typed");
    for (auto [label, top] :
         {std::pair{QStringLiteral("Sound:"), 24}, {QStringLiteral("Light:"), 53}}) {
        auto* caption = new QLabel(label, FormGroup);
        caption->adjustSize();
        caption->move(12, top + 4);
    }
    soundForm = AddChoice(FormGroup, 56, 24, 120, bundle, message);
    soundArgs = AddChoice(FormGroup, 182, 24, 176, text, typed);
    lightForm = AddChoice(FormGroup, 56, 53, 120, bundle, message);
    lightArgs = AddChoice(FormGroup, 182, 53, 176, text, typed);

    btnSave = new QPushButton(QStringLiteral("Save"), this);
    btnSave->setGeometry(221, 326, 65, 25);
    Button1 = new QPushButton(QStringLiteral("Cancel"), this);
    Button1->setGeometry(312, 326, 65, 25);

    setTabOrder(soundip, soundOSC);
    setTabOrder(soundOSC, soundport);
    setTabOrder(soundport, Lightip);
    setTabOrder(Lightip, lightosc);
    setTabOrder(lightosc, lightport);
    setTabOrder(lightport, soundForm);
    setTabOrder(soundForm, soundArgs);
    setTabOrder(soundArgs, lightForm);
    setTabOrder(lightForm, lightArgs);
    setTabOrder(lightArgs, btnSave);
    setTabOrder(btnSave, Button1);

    connect(btnSave, &QPushButton::clicked, this,
            [this] { RunGuarded(FPrompts, this, [this] { btnSaveClick(); }); });
    connect(Button1, &QPushButton::clicked, this,
            [this] { RunGuarded(FPrompts, this, [this] { Button1Click(); }); });
    hide();
}

void TForm3::ShowNonModal() {
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    if (QWidget* over = parentWidget()) {
        const QRect area = over->window()->frameGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
    show();
}

void TForm3::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    RunGuarded(FPrompts, this, [this] { FormShow(); });
}

void TForm3::FormShow() {
    soundip->setText(FTargets.SoundIP);
    soundport->setText(QString::number(FTargets.SoundPort));
    soundOSC->setText(FTargets.SoundAddress);
    lightport->setText(QString::number(FTargets.LightPort));
    Lightip->setText(FTargets.LightIP);
    lightosc->setText(FTargets.LightAddress);
    soundForm->setCurrentIndex(FTargets.SoundForm == TOscForm::Message ? 1 : 0);
    soundArgs->setCurrentIndex(FTargets.SoundArgs == TOscArgs::Typed ? 1 : 0);
    lightForm->setCurrentIndex(FTargets.LightForm == TOscForm::Message ? 1 : 0);
    lightArgs->setCurrentIndex(FTargets.LightArgs == TOscArgs::Typed ? 1 : 0);
}

void TForm3::btnSaveClick() {
    // A pasted line break would end its line in the settings file and leave
    // the rest of the text as a stray line.
    for (const QLineEdit* edit : {soundip, soundOSC, Lightip, lightosc})
        if (edit->text().contains(u'\n') || edit->text().contains(u'\r'))
            throw CuewellError(QStringLiteral("The OSC settings cannot contain a line break."));
    // A port that does not convert stops the save before anything is written
    // or taken over.
    TOscSettings typed;
    typed.SoundIP = soundip->text();
    typed.SoundPort = PortFromText(soundport->text());
    typed.SoundAddress = soundOSC->text();
    typed.LightIP = Lightip->text();
    typed.LightPort = PortFromText(lightport->text());
    typed.LightAddress = lightosc->text();
    typed.SoundForm = soundForm->currentIndex() == 1 ? TOscForm::Message : TOscForm::Bundle;
    typed.SoundArgs = soundArgs->currentIndex() == 1 ? TOscArgs::Typed : TOscArgs::Text;
    typed.LightForm = lightForm->currentIndex() == 1 ? TOscForm::Message : TOscForm::Bundle;
    typed.LightArgs = lightArgs->currentIndex() == 1 ? TOscArgs::Typed : TOscArgs::Text;

    KeyValueFile settings(FSettingsFile());
    settings.SetAutoSave(true);
    typed.WriteTo(settings);
    settings.Free();
    hide();
    FTargets.SetSettings(typed);
}

void TForm3::Button1Click() {
    hide();
}
