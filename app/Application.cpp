#include "app/Application.h"

#include "app/Errors.h"
#include "app/Seams.h"

#include <QDialog>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QPalette>
#include <QPointer>
#include <QStyleFactory>
#include <QTimer>

TCuewellApplication::TCuewellApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // The user's configuration folder follows these: ~/.config/cuewell.
    setOrganizationName(QString());
    setApplicationName(QStringLiteral("cuewell"));
    setApplicationDisplayName(QStringLiteral("Cuewell"));
    setDesktopFileName(QStringLiteral("org.cuewell.Cuewell"));
}

TFontWarmup::TFontWarmup() : FThread([] { QFontDatabase::families(); }) {}

TFontWarmup::~TFontWarmup() {
    FThread.join();
}

TCuewellApplication* TCuewellApplication::Instance() {
    return dynamic_cast<TCuewellApplication*>(QCoreApplication::instance());
}

bool TCuewellApplication::notify(QObject* receiver, QEvent* event) {
    QString text;
    try {
        const QEvent::Type type = event->type();
        if (FKeyFirst && (type == QEvent::KeyPress || type == QEvent::ShortcutOverride) &&
            FKeyFirst->TakeKeyFirst(receiver, static_cast<QKeyEvent*>(event)))
            return true;
        return QApplication::notify(receiver, event);
    } catch (const CuewellError& error) {
        text = error.Text();
    } catch (const std::exception& error) {
        text = QString::fromLocal8Bit(error.what());
    }
    if (FPrompts)
        FPrompts->MessageBox(activeWindow(), QStringLiteral("Cuewell"), StandardErrorText(text),
                             TMsgIcon::Stop, TMsgButton::OK);
    return false;
}

void ApplyDarkStyle(QApplication& app) {
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    const QColor window(43, 47, 51); // charcoal
    const QColor base(30, 33, 36);
    const QColor button(56, 62, 68); // dark slate
    const QColor text(226, 229, 232);
    const QColor highlight(70, 120, 180);
    QPalette palette;
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::ToolTipBase, button);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, button);
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::BrightText, QColor(255, 90, 90));
    palette.setColor(QPalette::Link, highlight.lighter(130));
    palette.setColor(QPalette::Highlight, highlight);
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::PlaceholderText, text.darker(160));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, text.darker(170));
    app.setPalette(palette);
}

namespace {

void CloseAfterModals(QPointer<QWidget> target, int attempts) {
    if (!target)
        return;
    QWidget* modal = QApplication::activeModalWidget();
    // A box that will not go away must not keep the window open for ever.
    if (modal && attempts > 0) {
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
        // Again once the dismissed box's own event loop has returned.
        QTimer::singleShot(0, target,
                           [target, attempts] { CloseAfterModals(target, attempts - 1); });
        return;
    }
    target->close();
}

} // namespace

void CloseFromOutside(QWidget* window) {
    CloseAfterModals(window, 16);
}
