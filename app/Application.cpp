#include "app/Application.h"

#include "app/Errors.h"
#include "app/Seams.h"

#include <QDialog>
#include <QFontDatabase>
#include <QIconEngine>
#include <QKeyEvent>
#include <QPainter>
#include <QPalette>
#include <QPointer>
#include <QProxyStyle>
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

namespace {

// The "more items" chevron, drawn when shown. The style's own reads image
// files, and the first read loads every image-format plugin: about 2 ms on
// the user-interface thread while the window is built, for an arrow a menu
// bar of four menus never shows.
class TChevronIconEngine : public QIconEngine {
public:
    explicit TChevronIconEngine(bool horizontal) : FHorizontal(horizontal) {}
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        const QPalette palette = QApplication::palette();
        const QColor colour = palette.color(
            mode == QIcon::Disabled ? QPalette::Disabled : QPalette::Active, QPalette::ButtonText);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(QPen(colour, qMax(1.0, rect.height() / 10.0)));
        painter->translate(rect.center() + QPointF(0.5, 0.5));
        if (!FHorizontal)
            painter->rotate(90);
        const qreal a = rect.width() / 8.0, b = rect.height() / 5.0;
        for (const qreal x : {-2 * a, a / 2}) {
            const QPointF points[] = {{x, -b}, {x + 1.5 * a, 0}, {x, b}};
            painter->drawPolyline(points, 3);
        }
        painter->restore();
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, pixmap.rect(), mode, state);
        return pixmap;
    }
    QIconEngine* clone() const override { return new TChevronIconEngine(FHorizontal); }

private:
    bool FHorizontal;
};

class TCuewellStyle : public QProxyStyle {
public:
    TCuewellStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}
    QIcon standardIcon(StandardPixmap icon, const QStyleOption* option,
                       const QWidget* widget) const override {
        if (icon == SP_ToolBarHorizontalExtensionButton ||
            icon == SP_ToolBarVerticalExtensionButton)
            return QIcon(new TChevronIconEngine(icon == SP_ToolBarHorizontalExtensionButton));
        return QProxyStyle::standardIcon(icon, option, widget);
    }
};

} // namespace

void ApplyDarkStyle(QApplication& app) {
    app.setStyle(new TCuewellStyle);
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
