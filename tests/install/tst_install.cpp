// The installed program: the staged tree passes the desktop's validators, the
// command line answers without a display, and a program installed where it
// cannot write keeps its settings in the user's configuration folder, byte for
// byte what a writable installation keeps beside the executable.
//
// Running as root, a folder's permission bits do not stop writes (access(2)
// says such a folder is writable, so the settings rightly stay beside the
// executable). The test then runs the installed program as "nobody" through
// setpriv, as an operator's account would run it.

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <unistd.h>

namespace {

constexpr int Nobody = 65534;

struct TRun {
    int ExitCode = -1;
    QByteArray Out;
    QByteArray Err;
};

TRun Run(const QString& program, const QStringList& arguments,
         const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
         int timeoutMs = 120000) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    TRun run;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        run.Err = "timed out";
        return run;
    }
    run.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.Out = process.readAllStandardOutput();
    run.Err = process.readAllStandardError();
    return run;
}

QByteArray Contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_Install : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void installedFiles_data();
    void installedFiles();
    void commandLineWithoutDisplay_data();
    void commandLineWithoutDisplay();
    void settingsFollowTheInstallation();

private:
    QString Staged(const QString& relative) const { return FStage + u'/' + relative; }
    // A copy of the staged tree, writable by the user who runs it or not.
    QString CopyInstallation(const QString& name, bool writable);
    // A folder the program's user owns.
    QString UserFolder(const QString& name);
    // Starts the installed program on the display with `arguments`, waits for
    // the window named `waitFor`, closes it with SIGTERM, returns its exit code.
    int StartAndClose(const QString& root, const QStringList& arguments, const QString& waitFor);

    QTemporaryDir FDir;
    QString FStage;
    QProcess FXvfb;
    QString FDisplay;
    bool FAsNobody = false;
};

void tst_Install::initTestCase() {
    QVERIFY(FDir.isValid());
    // Every user may pass through; what lies inside sets its own permissions.
    QVERIFY(QFile::setPermissions(
        FDir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther |
                         QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup));
    FStage = FDir.filePath(QStringLiteral("stage"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DESTDIR"), FStage);
    const TRun install = Run(QStringLiteral(CUEWELL_CMAKE),
                             {QStringLiteral("--install"), QStringLiteral(CUEWELL_BUILD_DIR),
                              QStringLiteral("--prefix"), QStringLiteral("/usr")},
                             env);
    QVERIFY2(install.ExitCode == 0, install.Err.constData());

    FAsNobody = ::geteuid() == 0;
    if (FAsNobody)
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty(),
                 "setpriv (util-linux) is needed to run the program as a user when root");
    for (const char* tool : {"Xvfb", "xdotool", "desktop-file-validate", "appstreamcli"})
        QVERIFY2(!QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty(), tool);

    // A display of our own: the first free one, as Xvfb reports it.
    FXvfb.start(QStringLiteral("Xvfb"),
                {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                 QStringLiteral("tcp"), QStringLiteral("-ac"), QStringLiteral("-screen"),
                 QStringLiteral("0"), QStringLiteral("1280x1024x24")});
    QVERIFY(FXvfb.waitForStarted());
    QVERIFY(QTest::qWaitFor([&] { return FXvfb.canReadLine(); }, 20000));
    FDisplay = u':' + QString::fromLatin1(FXvfb.readLine().trimmed());
}

void tst_Install::cleanupTestCase() {
    if (FXvfb.state() != QProcess::NotRunning) {
        FXvfb.terminate();
        FXvfb.waitForFinished(5000);
    }
    // Read-only copies would stop a user who is not root from removing them.
    Run(QStringLiteral("chmod"), {QStringLiteral("-R"), QStringLiteral("u+w"), FDir.path()});
}

void tst_Install::installedFiles_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("validator"); // empty: only present
    QTest::addColumn<QStringList>("options");
    QTest::newRow("program") << "usr/bin/cuewell"
                             << "" << QStringList{};
    QTest::newRow("OSC monitor") << "usr/bin/oscmonitor"
                                 << "" << QStringList{};
    QTest::newRow("pin glyph") << "usr/share/cuewell/Pin_16T3.bmp"
                               << "" << QStringList{};
    QTest::newRow("icon") << "usr/share/icons/hicolor/scalable/apps/org.cuewell.Cuewell.svg"
                          << "" << QStringList{};
    QTest::newRow("desktop entry") << "usr/share/applications/org.cuewell.Cuewell.desktop"
                                   << "desktop-file-validate" << QStringList{};
    QTest::newRow("AppStream metadata") << "usr/share/metainfo/org.cuewell.Cuewell.metainfo.xml"
                                        << "appstreamcli" << QStringList{"validate", "--no-net"};
}

void tst_Install::installedFiles() {
    QFETCH(QString, file);
    QFETCH(QString, validator);
    QFETCH(QStringList, options);
    QVERIFY2(QFileInfo(Staged(file)).isFile(), qPrintable(file));
    if (validator.isEmpty())
        return;
    const TRun check = Run(validator, options + QStringList{Staged(file)});
    QVERIFY2(check.ExitCode == 0, (check.Out + check.Err).constData());
    QVERIFY2(check.Err.isEmpty() || validator != QLatin1String("desktop-file-validate"),
             check.Err.constData());
}

void tst_Install::commandLineWithoutDisplay_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::newRow("version") << QStringList{"--version"} << 0
                             << QStringLiteral("cuewell " CUEWELL_TEST_VERSION "\n") << "";
    QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: cuewell "
                          << "";
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << ""
                                    << "cuewell: unknown option: --bogus\n";
}

// Answered before the toolkit starts: no display, no settings touched.
void tst_Install::commandLineWithoutDisplay() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    const TRun run = Run(Staged(QStringLiteral("usr/bin/cuewell")), arguments, env);
    QCOMPARE(run.ExitCode, exitCode);
    // Nothing on the other stream: no toolkit complaint about a missing display.
    QVERIFY2(out.isEmpty() ? run.Out.isEmpty() : QString::fromLocal8Bit(run.Out).startsWith(out),
             run.Out.constData());
    QVERIFY2(err.isEmpty() ? run.Err.isEmpty() : QString::fromLocal8Bit(run.Err).startsWith(err),
             run.Err.constData());
    QVERIFY(!QFile::exists(Staged(QStringLiteral("usr/bin/cuewell.ini"))));
}

QString tst_Install::CopyInstallation(const QString& name, bool writable) {
    const QString root = FDir.filePath(name);
    if (Run(QStringLiteral("cp"), {QStringLiteral("-a"), FStage, root}).ExitCode != 0)
        return {};
    if (writable && FAsNobody)
        Run(QStringLiteral("chown"),
            {QStringLiteral("-R"), QStringLiteral("%1:%1").arg(Nobody), root});
    Run(QStringLiteral("chmod"),
        {QStringLiteral("-R"), writable ? QStringLiteral("u+w,a+rX") : QStringLiteral("a-w,a+rX"),
         root});
    return root;
}

QString tst_Install::UserFolder(const QString& name) {
    const QString path = FDir.filePath(name);
    QDir().mkpath(path);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (FAsNobody)
        Run(QStringLiteral("chown"), {QStringLiteral("%1:%1").arg(Nobody), path});
    return path;
}

int tst_Install::StartAndClose(const QString& root, const QStringList& arguments,
                               const QString& waitFor) {
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    env.insert(QStringLiteral("DISPLAY"), FDisplay);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("HOME"), FDir.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), FDir.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), FDir.filePath(QStringLiteral("cache")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), FDir.filePath(QStringLiteral("runtime")));
    // A sanitizer build's leak report is no part of this test.
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));

    QProcess app;
    app.setProcessEnvironment(env);
    // Started in a folder without the pin glyph: the installed one is used.
    app.setWorkingDirectory(FDir.filePath(QStringLiteral("home")));
    const QString program = root + QStringLiteral("/usr/bin/cuewell");
    if (FAsNobody)
        app.start(QStringLiteral("setpriv"),
                  QStringList{QStringLiteral("--reuid=%1").arg(Nobody),
                              QStringLiteral("--regid=%1").arg(Nobody),
                              QStringLiteral("--clear-groups"), QStringLiteral("--"), program} +
                      arguments);
    else
        app.start(program, arguments);
    if (!app.waitForStarted())
        return -1;

    QProcessEnvironment xenv = QProcessEnvironment::systemEnvironment();
    xenv.insert(QStringLiteral("DISPLAY"), FDisplay);
    const TRun found =
        Run(QStringLiteral("xdotool"),
            {QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
             QStringLiteral("--name"), u'^' + waitFor + u'$'},
            xenv, 30000);
    const bool shown = found.ExitCode == 0;
    // setpriv has become the program itself, so the signal reaches it.
    app.terminate();
    if (!app.waitForFinished(20000)) {
        app.kill();
        app.waitForFinished();
        qWarning("the program did not close on SIGTERM");
        return -1;
    }
    if (!shown) {
        qWarning("no window \"%s\" appeared; the program said: %s", qPrintable(waitFor),
                 app.readAllStandardError().constData());
        return -1;
    }
    return app.exitStatus() == QProcess::NormalExit ? app.exitCode() : -1;
}

void tst_Install::settingsFollowTheInstallation() {
    UserFolder(QStringLiteral("home"));
    UserFolder(QStringLiteral("cache"));
    UserFolder(QStringLiteral("runtime"));
    const QString config = UserFolder(QStringLiteral("config"));

    // A script with a space in its name, given as a file manager gives it.
    const QString shows = FDir.filePath(QStringLiteral("shows"));
    QDir().mkpath(shows);
    const QString script = shows + QStringLiteral("/Act 1.pdf");
    {
        QPdfWriter pdf(script);
        QPainter p(&pdf);
        p.drawText(QPointF(80, 100), QStringLiteral("Act one"));
    }
    const QString url = QUrl::fromLocalFile(script).toString(QUrl::FullyEncoded);
    QVERIFY(url.contains(QLatin1String("%20")));

    // Once a script without cues has loaded, the program asks for the window size.
    const QString loaded = QStringLiteral("Set Window size");

    const QString writable = CopyInstallation(QStringLiteral("writable"), true);
    QVERIFY(!writable.isEmpty());
    QCOMPARE(StartAndClose(writable, {url}, loaded), 0);
    const QByteArray beside = Contents(writable + QStringLiteral("/usr/bin/cuewell.ini"));
    QVERIFY2(beside.contains("LastScript=" + script.toUtf8() + "\r\n"), beside.constData());
    QVERIFY(!QFileInfo::exists(config + QStringLiteral("/cuewell")));

    const QString readOnly = CopyInstallation(QStringLiteral("read-only"), false);
    QVERIFY(!readOnly.isEmpty());
    QCOMPARE(StartAndClose(readOnly, {url}, loaded), 0);
    QVERIFY(!QFileInfo::exists(readOnly + QStringLiteral("/usr/bin/cuewell.ini")));
    const QString kept = config + QStringLiteral("/cuewell/cuewell.ini");
    QCOMPARE(Contents(kept), beside);

    // The next start reads them there: the remembered script opens at once.
    QCOMPARE(StartAndClose(readOnly, {}, loaded), 0);
    QCOMPARE(Contents(kept), beside);
}

QTEST_MAIN(tst_Install)
#include "tst_install.moc"
