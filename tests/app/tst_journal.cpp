#include "app/frmtestprog.h"

#include "app/journal/journallist.h"
#include "common/testenv.h"
#include "consolefixture.h"

#include <QDir>
#include <QPlainTextEdit>

using fixture::Console;
using quillon::MemberId;
using quillon::Result;

namespace {

JournalList *list(const Console &c, const char *name)
{
    return c.control<JournalList>(name);
}

QStringList lines(const JournalList *l)
{
    QStringList out;
    for (qsizetype i = 0; i < l->count(); ++i)
        out << l->itemText(i);
    return out;
}

QString detail(const Console &c)
{
    return c.control<QPlainTextEdit>("txtDebug")->toPlainText();
}

void raise(const Console &c, const QString &who, int slot, QVariantList params)
{
    c.endpoint(who)->raise(slot, params);
}

void clickLine(JournalList *l, qsizetype row)
{
    QTest::mouseClick(l->viewport(), Qt::LeftButton, {}, l->visualRect(row).center());
}

} // namespace

class TestJournal : public QObject
{
    Q_OBJECT

private slots:
    void eventsBecomeJournalLines_data()
    {
        QTest::addColumn<QString>("who");
        QTest::addColumn<int>("slot");
        QTest::addColumn<QVariantList>("params");
        QTest::addColumn<QString>("listName");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("calls");
        const auto row = [](const char *tag, const char *who, int slot, QVariantList params,
                            const char *listName, const QString &line, QStringList calls = {}) {
            QTest::newRow(tag) << QString::fromLatin1(who) << slot << params
                               << QString::fromLatin1(listName) << line << calls;
        };
        const QString s6 = QStringLiteral("6"), s7 = QStringLiteral("7"), e;
        row("snd IncomingFax", "snd", 9, {s6, s7}, "lbCallinfo", "snd: incoming fax for 6 from 7", {"snd.AcceptFax=False"});
        row("rcv IncomingFax", "rcv", 9, {s6, s7}, "lbCallinfo", "rcv: incoming fax for 6 from 7", {"rcv.AcceptFax=True"});
        row("rcv IncomingFax empty", "rcv", 9, {e, e}, "lbCallinfo", "rcv: incoming fax for  from ", {"rcv.AcceptFax=True"});
        row("snd FaxSent False", "snd", 11, {false}, "lbCallinfo", "snd: Fax sent, success=False");
        row("rcv FaxSent True", "rcv", 11, {true}, "lbCallinfo", "rcv: Fax sent, success=True");
        row("snd FaxSent -1", "snd", 11, {-1}, "lbCallinfo", "snd: Fax sent, success=True");
        row("snd IncomingCall", "snd", 12, {s6, s7, QStringLiteral("fax G3")}, "lbCallinfo", "snd: call for 6 from 7, type: fax G3");
        row("rcv IncomingCall empty", "rcv", 12, {e, e, e}, "lbCallinfo", "rcv: call for  from , type: ");
        row("snd CallProgress", "snd", 13, {QStringLiteral("dialling")}, "lbCallinfo", "snd: CallProgress: dialling");
        row("rcv CallProgress empty", "rcv", 13, {e}, "lbCallinfo", "rcv: CallProgress: ");
        row("snd Connected", "snd", 14, {QStringLiteral("9600 bit/s")}, "lbCallinfo", "snd: Connected: 9600 bit/s");
        row("rcv Connected", "rcv", 14, {QStringLiteral("G4")}, "lbCallinfo", "rcv: Connected: G4");
        row("snd Disconnected", "snd", 15, {}, "lbCallinfo", "snd: Disconnected");
        row("rcv Disconnected", "rcv", 15, {}, "lbCallinfo", "rcv: Disconnected");
        row("snd IncomingPhoneCall", "snd", 16, {s6, s7}, "lbCallinfo", "snd: phone call for 6 from 7");
        row("rcv IncomingPhoneCall", "rcv", 16, {QStringLiteral("1"), QStringLiteral("2")}, "lbCallinfo", "rcv: phone call for 1 from 2");
        row("snd Debug leading spaces kept", "snd", 17, {QStringLiteral("  text ")}, "lbDebug", "snd: Debug:   text ");
        row("rcv Debug leading spaces removed", "rcv", 17, {QStringLiteral("  a  b ")}, "lbDebug", "rcv: Debug: a  b ");
        row("rcv Debug only spaces", "rcv", 17, {QStringLiteral("   ")}, "lbDebug", "rcv: Debug: ");
        row("rcv Debug tab is no space", "rcv", 17, {QStringLiteral("\t x")}, "lbDebug", "rcv: Debug: \t x");
        row("rcv Debug non-ASCII", "rcv", 17, {QStringLiteral(" Grüße ☎")}, "lbDebug", "rcv: Debug: Grüße ☎");
        row("snd Debug with CR LF", "snd", 17, {QStringLiteral("one\r\ntwo")}, "lbDebug", "snd: Debug: one\r\ntwo");
        row("snd CallProgress number", "snd", 13, {42}, "lbCallinfo", "snd: CallProgress: 42");
    }
    void eventsBecomeJournalLines()
    {
        QFETCH(QString, who);
        QFETCH(int, slot);
        QFETCH(QVariantList, params);
        QFETCH(QString, listName);
        QFETCH(QString, line);
        QFETCH(QStringList, calls);
        Console c;
        // The IncomingFax answer is written while the event is raised, before the line.
        QList<qsizetype> countsAtCall;
        c.endpoint(who)->setCallObserver([&](const fixture::Call &) {
            countsAtCall << list(c, "lbCallinfo")->count();
        });
        const QVariantList sent = params;
        raise(c, who, slot, params);
        QCOMPARE(params, sent); // parameters are only read
        QCOMPARE(c.takeCalls(), calls);
        QCOMPARE(countsAtCall, QList<qsizetype>(calls.size(), 0));
        const char *other = listName == QLatin1String("lbDebug") ? "lbCallinfo" : "lbDebug";
        QCOMPARE(lines(list(c, qPrintable(listName))), QStringList{line});
        QCOMPARE(list(c, other)->count(), 0);
        QCOMPARE(fixture::logBytes(), line.toUtf8() + "\r\n");
        QVERIFY(c.failures.isEmpty());
    }

    void unboundSlotsReachNothing()
    {
        Console c;
        for (const QString &who : {QStringLiteral("snd"), QStringLiteral("rcv")})
            for (int slot : {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 18, -1})
                raise(c, who, slot, {QStringLiteral("6"), QStringLiteral("7"), QStringLiteral("x")});
        QCOMPARE(c.takeCalls(), QStringList());
        QCOMPARE(list(c, "lbCallinfo")->count(), 0);
        QCOMPARE(list(c, "lbDebug")->count(), 0);
        QCOMPARE(fixture::logBytes(), QByteArray());
        QVERIFY(c.failures.isEmpty());
    }

    void logHoldsBothListsInTheOrderAdded()
    {
        Console c;
        raise(c, QStringLiteral("rcv"), 9, {QStringLiteral("6"), QStringLiteral("6")});
        raise(c, QStringLiteral("snd"), 17, {QStringLiteral("dbg")});
        c.click("cmdSendFax");
        raise(c, QStringLiteral("snd"), 15, {});
        QCOMPARE(fixture::logBytes(),
                 QByteArray("rcv: incoming fax for 6 from 6\r\nsnd: Debug: dbg\r\n"
                            "snd: SendFax(...) result: True\r\nsnd: Disconnected\r\n"));
        QCOMPARE(lines(list(c, "lbCallinfo")),
                 (QStringList{"rcv: incoming fax for 6 from 6", "snd: Disconnected"}));
        QCOMPARE(lines(list(c, "lbDebug")), (QStringList{"snd: Debug: dbg", "snd: SendFax(...) result: True"}));
    }

    void failingStepsStopTheHandler()
    {
        Console c;
        // The answer cannot be written: no line for that event.
        c.rcv->setAnswer(MemberId::AcceptFax, Result::fail(438, QStringLiteral("no such property")));
        raise(c, QStringLiteral("rcv"), 9, {QStringLiteral("6"), QStringLiteral("7")});
        // Too few parameters: no line either.
        raise(c, QStringLiteral("snd"), 12, {QStringLiteral("6")});
        // A parameter that has no text.
        raise(c, QStringLiteral("snd"), 13, {QVariantList{1}});
        QCOMPARE(c.failures, (QList<std::pair<int, QString>>{
                                 {438, QStringLiteral("no such property")},
                                 {quillon::kErrArgumentCount, QStringLiteral("Wrong number of arguments or invalid property assignment")},
                                 {quillon::kErrTypeMismatch, QStringLiteral("Type mismatch")}}));
        QCOMPARE(list(c, "lbCallinfo")->count(), 0);
        QCOMPARE(fixture::logBytes(), QByteArray());

    }

    void lineWithTheLogNotOpenStandsInTheListOnly()
    {
        // A folder where the log should go: the load fails and leaves the log not open.
        QFile::remove(fixture::logPath());
        QVERIFY(QDir().mkpath(fixture::logPath()));
        Console c;
        QCOMPARE(c.failures.size(), 1);
        c.failures.clear();
        raise(c, QStringLiteral("snd"), 13, {QStringLiteral("late")});
        QCOMPARE(lines(list(c, "lbCallinfo")), QStringList{"snd: CallProgress: late"});
        QCOMPARE(c.failures.size(), 1);
        QCOMPARE(c.failures[0].first, 52);
        QVERIFY(QDir().rmdir(fixture::logPath()));
    }

    void detailBoxShowsTheClickedLine()
    {
        Console c;
        raise(c, QStringLiteral("snd"), 13, {QString()});
        raise(c, QStringLiteral("rcv"), 13, {QStringLiteral("two")});
        raise(c, QStringLiteral("rcv"), 17, {QStringLiteral(" debug line")});
        JournalList *info = list(c, "lbCallinfo");
        JournalList *debug = list(c, "lbDebug");

        clickLine(info, 0);
        QCOMPARE(detail(c), QStringLiteral("snd: CallProgress: ")); // trailing space kept
        clickLine(debug, 0);
        QCOMPARE(detail(c), QStringLiteral("rcv: Debug: debug line")); // the last click decides
        clickLine(info, 1);
        QCOMPARE(detail(c), QStringLiteral("rcv: CallProgress: two"));

        // The same line again writes it again (over an edit made by code).
        c.control<QPlainTextEdit>("txtDebug")->setPlainText(QStringLiteral("changed"));
        clickLine(info, 1);
        QCOMPARE(detail(c), QStringLiteral("rcv: CallProgress: two"));

        // The keyboard moves the selection and the detail follows.
        QTest::keyClick(info, Qt::Key_Up);
        QCOMPARE(detail(c), QStringLiteral("snd: CallProgress: "));

        // New lines leave the detail box as it was; so does a click below the last line.
        raise(c, QStringLiteral("snd"), 15, {});
        QCOMPARE(detail(c), QStringLiteral("snd: CallProgress: "));
        QTest::mouseClick(debug->viewport(), Qt::LeftButton, {},
                          QPoint(10, debug->viewport()->height() - 3));
        QCOMPARE(detail(c), QStringLiteral("snd: CallProgress: "));
        QVERIFY(c.failures.isEmpty());
        QCOMPARE(c.takeCalls(), QStringList());
    }

    void detailBoxShowsLongAndMultiLineLinesInFull()
    {
        Console c;
        const QString longText(1 << 20, u'y');
        raise(c, QStringLiteral("snd"), 17, {longText});
        raise(c, QStringLiteral("snd"), 17, {QStringLiteral("a\r\nb")});
        clickLine(list(c, "lbDebug"), 0);
        QCOMPARE(detail(c), QStringLiteral("snd: Debug: ") + longText);
        clickLine(list(c, "lbDebug"), 1);
        QCOMPARE(list(c, "lbDebug")->itemText(1), QStringLiteral("snd: Debug: a\r\nb"));
        QVERIFY(detail(c).startsWith(QLatin1String("snd: Debug: a")));
        QVERIFY(detail(c).endsWith(u'b'));
        QCOMPARE(fixture::logBytes(), "snd: Debug: " + longText.toUtf8() + "\r\nsnd: Debug: a\r\nb\r\n");
    }
};

QUILLON_TEST_MAIN(TestJournal)
#include "tst_journal.moc"
