#include "app/Errors.h"
#include "store/CueStore.h"
#include "store/KeyValueFile.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <bit>
#include <charconv>

#include <cfenv>
#include <cmath>
#include <functional>
#include <limits>

namespace {

const QByteArray Bom("\xEF\xBB\xBF", 3);

QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<cannot open>");
    return file.readAll();
}

void WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(file.errorString()));
    QCOMPARE(file.write(bytes), bytes.size());
}

QString ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const CuewellError& e) {
        return e.Text();
    }
    return QString();
}

CueRow RowOf(const QStringList& records) {
    CueRow row;
    for (qsizetype i = 0; i < records.size() && i < MaxCuesPerPage; ++i)
        row[size_t(i)] = records[i];
    return row;
}

QStringList RecordsOf(const CueRow& row) {
    QStringList records;
    for (const CueRecord& record : row)
        records.append(record);
    return records;
}

// The lines of a page section as the cue file holds them.
QByteArray PageSectionBytes(int page, const QStringList& records) {
    QByteArray bytes = "[" + PageSection(page).toUtf8() + "]\r\n";
    for (int slot = 0; slot < MaxCuesPerPage; ++slot)
        bytes += CueKey(slot).toUtf8() + "=" + records.value(slot).toUtf8() + "\r\n";
    return bytes + "\r\n";
}

QList<QByteArray> Bytes(const QStringList& texts) {
    QList<QByteArray> list;
    for (const QString& text : texts)
        list.append(text.toUtf8());
    return list;
}

} // namespace

class tst_CueStore : public QObject {
    Q_OBJECT

private slots:
    void cleanup();

    void splitByChar_data();
    void splitByChar();
    void splitRecord_data();
    void splitRecord();
    void roundHalfEven_data();
    void roundHalfEven();
    void roundHalfEvenIgnoresRoundingMode();
    void roundFraction_data();
    void roundFraction();
    void formatFraction_data();
    void formatFraction();
    void parseFraction_data();
    void parseFraction();
    void parseFractionIsCorrectlyRounded_data();
    void parseFractionIsCorrectlyRounded();
    void parseBoolField_data();
    void parseBoolField();
    void newCueRecord_data();
    void newCueRecord();
    void movedCueRecord_data();
    void movedCueRecord();
    void recordsWithoutViewSize();
    void buildRecord_data();
    void buildRecord();
    void sortOrder_data();
    void sortOrder();
    void sortOrderIsStrictWeak_data();
    void sortOrderIsStrictWeak();
    void cueFilePath_data();
    void cueFilePath();
    void pageSectionExample();
    void savedPageIsSorted_data();
    void savedPageIsSorted();
    void deleteAndResave_data();
    void deleteAndResave();
    void saveAllPagesKeepsOtherSections();
    void readPageSection_data();
    void readPageSection();
    void sortedRecordsKeepTheOrder_data();
    void sortedRecordsKeepTheOrder();
    void readAllPageSections();
    void readAllAsEachPage_data();
    void readAllAsEachPage();
    void recordsReadTogetherStandAlone();

private:
    QTemporaryDir FDir;
};

void tst_CueStore::cleanup() {
    QLocale::setDefault(QLocale::c());
}

void tst_CueStore::splitByChar_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<char>("delimiter");
    QTest::addColumn<QList<QByteArray>>("expected");

    QTest::newRow("empty") << QByteArray() << '|' << QList<QByteArray>{""};
    QTest::newRow("no delimiter") << QByteArray("abc") << '|' << QList<QByteArray>{"abc"};
    QTest::newRow("empty field between")
        << QByteArray("a||b") << '|' << QList<QByteArray>{"a", "", "b"};
    QTest::newRow("leading delimiter") << QByteArray("|a") << '|' << QList<QByteArray>{"", "a"};
    QTest::newRow("final delimiter adds nothing")
        << QByteArray("a|") << '|' << QList<QByteArray>{"a"};
    QTest::newRow("delimiter only") << QByteArray("|") << '|' << QList<QByteArray>{""};
    QTest::newRow("two delimiters") << QByteArray("||") << '|' << QList<QByteArray>{"", ""};
    QTest::newRow("new cue record")
        << QByteArray("0.1|0.2||0||") << '|' << QList<QByteArray>{"0.1", "0.2", "", "0", ""};
    QTest::newRow("full record") << QByteArray("0.45|0.3|/light/go 12|-1|Lights 12|") << '|'
                                 << QList<QByteArray>{"0.45", "0.3", "/light/go 12", "-1",
                                                      "Lights 12"};
    QTest::newRow("pipe in call text") << QByteArray("0.1|0.2|/m|0|A|B|") << '|'
                                       << QList<QByteArray>{"0.1", "0.2", "/m", "0", "A", "B"};
    QTest::newRow("other delimiter")
        << QByteArray("/sound/go") << '/' << QList<QByteArray>{"", "sound", "go"};
}

void tst_CueStore::splitByChar() {
    QFETCH(QByteArray, text);
    QFETCH(char, delimiter);
    QFETCH(QList<QByteArray>, expected);

    QCOMPARE(SplitByChar(text, delimiter), expected);
}

void tst_CueStore::splitRecord_data() {
    QTest::addColumn<QString>("record");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("empty") << QString() << QStringList{"", "", "", "", ""};
    QTest::newRow("position only") << "0.1|0.2|" << QStringList{"0.1", "0.2", "", "", ""};
    QTest::newRow("no final delimiter")
        << "0.1|0.2|/m|0|Go" << QStringList{"0.1", "0.2", "/m", "0", "Go"};
    QTest::newRow("six fields stay six")
        << "0.1|0.2|/m|0|A|B|" << QStringList{"0.1", "0.2", "/m", "0", "A", "B"};
    QTest::newRow("non-ascii kept")
        << QString::fromUtf8("0.1|0.2|/m|0|Bühne ♪ 🎭|")
        << QStringList{"0.1", "0.2", "/m", "0", QString::fromUtf8("Bühne ♪ 🎭")};
}

void tst_CueStore::splitRecord() {
    QFETCH(QString, record);
    QFETCH(QStringList, expected);

    const arStr fields = SplitRecord(record);
    QCOMPARE(fields, Bytes(expected));
    for (int i = 0; i < int(expected.size()); ++i)
        QCOMPARE(FieldOf(fields, i), expected[i].toUtf8());
    QCOMPARE(FieldOf(fields, int(expected.size())), QByteArray());
    QCOMPARE(FieldOf(fields, -1), QByteArray());
    QCOMPARE(FieldOf(arStr(), cfCall), QByteArray());
}

void tst_CueStore::roundHalfEven_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("expected");

    QTest::newRow("12.5") << 12.5 << 12;
    QTest::newRow("7.5") << 7.5 << 8;
    QTest::newRow("-0.5") << -0.5 << 0;
    QTest::newRow("-1.5") << -1.5 << -2;
    QTest::newRow("-2.5") << -2.5 << -2;
    QTest::newRow("469.5") << 469.5 << 470;
    QTest::newRow("468.5") << 468.5 << 468;
    QTest::newRow("just below a half") << 0.49999999999999994 << 0;
    QTest::newRow("just above a half") << 2.5000000001 << 3;
    QTest::newRow("0.075 x 100") << 0.075 * 100 << 8;
    QTest::newRow("0.125 x 100") << 0.125 * 100 << 12;
    QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN() << 0;
    QTest::newRow("huge") << 1e20 << std::numeric_limits<int>::max();
    QTest::newRow("huge negative") << -1e20 << std::numeric_limits<int>::min();
    QTest::newRow("infinity") << std::numeric_limits<double>::infinity()
                              << std::numeric_limits<int>::max();
}

void tst_CueStore::roundHalfEven() {
    QFETCH(double, value);
    QFETCH(int, expected);

    QCOMPARE(RoundHalfEven(value), expected);
}

void tst_CueStore::roundHalfEvenIgnoresRoundingMode() {
    const int oldMode = std::fegetround();
    std::fesetround(FE_UPWARD);
    const int down = RoundHalfEven(12.5);
    const double fraction = RoundFraction(0.125, 100);
    const int modeAfter = std::fegetround();
    std::fesetround(oldMode);
    QCOMPARE(down, 12);
    QCOMPARE(fraction, 0.12);
    QCOMPARE(modeAfter, FE_UPWARD);
}

void tst_CueStore::roundFraction_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("scale");
    QTest::addColumn<double>("expected");

    QTest::newRow("50/400 hundredths") << 50.0 / 400 << 100 << 0.12;
    QTest::newRow("50/400 thousandths") << 50.0 / 400 << 1000 << 0.125;
    QTest::newRow("30/400 hundredths") << 30.0 / 400 << 100 << 0.08;
    QTest::newRow("100/940 hundredths") << 100.0 / 940 << 100 << 0.11;
    QTest::newRow("1/2000 thousandths") << 1.0 / 2000 << 1000 << 0.0;
    QTest::newRow("3/2000 thousandths") << 3.0 / 2000 << 1000 << 0.002;
    QTest::newRow("negative") << -8.0 / 400 << 100 << -0.02;
    QTest::newRow("beyond the view") << 450.0 / 400 << 100 << 1.12;
}

void tst_CueStore::roundFraction() {
    QFETCH(double, value);
    QFETCH(int, scale);
    QFETCH(double, expected);

    QCOMPARE(RoundFraction(value, scale), expected);
}

void tst_CueStore::formatFraction_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("expected");

    const QLocale c = QLocale::c();
    const QLocale german(QLocale::German, QLocale::Germany);
    QTest::newRow("0.12") << 0.12 << c << "0.12";
    QTest::newRow("0.4") << 0.4 << c << "0.4";
    QTest::newRow("0") << 0.0 << c << "0";
    QTest::newRow("-0") << -0.0 << c << "0";
    QTest::newRow("1") << 1.0 << c << "1";
    QTest::newRow("10") << 10.0 << c << "10";
    QTest::newRow("0.125") << 0.125 << c << "0.125";
    QTest::newRow("-0.05") << -0.05 << c << "-0.05";
    QTest::newRow("1.234") << 1.234 << c << "1.234";
    QTest::newRow("0.07") << 0.07 << c << "0.07";
    QTest::newRow("0.1 + 0.2") << 0.1 + 0.2 << c << "0.3";
    QTest::newRow("100/940 to hundredths") << RoundFraction(100.0 / 940, 100) << c << "0.11";
    QTest::newRow("1/3") << 1.0 / 3 << c << "0.333333333333333";
    QTest::newRow("2/3") << 2.0 / 3 << c << "0.666666666666667";
    QTest::newRow("small, no exponent") << 0.0000001 << c << "0.0000001";
    QTest::newRow("large, no exponent, no grouping") << 1234567.5 << c << "1234567.5";
    QTest::newRow("beyond 15 digits") << 123456789012345678.0 << c << "123456789012346000";
    QTest::newRow("german 0,12") << 0.12 << german << "0,12";
    QTest::newRow("german -0,05") << -0.05 << german << "-0,05";
    QTest::newRow("german 1234,5 without grouping") << 1234.5 << german << "1234,5";
    QTest::newRow("german integer") << 2.0 << german << "2";
}

void tst_CueStore::formatFraction() {
    QFETCH(double, value);
    QFETCH(QLocale, locale);
    QFETCH(QString, expected);

    QCOMPARE(FormatFraction(value, locale), expected);
    // What is written reads back as the same 15-digit value.
    const double back = ParseFraction(expected, locale);
    QCOMPARE(FormatFraction(back, locale), expected);

    // The user's locale is the default.
    QLocale::setDefault(locale);
    QCOMPARE(FormatFraction(value), expected);
}

void tst_CueStore::parseFraction_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<double>("value");

    const QLocale c = QLocale::c();
    const QLocale german(QLocale::German, QLocale::Germany);
    QTest::newRow("0.12") << "0.12" << c << true << 0.12;
    QTest::newRow("integer") << "1" << c << true << 1.0;
    QTest::newRow("negative") << "-0.05" << c << true << -0.05;
    QTest::newRow("plus") << "+0.5" << c << true << 0.5;
    QTest::newRow("no integer part") << ".5" << c << true << 0.5;
    QTest::newRow("no fraction digits") << "5." << c << true << 5.0;
    QTest::newRow("exponent") << "1e-3" << c << true << 0.001;
    QTest::newRow("surrounding blanks") << " 0.5 " << c << true << 0.5;
    QTest::newRow("german 0,12") << "0,12" << german << true << 0.12;
    QTest::newRow("comma under C") << "0,12" << c << false << 0.0;
    QTest::newRow("point under german") << "0.12" << german << false << 0.0;
    QTest::newRow("grouping under C") << "1,000.5" << c << false << 0.0;
    QTest::newRow("grouping under german") << "1.000,5" << german << false << 0.0;
    QTest::newRow("empty") << "" << c << false << 0.0;
    QTest::newRow("separator only") << "." << c << false << 0.0;
    QTest::newRow("sign only") << "-" << c << false << 0.0;
    QTest::newRow("two separators") << "1.2.3" << c << false << 0.0;
    QTest::newRow("trailing letter") << "0.5x" << c << false << 0.0;
    QTest::newRow("bare exponent") << "1e" << c << false << 0.0;
    QTest::newRow("hex") << "0x10" << c << false << 0.0;
    QTest::newRow("nan") << "nan" << c << false << 0.0;
    QTest::newRow("inf") << "inf" << c << false << 0.0;
    QTest::newRow("overflow") << "1e999" << c << false << 0.0;
    QTest::newRow("non-ascii digit") << QString::fromUtf8("\xD9\xA3") << c << false << 0.0;
}

void tst_CueStore::parseFraction() {
    QFETCH(QString, text);
    QFETCH(QLocale, locale);
    QFETCH(bool, ok);
    QFETCH(double, value);

    double parsed = 0;
    const QString error = ErrorOf([&] { parsed = ParseFraction(text, locale); });
    if (ok) {
        QCOMPARE(error, QString());
        QCOMPARE(parsed, value);
    } else {
        QCOMPARE(error, "'" + text + "' is not a valid floating point value");
    }
}

void tst_CueStore::parseFractionIsCorrectlyRounded_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QByteArray>("plain"); // the same number for a correctly rounded C parse

    const QLocale c = QLocale::c();
    const QLocale german(QLocale::German, QLocale::Germany);
    QTest::newRow("0.3") << "0.3" << c << QByteArray("0.3");
    QTest::newRow("0.7, german") << "0,7" << german << QByteArray("0.7");
    QTest::newRow("negative") << "-0.29" << c << QByteArray("-0.29");
    QTest::newRow("negative zero") << "-0" << c << QByteArray("-0");
    QTest::newRow("15 digits") << "0.123456789012345" << c << QByteArray("0.123456789012345");
    QTest::newRow("16 digits") << "0.1234567890123456" << c << QByteArray("0.1234567890123456");
    QTest::newRow("beyond 2^53") << "9007199254740993" << c << QByteArray("9007199254740993");
    QTest::newRow("leading zeros") << "000.000123" << c << QByteArray("0.000123");
    QTest::newRow("trailing zeros") << "0.5000000000000000000" << c << QByteArray("0.5");
    QTest::newRow("1e22") << "1e22" << c << QByteArray("1e22");
    QTest::newRow("1e23") << "1e23" << c << QByteArray("1e23");
    QTest::newRow("1e-22") << "1e-22" << c << QByteArray("1e-22");
    QTest::newRow("1e-23") << "1e-23" << c << QByteArray("1e-23");
    QTest::newRow("fraction and exponent") << "12.345e-20" << c << QByteArray("12.345e-20");
    QTest::newRow("exponent cancels digits") << "0.000001e6" << c << QByteArray("1");
    QTest::newRow("smallest normal")
        << "2.2250738585072014e-308" << c << QByteArray("2.2250738585072014e-308");
    QTest::newRow("largest") << "1.7976931348623157e308" << c
                             << QByteArray("1.7976931348623157e308");
    // Every hundredth and thousandth a pin can be at.
    for (int i = 0; i <= 1000; i += 31)
        QTest::addRow("0.%03d", i)
            << QStringLiteral("0.%1").arg(i, 3, 10, QLatin1Char('0')) << c
            << QStringLiteral("0.%1").arg(i, 3, 10, QLatin1Char('0')).toLatin1();
}

void tst_CueStore::parseFractionIsCorrectlyRounded() {
    // Positions are compared and sorted by value: the last bit counts.
    QFETCH(QString, text);
    QFETCH(QLocale, locale);
    QFETCH(QByteArray, plain);

    double expected = 0;
    const auto result = std::from_chars(plain.constBegin(), plain.constEnd(), expected);
    QVERIFY(result.ec == std::errc());
    const double parsed = ParseFraction(text, locale);
    QCOMPARE(std::bit_cast<quint64>(parsed), std::bit_cast<quint64>(expected));
}

void tst_CueStore::parseBoolField_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected"); // "true", "false" or "error"

    QTest::newRow("0") << "0"
                       << "false";
    QTest::newRow("-1") << "-1"
                        << "true";
    QTest::newRow("1") << "1"
                       << "true";
    QTest::newRow("2") << "2"
                       << "true";
    QTest::newRow("0.0") << "0.0"
                         << "false";
    QTest::newRow("0.5") << "0.5"
                         << "true";
    QTest::newRow("True") << "True"
                          << "true";
    QTest::newRow("TRUE") << "TRUE"
                          << "true";
    QTest::newRow("false") << "false"
                           << "false";
    QTest::newRow("FaLsE") << "FaLsE"
                           << "false";
    QTest::newRow("empty") << ""
                           << "error";
    QTest::newRow("yes") << "yes"
                         << "error";
    QTest::newRow("truth") << "truth"
                           << "error";
    QTest::newRow("hex") << "$1"
                         << "error";
    QTest::newRow("-0") << "-0"
                        << "false";
    QTest::newRow("+0 with blanks") << " +0 "
                                    << "false";
    QTest::newRow("-1 with blanks") << "\t-1 "
                                    << "true";
    QTest::newRow("zeros then a one") << "0001"
                                      << "true";
    QTest::newRow("sign alone") << "-"
                                << "error";
    QTest::newRow("plus alone") << " + "
                                << "error";
    QTest::newRow("two signs") << "--1"
                               << "error";
    QTest::newRow("too many digits for a double") << QString(400, u'1') << "error";
}

void tst_CueStore::parseBoolField() {
    QFETCH(QString, text);
    QFETCH(QString, expected);

    bool value = false;
    const QString error = ErrorOf([&] { value = ParseBoolField(text); });
    if (expected == "error") {
        QCOMPARE(error, "'" + text + "' is not a valid boolean value");
    } else {
        QCOMPARE(error, QString());
        QCOMPARE(value, expected == "true");
    }
}

void tst_CueStore::newCueRecord_data() {
    QTest::addColumn<int>("pinTop");
    QTest::addColumn<int>("pinLeft");
    QTest::addColumn<int>("viewHeight");
    QTest::addColumn<int>("viewWidth");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("expected");

    const QLocale c = QLocale::c();
    const QLocale german(QLocale::German, QLocale::Germany);
    QTest::newRow("200 of 500, 100 of 940") << 200 << 100 << 500 << 940 << c << "0.4|0.11||0||";
    QTest::newRow("half to even down") << 50 << 0 << 400 << 400 << c << "0.12|0||0||";
    QTest::newRow("half to even up") << 30 << 30 << 400 << 400 << c << "0.08|0.08||0||";
    QTest::newRow("above the view") << -8 << -8 << 400 << 400 << c << "-0.02|-0.02||0||";
    QTest::newRow("beyond the view") << 450 << 950 << 400 << 940 << c << "1.12|1.01||0||";
    QTest::newRow("german") << 200 << 100 << 500 << 940 << german << "0,4|0,11||0||";
}

void tst_CueStore::newCueRecord() {
    QFETCH(int, pinTop);
    QFETCH(int, pinLeft);
    QFETCH(int, viewHeight);
    QFETCH(int, viewWidth);
    QFETCH(QLocale, locale);
    QFETCH(QString, expected);

    QCOMPARE(NewCueRecord(pinTop, pinLeft, viewHeight, viewWidth, locale), expected);
    QLocale::setDefault(locale);
    QCOMPARE(NewCueRecord(pinTop, pinLeft, viewHeight, viewWidth), expected);
}

void tst_CueStore::movedCueRecord_data() {
    QTest::addColumn<int>("pinTop");
    QTest::addColumn<int>("pinLeft");
    QTest::addColumn<QString>("record");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("expected");

    const QLocale c = QLocale::c();
    const QLocale german(QLocale::German, QLocale::Germany);
    // The view is 400 high and 2000 wide.
    QTest::newRow("fields kept") << 50 << 3 << "0.1|0.2|/sound/go 5|-1|Call 5|" << c
                                 << "0.125|0.002|/sound/go 5|-1|Call 5|";
    QTest::newRow("half thousandth to even") << 0 << 1 << "0.1|0.2|/m|0||" << c << "0|0|/m|0||";
    QTest::newRow("short record") << 50 << 0 << "0.1|0.2|" << c << "0.125|0||||";
    QTest::newRow("empty record") << 50 << 0 << "" << c << "0.125|0||||";
    QTest::newRow("non-ascii call") << 50 << 0 << QString::fromUtf8("0.1|0.2|/m|0|Bühne ♪|") << c
                                    << QString::fromUtf8("0.125|0|/m|0|Bühne ♪|");
    QTest::newRow("german") << 50 << 3 << "0,1|0,2|/m|0||" << german << "0,125|0,002|/m|0||";
}

void tst_CueStore::movedCueRecord() {
    QFETCH(int, pinTop);
    QFETCH(int, pinLeft);
    QFETCH(QString, record);
    QFETCH(QLocale, locale);
    QFETCH(QString, expected);

    QCOMPARE(MovedCueRecord(pinTop, pinLeft, 400, 2000, SplitByChar(record.toUtf8(), '|'), locale),
             expected);
}

void tst_CueStore::recordsWithoutViewSize() {
    const arStr fields = SplitRecord("0.1|0.2|/m|0||");
    for (const auto& [height, width] : {std::pair{0, 400}, {400, 0}, {-1, 400}}) {
        QVERIFY(!ErrorOf([&] { NewCueRecord(10, 10, height, width); }).isEmpty());
        QVERIFY(!ErrorOf([&] { MovedCueRecord(10, 10, height, width, fields); }).isEmpty());
    }
}

void tst_CueStore::buildRecord_data() {
    QTest::addColumn<QString>("record");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("autoplay");
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("expected");

    QTest::newRow("new details") << "0.12|0.5||0||"
                                 << "/light/go 12"
                                 << "-1"
                                 << "Lights 12"
                                 << "0.12|0.5|/light/go 12|-1|Lights 12|";
    QTest::newRow("old details replaced") << "0.1|0.2|/old|-1|Old|"
                                          << ""
                                          << "0"
                                          << ""
                                          << "0.1|0.2||0||";
    QTest::newRow("short record") << "0.3|"
                                  << "/m"
                                  << "0"
                                  << "c"
                                  << "0.3||/m|0|c|";
    QTest::newRow("non-ascii") << "0.1|0.2|||" << QString::fromUtf8("/sound/go Ä") << "0"
                               << QString::fromUtf8("Szene ♪")
                               << QString::fromUtf8("0.1|0.2|/sound/go Ä|0|Szene ♪|");
}

void tst_CueStore::buildRecord() {
    QFETCH(QString, record);
    QFETCH(QString, message);
    QFETCH(QString, autoplay);
    QFETCH(QString, call);
    QFETCH(QString, expected);

    QCOMPARE(BuildRecord(SplitByChar(record.toUtf8(), '|'), message.toUtf8(), autoplay.toUtf8(),
                         call.toUtf8()),
             expected);
}

void tst_CueStore::sortOrder_data() {
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QStringList>("sorted");

    const QLocale c = QLocale::c();
    const QLocale german(QLocale::German, QLocale::Germany);
    QTest::newRow("tops, shorter number first")
        << c << QStringList{"0.1|0.5|a|0||", "0.12|0.1|b|0||", "0.5|0.2|c|0||"};
    QTest::newRow("tops, comma separator")
        << german << QStringList{"0,1|0,5|a|0||", "0,12|0,1|b|0||", "0,5|0,2|c|0||"};
    QTest::newRow("same top, by left")
        << c << QStringList{"0.2|0.05|x|0||", "0.2|0.45|x|0||", "0.2|0.5|x|0||", "0.2|1|x|0||"};
    QTest::newRow("negative, zero, positive")
        << c << QStringList{"-0.1|0||0||", "-0.05|0||0||", "0|0||0||", "0.05|0||0||", "1|0||0||"};
    QTest::newRow("negative lefts")
        << c << QStringList{"0.2|-0.1||0||", "0.2|-0.05||0||", "0.2|0||0||"};
    QTest::newRow("thousandths between hundredths")
        << c << QStringList{"0.12|0.3||0||", "0.125|0.1||0||", "0.13|0.2||0||"};
    QTest::newRow("rest ignores case")
        << c << QStringList{"0.1|0.1|/a|0|x|", "0.1|0.1|/B|0|x|", "0.1|0.1|/c|0|x|"};
    QTest::newRow("symbols, digits, letters")
        << c
        << QStringList{"0.1|0.1| go|0||", "0.1|0.1|/go|0||", "0.1|0.1|1go|0||", "0.1|0.1|go|0||"};
    QTest::newRow("shorter field first")
        << c
        << QStringList{"0.1|0.1|go|0||", "0.1|0.1|go 2|0||", "0.1|0.1|go.2|0||", "0.1|0.1|gob|0||"};
    QTest::newRow("accented letter with its base")
        << c
        << QStringList{"0.1|0.1|e|0||", QString::fromUtf8("0.1|0.1|éa|0||"), "0.1|0.1|eb|0||",
                       "0.1|0.1|f|0||"};
    QTest::newRow("unreadable tops after readable ones")
        << c << QStringList{"0.7|0||0||", " 5|0||0||", "0,5|0||0||", "abc|0||0||"};
    QTest::newRow("case-only difference has a fixed order")
        << c << QStringList{"0.1|0.1|/m|0|CALL|", "0.1|0.1|/m|0|call|"};
    QTest::newRow("equal numbers, different texts")
        << c << QStringList{"0.1|0.2||0||", "0.10|0.2||0||", "0.100|0.20||0||"};
}

void tst_CueStore::sortOrder() {
    QFETCH(QLocale, locale);
    QFETCH(QStringList, sorted);

    QLocale::setDefault(locale);
    QStringList reversed(sorted.crbegin(), sorted.crend());
    QCOMPARE(SortedRecords(RowOf(reversed)), sorted);
    QStringList rotated = sorted.mid(1) + sorted.mid(0, 1);
    QCOMPARE(SortedRecords(RowOf(rotated)), sorted);

    // Empty slots anywhere in the row are skipped.
    CueRow withGaps;
    for (qsizetype i = 0; i < reversed.size(); ++i)
        withGaps[size_t(2 * i + 1)] = reversed[i];
    QCOMPARE(SortedRecords(withGaps), sorted);

    for (qsizetype i = 0; i + 1 < sorted.size(); ++i) {
        QVERIFY2(CueRecordLess(sorted[i], sorted[i + 1]), qPrintable(sorted[i]));
        QVERIFY2(!CueRecordLess(sorted[i + 1], sorted[i]), qPrintable(sorted[i]));
    }
}

void tst_CueStore::sortOrderIsStrictWeak_data() {
    QTest::addColumn<QLocale>("locale");
    QTest::newRow("C") << QLocale::c();
    QTest::newRow("german") << QLocale(QLocale::German, QLocale::Germany);
}

void tst_CueStore::sortOrderIsStrictWeak() {
    QFETCH(QLocale, locale);
    QLocale::setDefault(locale);

    const QStringList records{
        "",          "0",         "0|",        "0.1|",      "0,1|",      "0.10|",
        "-0.05|",    "-0,05|",    "0.12|",     "0,12|",     "0.5|0.5|",  "0.5|0,5|",
        "0.5|-1|",   "0.5|x|",    "x|0.1|",    "X|0.1|",    "|",         "||",
        "-|",        ".|",        "abc",       "ABC",       "ab",        "1e3|",
        "0.1|0.1|a", "0.1|0.1|A", "0.1|0.1|á", "0.1|0.1|b", "0.1|0.1| ", "0.1|0.1|9",
        "nan|",      "inf|",      "9|",        "10|",       " 1|",       "1 |"};
    const qsizetype n = records.size();
    QList<QList<bool>> less(n, QList<bool>(n));
    for (qsizetype a = 0; a < n; ++a)
        for (qsizetype b = 0; b < n; ++b)
            less[a][b] = CueRecordLess(records[a], records[b]);
    for (qsizetype a = 0; a < n; ++a) {
        QVERIFY2(!less[a][a], qPrintable(records[a]));
        for (qsizetype b = 0; b < n; ++b) {
            const QString pair = records[a] + " / " + records[b];
            if (less[a][b])
                QVERIFY2(!less[b][a], qPrintable(pair));
            // Only equal texts are equivalent, so the order is total.
            if (records[a] != records[b])
                QVERIFY2(less[a][b] || less[b][a], qPrintable(pair));
            for (qsizetype c = 0; c < n; ++c)
                if (less[a][b] && less[b][c])
                    QVERIFY2(less[a][c], qPrintable(pair + " / " + records[c]));
        }
    }
}

void tst_CueStore::cueFilePath_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expected");

    QTest::newRow("pdf") << "/shows/Act1.pdf"
                         << "/shows/Act1.cues";
    QTest::newRow("upper-case extension") << "Act1.PDF"
                                          << "Act1.cues";
    QTest::newRow("only the last extension") << "/shows/act.1.pdf"
                                             << "/shows/act.1.cues";
    QTest::newRow("no extension") << "/shows/script"
                                  << "/shows/script.cues";
    QTest::newRow("dot in a folder name") << "/a/b.c/script"
                                          << "/a/b.c/script.cues";
    QTest::newRow("trailing dot") << "/a/name."
                                  << "/a/name.cues";
}

void tst_CueStore::cueFilePath() {
    QFETCH(QString, script);
    QFETCH(QString, expected);

    QCOMPARE(CueFilePath(script), expected);
}

void tst_CueStore::pageSectionExample() {
    const QString path = FDir.filePath("example.cues");
    QFile::remove(path);
    {
        KeyValueFile file(path);
        file.SetAutoSave(true);
        WritePageSection(
            file, 0, RowOf({"0.45|0.3|/light/go 12|-1|Lights 12|", "0.12|0.5|/sound/go 5|0||"}));
        file.Free();
    }
    QByteArray expected = Bom + "[Page0]\r\n"
                                "Cue0=0.12|0.5|/sound/go 5|0||\r\n"
                                "Cue1=0.45|0.3|/light/go 12|-1|Lights 12|\r\n";
    for (int slot = 2; slot <= 20; ++slot)
        expected += "Cue" + QByteArray::number(slot) + "=\r\n";
    expected += "\r\n";
    QCOMPARE(ReadBytes(path), expected);

    KeyValueFile file(path);
    CueRow row = RowOf({"stale"});
    ReadPageSection(file, 0, row);
    QCOMPARE(RecordsOf(row),
             RecordsOf(RowOf({"0.12|0.5|/sound/go 5|0||", "0.45|0.3|/light/go 12|-1|Lights 12|"})));
}

void tst_CueStore::savedPageIsSorted_data() {
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QStringList>("row");
    QTest::addColumn<QStringList>("sorted");

    QTest::newRow("C") << QLocale::c()
                       << QStringList{"0.5|0.1||0||", "0.12|0.1||0||", "0.1|0.1||0||"}
                       << QStringList{"0.1|0.1||0||", "0.12|0.1||0||", "0.5|0.1||0||"};
    QTest::newRow("comma separator")
        << QLocale(QLocale::German, QLocale::Germany)
        << QStringList{"0,5|0,1||0||", "0,12|0,1||0||", "0,1|0,1||0||"}
        << QStringList{"0,1|0,1||0||", "0,12|0,1||0||", "0,5|0,1||0||"};
}

void tst_CueStore::savedPageIsSorted() {
    QFETCH(QLocale, locale);
    QFETCH(QStringList, row);
    QFETCH(QStringList, sorted);

    QLocale::setDefault(locale);
    const QString path = FDir.filePath("sorted.cues");
    QFile::remove(path);
    {
        KeyValueFile file(path);
        file.SetAutoSave(true);
        WritePageSection(file, 4, RowOf(row));
        file.Free();
    }
    QCOMPARE(ReadBytes(path), Bom + PageSectionBytes(4, sorted));

    KeyValueFile file(path);
    CueRow back;
    ReadPageSection(file, 4, back);
    QCOMPARE(RecordsOf(back), RecordsOf(RowOf(sorted)));
}

void tst_CueStore::deleteAndResave_data() {
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<int>("deleted");
    QTest::addColumn<QStringList>("remaining");

    QTest::newRow("only cue") << QStringList{"0.1|0.1||0||"} << 0 << QStringList{};
    QTest::newRow("middle of three") << QStringList{"0.1|0.1||0||", "0.2|0.1||0||", "0.3|0.1||0||"}
                                     << 1 << QStringList{"0.1|0.1||0||", "0.3|0.1||0||"};
    QTest::newRow("first of three") << QStringList{"0.1|0.1||0||", "0.2|0.1||0||", "0.3|0.1||0||"}
                                    << 0 << QStringList{"0.2|0.1||0||", "0.3|0.1||0||"};
}

void tst_CueStore::deleteAndResave() {
    QFETCH(QStringList, records);
    QFETCH(int, deleted);
    QFETCH(QStringList, remaining);

    const QString path = FDir.filePath("delete.cues");
    QFile::remove(path);
    CueRow row = RowOf(records);
    for (bool afterDelete : {false, true}) {
        if (afterDelete)
            row[size_t(deleted)].clear();
        KeyValueFile file(path);
        file.SetAutoSave(true);
        WritePageSection(file, 0, row);
        file.Free();
    }
    QCOMPARE(ReadBytes(path), Bom + PageSectionBytes(0, remaining));

    KeyValueFile file(path);
    ReadPageSection(file, 0, row);
    QCOMPARE(RecordsOf(row), RecordsOf(RowOf(remaining)));
}

void tst_CueStore::saveAllPagesKeepsOtherSections() {
    const QString path = FDir.filePath("all.cues");
    WriteBytes(path, Bom + "[Settings]\r\nHeight=580\r\nWidth=900\r\n\r\n" +
                         PageSectionBytes(0, {"0.9|0||0||", "0.8|0||0||", "0.7|0||0||"}) +
                         "[Page7]\r\nCue0=0.5|0.5|/kept|0||\r\n\r\n");

    TCueTable table(3);
    table[0] = RowOf({"0.3|0.2|/b|0||", "0.2|0.2|/a|-1|A|"});
    {
        KeyValueFile file(path);
        file.SetAutoSave(true);
        for (int page = 0; page < int(table.size()); ++page)
            WritePageSection(file, page, table[page]);
        file.Free();
    }
    QCOMPARE(ReadBytes(path), Bom + "[Settings]\r\nHeight=580\r\nWidth=900\r\n\r\n" +
                                  PageSectionBytes(0, {"0.2|0.2|/a|-1|A|", "0.3|0.2|/b|0||"}) +
                                  "[Page7]\r\nCue0=0.5|0.5|/kept|0||\r\n\r\n" +
                                  PageSectionBytes(1, {}) + PageSectionBytes(2, {}));
}

void tst_CueStore::readPageSection_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("missing file") << QByteArray() << QStringList{};
    QTest::newRow("missing section")
        << QByteArray("[Page1]\r\nCue0=0.1|0.1||0||\r\n") << QStringList{};
    QTest::newRow("missing keys") << QByteArray("[Page0]\r\nCue1=0.2|0.1||0||\r\n")
                                  << QStringList{"0.2|0.1||0||"};
    QTest::newRow("gap closed, order kept")
        << QByteArray("[Page0]\r\nCue0=b|\r\nCue1=\r\nCue2=a|\r\nCue20=c|\r\n")
        << QStringList{"b|", "a|", "c|"};
    QTest::newRow("keys beyond 20 ignored")
        << QByteArray("[page0]\r\ncue0=a|\r\nCue21=b|\r\n") << QStringList{"a|"};
}

void tst_CueStore::readPageSection() {
    QFETCH(QByteArray, content);
    QFETCH(QStringList, expected);

    const QString path = FDir.filePath("read.cues");
    QFile::remove(path);
    if (!content.isEmpty())
        WriteBytes(path, content);
    KeyValueFile file(path);
    CueRow row = RowOf({"old 0", "old 1", "old 2", "old 3"});
    row[20] = "old 20";
    ReadPageSection(file, 0, row);
    QCOMPARE(RecordsOf(row), RecordsOf(RowOf(expected)));
}

void tst_CueStore::sortedRecordsKeepTheOrder_data() {
    QTest::addColumn<QLocale>("locale");
    QTest::newRow("C") << QLocale::c();
    QTest::newRow("german") << QLocale(QLocale::German, QLocale::Germany);
}

void tst_CueStore::sortedRecordsKeepTheOrder() {
    // Many rows drawn from parts that tie, differ by case, do not parse, use
    // either separator: the save's order must be the one CueRecordLess defines.
    QFETCH(QLocale, locale);
    QLocale::setDefault(locale);
    const QStringList tops{"0.1",  "0.12", "0.125", "0,12", "0,1", "-0.05", "-0,05", "0",
                           "0.10", "1e-1", " 0.5",  "abc",  "ABC", "",      "1",     "1.0"};
    const QStringList lefts{"0.1", "0,1", "0.5", "-1", "x", "", "0.50"};
    const QStringList messages{"/a", "/B", "/b", QString::fromUtf8("/é"), "1go", " go", ""};
    const QStringList tails{"0||", "-1|Call|", "-1|call|", "0|x", ""};
    QRandomGenerator random(20261210);
    const auto pick = [&](const QStringList& from) {
        return from[random.bounded(int(from.size()))];
    };
    for (int round = 0; round < 3000; ++round) {
        CueRow row;
        QStringList records;
        const int count = 1 + random.bounded(MaxCuesPerPage);
        for (int i = 0; i < count; ++i) {
            const QString record = pick(tops) + (random.bounded(8) ? "|" : "") + pick(lefts) + "|" +
                                   pick(messages) + "|" + pick(tails);
            row[size_t(random.bounded(MaxCuesPerPage))] = record;
        }
        for (const CueRecord& record : row)
            if (!record.isEmpty())
                records.append(record);
        std::sort(records.begin(), records.end(), CueRecordLess);
        QCOMPARE(SortedRecords(row), records);
    }
}

void tst_CueStore::readAllPageSections() {
    const QString path = FDir.filePath("all-read.cues");
    WriteBytes(path, Bom + "[Settings]\r\nHeight=580\r\n\r\n[Page0]\r\nCue0=0.1|0.1|/a|0||\r\n"
                           "Cue1=\r\nCue2=0.3|0.1|/c|0||\r\n\r\n[PAGE2]\r\ncue0=0.2|0.2|/d|0||\r\n"
                           "Cue20=0.9|0.9|/z|0||\r\n\r\n[Page02]\r\nCue0=not page 2\r\n"
                           "[Page0]\r\nCue5=repeated section\r\n[Page5]\r\nCue0=beyond|\r\n"
                           "[Page3]\r\nCue0=\xef\xbb\xbf 0.4|0.4|/f|0||\r\n");
    TCueTable table(4);
    for (CueRow& row : table)
        row = RowOf({"stale 0", "stale 1", "stale 2"});
    KeyValueFile file(path);
    ReadAllPageSections(file, table);
    QCOMPARE(RecordsOf(table[0]), RecordsOf(RowOf({"0.1|0.1|/a|0||", "0.3|0.1|/c|0||"})));
    QCOMPARE(RecordsOf(table[1]), RecordsOf(RowOf({})));
    QCOMPARE(RecordsOf(table[2]), RecordsOf(RowOf({"0.2|0.2|/d|0||", "0.9|0.9|/z|0||"})));
    // A record that begins with U+FEFF keeps it, and with it the blank after it.
    QCOMPARE(RecordsOf(table[3]),
             RecordsOf(RowOf({QChar(0xFEFF) + QStringLiteral(" 0.4|0.4|/f|0||")})));
}

void tst_CueStore::readAllAsEachPage_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("writes"); // (section, key, value) triples after loading

    auto page = [](const char* name, const QByteArray& lines) {
        return "[" + QByteArray(name) + "]\r\n" + lines + "\r\n";
    };
    QTest::newRow("every key, every page")
        << (page("Page0", "Cue0=0.1|0.1|/a|0||\r\nCue1=0.2|0.1|/b|0||\r\n") +
            page("Page1", "Cue0=0.3|0.3|/c|-1|Go|\r\n") + page("Page2", "") +
            page("Page3", "Cue20=0.9|0.9|/z|0||\r\n"))
        << QStringList{};
    QTest::newRow("a repeated key: the first wins, also when empty or bare")
        << (page("Page0", "Cue0=first|\r\nCue0=second|\r\nCue1=\r\nCue1=hidden|\r\n"
                          "Cue2\r\nCue2=hidden too|\r\ncue0=third|\r\n"))
        << QStringList{};
    QTest::newRow("a bare line hides its key, 64 bytes before the end")
        << page("Page0", "Cue1\r\nCue1=hidden|" + QByteArray(80, 'x') +
                             "\r\nCue2=" + QByteArray(80, 'y') + "\r\n")
        << QStringList{};
    QTest::newRow("a line not UTF-8 hides its key")
        << page("Page1", "Cue0=\xff|\r\nCue0=hidden|\r\nCue1=kept|\r\n") << QStringList{};
    QTest::newRow("names that only look like pages and cues")
        << (page("Page01", "Cue0=not page 1|\r\n") +
            page("Page1", "Cue01=x|\r\nCue 1=y|\r\n"
                          "Cue1x=z|\r\nCue-1=w|\r\n"
                          "Cue=v|\r\nCue21=u|\r\n") +
            page("Page-1", "Cue0=t|\r\n") + page("Page", "Cue0=s|\r\n") +
            page("Page4294967296", "Cue0=r|\r\n") + page("Page4", "Cue4294967296=q|\r\n"))
        << QStringList{};
    QTest::newRow("letter case and blanks")
        << (page("PAGE2", "  CUE3  =  0.5|0.5|/c|0||  \r\ncue4=0.6|0.6|/d|0||\r\n") +
            page("page2", "Cue0=repeated section|\r\n"))
        << QStringList{};
    QTest::newRow("letters beyond ASCII")
        << (page("Page0", "Cue0=0.1|0.1|/caf\xc3\xa9|0|Caf\xc3\xa9 \xe2\x82\xac|\r\n"
                          "Cu\xc3\xa9"
                          "1=not a cue|\r\nCue1=0.2|0.2|/a|0||\r\n") +
            page("P\xc3\xa1ge1", "Cue0=not a page|\r\n"))
        << QStringList{};
    QTest::newRow("written since loading")
        << (page("Page0", "Cue0=old 0|\r\nCue1=old 1|\r\n") + page("Page1", "Cue0=kept|\r\n"))
        << QStringList{"Page0",     "Cue1",  "new 1|", "Page0",
                       "cue0",      "",      "Page2",  "Cue5",
                       "new page|", "Page3", "Cue0",   QString::fromUtf8("n\xc3\xa9w|")};
    QTest::newRow("no pages at all") << page("Settings", "Height=580\r\n") << QStringList{};
    QTest::newRow("line ends CR, LF, CR LF, none at the end")
        << QByteArray("[Page0]\rCue0=a|\nCue1=b|\r\n\r\rCue2=c|\n\n[Page1]\rCue0=d|\rCue1=e|")
        << QStringList{};
    QTest::newRow("lines before the first section, comments, bare lines")
        << QByteArray("Cue0=before any section|\r\n;[Page0]\r\n" +
                      page("Page0", "; Cue0=comment|\r\n  ;Cue1=comment|\r\nCue1\r\n"
                                    "Cue1=hidden by the bare line|\r\nCue2=a=b|c|\r\n"))
        << QStringList{};
    QTest::newRow("a page repeated after other sections, in other letter case")
        << (page("Page1", "") + page("Settings", "Cue0=not a page|\r\n") +
            page("pAGE1", "Cue0=repeated|\r\n") + page("Page0", "Cue3=x|\r\n") +
            page("Settings", "Cue1=repeated settings|\r\n") + page("PAGE0", "Cue0=y|\r\n"))
        << QStringList{};
    QTest::newRow("headers with blanks, headers that are not")
        << (page(" Page0 ", "Cue0=a|\r\n") + QByteArray("[Page1\r\nCue1=b|\r\n") +
            QByteArray("Page2]\r\nCue2=c|\r\n  [  Page3\t]  \r\nCue3=d|\r\n[]\r\nCue4=e|\r\n"))
        << QStringList{};
    // The key's "=" and the line's end each on either side of 64 bytes.
    QTest::newRow("long keys and values")
        << page("Page0", "Cue0" + QByteArray(70, ' ') + "=" + QByteArray(70, 'a') + "|\r\n" +
                             "Cue1=" + QByteArray(58, 'b') + "|\r\n" +
                             "Cue2=" + QByteArray(59, 'c') + "|\r\n" + QByteArray(200, 'x') +
                             "\r\n" + "Cue3=" + QByteArray(300, 'd') +
                             "\r\nCue4=" + QByteArray(63, 'e') + "\r\n")
        << QStringList{};
    QTest::newRow("text beyond ASCII")
        << page("Page0",
                "Cue0=0.1|0.1|/\xe5\xa3\xb0|0|\xe9\x9f\xb3\xe9\x9f\xbf \xf0\x9f\x8e\xad|\r\n"
                "Cue1=0.2|0.2|/a|0|\xc3\x80 " +
                    QByteArray(80, 'z') + "|\r\nCue2=" + QByteArray(64, 'y') +
                    "\xc3\xa9|\r\nCu\xc3\xa9"
                    "3=not a cue|\r\n"
                    // Records of 60 and 64 bytes with one letter beyond ASCII
                    // in their second, third or fourth 16 bytes only.
                    "Cue4=0.1|0.1|/a|0|" +
                    QByteArray(7, 'a') + "\xc3\xa9" + QByteArray(37, 'b') +
                    "|\r\nCue5=0.1|0.1|/a|0|" + QByteArray(27, 'c') + "\xc3\xa9" +
                    QByteArray(21, 'd') + "|\r\nCue6=0.1|0.1|/a|0|" + QByteArray(37, 'e') +
                    "\xc3\xa9" + QByteArray(7, 'f') + "|\r\n")
        << QStringList{};
    QTest::newRow("a section name that begins with U+FEFF")
        << (page("\xef\xbb\xbfPage1", "Cue0=not page 1|\r\n") + page("Page2", "Cue0=a|\r\n") +
            page("\xef\xbb\xbfPage2", "Cue0=not page 2|\r\n"))
        << QStringList{};
    QTest::newRow("bytes that are not UTF-8")
        << page("Page1", "Cue0=\xe2\x82|\r\nCue1=kept|\r\nCue2=\xed\xa0\x80|\r\n"
                         "Cue3=\xc0\xaf|\r\nCue4=\xc3\xa9 kept|\r\n")
        << QStringList{};
}

void tst_CueStore::readAllAsEachPage() {
    // Reading every page in one walk gives, page for page, what reading each
    // page's keys one by one gives.
    QFETCH(QByteArray, content);
    QFETCH(QStringList, writes);

    const QString path = FDir.filePath("all-as-each.cues");
    WriteBytes(path, Bom + content);
    // Straight after loading, and once a lookup has been made in the file
    // (a lookup builds its index); all pages, and from page 2 on.
    for (const bool lookedUp : {false, true}) {
        for (const int firstPage : {0, 2}) {
            KeyValueFile file(path);
            if (lookedUp)
                (void)file.ReadString("Page0", "Cue0", QString());
            for (qsizetype i = 0; i + 2 < writes.size(); i += 3)
                file.WriteString(writes[i], writes[i + 1], writes[i + 2]);
            TCueTable all(5);
            for (CueRow& row : all)
                row = RowOf({"stale 0", "stale 1"});
            ReadAllPageSections(file, all, firstPage);
            for (int page = 0; page < all.size(); ++page) {
                CueRow each = RowOf({"stale 0", "stale 1"});
                if (page >= firstPage)
                    ReadPageSection(file, page, each);
                QVERIFY2(RecordsOf(all[page]) == RecordsOf(each),
                         qPrintable(QStringLiteral("page %1%2, from page %3: %4 instead of %5")
                                        .arg(page)
                                        .arg(lookedUp ? " after a lookup" : "")
                                        .arg(firstPage)
                                        .arg(RecordsOf(all[page]).join(u','),
                                             RecordsOf(each).join(u','))));
            }
        }
    }
}

void tst_CueStore::recordsReadTogetherStandAlone() {
    // Records read together share their storage; each must still behave as a
    // text of its own: outlive the file and the table, change alone, end in 0.
    const QString path = FDir.filePath("stand-alone.cues");
    QByteArray content = Bom;
    for (int page = 0; page < 3; ++page) {
        content += "[Page" + QByteArray::number(page) + "]\r\n";
        for (int slot = 0; slot < 3; ++slot)
            content += "Cue" + QByteArray::number(slot) + "=0." + QByteArray::number(slot + 1) +
                       "|0.5|/p" + QByteArray::number(page) + "c" + QByteArray::number(slot) +
                       "|0|Call " + QByteArray::number(page * 3 + slot) + "|\r\n";
    }
    WriteBytes(path, content);
    auto expected = [](int page, int slot) {
        return QStringLiteral("0.%1|0.5|/p%2c%3|0|Call %4|")
            .arg(slot + 1)
            .arg(page)
            .arg(slot)
            .arg(page * 3 + slot);
    };

    QString kept;
    QString changed;
    {
        TCueTable table(3);
        {
            KeyValueFile file(path);
            ReadAllPageSections(file, table);
        }
        for (int page = 0; page < 3; ++page)
            for (int slot = 0; slot < 3; ++slot) {
                const QString& record = table[page][size_t(slot)];
                QCOMPARE(record, expected(page, slot));
                QCOMPARE(record.utf16()[record.size()], ushort(0));
                QCOMPARE(qstrlen(record.toLocal8Bit().constData()), size_t(record.size()));
            }
        kept = table[1][1];
        changed = table[1][0];
        changed += QStringLiteral("more");
        changed[0] = u'X';
        table[2][2].append(u"|tail");
        table[2][2].squeeze();
        QCOMPARE(table[2][1], expected(2, 1));
        QCOMPARE(table[2][2], expected(2, 2) + "|tail");

        // Read again over the same table: the earlier records go, the copies stay.
        KeyValueFile file(path);
        ReadAllPageSections(file, table);
        QCOMPARE(table[2][2], expected(2, 2));
        QCOMPARE(table[1][0], expected(1, 0));
    }
    QCOMPARE(kept, expected(1, 1));
    QCOMPARE(kept.utf16()[kept.size()], ushort(0));
    QCOMPARE(changed, "X" + expected(1, 0).mid(1) + "more");
    // The last holder of the shared storage may change it in place.
    kept.append(QStringLiteral("|grown"));
    QCOMPARE(kept, expected(1, 1) + "|grown");
}

QTEST_GUILESS_MAIN(tst_CueStore)
#include "tst_cuestore.moc"
