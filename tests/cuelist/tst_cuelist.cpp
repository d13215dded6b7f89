// The cue list: show order, the prompted row, cues that reach no target, and
// a double-click that names the cue to prompt.

#include "cues/CueListModel.h"
#include "cues/CueListWindow.h"

#include <QHeaderView>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

namespace {

TCueTable Show() {
    TCueTable table(3);
    table[0][0] = QStringLiteral("0.1|0.1|/sound/go 1|0|Preshow|");
    table[0][1] = QStringLiteral("0.3|0.1|/light/go 2|-1|Wash|");
    // A gap: GO never reaches what follows it, nor does the list.
    table[0][3] = QStringLiteral("0.5|0.1|/light/go 9|0|Unreachable|");
    table[2][0] = QStringLiteral("0.2|0.1|/lite/go 3|0|Typo|");
    table[2][1] = QStringLiteral("0.4|0.1|/sound/go 4|0|Bows|");
    return table;
}

} // namespace

class TestCueList : public QObject {
    Q_OBJECT

private slots:
    void listsCuesInShowOrder() {
        const TCueTable table = Show();
        TCueListModel model(table, QStringLiteral("sound"), QStringLiteral("light"));
        QStringList calls;
        for (int row = 0; row < model.rowCount(); ++row)
            calls << QStringLiteral("%1.%2 %3")
                         .arg(model.index(row, TCueListModel::colPage).data().toInt())
                         .arg(model.index(row, TCueListModel::colCue).data().toInt())
                         .arg(model.index(row, TCueListModel::colCall).data().toString());
        QCOMPARE(calls, (QStringList{"1.1 Preshow", "1.2 Wash", "3.1 Typo", "3.2 Bows"}));
    }

    void flagsCuesThatReachNoTarget_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("sound");
        QTest::addColumn<QString>("light");
        QTest::addColumn<QString>("target");
        QTest::newRow("sound") << "/sound/go 1"
                               << "sound"
                               << "light"
                               << "sound";
        QTest::newRow("light") << "/light/go 1"
                               << "sound"
                               << "light"
                               << "light";
        QTest::newRow("both when the selectors are equal") << "/fx/go"
                                                           << "fx"
                                                           << "fx"
                                                           << "both";
        QTest::newRow("letter case differs") << "/Sound/go 1"
                                             << "sound"
                                             << "light"
                                             << "no target";
        QTest::newRow("selector runs to the end") << "/go 1"
                                                  << "go"
                                                  << "light"
                                                  << "no target";
        QTest::newRow("no slash, empty selectors") << "go"
                                                   << ""
                                                   << ""
                                                   << "both";
        QTest::newRow("no slash") << "go"
                                  << "sound"
                                  << "light"
                                  << "no target";
    }
    void flagsCuesThatReachNoTarget() {
        QFETCH(QString, message);
        QFETCH(QString, sound);
        QFETCH(QString, light);
        QFETCH(QString, target);
        TCueTable table(1);
        table[0][0] = QStringLiteral("0.1|0.1|%1|0|Cue|").arg(message);
        TCueListModel model(table, sound, light);
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(model.index(0, TCueListModel::colTarget).data().toString(), target);
        const bool flagged = target == QStringLiteral("no target");
        QCOMPARE(model.index(0, TCueListModel::colCall).data(TCueListModel::NoTargetRole).toBool(),
                 flagged);
        QCOMPARE(model.index(0, TCueListModel::colCall).data(Qt::BackgroundRole).isValid(),
                 flagged);
    }

    void promptedRowFollowsThePrompt() {
        TCueTable table = Show();
        TCueListModel model(table, QStringLiteral("sound"), QStringLiteral("light"));
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        const auto prompted = [&] {
            QList<int> rows;
            for (int row = 0; row < model.rowCount(); ++row)
                if (model.index(row, 0).data(TCueListModel::PromptedRole).toBool())
                    rows << row;
            return rows;
        };
        QCOMPARE(prompted(), QList<int>{});
        model.SetPrompted(0, 1);
        QCOMPARE(prompted(), QList<int>{1});
        model.SetPrompted(2, 0); // GO across a page
        QCOMPARE(prompted(), QList<int>{2});
        // Both the row left and the row reached are repainted.
        QCOMPARE(changed.size(), 3);
        QCOMPARE(changed.at(1).at(0).toModelIndex().row(), 1);
        QCOMPARE(changed.at(2).at(0).toModelIndex().row(), 2);
        // A cue added on an earlier page moves the prompted cue down a row.
        table[1][0] = QStringLiteral("0.4|0.1|/light/go 0|0|New|");
        model.Reset();
        QCOMPARE(prompted(), QList<int>{3});
        QCOMPARE(model.index(3, TCueListModel::colCall).data().toString(), QStringLiteral("Typo"));
        model.SetPrompted(-1, -1);
        QCOMPARE(prompted(), QList<int>{});
        model.SetPrompted(0, 3); // beyond the gap: not in the list
        QCOMPARE(prompted(), QList<int>{});
    }

    void doubleClickNamesTheCue() {
        const TCueTable table = Show();
        QWidget main;
        main.resize(400, 300);
        main.show();
        const QSize mainSize = main.size();
        TCueListWindow list(table, QStringLiteral("sound"), QStringLiteral("light"), &main);
        QVERIFY(list.isWindow());
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        QSignalSpy chosen(&list, &TCueListWindow::CueChosen);
        QTableView& view = list.View();
        const QRect cell = view.visualRect(list.Model().index(3, TCueListModel::colCall));
        // The first press of a double-click comes as a plain press.
        QTest::mousePress(view.viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, cell.center());
        QCOMPARE(chosen.size(), 1);
        QCOMPARE(chosen.first().at(0).toInt(), 2);
        QCOMPARE(chosen.first().at(1).toInt(), 1);
        QCOMPARE(main.size(), mainSize);
    }

    void promptedRowIsScrolledIntoView() {
        TCueTable table(40);
        for (int page = 0; page < 40; ++page)
            for (int slot = 0; slot < 3; ++slot)
                table[page][slot] = QStringLiteral("0.%1|0.1|/sound/go %2|0|Cue %2|")
                                        .arg(slot + 1)
                                        .arg(page * 3 + slot + 1);
        TCueListWindow list(table, QStringLiteral("sound"), QStringLiteral("light"));
        list.resize(600, 300);
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        list.SetPrompted(35, 2);
        const QRect cell = list.View().visualRect(list.Model().index(35 * 3 + 2, 0));
        QVERIFY(list.View().viewport()->rect().contains(cell));
        const QString shot = qEnvironmentVariable("CUEWELL_SCREENSHOT_DIR");
        if (!shot.isEmpty())
            list.grab().save(shot + QStringLiteral("/cuelist.png"));
    }
};

QTEST_MAIN(TestCueList)
#include "tst_cuelist.moc"
