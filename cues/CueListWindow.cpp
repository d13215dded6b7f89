#include "cues/CueListWindow.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QTableView>
#include <QVBoxLayout>

#include <memory>

TCueListWindow::TCueListWindow(const TCueTable& table, const QString& soundSelector,
                               const QString& lightSelector, QWidget* parent)
    : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("CueList"));
    setWindowTitle(QStringLiteral("Cue List"));
    FModel = new TCueListModel(table, soundSelector, lightSelector, this);
    FView = new QTableView(this);
    FView->setObjectName(QStringLiteral("CueListView"));
    FView->setModel(FModel);
    FView->setSelectionMode(QAbstractItemView::NoSelection);
    FView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FView->verticalHeader()->hide();
    FView->setAlternatingRowColors(false);
    FView->setWordWrap(false);
    // Space is GO: the list must not take it, nor the keyboard focus at all.
    FView->setFocusPolicy(Qt::NoFocus);
    QHeaderView* header = FView->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setStretchLastSection(true);
    FView->setColumnWidth(TCueListModel::colPage, 48);
    FView->setColumnWidth(TCueListModel::colCue, 40);
    FView->setColumnWidth(TCueListModel::colCall, 200);
    FView->setColumnWidth(TCueListModel::colMessage, 200);
    FView->setColumnWidth(TCueListModel::colTarget, 80);

    FSummary = new QLabel(this);
    FSummary->setObjectName(QStringLiteral("CueListSummary"));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addWidget(FView);
    layout->addWidget(FSummary);
    resize(700, 420);

    connect(FView, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        if (!index.isValid())
            return;
        const TCueEntry& entry = FModel->EntryAt(index.row());
        emit CueChosen(entry.Page, entry.Slot);
    });
    UpdateSummary();
}

void TCueListWindow::Reset() {
    FModel->Reset();
    UpdateSummary();
    ShowPrompted();
}

void TCueListWindow::SetSelectors(const QString& soundSelector, const QString& lightSelector) {
    FModel->SetSelectors(soundSelector, lightSelector);
    UpdateSummary();
    ShowPrompted();
}

void TCueListWindow::SetPrompted(int page, int slot) {
    FModel->SetPrompted(page, slot);
    ShowPrompted();
}

void TCueListWindow::ShowPrompted() {
    const int row = FModel->PromptedRow();
    if (row >= 0)
        FView->scrollTo(FModel->index(row, 0), QAbstractItemView::EnsureVisible);
}

void TCueListWindow::keyPressEvent(QKeyEvent* event) {
    ForwardKey(event);
}

void TCueListWindow::keyReleaseEvent(QKeyEvent* event) {
    ForwardKey(event);
}

void TCueListWindow::ForwardKey(QKeyEvent* event) {
    // A click on the list makes it the active window; Space must still be GO
    // and the page keys still turn pages, so the owner gets every key.
    QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    if (!owner) {
        event->ignore();
        return;
    }
    const std::unique_ptr<QKeyEvent> copy(event->clone());
    QCoreApplication::sendEvent(owner, copy.get());
    event->setAccepted(copy->isAccepted());
}

void TCueListWindow::UpdateSummary() {
    int unreached = 0;
    for (int row = 0; row < FModel->rowCount(); ++row)
        if (FModel->EntryAt(row).Target == TCueTarget::None)
            ++unreached;
    QString text = FModel->rowCount() == 1 ? QStringLiteral("1 cue")
                                           : QStringLiteral("%1 cues").arg(FModel->rowCount());
    if (unreached > 0)
        text += unreached == 1 ? QStringLiteral(", 1 reaches no target")
                               : QStringLiteral(", %1 reach no target").arg(unreached);
    FSummary->setText(text);
    FSummary->setStyleSheet(unreached > 0 ? QStringLiteral("color: rgb(255, 90, 90);") : QString());
}
