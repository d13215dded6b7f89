// The command line: options, scripts as paths or file URLs, refusals.

#include "app/CommandLine.h"

#include <QDir>
#include <QTest>

using TAction = TCommandLine::TAction;
Q_DECLARE_METATYPE(TAction)

class tst_CommandLine : public QObject {
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void usageNamesEveryOption();
};

void tst_CommandLine::parse_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<TAction>("action");
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("toolkitMayTake");

    const QString cwd = QDir::currentPath();
    QTest::newRow("nothing") << QStringList{} << TAction::Run << "" << false;
    QTest::newRow("absolute path")
        << QStringList{"/shows/Act 1.pdf"} << TAction::Run << "/shows/Act 1.pdf" << false;
    QTest::newRow("relative path made absolute")
        << QStringList{"shows/../Act1.pdf"} << TAction::Run << cwd + "/Act1.pdf" << false;
    QTest::newRow("file URL, percent-decoded")
        << QStringList{"file:///shows/Act%201%20%C3%A9t%C3%A9.pdf"} << TAction::Run
        << QString::fromUtf8("/shows/Act 1 \u00e9t\u00e9.pdf") << false;
    QTest::newRow("file URL with localhost") << QStringList{"file://localhost/shows/Act1.pdf"}
                                             << TAction::Run << "/shows/Act1.pdf" << false;
    QTest::newRow("file URL, scheme in capitals")
        << QStringList{"FILE:///shows/Act1.pdf"} << TAction::Run << "/shows/Act1.pdf" << false;
    QTest::newRow("colon in a plain name is not a URL")
        << QStringList{"/shows/Scene:1.pdf"} << TAction::Run << "/shows/Scene:1.pdf" << false;
    QTest::newRow("percent in a plain path kept")
        << QStringList{"/shows/100%25.pdf"} << TAction::Run << "/shows/100%25.pdf" << false;
    QTest::newRow("dash-named script after --")
        << QStringList{"--", "--help"} << TAction::Run << cwd + "/--help" << false;
    QTest::newRow("lone dash is a name") << QStringList{"-"} << TAction::Run << cwd + "/-" << false;

    QTest::newRow("help") << QStringList{"--help"} << TAction::Help << "" << false;
    QTest::newRow("short help") << QStringList{"-h"} << TAction::Help << "" << false;
    QTest::newRow("version") << QStringList{"--version"} << TAction::Version << "" << false;
    QTest::newRow("help wins over a bad option")
        << QStringList{"--bogus", "--help"} << TAction::Help << "" << false;
    QTest::newRow("version after a script")
        << QStringList{"/shows/Act1.pdf", "--version"} << TAction::Version << "" << false;

    QTest::newRow("unknown long option")
        << QStringList{"--bogus", "/shows/Act1.pdf"} << TAction::Error << "" << false;
    QTest::newRow("toolkit option before Qt took it")
        << QStringList{"-platform", "offscreen", "/shows/Act1.pdf"} << TAction::Error << "" << true;
    QTest::newRow("unknown long option beside a toolkit one")
        << QStringList{"-style", "--bogus"} << TAction::Error << "" << false;
    QTest::newRow("two scripts") << QStringList{"/a.pdf", "/b.pdf"} << TAction::Error << "" << true;
    QTest::newRow("remote URL") << QStringList{"file://stage-pc/shows/Act1.pdf"} << TAction::Error
                                << "" << true;
    QTest::newRow("empty name") << QStringList{""} << TAction::Error << "" << true;
}

void tst_CommandLine::parse() {
    QFETCH(QStringList, arguments);
    QFETCH(TAction, action);
    QFETCH(QString, script);
    QFETCH(bool, toolkitMayTake);
    const TCommandLine line = ParseCommandLine(arguments);
    QCOMPARE(line.Action, action);
    QCOMPARE(line.Script, script);
    QCOMPARE(line.Error.isEmpty(), action != TAction::Error);
    if (action == TAction::Error)
        QCOMPARE(line.ToolkitMayTake, toolkitMayTake);
}

void tst_CommandLine::usageNamesEveryOption() {
    const QString usage = UsageText(QStringLiteral("cuewell"));
    QVERIFY(usage.startsWith(QLatin1String("Usage: cuewell ")));
    QVERIFY(usage.endsWith(u'\n'));
    for (const char* option : {"--help", "--version"})
        QVERIFY2(usage.contains(QLatin1String(option)), option);
    QCOMPARE(VersionText(QStringLiteral("cuewell")),
             QStringLiteral("cuewell %1\n").arg(QStringLiteral(CUEWELL_TEST_VERSION)));
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
