#include "cues/CueListWindow.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QTableView>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <memory>

QRect CueListPlacement(const QRect& ownerFrame, const QRect& screen, QSize preferred,
                       QSize minimum) {
    struct Side {
        QRect Room; // the free part of the screen on that side
        bool Horizontal;
    };
    const Side sides[] = {
        {QRect(QPoint(ownerFrame.right() + 1, screen.top()), screen.bottomRight()), true},
        {QRect(screen.topLeft(), QPoint(ownerFrame.left() - 1, screen.bottom())), true},
        {QRect(QPoint(screen.left(), ownerFrame.bottom() + 1), screen.bottomRight()), false},
        {QRect(screen.topLeft(), QPoint(screen.right(), ownerFrame.top() - 1)), false},
    };
    QRect best;
    for (const Side& side : sides) {
        const QSize size = preferred.boundedTo(side.Room.size());
        if (side.Room.isEmpty() || size.width() < minimum.width() ||
            size.height() < minimum.height())
            continue;
        if (best.isValid() && size.width() * size.height() <= best.width() * best.height())
            continue;
        // Level with the owner's top (or left edge), as far as the screen allows.
        QPoint at = side.Room.topLeft();
        if (side.Horizontal) {
            if (side.Room.left() < ownerFrame.left())
                at.setX(side.Room.right() - size.width() + 1);
            at.setY(std::clamp(ownerFrame.top(), side.Room.top(),
                               side.Room.bottom() - size.height() + 1));
        } else {
            if (side.Room.top() < ownerFrame.top())
                at.setY(side.Room.bottom() - size.height() + 1);
            at.setX(std::clamp(ownerFrame.left(), side.Room.left(),
                               side.Room.right() - size.width() + 1));
        }
        best = QRect(at, size);
    }
    return best;
}

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
    // Call and message share what the window has left after the short
    // columns, so that target and autoplay stay in view however narrow it is.
    QHeaderView* header = FView->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setSectionResizeMode(TCueListModel::colCall, QHeaderView::Stretch);
    header->setSectionResizeMode(TCueListModel::colMessage, QHeaderView::Stretch);
    header->setStretchLastSection(false);
    FView->setColumnWidth(TCueListModel::colPage, 48);
    FView->setColumnWidth(TCueListModel::colCue, 40);
    FView->setColumnWidth(TCueListModel::colTarget, 80);
    FView->setColumnWidth(TCueListModel::colAutoplay, 72);
    FView->setTextElideMode(Qt::ElideMiddle);

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

void TCueListWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    if (FPlaced || !owner || !owner->isVisible() || !owner->screen())
        return;
    FPlaced = true;
    // The owner's frame stands for this window's own, which is not known yet.
    const QMargins frame(owner->geometry().left() - owner->frameGeometry().left(),
                         owner->geometry().top() - owner->frameGeometry().top(),
                         owner->frameGeometry().right() - owner->geometry().right(),
                         owner->frameGeometry().bottom() - owner->geometry().bottom());
    const QSize extra(frame.left() + frame.right(), frame.top() + frame.bottom());
    // As tall as the main window where there is room: more cues at a glance.
    QSize preferred = size() + extra;
    preferred.setHeight(std::max(preferred.height(), owner->frameGeometry().height()));
    const QRect place =
        CueListPlacement(owner->frameGeometry(), owner->screen()->availableGeometry(), preferred,
                         QSize(320, 200) + extra);
    if (place.isNull())
        return; // no room anywhere beside it: the window manager decides
    resize(place.size() - extra);
    // Before the window manager has framed the window its position is the
    // inside's: make room for the frame it is about to get.
    const QMargins known = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    move(place.topLeft() + QPoint(frame.left() - known.left(), frame.top() - known.top()));
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
