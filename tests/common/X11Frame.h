#pragma once

// What the X server says of a window: its frame as the window manager drew it.

#include "tests/common/X11Session.h"

#include <QApplication>
#include <QRect>
#include <QRegularExpression>
#include <QTest>
#include <string>

// The number after "key:" or "key=" in a tool's output; -1 when absent.
inline int IntAfter(const QByteArray& text, const char* key) {
    const QRegularExpression re(QString::fromLatin1(key) + QStringLiteral("\\s*[=:]\\s*(\\d+)"));
    const QRegularExpressionMatch m = re.match(QString::fromUtf8(text));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

// The window's outer frame on the screen (client area plus the frame extents);
// an invalid rectangle while the window manager has not said.
inline QRect RealFrame(const X11Session& x, unsigned long long windowId) {
    const std::string id = std::to_string(windowId);
    const QByteArray info = x.Run("xwininfo -id " + id);
    const QByteArray extents = x.Run("xprop -id " + id + " _NET_FRAME_EXTENTS");
    const QRegularExpression four(QStringLiteral("=\\s*(\\d+),\\s*(\\d+),\\s*(\\d+),\\s*(\\d+)"));
    const QRegularExpressionMatch m = four.match(QString::fromUtf8(extents));
    if (!m.hasMatch() || IntAfter(info, "Width") < 0)
        return {};
    const int left = m.captured(1).toInt(), right = m.captured(2).toInt();
    const int top = m.captured(3).toInt(), bottom = m.captured(4).toInt();
    return {IntAfter(info, "Absolute upper-left X") - left,
            IntAfter(info, "Absolute upper-left Y") - top, IntAfter(info, "Width") + left + right,
            IntAfter(info, "Height") + top + bottom};
}

// The main of a test that runs under its own X server and window manager: they
// must be up before the application connects. Where they cannot start the test
// runs offscreen and its initTestCase skips with the reason.
template <typename Test, typename Application = QApplication>
int RunUnderX11(int argc, char** argv) {
    X11Session x;
    if (x.Start()) {
        qputenv("DISPLAY", x.Display().toLocal8Bit());
        qputenv("QT_QPA_PLATFORM", "xcb");
    } else {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    Application app(argc, argv);
    Test test(x);
    return QTest::qExec(&test, argc, argv);
}
