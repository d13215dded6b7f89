#include "osc/RemoteDialog.h"

#include "app/Seams.h"
#include "osc/RemoteControl.h"
#include "store/KeyValueFile.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

TRemoteDialog::TRemoteDialog(TRemoteControl& remote, IPrompts& prompts, const QString& settingsPath,
                             QWidget* parent)
    : QWidget(parent, Qt::Window), FRemote(remote), FPrompts(prompts), FSettingsPath(settingsPath) {
    setWindowTitle(tr("Remote Control"));

    ListenBox = new QCheckBox(tr("Listen for remote GO"), this);
    PortBox = new QSpinBox(this);
    PortBox->setRange(1, 65535);
    LocalOnly = new QRadioButton(tr("Only this machine (127.0.0.1)"), this);
    AllInterfaces = new QRadioButton(tr("All interfaces"), this);
    AllowFromEdit = new QLineEdit(this);
    AllowFromEdit->setPlaceholderText(tr("any sender"));
    AllowFromEdit->setToolTip(tr("IPv4 addresses separated by commas; empty allows any sender. "
                                 "Applies when listening on all interfaces."));
    SaveButton = new QPushButton(tr("Save"), this);
    CancelButton = new QPushButton(tr("Cancel"), this);
    SaveButton->setDefault(true);

    auto* form = new QFormLayout;
    form->addRow(tr("UDP port:"), PortBox);
    form->addRow(tr("Listen on:"), LocalOnly);
    form->addRow(QString(), AllInterfaces);
    form->addRow(tr("Allow from:"), AllowFromEdit);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(SaveButton);
    buttons->addWidget(CancelButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(ListenBox);
    layout->addLayout(form);
    layout->addWidget(
        new QLabel(tr("Addresses: /cuewell/go, /cuewell/next, /cuewell/previous"), this));
    layout->addLayout(buttons);

    connect(ListenBox, &QCheckBox::toggled, this, &TRemoteDialog::UpdateEnabled);
    connect(AllInterfaces, &QRadioButton::toggled, this, &TRemoteDialog::UpdateEnabled);
    connect(SaveButton, &QPushButton::clicked, this,
            [this] { RunGuarded(FPrompts, this, [this] { Save(); }); });
    connect(CancelButton, &QPushButton::clicked, this, &QWidget::hide);
    Fill();
}

void TRemoteDialog::ShowNonModal() {
    if (!isVisible())
        Fill();
    show();
    raise();
    activateWindow();
}

void TRemoteDialog::Fill() {
    ListenBox->setChecked(FRemote.Enabled());
    PortBox->setValue(FRemote.Port() >= 1 ? FRemote.Port() : TRemoteControl::DefaultPort);
    (FRemote.AllInterfaces() ? AllInterfaces : LocalOnly)->setChecked(true);
    AllowFromEdit->setText(FRemote.AllowFrom());
    UpdateEnabled();
}

void TRemoteDialog::UpdateEnabled() {
    const bool on = ListenBox->isChecked();
    PortBox->setEnabled(on);
    LocalOnly->setEnabled(on);
    AllInterfaces->setEnabled(on);
    // The list limits senders on the network; on 127.0.0.1 only this
    // machine can send.
    AllowFromEdit->setEnabled(on && AllInterfaces->isChecked());
}

void TRemoteDialog::Save() {
    // Checked first, so that a list with a typing error changes nothing.
    FRemote.SetAllowFrom(AllowFromEdit->text());
    FRemote.SetEnabled(ListenBox->isChecked());
    FRemote.SetPort(PortBox->value());
    FRemote.SetAllInterfaces(AllInterfaces->isChecked());
    // Written before the port is opened: the choice is kept even when the
    // port is busy right now, and the error says so.
    KeyValueFile settings(FSettingsPath);
    FRemote.WriteSettings(settings);
    settings.SetAutoSave(true);
    settings.Free();
    FRemote.Apply();
    hide();
}
