#include "cues/Unit2.h"

#include "app/Unit1.h"
#include "cues/CueLayout.h"
#include "cues/CuePin.h"
#include "view/AdvPDFViewer.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
// Centres a tool window over the main window.
void CentreOver(QWidget* dialog, const QWidget* owner) {
    const QRect area = owner->frameGeometry();
    dialog->move(area.center() - QPoint(dialog->width() / 2, dialog->height() / 2));
}
} // namespace

TForm2::TForm2(TCuewell* owner)
    : QWidget(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint), FOwner(owner) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Cue details"));
    setFixedSize(352, 179);

    Label2 = new QLabel(QStringLiteral("Cue #:"), this);
    Label2->move(8, 10);
    Label3 = new QLabel(this);
    Label3->setGeometry(50, 10, 90, 15);
    CheckBox1 = new QCheckBox(QStringLiteral("Autoplay"), this);
    CheckBox1->setGeometry(152, 12, 113, 17);
    Label1 = new QLabel(QStringLiteral("OSC message to send:"), this);
    Label1->move(8, 40);
    Edit1 = new QLineEdit(QStringLiteral("/"), this);
    Edit1->setGeometry(8, 61, 337, 23);
    Label4 = new QLabel(QStringLiteral("Cue Call:"), this);
    Label4->move(8, 88);
    Edit2 = new QLineEdit(this);
    Edit2->setGeometry(8, 109, 337, 23);
    btnSave = new QPushButton(QStringLiteral("Save"), this);
    btnSave->setGeometry(141, 150, 65, 25);
    btnDelete = new QPushButton(QStringLiteral("Delete"), this);
    btnDelete->setGeometry(212, 150, 65, 25);
    btnDelete->setToolTip(QStringLiteral("Delete this cue pin"));
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setGeometry(283, 150, 65, 25);

    // Tab order: Edit1, Cancel, Save, Delete, Autoplay, Edit2.
    setTabOrder(Edit1, btnCancel);
    setTabOrder(btnCancel, btnSave);
    setTabOrder(btnSave, btnDelete);
    setTabOrder(btnDelete, CheckBox1);
    setTabOrder(CheckBox1, Edit2);

    connect(btnSave, &QPushButton::clicked, this,
            [this] { FOwner->Guarded([this] { btnSaveClick(); }); });
    connect(btnDelete, &QPushButton::clicked, this,
            [this] { FOwner->Guarded([this] { btnDeleteClick(); }); });
    connect(btnCancel, &QPushButton::clicked, this,
            [this] { FOwner->Guarded([this] { btnCancelClick(); }); });
    hide();
}

void TForm2::FillFor(int page, int slot, const CueRecord& record) {
    // Read the flag first: a record it cannot read keeps the dialog as it was.
    const bool autoplay = CueAutoplay(record);
    const arStr fields = SplitRecord(record);
    FPage = page;
    FSlot = slot;
    FFields = fields;
    while (FFields.size() < 5)
        FFields.append(QByteArray());
    Edit1->setText(QString::fromUtf8(FFields[cfMessage]));
    Edit2->setText(QString::fromUtf8(FFields[cfCall]));
    CheckBox1->setChecked(autoplay);
    Label3->setText(QString::number(FSlot));
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    CentreOver(this, FOwner);
    show();
}

void TForm2::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    FOwner->Guarded([this] { FormShow(); });
}

void TForm2::FormShow() {
    Edit1->setFocus();
    Label3->setText(QString::number(FSlot));
}

void TForm2::btnSaveClick() {
    if (FPage < 0 || FPage >= FOwner->CueTable.size() || FSlot < 0)
        return;
    if (!Edit1->text().startsWith(u'/'))
        Edit1->setText(u'/' + Edit1->text());
    const QByteArray autoplay = CheckBox1->isChecked() ? "-1" : "0";
    const QByteArray message = Edit1->text().toUtf8();
    const QByteArray call = Edit2->text().toUtf8();
    FFields[cfMessage] = message;
    FFields[cfCall] = call;
    FOwner->CueTable[FPage][FSlot] = BuildRecord(FFields, message, autoplay, call);
    // A GO that follows sends the edited message while this cue is the current one.
    if (FOwner->AdvPDF->PageIndex() == FPage && FOwner->CurrentCue == FSlot &&
        FOwner->CueFields.size() > cfCall) {
        FOwner->CueFields[cfMessage] = message;
        FOwner->CueFields[cfCall] = call;
    }
    FOwner->SaveCues();
    hide();
}

void TForm2::btnDeleteClick() {
    if (FPage < 0 || FPage >= FOwner->CueTable.size() || FSlot < 0)
        return;
    FOwner->CueTable[FPage][FSlot].clear();
    if (FOwner->AdvPDF->PageIndex() == FPage)
        FOwner->CuePin[FSlot]->hide();
    FOwner->CuesDirty = true;
    FOwner->NowCue->hide();
    FOwner->SavePageOf(FPage);
    FOwner->ReadPageOf(FPage);
    FOwner->ShowCues(FOwner->AdvPDF->PageIndex());
    hide();
}

void TForm2::btnCancelClick() {
    hide();
}
