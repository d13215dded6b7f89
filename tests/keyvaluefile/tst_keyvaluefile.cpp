#include "app/Errors.h"
#include "store/KeyValueFile.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// What the save does with the disk, in order, seen from the calls it makes.
namespace {
QStringList* SaveCalls = nullptr;
bool DieAtRename = false;

QString PathOfFd(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    const ssize_t n = readlink(link, target, sizeof target - 1);
    return n < 0 ? QString() : QString::fromLocal8Bit(target, n);
}
} // namespace

extern "C" int fsync(int fd) {
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    if (SaveCalls)
        SaveCalls->append("fsync " + PathOfFd(fd));
    return real(fd);
}

extern "C" int rename(const char* from, const char* to) {
    static auto real =
        reinterpret_cast<int (*)(const char*, const char*)>(dlsym(RTLD_NEXT, "rename"));
    if (DieAtRename)
        _exit(0); // the power goes at the worst moment
    if (SaveCalls)
        SaveCalls->append(QStringLiteral("rename %1 %2").arg(from, to));
    return real(from, to);
}

namespace {

const QByteArray Bom("\xEF\xBB\xBF", 3);

void WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(file.errorString()));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<cannot open>");
    return file.readAll();
}

// Applies flat (section, key, value) triples.
void ApplyWrites(KeyValueFile& file, const QStringList& writes) {
    for (qsizetype i = 0; i + 2 < writes.size(); i += 3)
        file.WriteString(writes[i], writes[i + 1], writes[i + 2]);
}

QString ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const CuewellError& e) {
        return e.Text();
    }
    return QString();
}

// Lowers the largest file this process may write, so that a write fails part
// way through even for root; restores the limit and the signal on scope exit.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &FOld);
        FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = FOld;
        lowered.rlim_cur = bytes;
        FActive = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &FOld);
        std::signal(SIGXFSZ, FOldHandler);
    }
    bool Active() const { return FActive; }

private:
    rlimit FOld{};
    void (*FOldHandler)(int) = nullptr;
    bool FActive = false;
};

// Runs `action` where permission bits count: in this process when it is not
// root, else in a child that has become the user "nobody". Returns what the
// action returns, or "<no unprivileged user>" when no such child can run.
QString AsUnprivileged(const std::function<QString()>& action) {
    if (geteuid() != 0)
        return action();
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return "<no unprivileged user>";
    const pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        QByteArray result("<no unprivileged user>");
        if (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0)
            result = action().toUtf8();
        (void)!write(pipeFds[1], result.constData(), size_t(result.size()));
        _exit(0);
    }
    close(pipeFds[1]);
    QByteArray result;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
        result.append(buffer, n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return QString::fromUtf8(result);
}

ino_t InodeOf(const QString& path) {
    struct stat info {};
    stat(QFile::encodeName(path).constData(), &info);
    return info.st_ino;
}

// A folder "show" under `root` that an unprivileged user may enter, as the
// saves below may run as one; empty when it could not be made.
QString FolderOthersMayEnter(const QTemporaryDir& root) {
    if (!QFile::setPermissions(root.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                QFileDevice::ExeOther))
        return QString();
    const QString folder = root.filePath("show");
    return QDir().mkpath(folder) ? folder : QString();
}

// Opens `path` with saving on, makes `writes` and frees it, as an unprivileged
// user: "saved", or the error raised.
QString SavedAsUnprivileged(const QString& path, const std::function<void(KeyValueFile&)>& writes) {
    return AsUnprivileged([&]() -> QString {
        try {
            KeyValueFile file(path);
            file.SetAutoSave(true);
            writes(file);
            file.Free();
        } catch (const CuewellError& e) {
            return e.Text();
        }
        return "saved";
    });
}

} // namespace

class tst_KeyValueFile : public QObject {
    Q_OBJECT

private slots:
    void newSettingsFileIsByteExact();
    void readValues_data();
    void readValues();
    void readInteger_data();
    void readInteger();
    void readBool_data();
    void readBool();
    void parseSettingsInteger_data();
    void parseSettingsInteger();
    void readOnlyUseNeverRewrites_data();
    void readOnlyUseNeverRewrites();
    void rewrite_data();
    void rewrite();
    void modifiedFlagAndAutoSave();
    void unicodeRoundTrip();
    void largeSection_data();
    void largeSection();
    void randomizedRoundTrip_data();
    void randomizedRoundTrip();
    void damagedFile_data();
    void damagedFile();
    void keptCopyIsNeverOverwritten();
    void noCopyNoSave();
    void unreadableFile();
    void failedWriteKeepsOldFile();
    void uncreatableFile();
    void saveWherePermissionsAllow_data();
    void saveWherePermissionsAllow();
    void newFileIsOnDiskBeforeItReplacesTheOld();
    void leftoversOfInterruptedSaves_data();
    void leftoversOfInterruptedSaves();
    void savedFileHoldsExactlyItsBytes_data();
    void savedFileHoldsExactlyItsBytes();
    void severalKeysAsOneByOne_data();
    void severalKeysAsOneByOne();
    void valueOfTheSameLengthReplaces_data();
    void valueOfTheSameLengthReplaces();

private:
    QTemporaryDir FDir;
    QString Path(const QString& name) const { return FDir.filePath(name); }
};

void tst_KeyValueFile::newSettingsFileIsByteExact() {
    const QString path = Path("new.ini");
    QFile::remove(path);
    {
        KeyValueFile file(path);
        file.SetAutoSave(true);
        file.WriteInteger("Settings", "Top", 100);
        file.WriteInteger("Settings", "Left", 100);
        file.WriteString("Settings", "LastScript", "C:\\Shows\\Act1.pdf");
        file.WriteBool("Settings", "Arrow", true);
        file.Free();
    }
    QCOMPARE(ReadBytes(path),
             Bom + QByteArray("[Settings]\r\nTop=100\r\nLeft=100\r\n"
                              "LastScript=C:\\Shows\\Act1.pdf\r\nArrow=1\r\n\r\n"));
}

void tst_KeyValueFile::readValues_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    const QByteArray osc("[OSC]\r\nsoundIP=10.0.0.5\r\n");
    QTest::newRow("plain") << osc << "OSC"
                           << "soundIP"
                           << "10.0.0.5";
    QTest::newRow("with bom") << Bom + osc << "OSC"
                              << "soundIP"
                              << "10.0.0.5";
    QTest::newRow("names ignore case") << osc << "osc"
                                       << "SOUNDip"
                                       << "10.0.0.5";
    QTest::newRow("missing key") << osc << "OSC"
                                 << "lightIP"
                                 << "<def>";
    QTest::newRow("missing section") << osc << "Settings"
                                     << "soundIP"
                                     << "<def>";
    QTest::newRow("empty file") << QByteArray() << "OSC"
                                << "soundIP"
                                << "<def>";
    QTest::newRow("only a bom") << Bom << "OSC"
                                << "soundIP"
                                << "<def>";
    QTest::newRow("blanks around key and value")
        << QByteArray("[OSC]\r\n \t soundIP \t=  x \t\r\n") << "OSC"
        << "soundIP"
        << "x";
    QTest::newRow("blanks inside value kept")
        << QByteArray("[OSC]\r\nsoundAddress=  a b  \r\n") << "OSC"
        << "soundAddress"
        << "a b";
    QTest::newRow("control chars trimmed")
        << QByteArray("[OSC]\r\n\x01soundIP=\x1fx\x7f\x02\r\n") << "OSC"
        << "soundIP"
        << "x\x7f";
    QTest::newRow("blanks around section name")
        << QByteArray("  [ OSC\t]  \r\nsoundIP=x\r\n") << "OSC"
        << "soundIP"
        << "x";
    QTest::newRow("split at first equals sign") << QByteArray("[OSC]\r\nsoundIP=a=b\r\n") << "OSC"
                                                << "soundIP"
                                                << "a=b";
    QTest::newRow("empty value") << QByteArray("[OSC]\r\nsoundIP=\r\n") << "OSC"
                                 << "soundIP"
                                 << "";
    QTest::newRow("LF only") << QByteArray("[A]\nk1=1\nk2=2\n") << "A"
                             << "k2"
                             << "2";
    QTest::newRow("CR only") << QByteArray("[A]\rk1=1\rk2=2\r") << "A"
                             << "k2"
                             << "2";
    QTest::newRow("mixed line ends, no final break") << QByteArray("[A]\r\nk1=1\rk2=2\nk3=3") << "A"
                                                     << "k3"
                                                     << "3";
    QTest::newRow("comment skipped") << QByteArray("[A]\r\n;k=1\r\nk=2\r\n") << "A"
                                     << "k"
                                     << "2";
    QTest::newRow("indented comment skipped") << QByteArray("[A]\r\n  ;k=1\r\nk=2\r\n") << "A"
                                              << "k"
                                              << "2";
    QTest::newRow("lines before first section skipped")
        << QByteArray("k=0\r\n[A]\r\nj=1\r\n") << "A"
        << "k"
        << "<def>";
    QTest::newRow("first entry of a key wins") << QByteArray("[A]\r\nk=1\r\nK=2\r\n") << "A"
                                               << "k"
                                               << "1";
    QTest::newRow("first section of a name wins")
        << QByteArray("[OSC]\r\nsoundIP=a\r\n[Other]\r\n[osc]\r\nsoundIP=b\r\nlightIP=c\r\n")
        << "OSC"
        << "lightIP"
        << "<def>";
    QTest::newRow("section after a repeated one is read")
        << QByteArray("[A]\r\n[a]\r\nk=skip\r\n[B]\r\nk=read\r\n") << "B"
        << "k"
        << "read";
    QTest::newRow("bare line gives the default") << QByteArray("[A]\r\nk\r\nk=2\r\n") << "A"
                                                 << "k"
                                                 << "<def>";
    // Lines are read 64 bytes at a time: an "=" or a byte beyond ASCII in
    // the same 64 bytes but on a later line belongs to that line.
    QTest::newRow("bare line, then an equals sign within 64 bytes")
        << QByteArray("[A]\r\nk\r\nk=2" + QByteArray(80, 'x') + "\r\n") << "A"
        << "k"
        << "<def>";
    QTest::newRow("bare line, then a later line with its own key")
        << QByteArray("[A]\r\nab\rk=2" + QByteArray(80, 'x') + "\n") << "A"
        << "ab"
        << "<def>";
    QTest::newRow("key and value beyond 64 bytes")
        << QByteArray("[A]\r\n" + QByteArray(100, 'k') + " = " + QByteArray(100, 'v') + "\r\n" +
                      QByteArray(300, 'y') + "\r\n")
        << "A" << QString(100, u'k') << QString(100, u'v');
    QTest::newRow("line ends at each place within 64 bytes")
        << QByteArray("[A]\r\nk1=" + QByteArray(58, '1') + "\rk2=" + QByteArray(59, '2') +
                      "\nk3=" + QByteArray(60, '3') + "\r\nk=" + QByteArray(63, '4') + "\r\n" +
                      QByteArray(70, ' ') + "\r\n")
        << "A"
        << "k" << QString(63, u'4');
    QTest::newRow("a sound line before one that is not UTF-8, within 64 bytes")
        << QByteArray("[A]\r\nk=1\r\nj=\xff" + QByteArray(80, 'x') + "\r\n") << "A"
        << "k"
        << "1";
    QTest::newRow("unterminated header is a bare line") << QByteArray("[A]\r\n[B\r\nk=1\r\n") << "A"
                                                        << "k"
                                                        << "1";
    QTest::newRow("non-ascii value") << QByteArray("[A]\r\nk=Caf\xC3\xA9 \xE2\x86\x92 1\r\n") << "A"
                                     << "k" << QString::fromUtf8("Caf\xC3\xA9 \xE2\x86\x92 1");
    QTest::newRow("a name that begins with U+FEFF is another name")
        << QByteArray("[\xef\xbb\xbfOSC]\r\nsoundIP=a\r\n") << "OSC"
        << "soundIP"
        << "<def>";
    QTest::newRow("a key that begins with U+FEFF is another key")
        << QByteArray("[OSC]\r\n\xef\xbb\xbfsoundIP=a\r\nsoundIP=b\r\n") << "OSC"
        << "soundIP"
        << "b";
    QTest::newRow("a value that begins with U+FEFF keeps it")
        << QByteArray("[A]\r\nk=\xef\xbb\xbf\x01x\r\n") << "A"
        << "k" << QChar(0xFEFF) + QStringLiteral("\x01x");
    QTest::newRow("nul byte inside value") << QByteArray("[A]\r\nk=a\0b\r\n", 12) << "A"
                                           << "k" << QString::fromLatin1("a\0b", 3);
}

void tst_KeyValueFile::readValues() {
    QFETCH(QByteArray, content);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    const QString path = Path("read.ini");
    WriteBytes(path, content);
    KeyValueFile file(path);
    QCOMPARE(file.ReadString(section, key, "<def>"), expected);
    QVERIFY(!file.Modified());
}

void tst_KeyValueFile::readInteger_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("expected");

    QTest::newRow("decimal, key in other case") << QByteArray("top=5") << 5;
    QTest::newRow("0x prefix") << QByteArray("Top=0x1F") << 31;
    QTest::newRow("0X prefix") << QByteArray("Top=0X1f") << 31;
    QTest::newRow("dollar prefix") << QByteArray("Top=$1F") << 31;
    QTest::newRow("x prefix") << QByteArray("Top=x1F") << 31;
    QTest::newRow("negative") << QByteArray("Top=-40") << -40;
    QTest::newRow("negative hex") << QByteArray("Top=-$10") << -16;
    QTest::newRow("unit suffix") << QByteArray("Top=12px") << 100;
    QTest::newRow("empty") << QByteArray("Top=") << 100;
    QTest::newRow("bare line") << QByteArray("Top") << 100;
    QTest::newRow("missing") << QByteArray("Left=5") << 100;
    QTest::newRow("decimal point") << QByteArray("Top=1.5") << 100;
    QTest::newRow("too big") << QByteArray("Top=2147483648") << 100;
}

void tst_KeyValueFile::readInteger() {
    QFETCH(QByteArray, line);
    QFETCH(int, expected);

    const QString path = Path("int.ini");
    WriteBytes(path, "[Settings]\r\n" + line + "\r\n");
    KeyValueFile file(path);
    QCOMPARE(file.ReadInteger("Settings", "Top", 100), expected);
}

void tst_KeyValueFile::readBool_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("def");
    QTest::addColumn<bool>("expected");

    QTest::newRow("0") << QByteArray("Arrow=0") << true << false;
    QTest::newRow("1") << QByteArray("Arrow=1") << false << true;
    QTest::newRow("2") << QByteArray("Arrow=2") << false << true;
    QTest::newRow("-1") << QByteArray("Arrow=-1") << false << true;
    QTest::newRow("hex zero") << QByteArray("Arrow=$0") << true << false;
    QTest::newRow("yes, default true") << QByteArray("Arrow=yes") << true << true;
    QTest::newRow("yes, default false") << QByteArray("Arrow=yes") << false << false;
    QTest::newRow("True, default false") << QByteArray("Arrow=True") << false << false;
    QTest::newRow("false, default true") << QByteArray("Arrow=false") << true << true;
    QTest::newRow("missing, default true") << QByteArray("Other=0") << true << true;
    QTest::newRow("missing, default false") << QByteArray("Other=1") << false << false;
}

void tst_KeyValueFile::readBool() {
    QFETCH(QByteArray, line);
    QFETCH(bool, def);
    QFETCH(bool, expected);

    const QString path = Path("bool.ini");
    WriteBytes(path, "[Settings]\r\n" + line + "\r\n");
    KeyValueFile file(path);
    QCOMPARE(file.ReadBool("Settings", "Arrow", def), expected);
}

void tst_KeyValueFile::parseSettingsInteger_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("value");

    QTest::newRow("zero") << "0" << true << 0;
    QTest::newRow("leading zeros") << "0012" << true << 12;
    QTest::newRow("plus") << "+7" << true << 7;
    QTest::newRow("leading blanks") << "  \t42" << true << 42;
    QTest::newRow("blanks before sign") << " -3" << true << -3;
    QTest::newRow("max") << "2147483647" << true << 2147483647;
    QTest::newRow("min") << "-2147483648" << true << int(-2147483647 - 1);
    QTest::newRow("above max") << "2147483648" << false << 0;
    QTest::newRow("below min") << "-2147483649" << false << 0;
    QTest::newRow("huge") << "99999999999999999999999" << false << 0;
    QTest::newRow("hex max") << "$7FFFFFFF" << true << 2147483647;
    QTest::newRow("hex min") << "-$80000000" << true << int(-2147483647 - 1);
    QTest::newRow("hex above max") << "$80000000" << false << 0;
    QTest::newRow("hex all ones") << "$FFFFFFFF" << false << 0;
    QTest::newRow("0x after sign") << "-0x1F" << true << -31;
    QTest::newRow("0x after blanks") << " 0x1F" << true << 31;
    QTest::newRow("lower-case hex digits") << "$ff" << true << 255;
    QTest::newRow("X prefix") << "X10" << true << 16;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("blanks only") << "   " << false << 0;
    QTest::newRow("sign only") << "-" << false << 0;
    QTest::newRow("dollar only") << "$" << false << 0;
    QTest::newRow("0x only") << "0x" << false << 0;
    QTest::newRow("double sign") << "--1" << false << 0;
    QTest::newRow("sign after prefix") << "0x-1" << false << 0;
    QTest::newRow("trailing blank") << "42 " << false << 0;
    QTest::newRow("inner blank") << "4 2" << false << 0;
    QTest::newRow("hex digit in decimal") << "1F" << false << 0;
    QTest::newRow("non-hex digit") << "$1G" << false << 0;
    QTest::newRow("exponent") << "1e3" << false << 0;
    QTest::newRow("non-ascii digit") << QString::fromUtf8("\xD9\xA3") << false << 0;
    QTest::newRow("full-width digit") << QString::fromUtf8("\xEF\xBC\x95") << false << 0;
}

void tst_KeyValueFile::parseSettingsInteger() {
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(int, value);

    int parsed = -12345;
    QCOMPARE(ParseSettingsInteger(text, parsed), ok);
    if (ok)
        QCOMPARE(parsed, value);
    else
        QCOMPARE(parsed, -12345);
}

void tst_KeyValueFile::readOnlyUseNeverRewrites_data() {
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("comments, no bom, LF")
        << QByteArray("; my settings\n[Settings]\ntop = 5\n;old=1\n\n\n[Settings]\nTop=6\n");
    QTest::newRow("bom, CR LF, no final empty line")
        << Bom + QByteArray("[Settings]\r\nTop=5\r\nLeft=7");
    QTest::newRow("CR only, bare lines") << QByteArray("x\r[Settings]\rjunk\rTop=5\r");
}

void tst_KeyValueFile::readOnlyUseNeverRewrites() {
    QFETCH(QByteArray, content);

    const QString path = Path("keep.ini");
    WriteBytes(path, content);
    {
        KeyValueFile file(path);
        file.SetAutoSave(true);
        QCOMPARE(file.ReadInteger("Settings", "Top", 100), 5);
        file.ReadString("Settings", "Missing", QString());
        file.ReadBool("OSC", "Arrow", true);
        QVERIFY(!file.Modified());
        file.Free();
    }
    QCOMPARE(ReadBytes(path), content);

    // A missing file that is only read stays missing.
    const QString missing = Path("never-created.ini");
    {
        KeyValueFile file(missing);
        file.SetAutoSave(true);
        QCOMPARE(file.ReadString("Settings", "LastScript", "none"), QString("none"));
        file.Free();
    }
    QVERIFY(!QFile::exists(missing));
}

void tst_KeyValueFile::rewrite_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("writes");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("same value still rewrites, LF becomes CR LF")
        << QByteArray("[Settings]\nTop=5\n") << QStringList{"Settings", "Top", "5"}
        << Bom + QByteArray("[Settings]\r\nTop=5\r\n\r\n");
    QTest::newRow("comments and lines before first section dropped")
        << QByteArray("stray\r\n;c\r\n[A]\r\n; inner\r\nk=1\r\n") << QStringList{"A", "k", "2"}
        << Bom + QByteArray("[A]\r\nk=2\r\n\r\n");
    QTest::newRow("first spelling of section and key kept")
        << QByteArray("[settings]\r\ntop=1\r\n") << QStringList{"SETTINGS", "Top", "2"}
        << Bom + QByteArray("[settings]\r\ntop=2\r\n\r\n");
    QTest::newRow("repeated section dropped")
        << QByteArray("[OSC]\r\na=1\r\n[X]\r\n[osc]\r\nb=2\r\n") << QStringList{"OSC", "a", "3"}
        << Bom + QByteArray("[OSC]\r\na=3\r\n\r\n[X]\r\n\r\n");
    QTest::newRow("bare line kept")
        << QByteArray("[A]\r\njunk line\r\nk=1\r\n") << QStringList{"A", "k", "2"}
        << Bom + QByteArray("[A]\r\njunk line\r\nk=2\r\n\r\n");
    QTest::newRow("bare line gets a value")
        << QByteArray("[A]\r\nk\r\n") << QStringList{"A", "K", "v"}
        << Bom + QByteArray("[A]\r\nk=v\r\n\r\n");
    QTest::newRow("later duplicate key kept, first one written")
        << QByteArray("[A]\r\nk=1\r\nk=2\r\n") << QStringList{"A", "k", "3"}
        << Bom + QByteArray("[A]\r\nk=3\r\nk=2\r\n\r\n");
    QTest::newRow("blanks around key and value dropped")
        << QByteArray("[A]\r\n  k  =  1  \r\nj = 2\r\n") << QStringList{"A", "k", "3"}
        << Bom + QByteArray("[A]\r\nk=3\r\nj=2\r\n\r\n");
    QTest::newRow("new key at end of its section, new section at end")
        << QByteArray("[A]\r\nk=1\r\n[B]\r\nm=1\r\n")
        << QStringList{"A", "j", "2", "C", "x", "", "B", "n", "-3"}
        << Bom + QByteArray("[A]\r\nk=1\r\nj=2\r\n\r\n[B]\r\nm=1\r\nn=-3\r\n\r\n[C]\r\nx=\r\n\r\n");
    QTest::newRow("empty section kept")
        << QByteArray("[Empty]\r\n[A]\r\n") << QStringList{"A", "k", "1"}
        << Bom + QByteArray("[Empty]\r\n\r\n[A]\r\nk=1\r\n\r\n");
    QTest::newRow("line breaks in a value stay on its line")
        << QByteArray("[Settings]\r\n")
        << QStringList{"Settings", "LastScript", "/tmp/a\r\n[OSC]\nsoundIP=evil\r.pdf"}
        << Bom + QByteArray("[Settings]\r\nLastScript=/tmp/a  [OSC] soundIP=evil .pdf\r\n\r\n");
    QTest::newRow("bom not doubled")
        << Bom + QByteArray("[A]\r\nk=1\r\n") << QStringList{"a", "k", "1"}
        << Bom + QByteArray("[A]\r\nk=1\r\n\r\n");
}

void tst_KeyValueFile::rewrite() {
    QFETCH(QByteArray, content);
    QFETCH(QStringList, writes);
    QFETCH(QByteArray, expected);

    const QString path = Path("rewrite.ini");
    WriteBytes(path, content);
    {
        KeyValueFile file(path);
        file.SetAutoSave(true);
        ApplyWrites(file, writes);
        QVERIFY(file.Modified());
        QCOMPARE(Bom + file.ToText().toUtf8(), expected);
        file.Free();
        QVERIFY(!file.Modified());
    }
    QCOMPARE(ReadBytes(path), expected);
}

void tst_KeyValueFile::modifiedFlagAndAutoSave() {
    const QString path = Path("flags.ini");
    const QByteArray original("[Settings]\nTop=5\n");
    WriteBytes(path, original);

    // Auto-save off: a write is kept in memory only.
    {
        KeyValueFile file(path);
        QVERIFY(!file.AutoSave());
        QVERIFY(!file.Modified());
        file.WriteInteger("Settings", "Top", 5);
        QVERIFY(file.Modified());
        QCOMPARE(file.ReadInteger("Settings", "Top", 0), 5);
        file.Free();
    }
    QCOMPARE(ReadBytes(path), original);

    // Destroying without Free() writes nothing either.
    {
        KeyValueFile file(path);
        file.SetAutoSave(true);
        file.WriteInteger("Settings", "Top", 6);
    }
    QCOMPARE(ReadBytes(path), original);

    // Free() writes once; a second Free() without a new write does not.
    {
        KeyValueFile file(path);
        file.SetAutoSave(true);
        file.WriteInteger("Settings", "Top", 7);
        file.Free();
        QCOMPARE(ReadBytes(path), Bom + QByteArray("[Settings]\r\nTop=7\r\n\r\n"));
        QVERIFY(QFile::remove(path));
        file.Free();
        QVERIFY(!QFile::exists(path));
    }
}

void tst_KeyValueFile::unicodeRoundTrip() {
    const QString path = Path("unicode.ini");
    QFile::remove(path);
    const QString value = QString::fromUtf8("/M\xC3\xBCller/Akt \xE2\x99\xAA \xF0\x9F\x8E\xAD.pdf");
    const QString section = QString::fromUtf8("Szene \xC3\x84");
    {
        KeyValueFile file(path);
        file.SetAutoSave(true);
        file.WriteString(section, "LastScript", value);
        file.Free();
    }
    QCOMPARE(ReadBytes(path),
             Bom + ("[" + section + "]\r\nLastScript=" + value + "\r\n\r\n").toUtf8());
    KeyValueFile file(path);
    QCOMPARE(file.ReadString(section, "lastscript", QString()), value);
}

void tst_KeyValueFile::largeSection_data() {
    QTest::addColumn<int>("keys");
    QTest::newRow("a page's worth") << 21;
    QTest::newRow("hundreds") << 500;
}

void tst_KeyValueFile::largeSection() {
    // Names without case, the first entry of a key, the first spelling: alike
    // in sections of any size, also for keys written after the first lookup.
    QFETCH(int, keys);
    QByteArray content("[A]\r\n");
    for (int i = 0; i < keys; ++i)
        content += "Key" + QByteArray::number(i) + "=v" + QByteArray::number(i) + "\r\n";
    content += "KEY3=later\r\nkey" + QByteArray::number(keys - 1) + "=later\r\n";
    const QString path = Path("large.ini");
    WriteBytes(path, content);
    KeyValueFile file(path);
    file.SetAutoSave(true);
    QCOMPARE(file.ReadString("a", "key3", ""), "v3");
    QCOMPARE(file.ReadString("A", "KEY" + QString::number(keys - 1), ""),
             "v" + QString::number(keys - 1));
    QCOMPARE(file.ReadString("A", "Key" + QString::number(keys), "<def>"), "<def>");
    file.WriteString("A", "kEy3", "new");
    file.WriteString("A", "New", "1");
    file.WriteString("A", "NEW", "2");
    QCOMPARE(file.ReadString("A", "key3", ""), "new");
    QCOMPARE(file.ReadString("A", "new", ""), "2");
    file.Free();
    QByteArray expected = Bom + content;
    expected.replace("Key3=v3\r\n", "Key3=new\r\n");
    expected += "New=2\r\n\r\n";
    QCOMPARE(ReadBytes(path), expected);
}

namespace {

// A file made at random together with what reading and writing it must give:
// the lines kept (trimmed, CR LF), the first entry of each key, the value it reads.
class RandomFile {
public:
    RandomFile(quint32 seed, int sections, int keys, bool damage) : FRandom(seed) {
        for (int s = 0; s < sections; ++s) {
            if (s == 0 || FRandom.bounded(8) == 0)
                Noise(); // comments, blank lines, lines before the first section
            const bool repeated = s > 0 && FRandom.bounded(20) == 0;
            const QString name = repeated
                                     ? Vary(FSections[FRandom.bounded(int(FSections.size()))].name)
                                     : SectionName(s);
            Line(Blanks() + "[" + Blanks() + name + Blanks() + "]" + Blanks());
            Section* section = nullptr;
            if (!repeated) {
                FSections.push_back(Section{name, {}, {}});
                section = &FSections.back();
            }
            for (int k = 0; k < keys; ++k) {
                // Mostly each key once, in order, as a cue file has them.
                const int key = FRandom.bounded(6) == 0 ? FRandom.bounded(keys) : k;
                const QString spelling = Vary(KeyName(key));
                const QString value = Value();
                if (damage && FRandom.bounded(40) == 0) {
                    // Not UTF-8 after the "=": the line is left out, its key reads as missing.
                    FBytes += (Blanks() + spelling + Blanks() + "=").toUtf8() + "\xFF" +
                              value.toUtf8() + Ending();
                    if (section)
                        Add(*section, spelling, QString(), true);
                } else {
                    Line(Blanks() + spelling + Blanks() + "=" + Blanks() + value + Blanks());
                    if (section)
                        Add(*section, spelling, value, false);
                }
                if (FRandom.bounded(30) == 0)
                    Noise();
            }
        }
    }

    QByteArray Bytes() const { return FBytes; }

    // Writes at random into the file and into what it must give.
    void Write(KeyValueFile& file, int count) {
        for (int i = 0; i < count; ++i) {
            const bool newSection = FRandom.bounded(50) == 0;
            if (newSection)
                FSections.push_back(Section{"Added" + QString::number(i), {}, {}});
            Section& section =
                FSections[newSection ? FSections.size() - 1
                                     : size_t(FRandom.bounded(int(FSections.size())))];
            const int kind = FRandom.bounded(4);
            QString value = kind == 0 ? Value() + "\r\n[Sec]\nk=v\r" : Value();
            if (kind == 1 && !section.lines.empty()) // the value it already has, as most saves
                value = section.lines[size_t(FRandom.bounded(int(section.lines.size())))].value;
            const QString key = FRandom.bounded(5) == 0 ? "New" + QString::number(i)
                                                        : Vary(KeyName(FRandom.bounded(40)));
            // A new section keeps the spelling it is written with.
            file.WriteString(newSection ? section.name : Vary(section.name), key, value);
            value.replace(u'\r', u' ').replace(u'\n', u' ');
            const auto first = section.first.constFind(key.toCaseFolded());
            if (first == section.first.cend()) {
                Add(section, key, value, false);
            } else {
                section.lines[size_t(*first)].value = value;
                section.lines[size_t(*first)].damaged = false;
            }
        }
    }

    // What reading the saved file gives: the lines that were not UTF-8 are
    // gone, blanks that line breaks in values became are trimmed.
    void Saved() {
        for (Section& section : FSections) {
            const std::vector<LineKept> lines = std::move(section.lines);
            section.lines.clear();
            section.first.clear();
            for (const LineKept& line : lines)
                if (!line.damaged)
                    Add(section, line.key, line.value.trimmed(), false);
        }
    }

    QByteArray Expected() const {
        QByteArray text("\xEF\xBB\xBF");
        for (const Section& section : FSections) {
            text += ("[" + section.name + "]\r\n").toUtf8();
            for (const LineKept& line : section.lines)
                if (!line.damaged)
                    text += (line.key + "=" + line.value + "\r\n").toUtf8();
            text += "\r\n";
        }
        return text;
    }

    // Every key of every section, and some that are not there, in another spelling.
    void CheckReads(const KeyValueFile& file) {
        for (const Section& section : FSections) {
            for (int k = 0; k < 45; ++k) {
                const QString key = Vary(KeyName(k));
                const auto first = section.first.constFind(key.toCaseFolded());
                const QString expected =
                    first == section.first.cend() || section.lines[size_t(*first)].damaged
                        ? "<none>"
                        : section.lines[size_t(*first)].value;
                const QString read = file.ReadString(Vary(section.name), key, "<none>");
                if (read != expected)
                    QFAIL(qPrintable(QStringLiteral("[%1] %2: read \"%3\", expected \"%4\"")
                                         .arg(section.name, key, read, expected)));
            }
        }
    }

private:
    struct LineKept {
        QString key;
        QString value;
        bool damaged = false;
    };
    struct Section {
        QString name;
        std::vector<LineKept> lines;
        QHash<QString, qsizetype> first; // folded key: its first line
    };

    void Add(Section& section, const QString& key, const QString& value, bool damaged) {
        // A later entry of a key stays in the file, though it is never read.
        if (!section.first.contains(key.toCaseFolded()))
            section.first.insert(key.toCaseFolded(), qsizetype(section.lines.size()));
        section.lines.push_back(LineKept{key, value, damaged});
    }

    static QString SectionName(int s) {
        static const QStringList Names{"Page", "Sz\u00e8ne ", "OSC", "\u00c4rger", "K"};
        return Names[s % Names.size()] + QString::number(s);
    }
    static QString KeyName(int k) {
        static const QStringList Names{"Cue", "Gr\u00f6\u00dfe", "key", "\U0001F3AD"};
        return Names[k % Names.size()] + QString::number(k);
    }
    // The same name with its letters in another case.
    QString Vary(const QString& name) {
        QString varied = name;
        for (QChar& c : varied)
            if (c.isLetter() && c != QChar(0xDF) && FRandom.bounded(2))
                c = c.isUpper() ? c.toLower() : c.toUpper();
        return varied;
    }
    QString Value() {
        static const QStringList Pieces{"0.42",       "|",   "/sound/go ", "=",      " ",
                                        ";",          "[x]", "Cue",        "\u00fc", "\u266a",
                                        "\U0001F3AD", "\t",  "-1",         "a b"};
        QString value;
        const int n = FRandom.bounded(8);
        for (int i = 0; i < n; ++i)
            value += Pieces[FRandom.bounded(int(Pieces.size()))];
        return value.trimmed().remove(u'\t').trimmed();
    }
    QString Blanks() {
        static const QStringList Pieces{"", "", "", " ", "\t", "  "};
        return Pieces[FRandom.bounded(int(Pieces.size()))];
    }
    QByteArray Ending() {
        static const QList<QByteArray> Endings{"\r\n", "\r\n", "\r\n", "\n", "\r"};
        return Endings[FRandom.bounded(int(Endings.size()))];
    }
    void Line(const QString& text) { FBytes += text.toUtf8() + Ending(); }
    void Noise() {
        const int kind = FRandom.bounded(3);
        Line(kind == 0 ? "; a comment = [not a section]" : kind == 1 ? "" : Blanks());
    }

    QRandomGenerator FRandom;
    QByteArray FBytes;
    std::vector<Section> FSections;
};

} // namespace

void tst_KeyValueFile::randomizedRoundTrip_data() {
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("sections");
    QTest::addColumn<int>("keys");
    QTest::addColumn<bool>("damage");

    QTest::newRow("cue file") << 1u << 1000 << 21 << false;
    QTest::newRow("cue file, damaged lines") << 2u << 300 << 21 << true;
    QTest::newRow("large sections") << 3u << 6 << 300 << false;
    QTest::newRow("large sections, damaged lines") << 4u << 6 << 300 << true;
    QTest::newRow("many small sections") << 5u << 3000 << 3 << true;
}

void tst_KeyValueFile::randomizedRoundTrip() {
    QFETCH(quint32, seed);
    QFETCH(int, sections);
    QFETCH(int, keys);
    QFETCH(bool, damage);

    RandomFile random(seed, sections, keys, damage);
    const QString path = Path("random.ini");
    WriteBytes(path, random.Bytes());
    {
        KeyValueFile file(path);
        QCOMPARE(file.Damaged(), damage);
        random.CheckReads(file);
        file.SetAutoSave(true);
        random.Write(file, 1);
        file.Free();
    }
    QCOMPARE(ReadBytes(path), random.Expected());
    random.Saved();
    {
        KeyValueFile file(path);
        file.SetAutoSave(true);
        random.Write(file, sections * 10);
        random.CheckReads(file);
        file.Free();
    }
    QCOMPARE(ReadBytes(path), random.Expected());
    random.Saved();
    KeyValueFile file(path);
    random.CheckReads(file);
}

void tst_KeyValueFile::damagedFile_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("firstBadLine");
    QTest::addColumn<int>("badLines");
    // (section, key, value read) triples; "<def>" where the default comes back.
    QTest::addColumn<QStringList>("reads");
    // The file after WriteString("Z", "w", "1") and Free().
    QTest::addColumn<QByteArray>("rewritten");

    const QByteArray z("[Z]\r\nw=1\r\n\r\n");
    QTest::newRow("bad byte on the first line")
        << QByteArray("\xE9t\xE9 comment\r\n[A]\r\nk=1\r\n") << 1 << 1 << QStringList{"A", "k", "1"}
        << Bom + "[A]\r\nk=1\r\n\r\n" + z;
    QTest::newRow("bad byte right after the bom, in a header")
        << Bom + "\x80[A]\r\nk=1\r\n[B]\r\nm=2\r\n"
        << 1 << 1 << QStringList{"A", "k", "<def>", "B", "m", "2"}
        << Bom + "[B]\r\nm=2\r\n\r\n" + z;
    QTest::newRow("half a bom") << QByteArray("\xEF\xBB[A]\r\nk=1\r\n[B]\r\nm=2\r\n") << 1 << 1
                                << QStringList{"A", "k", "<def>", "B", "m", "2"}
                                << Bom + "[B]\r\nm=2\r\n\r\n" + z;
    QTest::newRow("bare line inside a section")
        << QByteArray("[A]\r\nk=1\r\nju\xFFnk\r\nj=2\r\n") << 3 << 1
        << QStringList{"A", "k", "1", "A", "j", "2"} << Bom + "[A]\r\nk=1\r\nj=2\r\n\r\n" + z;
    QTest::newRow("in a key") << QByteArray("[A]\r\nk\xE9y=1\r\nj=2\r\n") << 2 << 1
                              << QStringList{"A", "j", "2"} << Bom + "[A]\r\nj=2\r\n\r\n" + z;
    QTest::newRow("in a value, the targets around it read")
        << QByteArray("[OSC]\r\nsoundIP=10.0.0.5\r\nsoundAddress=caf\xE9\r\nlightIP=10.0.0.6\r\n")
        << 3 << 1 << QStringList{"OSC",   "soundIP", "10.0.0.5", "OSC",     "soundAddress",
                                 "<def>", "OSC",     "lightIP",  "10.0.0.6"}
        << Bom + "[OSC]\r\nsoundIP=10.0.0.5\r\nlightIP=10.0.0.6\r\n\r\n" + z;
    QTest::newRow("a bad value still hides a later entry of its key")
        << QByteArray("[A]\r\nk=\xFF\r\nk=2\r\n") << 2 << 1 << QStringList{"A", "k", "<def>"}
        << Bom + "[A]\r\nk=2\r\n\r\n" + z;
    QTest::newRow("latin-1 e acute in a settings file")
        << QByteArray("[Settings]\r\nTop=5\r\nLastScript=/Sc\xE8nes/act.pdf\r\nArrow=0\r\n\r\n"
                      "[OSC]\r\nsoundIP=127.0.0.1\r\nsoundPort=53000\r\n")
        << 3 << 1 << QStringList{"Settings", "Top",       "5",     "Settings",  "LastScript",
                                 "<def>",    "Settings",  "Arrow", "0",         "OSC",
                                 "soundIP",  "127.0.0.1", "OSC",   "soundPort", "53000"}
        << Bom +
               "[Settings]\r\nTop=5\r\nArrow=0\r\n\r\n[OSC]\r\nsoundIP=127.0.0.1\r\n"
               "soundPort=53000\r\n\r\n" +
               z;
    QTest::newRow("truncated sequence at the end")
        << QByteArray("[A]\r\nk=1\r\nj=\xC3") << 3 << 1
        << QStringList{"A", "k", "1", "A", "j", "<def>"} << Bom + "[A]\r\nk=1\r\n\r\n" + z;
    QTest::newRow("overlong slash")
        << QByteArray("[A]\r\nk=\xC0\xAF\r\nj=2\r\n") << 2 << 1
        << QStringList{"A", "k", "<def>", "A", "j", "2"} << Bom + "[A]\r\nj=2\r\n\r\n" + z;
    QTest::newRow("encoded surrogate")
        << QByteArray("[A]\r\nk=\xED\xA0\x80\r\nj=2\r\n") << 2 << 1
        << QStringList{"A", "k", "<def>", "A", "j", "2"} << Bom + "[A]\r\nj=2\r\n\r\n" + z;
    QTest::newRow("several bad lines, CR only")
        << QByteArray("[A]\rk=\xFF\rj=2\r\xFE\r[B]\rm=\xE9\rn=3\r") << 2 << 3
        << QStringList{"A", "k", "<def>", "A", "j", "2", "B", "m", "<def>", "B", "n", "3"}
        << Bom + "[A]\r\nj=2\r\n\r\n[B]\r\nn=3\r\n\r\n" + z;
    QTest::newRow("bad header: its entries join no other section")
        << QByteArray("[A]\r\nk=1\r\n[B\xFF]\r\nk=2\r\nm=3\r\n[C]\r\nn=4\r\n") << 3 << 1
        << QStringList{"A", "k", "1", "A", "m", "<def>", "C", "n", "4"}
        << Bom + "[A]\r\nk=1\r\n\r\n[C]\r\nn=4\r\n\r\n" + z;
    QTest::newRow("cue file, one bad record")
        << QByteArray("[Page0]\r\nCue0=0.1|0.1|/a|0||\r\nCue1=0.2|0.1|/caf\xE9|0||\r\n"
                      "Cue2=0.3|0.1|/c|0||\r\n\r\n[Page1]\r\nCue0=0.5|0.5|/d|0||\r\n")
        << 3 << 1
        << QStringList{"Page0", "Cue0", "0.1|0.1|/a|0||", "Page0", "Cue1", "<def>",
                       "Page0", "Cue2", "0.3|0.1|/c|0||", "Page1", "Cue0", "0.5|0.5|/d|0||"}
        << Bom +
               "[Page0]\r\nCue0=0.1|0.1|/a|0||\r\nCue2=0.3|0.1|/c|0||\r\n\r\n[Page1]\r\n"
               "Cue0=0.5|0.5|/d|0||\r\n\r\n" +
               z;
}

void tst_KeyValueFile::damagedFile() {
    QFETCH(QByteArray, content);
    QFETCH(int, firstBadLine);
    QFETCH(int, badLines);
    QFETCH(QStringList, reads);
    QFETCH(QByteArray, rewritten);

    QTemporaryDir dir;
    const QString path = dir.filePath("bad.ini");
    const QString copy = path + ".unreadable";
    WriteBytes(path, content);
    {
        KeyValueFile file(path);
        QVERIFY(file.Damaged());
        QCOMPARE(file.DamagedLine(), firstBadLine);
        QCOMPARE(file.DamagedLineCount(), badLines);
        QCOMPARE(file.KeptCopyPath(), copy);
        const QString problem = file.LoadProblem();
        QVERIFY2(problem.startsWith("No mapping for the Unicode character exists in the target "
                                    "multi-byte code page"),
                 qPrintable(problem));
        QVERIFY2(problem.contains("\"" + path + "\", line " + QString::number(firstBadLine) +
                                  (badLines > 1 ? " and " : ".")),
                 qPrintable(problem));
        QVERIFY2(problem.contains("\"" + copy + "\""), qPrintable(problem));
        for (qsizetype i = 0; i + 2 < reads.size(); i += 3)
            QCOMPARE(file.ReadString(reads[i], reads[i + 1], "<def>"), reads[i + 2]);
        file.SetAutoSave(true);
        file.Free(); // nothing written yet: no copy, no rewrite
        QVERIFY(!QFile::exists(copy));
        QCOMPARE(ReadBytes(path), content);

        file.WriteString("Z", "w", "1");
        file.Free();
        QCOMPARE(ReadBytes(copy), content);
        QCOMPARE(ReadBytes(path), rewritten);
        // A second save of the same object keeps the copy as it is.
        QVERIFY(QFile::remove(copy));
        file.WriteString("Z", "w", "1");
        file.Free();
        QVERIFY(!QFile::exists(copy));
    }
    KeyValueFile again(path);
    QVERIFY(!again.Damaged());
    QCOMPARE(again.DamagedLine(), 0);
    QVERIFY(again.LoadProblem().isEmpty());
    QVERIFY(again.KeptCopyPath().isEmpty());
}

void tst_KeyValueFile::keptCopyIsNeverOverwritten() {
    QTemporaryDir dir;
    const QString path = dir.filePath("show.cues");
    const QByteArray content("[Page0]\r\nCue0=0.1|0.1|/caf\xE9|0||\r\nCue1=0.2|0.1|/b|0||\r\n");
    const QByteArray earlier("an earlier kept copy");
    WriteBytes(path, content);
    WriteBytes(path + ".unreadable", earlier);

    KeyValueFile first(path);
    KeyValueFile second(path); // opened before anything was saved, as the window does
    QCOMPARE(first.KeptCopyPath(), path + ".unreadable-2");
    QCOMPARE(second.KeptCopyPath(), path + ".unreadable-2");
    // Another copy takes that name after the open: it is not overwritten either.
    const QByteArray meanwhile("made meanwhile");
    WriteBytes(path + ".unreadable-2", meanwhile);
    first.SetAutoSave(true);
    first.WriteString("Page0", "Cue5", "");
    first.Free();
    QCOMPARE(first.KeptCopyPath(), path + ".unreadable-3");
    second.SetAutoSave(true);
    second.WriteString("Page0", "Cue6", "");
    second.Free();

    QCOMPARE(ReadBytes(path + ".unreadable"), earlier);
    QCOMPARE(ReadBytes(path + ".unreadable-2"), meanwhile);
    QCOMPARE(ReadBytes(path + ".unreadable-3"), content);
    QCOMPARE(QDir(dir.path()).entryList({"show.cues*"}, QDir::Files),
             (QStringList{"show.cues", "show.cues.unreadable", "show.cues.unreadable-2",
                          "show.cues.unreadable-3"}));
    KeyValueFile again(path);
    QVERIFY(!again.Damaged());
    QCOMPARE(again.ReadString("Page0", "Cue1", ""), "0.2|0.1|/b|0||");
}

void tst_KeyValueFile::noCopyNoSave() {
    // When the original cannot be kept, the file is not saved over.
    QTemporaryDir dir;
    const QString path = dir.filePath("show.cues");
    const QByteArray content = "[A]\r\nk=\xFF\r\nbig=" + QByteArray(64 * 1024, 'x') + "\r\n";
    WriteBytes(path, content);
    KeyValueFile file(path);
    file.SetAutoSave(true);
    file.WriteString("A", "j", "1");
    QString error;
    {
        FileSizeLimit limit(4096);
        QVERIFY(limit.Active());
        error = ErrorOf([&] { file.Free(); });
    }
    QVERIFY2(error.startsWith("Cannot keep the original of \"" + path + "\" as \"" + path +
                              ".unreadable\". "),
             qPrintable(error));
    QCOMPARE(ReadBytes(path), content);
    QVERIFY(!QFile::exists(path + ".unreadable"));
    QVERIFY(file.Modified());
    file.Free();
    QCOMPARE(ReadBytes(path + ".unreadable"), content);
}

void tst_KeyValueFile::unreadableFile() {
    // A directory where the file should be cannot be read, not even by root.
    const QString dirPath = Path("folder.ini");
    QVERIFY(QDir().mkpath(dirPath));
    QString error = ErrorOf([&] { KeyValueFile file(dirPath); });
    QVERIFY2(error.contains("\"" + dirPath + "\""), qPrintable(error));
    QVERIFY2(error.size() > dirPath.size() + 20, qPrintable(error));

    if (geteuid() == 0)
        QSKIP("Permission bits do not stop root from reading");
    const QString path = Path("secret.ini");
    WriteBytes(path, "[A]\r\n");
    QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
    error = ErrorOf([&] { KeyValueFile file(path); });
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QCOMPARE(error, "Cannot open file \"" + path + "\". Permission denied");
}

void tst_KeyValueFile::failedWriteKeepsOldFile() {
    const QString path = Path("full.ini");
    const QByteArray original = Bom + QByteArray("[Settings]\r\nTop=5\r\n\r\n");
    WriteBytes(path, original);

    KeyValueFile file(path);
    file.SetAutoSave(true);
    // Far more than the limit below, so the write breaks off part way.
    file.WriteString("Settings", "Big", QString(256 * 1024, u'x'));
    QString error;
    {
        FileSizeLimit limit(4096);
        QVERIFY(limit.Active());
        error = ErrorOf([&] { file.Free(); });
    }
    QVERIFY2(error.startsWith("Cannot write file \"" + path + "\". "), qPrintable(error));
    QVERIFY2(error.size() > path.size() + 24, qPrintable(error)); // the system's reason follows
    QVERIFY(file.Modified());
    QCOMPARE(ReadBytes(path), original);
    // No temporary file is left beside it.
    QCOMPARE(QDir(FDir.path()).entryList({"full.ini*"}, QDir::Files), QStringList{"full.ini"});

    // With room again the same object writes the file.
    file.Free();
    QVERIFY(!file.Modified());
    KeyValueFile reread(path);
    QCOMPARE(reread.ReadString("Settings", "Big", QString()).size(), 256 * 1024);
    QCOMPARE(reread.ReadInteger("Settings", "Top", 0), 5);
}

void tst_KeyValueFile::uncreatableFile() {
    // The folder named in the path is a plain file.
    const QString notADir = Path("plain-file");
    WriteBytes(notADir, "x");
    const QString path = notADir + "/cues.ini";
    KeyValueFile file(path);
    file.SetAutoSave(true);
    file.WriteString("A", "k", "v");
    const QString error = ErrorOf([&] { file.Free(); });
    QVERIFY2(error.startsWith("Cannot create file \"" + path + "\". "), qPrintable(error));
    QVERIFY2(error.size() > path.size() + 25, qPrintable(error));
    QCOMPARE(ReadBytes(notADir), QByteArray("x"));
}

void tst_KeyValueFile::saveWherePermissionsAllow_data() {
    QTest::addColumn<bool>("folderWritable");
    QTest::addColumn<bool>("fileWritable");
    QTest::addColumn<QString>("outcome"); // "replaced", "in place" or the error's start

    QTest::newRow("writable folder: new file renamed over the old") << true << true << "replaced";
    QTest::newRow("read-only folder, writable file: rewritten in place")
        << false << true << "in place";
    QTest::newRow("read-only folder, read-only file") << false << false << "Cannot create file";
    QTest::newRow("writable folder, read-only file") << true << false << "Cannot create file";
}

void tst_KeyValueFile::saveWherePermissionsAllow() {
    QFETCH(bool, folderWritable);
    QFETCH(bool, fileWritable);
    QFETCH(QString, outcome);

    QTemporaryDir root;
    const QString folder = FolderOthersMayEnter(root);
    QVERIFY(!folder.isEmpty());
    const QString path = folder + "/show.cues";
    const QByteArray old = Bom + QByteArray("[Page0]\r\nCue0=0.1|0.1|/a|0||\r\n\r\n");
    WriteBytes(path, old);
    // The same bits for the owner and for others, so they hold for "nobody" too.
    const mode_t fileMode = fileWritable ? 0666 : 0444;
    QCOMPARE(chmod(QFile::encodeName(path).constData(), fileMode), 0);
    QCOMPARE(chmod(QFile::encodeName(folder).constData(), folderWritable ? 0777 : 0555), 0);
    const ino_t before = InodeOf(path);

    const QString result = SavedAsUnprivileged(
        path, [](KeyValueFile& file) { file.WriteString("Page0", "Cue1", "0.2|0.1|/b|0||"); });
    chmod(QFile::encodeName(folder).constData(), 0755);
    if (result == "<no unprivileged user>")
        QSKIP("Neither an unprivileged user nor a child running as one is available");

    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"show.cues"});
    if (outcome == "replaced" || outcome == "in place") {
        QCOMPARE(result, "saved");
        QCOMPARE(ReadBytes(path),
                 Bom + QByteArray("[Page0]\r\nCue0=0.1|0.1|/a|0||\r\nCue1=0.2|0.1|/b|0||"
                                  "\r\n\r\n"));
        QCOMPARE(InodeOf(path) == before, outcome == "in place");
        struct stat info {};
        stat(QFile::encodeName(path).constData(), &info);
        QCOMPARE(info.st_mode & 07777, fileMode); // the file keeps its permissions
    } else {
        QVERIFY2(result.startsWith(outcome + " \"" + path + "\". "), qPrintable(result));
        QCOMPARE(ReadBytes(path), old);
    }
}

void tst_KeyValueFile::newFileIsOnDiskBeforeItReplacesTheOld() {
    QTemporaryDir dir;
    const QString path = dir.filePath("show.cues");
    WriteBytes(path, "[A]\r\nk=1\r\n");
    QStringList calls;
    {
        KeyValueFile file(path);
        file.SetAutoSave(true);
        file.WriteString("A", "k", "2");
        SaveCalls = &calls;
        file.Free();
        SaveCalls = nullptr;
    }
    QCOMPARE(calls.size(), 3);
    const QString temporary = calls[0].mid(6);
    QVERIFY2(calls[0].startsWith("fsync " + path + ".saving-") &&
                 temporary.size() == path.size() + 14,
             qPrintable(calls.join(" / ")));
    QCOMPARE(calls[1], "rename " + temporary + " " + path);
    QCOMPARE(calls[2], "fsync " + QDir(dir.path()).canonicalPath());
}

void tst_KeyValueFile::leftoversOfInterruptedSaves_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("removed");

    QTest::newRow("ours, same file") << "show.cues.saving-Ab3xQ9" << true;
    QTest::newRow("ours, other file") << "act2.cues.saving-Ab3xQ9" << false;
    QTest::newRow("name continues the file's name") << "show.cuesx.saving-Ab3xQ9" << false;
    QTest::newRow("operator's backup") << "show.cues.backup" << false;
    QTest::newRow("six letters, no infix") << "show.cues.Ab3xQ9" << false;
    QTest::newRow("suffix too short") << "show.cues.saving-Ab3xQ" << false;
    QTest::newRow("suffix too long") << "show.cues.saving-Ab3xQ9z" << false;
    QTest::newRow("not a letter or digit") << "show.cues.saving-Ab3x-9" << false;
    QTest::newRow("kept copy") << "show.cues.unreadable" << false;
}

void tst_KeyValueFile::leftoversOfInterruptedSaves() {
    QFETCH(QString, name);
    QFETCH(bool, removed);

    QTemporaryDir dir;
    const QString path = dir.filePath("show.cues");
    const QByteArray old = Bom + QByteArray("[A]\r\nk=1\r\n\r\n");
    WriteBytes(path, old);
    // A save cut off at the rename leaves the old file and a complete new one.
    const pid_t child = fork();
    if (child == 0) {
        DieAtRename = true;
        KeyValueFile file(path);
        file.SetAutoSave(true);
        file.WriteString("A", "k", "2");
        file.Free();
        _exit(1);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QCOMPARE(ReadBytes(path), old);
    const QStringList left =
        QDir(dir.path()).entryList(QDir::Files).filter(QRegularExpression("^show\\.cues\\..+"));
    QCOMPARE(left.size(), 1);
    QCOMPARE(ReadBytes(dir.filePath(left[0])), Bom + QByteArray("[A]\r\nk=2\r\n\r\n"));

    WriteBytes(dir.filePath(name), "x");
    KeyValueFile file(path);
    file.SetAutoSave(true);
    file.WriteString("A", "k", "3");
    file.Free();
    QVERIFY(!QFile::exists(dir.filePath(left[0])));
    QCOMPARE(QFile::exists(dir.filePath(name)), !removed);
    QCOMPARE(ReadBytes(path), Bom + QByteArray("[A]\r\nk=3\r\n\r\n"));
}

void tst_KeyValueFile::savedFileHoldsExactlyItsBytes_data() {
    QTest::addColumn<bool>("folderWritable");
    QTest::addColumn<QByteArray>("old");
    QTest::addColumn<QStringList>("writes");

    const QByteArray longOld = "[A]\r\nk=" + QByteArray(100000, 'x') + "\r\nm=1\r\n";
    const QStringList shorter{"A", "k", "short"};
    // A value longer than any buffer a save writes through, between small pieces.
    const QStringList huge{"A", "a", "1", "A", "k", QString(300000, u'v'), "A", "z", "2"};
    QStringList many;
    for (int i = 0; i < 5000; ++i)
        many << QStringLiteral("S%1").arg(i % 7) << QStringLiteral("key%1").arg(i)
             << QStringLiteral("value %1 of many").arg(i);
    for (const bool writable : {true, false}) {
        const char* where = writable ? "replaced" : "in place";
        QTest::addRow("file shrinks, %s", where) << writable << longOld << shorter;
        QTest::addRow("value beyond the write buffer, %s", where) << writable << longOld << huge;
        QTest::addRow("many small pieces, %s", where) << writable << longOld << many;
    }
}

void tst_KeyValueFile::savedFileHoldsExactlyItsBytes() {
    // The save writes what ToBytes() gives, nothing more: no tail of a longer
    // old file, no piece lost or doubled at the edges of what it writes at once.
    QFETCH(bool, folderWritable);
    QFETCH(QByteArray, old);
    QFETCH(QStringList, writes);

    QTemporaryDir root;
    const QString folder = FolderOthersMayEnter(root);
    QVERIFY(!folder.isEmpty());
    const QString path = folder + "/show.ini";
    WriteBytes(path, old);
    QCOMPARE(chmod(QFile::encodeName(path).constData(), 0666), 0);
    QCOMPARE(chmod(QFile::encodeName(folder).constData(), folderWritable ? 0777 : 0555), 0);
    const ino_t before = InodeOf(path);

    const QString result =
        SavedAsUnprivileged(path, [&](KeyValueFile& file) { ApplyWrites(file, writes); });
    chmod(QFile::encodeName(folder).constData(), 0755);
    if (result == "<no unprivileged user>")
        QSKIP("Neither an unprivileged user nor a child running as one is available");
    QCOMPARE(result, "saved");
    QCOMPARE(InodeOf(path) == before, !folderWritable);

    // What the same writes give in memory (the save may run in a child).
    QByteArray reference;
    {
        const QString copy = root.filePath("reference.ini");
        WriteBytes(copy, old);
        KeyValueFile file(copy);
        ApplyWrites(file, writes);
        reference = file.ToBytes();
    }
    const QByteArray saved = ReadBytes(path);
    QCOMPARE(saved.size(), reference.size());
    QVERIFY(saved == reference);
}

void tst_KeyValueFile::severalKeysAsOneByOne_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("keys");

    const QStringList k012{"k0", "k1", "k2"};
    QTest::newRow("in the file's order") << QByteArray("[S]\r\nk0=a\r\nk1=b\r\nk2=c\r\n") << k012;
    QTest::newRow("file in another order") << QByteArray("[S]\r\nk2=c\r\nk0=a\r\nk1=b\r\n") << k012;
    QTest::newRow("other letter case") << QByteArray("[s]\r\nK0=a\r\nk1=b\r\nK2=c\r\n") << k012;
    QTest::newRow("file repeats a key: the first wins")
        << QByteArray("[S]\r\nk0=a\r\nk0=b\r\nk1=c\r\nk2=d\r\n") << k012;
    QTest::newRow("file and keys repeat a key")
        << QByteArray("[S]\r\nk0=a\r\nk0=b\r\nk1=c\r\n") << QStringList{"k0", "K0", "k1"};
    QTest::newRow("first of a key has no value")
        << QByteArray("[S]\r\nk0=a\r\nk1\r\nk1=b\r\n") << k012;
    QTest::newRow("first of a key not readable")
        << QByteArray("[S]\r\nk0=a\r\nk1=\xff\r\nk1=b\r\nk2=c\r\n") << k012;
    QTest::newRow("fewer entries than keys") << QByteArray("[S]\r\nk0=a\r\n") << k012;
    QTest::newRow("other entries before") << QByteArray("[S]\r\nx=1\r\nk0=a\r\nk1=b\r\n") << k012;
    QTest::newRow("no such section") << QByteArray("[T]\r\nk0=a\r\n") << k012;
    QByteArray large("[S]\r\n");
    QStringList largeKeys;
    for (int i = 0; i < 70; ++i) {
        large += "key" + QByteArray::number(i) + "=" + QByteArray::number(i % 3) + "\r\n";
        largeKeys << QStringLiteral("KEY%1").arg(i);
    }
    largeKeys << "key5"
              << "new";
    QTest::newRow("large section, a key again, a new key") << large << largeKeys;
}

void tst_KeyValueFile::severalKeysAsOneByOne() {
    // Reading or writing several keys of a section at once gives what reading
    // or writing each one by one gives, whatever the file holds.
    QFETCH(QByteArray, content);
    QFETCH(QStringList, keys);

    const QString path = Path("several.ini");
    WriteBytes(path, content);
    QStringList values;
    for (qsizetype i = 0; i < keys.size(); ++i)
        values << (i % 2 ? QStringLiteral("%1").arg(i % 3) : QStringLiteral("w%1").arg(i));

    KeyValueFile together(path);
    KeyValueFile oneByOne(path);
    std::vector<QString> read(size_t(keys.size()));
    together.ReadStrings(u"S", keys.constData(), read.data(), keys.size());
    for (qsizetype i = 0; i < keys.size(); ++i)
        QCOMPARE(read[size_t(i)], oneByOne.ReadString("S", keys[i], QString()));

    together.WriteStrings(u"S", keys.constData(), values.constData(), keys.size());
    for (qsizetype i = 0; i < keys.size(); ++i)
        oneByOne.WriteString("S", keys[i], values[i]);
    QCOMPARE(together.ToText(), oneByOne.ToText());
    for (const QString& key : keys)
        QCOMPARE(together.ReadString("S", key, "<none>"), oneByOne.ReadString("S", key, "<none>"));
}

void tst_KeyValueFile::valueOfTheSameLengthReplaces_data() {
    QTest::addColumn<QByteArray>("stored"); // UTF-8
    QTest::addColumn<QString>("written");

    const QByteArray base = "0.12|0.34|/sound/go 7|0|Cue 7 of page 3|";
    auto changedAt = [&](qsizetype at) {
        QString text = QString::fromLatin1(base);
        text[at] = text[at] == u'x' ? u'y' : u'x';
        return text;
    };
    QTest::newRow("first character") << base << changedAt(0);
    QTest::newRow("ninth character") << base << changedAt(8);
    QTest::newRow("seventeenth character") << base << changedAt(16);
    QTest::newRow("last character") << base << changedAt(base.size() - 1);
    QTest::newRow("letter case only") << base << QString::fromLatin1(base).toUpper();
    QTest::newRow("short") << QByteArray("ab") << "aB";
    // The bytes of "é" read one by one as Latin-1: the same units, other text.
    QTest::newRow("stored beyond ASCII")
        << QByteArray("caf\xc3\xa9 long enough for a vector")
        << QString::fromLatin1("caf\xc3\xa9 long enough for a vector");
    QTest::newRow("written beyond ASCII")
        << QByteArray("abcdefghijklmnop") << QString::fromUtf8("abcdefgh\xc3\xa9jklmnop").left(16);
}

void tst_KeyValueFile::valueOfTheSameLengthReplaces() {
    // A write is skipped only when the value is the one stored: a value of
    // the same length that differs anywhere is saved.
    QFETCH(QByteArray, stored);
    QFETCH(QString, written);

    const QString path = Path("same-length.ini");
    WriteBytes(path, Bom + "[S]\r\nk=" + stored + "\r\n\r\n");
    {
        KeyValueFile file(path);
        file.SetAutoSave(true);
        file.WriteString("S", "k", written);
        QCOMPARE(file.ReadString("S", "k", QString()), written);
        file.Free();
    }
    QCOMPARE(ReadBytes(path), Bom + "[S]\r\nk=" + written.toUtf8() + "\r\n\r\n");
}

QTEST_GUILESS_MAIN(tst_KeyValueFile)
#include "tst_keyvaluefile.moc"
