#pragma once

// What the window tests share: recording stand-ins for the desktop's boxes and
// dialogs, a temporary executable folder, real PDFs made on the spot, real UDP
// receivers on loopback, and a main window waiting for its script.

#include "app/Seams.h"
#include "app/Unit1.h"
#include "cues/CueBook.h"
#include "cues/CuePin.h"
#include "store/KeyValueFile.h"
#include "view/AdvPDFViewer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QKeyEvent>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <functional>
#include <memory>

struct TRecordedBox {
    QString Title;
    QString Text;
    TMsgIcon Icon;
    TMsgButton Button;
};

class TRecordingPrompts final : public IPrompts {
public:
    void MessageBox(QWidget*, const QString& title, const QString& text, TMsgIcon icon,
                    TMsgButton button) override {
        Boxes.append({title, text, icon, button});
        // A real box is modal: events (timer ticks, keys) go on while it is shown.
        if (WhileShown)
            WhileShown();
    }
    QString OpenFileName(QWidget*, const QString& folder, const QString& filter) override {
        DialogFolders.append(folder);
        DialogFilters.append(filter);
        return Answers.isEmpty() ? QString() : Answers.takeFirst();
    }
    QString SaveFileName(QWidget*, const QString& title, const QString&, const QString&) override {
        SaveTitles.append(title);
        return SaveAnswers.isEmpty() ? QString() : SaveAnswers.takeFirst();
    }
    QStringList Texts() const {
        QStringList texts;
        for (const TRecordedBox& box : Boxes)
            texts.append(box.Text);
        return texts;
    }

    QList<TRecordedBox> Boxes;
    std::function<void()> WhileShown;
    QStringList Answers; // what the open dialog returns, in turn; empty means Cancel
    QStringList DialogFolders;
    QStringList DialogFilters;
    QStringList SaveAnswers; // what the save dialog returns, in turn; empty means Cancel
    QStringList SaveTitles;
};

class TFixedPaths final : public IPaths {
public:
    explicit TFixedPaths(QString exe) : FExe(std::move(exe)) {}
    QString ExecutablePath() const override { return FExe; }
    // The executable's folder: the test's own, never the user's.
    QString UserCacheFolder() const override { return QFileInfo(FExe).path(); }

private:
    QString FExe;
};

// A script of `pages` A4 pages (or landscape ones), each with a line of text.
inline QString MakeScript(const QString& path, int pages,
                          QPageLayout::Orientation orientation = QPageLayout::Portrait) {
    QPdfWriter pdf(path);
    pdf.setPageSize(QPageSize(QPageSize::A4));
    pdf.setPageOrientation(orientation);
    pdf.setResolution(72);
    QPainter p(&pdf);
    for (int i = 0; i < pages; ++i) {
        if (i > 0)
            pdf.newPage();
        p.drawText(QPointF(80, 100), QStringLiteral("Page %1 of the script").arg(i + 1));
    }
    p.end();
    return path;
}

// Writes a text file as it stands (UTF-8 with BOM, CR LF when the text has them).
inline void WriteFileText(const QString& path, const QByteArray& text, bool bom = true) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    if (bom)
        file.write("\xEF\xBB\xBF");
    file.write(text);
}

inline QByteArray ReadFileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// Settings that send cues to two targets on this machine.
inline QByteArray TargetSettings(int soundPort, int lightPort,
                                 const QByteArray& soundAddress = "sound",
                                 const QByteArray& lightAddress = "light",
                                 const QByteArray& soundIP = "127.0.0.1",
                                 const QByteArray& lightIP = "127.0.0.1") {
    return "[OSC]\r\nsoundIP=" + soundIP + "\r\nsoundPort=" + QByteArray::number(soundPort) +
           "\r\nsoundAddress=" + soundAddress + "\r\nlightIP=" + lightIP +
           "\r\nlightPort=" + QByteArray::number(lightPort) + "\r\nlightAddress=" + lightAddress +
           "\r\n\r\n";
}

// A cue file whose pages hold the given records, in slot order; optionally
// with the window size it was made for (960 x 620).
inline QByteArray CueFileText(const QList<QList<QByteArray>>& pages, bool withSize = false) {
    QByteArray text;
    for (int p = 0; p < pages.size(); ++p) {
        text += "[Page" + QByteArray::number(p) + "]\r\n";
        for (int i = 0; i < pages[p].size(); ++i)
            text += "Cue" + QByteArray::number(i) + "=" + pages[p][i] + "\r\n";
        text += "\r\n";
    }
    if (withSize)
        text += "[Settings]\r\nHeight=620\r\nWidth=960\r\n\r\n";
    return text;
}

inline int VisiblePins(const TCuewell& w) {
    int n = 0;
    for (const TCuePin* pin : w.CuePin)
        n += pin->isVisible() ? 1 : 0;
    return n;
}

inline QStringList StopTexts(const TRecordingPrompts& prompts) {
    QStringList texts;
    for (const TRecordedBox& box : prompts.Boxes)
        if (box.Icon == TMsgIcon::Stop)
            texts.append(box.Text);
    return texts;
}

// The widget that gets the keys: the window's focused control, as for a real key.
inline QWidget* KeyTarget(TCuewell& w) {
    QWidget* focus = QApplication::focusWidget();
    return focus && focus->window() == &w ? focus : &w;
}

inline void PressKey(QWidget* target, int key, bool autoRepeat = false) {
    const QString text = key == Qt::Key_Space ? QStringLiteral(" ") : QString();
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text, autoRepeat);
    QCoreApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text, autoRepeat);
    QCoreApplication::sendEvent(target, &release);
}

// Space as the operator types it.
inline void Go(TCuewell& w) {
    PressKey(KeyTarget(w), Qt::Key_Space);
}

// A UDP receiver on 127.0.0.1 with a system-chosen port.
class TReceiver {
public:
    TReceiver() { Socket.bind(QHostAddress::LocalHost, 0); }
    int Port() const { return Socket.localPort(); }
    // Waits up to `ms` for one datagram; an empty array when none came.
    QByteArray Next(int ms = 2000) {
        if (!Socket.hasPendingDatagrams() && !Socket.waitForReadyRead(ms))
            return {};
        QByteArray data(int(Socket.pendingDatagramSize()), Qt::Uninitialized);
        Socket.readDatagram(data.data(), data.size());
        return data;
    }
    QList<QByteArray> Drain(int ms = 100) {
        QList<QByteArray> all;
        for (QByteArray d = Next(ms); !d.isNull(); d = Next(ms))
            all.append(d);
        return all;
    }
    QUdpSocket Socket;
};

// A temporary "installation": the executable's folder holds the settings file
// and the pin glyph; the test runs with that folder as the working directory.
class TWindowFixture {
public:
    TWindowFixture() : Paths(Dir.filePath(QStringLiteral("cuewell"))) {
        // The offscreen platform says so at every size lock; it is not news.
        static const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
                if (!text.contains(QLatin1String("does not support propagateSizeHints")))
                    previous(type, context, text);
            });
        FOldCwd = QDir::currentPath();
        QDir::setCurrent(Dir.path());
        QFile::copy(QStringLiteral(CUEWELL_PIN_GLYPH),
                    Dir.filePath(QStringLiteral("Pin_16T3.bmp")));
    }
    ~TWindowFixture() {
        Window.reset();
        QDir::setCurrent(FOldCwd);
    }

    QString Path(const QString& name) const { return Dir.filePath(name); }
    QString SettingsPath() const { return Dir.filePath(QStringLiteral("cuewell.ini")); }

    // Builds the main window with the given command line after the executable.
    TCuewell& Start(const QStringList& arguments = {}) {
        Window = std::make_unique<TCuewell>(
            TAppContext{Prompts, Paths, QStringList{Paths.ExecutablePath()} + arguments});
        return *Window;
    }

    // Starts on a script and waits until it has loaded; the view is sized as asked.
    TCuewell& StartOn(const QString& script, QSize view = QSize(940, 500)) {
        Prompts.Answers = {script};
        TCuewell& w = Start();
        w.show();
        if (!QTest::qWaitForWindowExposed(&w))
            qWarning("window not exposed");
        if (!QTest::qWaitFor([&] { return w.Book->ScriptLoaded(); }, 10000))
            qWarning("script did not load");
        SetViewSize(view);
        return w;
    }

    // The usual show: targets at two receivers, a script of `pages` pages and
    // its cue file, the window started on it.
    TCuewell& StartShow(const TReceiver& sound, const TReceiver& light, int pages,
                        const QList<QList<QByteArray>>& cues, QSize view = QSize(940, 500)) {
        WriteFileText(SettingsPath(), TargetSettings(sound.Port(), light.Port()));
        const QString script = MakeScript(Path(QStringLiteral("show.pdf")), pages);
        WriteFileText(Path(QStringLiteral("show.cues")), CueFileText(cues));
        return StartOn(script, view);
    }

    void SetViewSize(QSize view) {
        TCuewell& w = *Window;
        const bool locked = w.SizeLocked();
        w.SetSizeLocked(false);
        w.resize(w.size() + view - w.AdvPDF->size());
        if (!QTest::qWaitFor([&] { return w.AdvPDF->size() == view; }, 2000))
            qWarning("the view did not take the size asked for");
        if (locked)
            w.SetSizeLocked(true);
    }

    QTemporaryDir Dir;
    TRecordingPrompts Prompts;
    TFixedPaths Paths;
    std::unique_ptr<TCuewell> Window;

private:
    QString FOldCwd;
};
