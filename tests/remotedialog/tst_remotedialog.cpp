// The remote-control dialog, offscreen: Save applies and writes, a wrong
// entry changes nothing and says why, Cancel changes nothing.
#include "app/Seams.h"
#include "osc/RemoteControl.h"
#include "osc/RemoteDialog.h"
#include "store/KeyValueFile.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

namespace {

class RecordingPrompts final : public IPrompts {
public:
    void MessageBox(QWidget*, const QString&, const QString& text, TMsgIcon, TMsgButton) override {
        texts << text;
    }
    QString OpenFileName(QWidget*, const QString&, const QString&) override { return {}; }
    QStringList texts;
};

QByteArray FileText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

quint16 FreePort() {
    QUdpSocket probe;
    return probe.bind(QHostAddress::LocalHost, 0) ? probe.localPort() : 0;
}

} // namespace

class tst_RemoteDialog : public QObject {
    Q_OBJECT

private slots:
    void init();
    void saveAppliesAndWrites();
    void wrongEntries_data();
    void wrongEntries();
    void cancelChangesNothing();
    void allowFromOnlyForAllInterfaces();

private:
    QTemporaryDir FDir;
    QString FPath;
};

void tst_RemoteDialog::init() {
    FPath = FDir.filePath(u"Cuewell.ini"_qs);
    QFile file(FPath);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[OSC]\r\nsoundPort=9001\r\n");
}

void tst_RemoteDialog::saveAppliesAndWrites() {
    TRemoteControl remote;
    RecordingPrompts prompts;
    TRemoteDialog dialog(remote, prompts, FPath);
    dialog.ShowNonModal();
    QVERIFY(!dialog.ListenBox->isChecked());

    const quint16 port = FreePort();
    dialog.ListenBox->setChecked(true);
    dialog.PortBox->setValue(port);
    dialog.AllInterfaces->setChecked(true);
    dialog.AllowFromEdit->setText(u"127.0.0.1, 10.0.0.7"_qs);
    QTest::mouseClick(dialog.SaveButton, Qt::LeftButton);

    QCOMPARE(prompts.texts, QStringList{});
    QVERIFY(!dialog.isVisible());
    QVERIFY(remote.Listening());
    QCOMPARE(remote.ListeningPort(), int(port));
    QCOMPARE(remote.ListeningAddress(), u"0.0.0.0"_qs);
    KeyValueFile settings(FPath);
    QCOMPARE(settings.ReadString(u"OSC"_qs, u"soundPort"_qs, {}), u"9001"_qs);
    QCOMPARE(settings.ReadString(u"Remote"_qs, u"Enabled"_qs, {}), u"1"_qs);
    QCOMPARE(settings.ReadInteger(u"Remote"_qs, u"Port"_qs, 0), int(port));
    QCOMPARE(settings.ReadString(u"Remote"_qs, u"AllInterfaces"_qs, {}), u"1"_qs);
    QCOMPARE(settings.ReadString(u"Remote"_qs, u"AllowFrom"_qs, {}), u"127.0.0.1, 10.0.0.7"_qs);

    // Turned off again: it stops listening at once.
    dialog.ShowNonModal();
    QVERIFY(dialog.ListenBox->isChecked());
    dialog.ListenBox->setChecked(false);
    QTest::mouseClick(dialog.SaveButton, Qt::LeftButton);
    QVERIFY(!remote.Listening());
    QCOMPARE(KeyValueFile(FPath).ReadString(u"Remote"_qs, u"Enabled"_qs, {}), u"0"_qs);
}

void tst_RemoteDialog::wrongEntries_data() {
    QTest::addColumn<QString>("allow");
    QTest::addColumn<bool>("portInUse");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("written");

    QTest::newRow("not an address") << u"10.0.0.1, stage-left"_qs << false
                                    << u"'stage-left' is not an IPv4 address."_qs << false;
    // The choice is kept; the operator sees that the port is busy.
    QTest::newRow("port in use") << QString() << true << u"Cannot listen"_qs << true;
}

void tst_RemoteDialog::wrongEntries() {
    QFETCH(QString, allow);
    QFETCH(bool, portInUse);
    QFETCH(QString, error);
    QFETCH(bool, written);

    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::Any, 0));
    TRemoteControl remote;
    RecordingPrompts prompts;
    TRemoteDialog dialog(remote, prompts, FPath);
    dialog.ShowNonModal();
    const QByteArray before = FileText(FPath);
    dialog.ListenBox->setChecked(true);
    dialog.PortBox->setValue(portInUse ? holder.localPort() : FreePort());
    dialog.AllInterfaces->setChecked(true);
    dialog.AllowFromEdit->setText(allow);
    QTest::mouseClick(dialog.SaveButton, Qt::LeftButton);

    QCOMPARE(prompts.texts.size(), 1);
    QVERIFY2(prompts.texts[0].startsWith(error), qPrintable(prompts.texts[0]));
    QVERIFY(dialog.isVisible());
    QVERIFY(!remote.Listening());
    QCOMPARE(FileText(FPath) != before, written);
    if (!written)
        QVERIFY(!remote.Enabled());
}

void tst_RemoteDialog::cancelChangesNothing() {
    TRemoteControl remote;
    RecordingPrompts prompts;
    TRemoteDialog dialog(remote, prompts, FPath);
    dialog.ShowNonModal();
    const QByteArray before = FileText(FPath);
    dialog.ListenBox->setChecked(true);
    dialog.PortBox->setValue(FreePort());
    QTest::mouseClick(dialog.CancelButton, Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
    QVERIFY(!remote.Enabled());
    QVERIFY(!remote.Listening());
    QCOMPARE(FileText(FPath), before);
    // Shown again, it shows the settings, not what was typed and cancelled.
    dialog.ShowNonModal();
    QVERIFY(!dialog.ListenBox->isChecked());
}

void tst_RemoteDialog::allowFromOnlyForAllInterfaces() {
    TRemoteControl remote;
    RecordingPrompts prompts;
    TRemoteDialog dialog(remote, prompts, FPath);
    dialog.ShowNonModal();
    QVERIFY(!dialog.PortBox->isEnabled());
    dialog.ListenBox->setChecked(true);
    QVERIFY(dialog.PortBox->isEnabled());
    QVERIFY(dialog.LocalOnly->isChecked());
    QVERIFY(!dialog.AllowFromEdit->isEnabled());
    dialog.AllInterfaces->setChecked(true);
    QVERIFY(dialog.AllowFromEdit->isEnabled());
}

QTEST_MAIN(tst_RemoteDialog)
#include "tst_remotedialog.moc"
