#pragma once

// "Cue details": the OSC message, autoplay flag and call text of one cue.

#include "store/CueStore.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TCuewell;

class TForm2 : public QWidget {
    Q_OBJECT
public:
    explicit TForm2(TCuewell* owner);

    // Fills the dialog for one cue and shows it (or brings it forward). The
    // dialog stays bound to that page and slot until it is filled again.
    void FillFor(int page, int slot, const CueRecord& record);

    int BoundPage() const { return FPage; }
    int BoundSlot() const { return FSlot; }

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QPushButton* btnSave = nullptr;
    QPushButton* btnDelete = nullptr;
    QPushButton* btnCancel = nullptr;

    void FormShow();
    void btnSaveClick();
    void btnDeleteClick();
    void btnCancelClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The slot the dialog's cue holds now, or -1 when it is no longer there.
    int SlotNow() const;

    TCuewell* FOwner;
    QString FScript;
    int FPage = -1;
    int FSlot = -1;
    CueRecord FRecord;
};
