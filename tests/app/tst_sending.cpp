#include "app/frmtestprog.h"

#include "app/journal/journallist.h"
#include "common/testenv.h"
#include "consolefixture.h"

#include <QClipboard>
#include <QDir>
#include <QLineEdit>

#include <new>
#include <stdexcept>

#include <unistd.h>

using fixture::Console;
using quillon::MemberId;
using quillon::Result;

namespace {

QString local(const QString &drivePath)
{
    return platform::localPathForWriting(drivePath);
}

void writeFile(const QString &drivePath, const QByteArray &bytes = "fax")
{
    const QString path = local(drivePath);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

bool exists(const QString &drivePath)
{
    return QFileInfo::exists(local(drivePath));
}

void setText(const Console &c, const char *box, const QString &text)
{
    c.control<QLineEdit>(box)->setText(text);
}

QString lastDebugLine(const Console &c)
{
    auto *list = c.control<JournalList>("lbDebug");
    return list->count() ? list->itemText(list->count() - 1) : QString();
}

} // namespace

class TestSending : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QDir(local(QStringLiteral("C:\\tmp"))).removeRecursively();
        writeFile(QStringLiteral("C:\\tmp\\testfax.sff"));
    }

    void sendMakesItsCallsInOrderAndJournalsTheResult_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("method");
        QTest::addColumn<QVariant>("answer");
        QTest::addColumn<QString>("line");
        QTest::newRow("G3 True") << "cmdSendFax" << int(MemberId::SendFax) << QVariant(true)
                                 << "snd: SendFax(...) result: True";
        QTest::newRow("G3 False") << "cmdSendFax" << int(MemberId::SendFax) << QVariant(false)
                                  << "snd: SendFax(...) result: False";
        QTest::newRow("G4 True") << "cmdSendFaxG4" << int(MemberId::SendFaxG4) << QVariant(1)
                                 << "snd: SendFaxG4(...) result: True";
        QTest::newRow("G4 False") << "cmdSendFaxG4" << int(MemberId::SendFaxG4) << QVariant(0)
                                  << "snd: SendFaxG4(...) result: False";
    }
    void sendMakesItsCallsInOrderAndJournalsTheResult()
    {
        QFETCH(QString, button);
        QFETCH(int, method);
        QFETCH(QVariant, answer);
        QFETCH(QString, line);
        Console c;
        c.snd->setAnswer(MemberId(method), Result::ok(answer));
        setText(c, "txtCallNr", QStringLiteral("123"));
        setText(c, "txtOwnNr", QStringLiteral("456"));
        setText(c, "txtHeader", QStringLiteral("Head"));
        setText(c, "txtSender", QStringLiteral("Me"));
        c.takeCalls();
        c.click(qPrintable(button));
        const QString name = method == int(MemberId::SendFax) ? QStringLiteral("SendFax")
                                                              : QStringLiteral("SendFaxG4");
        // The five texts cross in dispatch order: the file first, the number to call last.
        QCOMPARE(c.takeCalls(), (QStringList{QStringLiteral("snd.%1(C:\\tmp\\testfax.sff|Me|Head|456|123)").arg(name),
                                             QStringLiteral("rcv.AcceptFax=True"),
                                             QStringLiteral("rcv.ReceiveFileName=C:\\tmp\\recieved.sff")}));
        QCOMPARE(lastDebugLine(c), line);
        QCOMPARE(fixture::logBytes(), line.toUtf8() + "\r\n");
        QVERIFY(c.failures.isEmpty());
    }

    void oldReceiveFileGoesAfterTheSendAndBeforeTheReceiverIsNamed()
    {
        Console c;
        writeFile(QStringLiteral("C:\\tmp\\recieved.sff"), "old fax");
        QStringList seen;
        c.snd->setCallObserver([&](const fixture::Call &) {
            seen << QStringLiteral("send, file there: %1").arg(exists(QStringLiteral("C:\\tmp\\recieved.sff")));
        });
        c.rcv->setCallObserver([&](const fixture::Call &call) {
            seen << QStringLiteral("%1, file there: %2")
                        .arg(fixture::memberName(call.member))
                        .arg(exists(QStringLiteral("C:\\tmp\\recieved.sff")));
        });
        c.click("cmdSendFax");
        QCOMPARE(seen, (QStringList{"send, file there: 1", "AcceptFax, file there: 1",
                                    "ReceiveFileName, file there: 0"}));
        QVERIFY(exists(QStringLiteral("C:\\tmp\\testfax.sff")));
    }

    // Steps 1 to 3 follow the general rule: a failure ends the handler and is reported.
    void failureOfTheSendOrTheAcceptEndsTheHandler_data()
    {
        QTest::addColumn<QString>("who");
        QTest::addColumn<int>("member");
        QTest::addColumn<int>("callsMade");
        QTest::newRow("SendFax") << "snd" << int(MemberId::SendFax) << 1;
        QTest::newRow("AcceptFax") << "rcv" << int(MemberId::AcceptFax) << 2;
    }
    void failureOfTheSendOrTheAcceptEndsTheHandler()
    {
        QFETCH(QString, who);
        QFETCH(int, member);
        QFETCH(int, callsMade);
        Console c;
        writeFile(QStringLiteral("C:\\tmp\\recieved.sff"), "old fax");
        c.endpoint(who)->setAnswer(MemberId(member), Result::fail(2001, QStringLiteral("no line")));
        c.click("cmdSendFax");
        QCOMPARE(c.takeCalls().size(), callsMade);
        QCOMPARE(c.failures, (QList<std::pair<int, QString>>{{2001, QStringLiteral("no line")}}));
        QVERIFY(exists(QStringLiteral("C:\\tmp\\recieved.sff")));
        QCOMPARE(c.control<JournalList>("lbDebug")->count(), 0);
        QCOMPARE(fixture::logBytes(), QByteArray());
    }

    // From the deletion on, a failing step is skipped silently and the next one runs.
    void laterFailuresAreSkippedSilently()
    {
        Console c;
        c.rcv->setAnswer(MemberId::ReceiveFileName, Result::fail(75, QStringLiteral("bad path")));
        setText(c, "txtFaxfileWrite", QStringLiteral("C:\\no such folder\\x.sff"));
        c.takeCalls();
        c.click("cmdSendFaxG4");
        QCOMPARE(c.takeCalls().size(), 3);
        QVERIFY(c.failures.isEmpty());
        QCOMPARE(lastDebugLine(c), QStringLiteral("snd: SendFaxG4(...) result: True"));
        QCOMPARE(fixture::logBytes(), QByteArray("snd: SendFaxG4(...) result: True\r\n"));

        // The next run begins without resume-next: an early failure is reported again.
        c.snd->setAnswer(MemberId::SendFax, Result::fail(5, QStringLiteral("Invalid procedure call")));
        c.click("cmdSendFax");
        QCOMPARE(c.failures.size(), 1);
    }

    // What a component throws instead of reporting a failure is a failure too: reported
    // before resume-next, skipped after it, and never unwound through the event delivery.
    void thrownExceptionsFollowTheFailureRules_data()
    {
        QTest::addColumn<QString>("who");
        QTest::addColumn<int>("member");
        QTest::addColumn<QString>("thrown");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("text");
        const auto row = [](const char *tag, const char *who, MemberId m, const char *thrown,
                            int number = 0, const QString &text = {}) {
            QTest::newRow(tag) << QString::fromLatin1(who) << int(m) << QString::fromLatin1(thrown)
                               << number << text;
        };
        row("send: out of memory", "snd", MemberId::SendFax, "bad_alloc", 7, "Out of memory");
        row("send: std::exception", "snd", MemberId::SendFax, "runtime_error", 51,
            "Internal error: component bug");
        row("accept: other type", "rcv", MemberId::AcceptFax, "int", 51, "Internal error");
        row("receive file: skipped", "rcv", MemberId::ReceiveFileName, "runtime_error");
        row("receive file: out of memory skipped", "rcv", MemberId::ReceiveFileName, "bad_alloc");
    }
    void thrownExceptionsFollowTheFailureRules()
    {
        QFETCH(QString, who);
        QFETCH(int, member);
        QFETCH(QString, thrown);
        QFETCH(int, number);
        QFETCH(QString, text);
        Console c;
        c.endpoint(who)->setCallObserver([&](const fixture::Call &call) {
            if (call.member != MemberId(member))
                return;
            if (thrown == QLatin1String("bad_alloc"))
                throw std::bad_alloc();
            if (thrown == QLatin1String("runtime_error"))
                throw std::runtime_error("component bug");
            throw 42;
        });
        c.click("cmdSendFax");
        if (number != 0) {
            QCOMPARE(c.failures, (QList<std::pair<int, QString>>{{number, text}}));
            QCOMPARE(c.control<JournalList>("lbDebug")->count(), 0);
        } else {
            QVERIFY(c.failures.isEmpty());
            QCOMPARE(lastDebugLine(c), QStringLiteral("snd: SendFax(...) result: True"));
            QCOMPARE(fixture::logBytes(), QByteArray("snd: SendFax(...) result: True\r\n"));
        }
    }

    void sendWithTheLogNotOpenStillJournalsToTheList()
    {
        const QString logPath = fixture::logPath();
        QFile::remove(logPath);
        QVERIFY(QDir().mkpath(logPath)); // a folder where the log should go
        Console c;
        QCOMPARE(c.failures.size(), 1);
        QCOMPARE(c.failures[0].first, 75);
        c.failures.clear();
        c.click("cmdSendFax");
        QVERIFY(c.failures.isEmpty());
        QCOMPARE(lastDebugLine(c), QStringLiteral("snd: SendFax(...) result: True"));
        QVERIFY(QDir().rmdir(logPath));
    }

    // However the boxes spell it, a send never deletes the file it sends, nor the open log.
    void sendKeepsTheFaxWhenBothBoxesNameIt_data()
    {
        QTest::addColumn<QString>("receiveBox");
        QTest::newRow("same text") << QStringLiteral("C:\\tmp\\testfax.sff");
        QTest::newRow("forward slashes and dots") << QStringLiteral("c:/tmp/../tmp/./testfax.sff");
        QTest::newRow("local path") << local(QStringLiteral("C:\\tmp\\testfax.sff"));
        QTest::newRow("hard link") << QStringLiteral("C:\\tmp\\link.sff");
        QTest::newRow("the debug log") << QStringLiteral("C:\\faxdbg.log");
        QTest::newRow("the debug log, other spelling") << QStringLiteral("c:/tmp/../faxdbg.log");
    }
    void sendKeepsTheFaxWhenBothBoxesNameIt()
    {
        QFETCH(QString, receiveBox);
        QVERIFY(::link(QFile::encodeName(local(QStringLiteral("C:\\tmp\\testfax.sff"))).constData(),
                       QFile::encodeName(local(QStringLiteral("C:\\tmp\\link.sff"))).constData()) == 0);
        Console c;
        setText(c, "txtFaxfileWrite", receiveBox);
        c.takeCalls();
        c.click("cmdSendFax");
        QVERIFY(exists(QStringLiteral("C:\\tmp\\testfax.sff")));
        QVERIFY(exists(receiveBox));
        QCOMPARE(c.takeCalls().last(), QStringLiteral("rcv.ReceiveFileName=") + receiveBox);
        QCOMPARE(lastDebugLine(c), QStringLiteral("snd: SendFax(...) result: True"));
        QVERIFY(c.failures.isEmpty());
        QCOMPARE(fixture::logBytes(), QByteArray("snd: SendFax(...) result: True\r\n"));
    }

    void deletionRemovesAtMostTheNamedFile()
    {
        for (const char *name : {"a1.sff", "a2.sff", "ab.sff", "a*.sff"})
            writeFile(QStringLiteral("C:\\tmp\\") + QLatin1String(name));
        Console c;
        setText(c, "txtFaxfileWrite", QStringLiteral("C:\\tmp\\a?.sff"));
        c.click("cmdSendFax"); // no file of that name: nothing goes
        setText(c, "txtFaxfileWrite", QStringLiteral("C:\\tmp\\a*.sff"));
        c.click("cmdSendFax"); // exactly the file named with a star goes
        setText(c, "txtFaxfileWrite", QStringLiteral("C:\\tmp"));
        c.click("cmdSendFax"); // a folder is never deleted
        QVERIFY(!exists(QStringLiteral("C:\\tmp\\a*.sff")));
        for (const char *name : {"a1.sff", "a2.sff", "ab.sff", "testfax.sff"})
            QVERIFY2(exists(QStringLiteral("C:\\tmp\\") + QLatin1String(name)), name);
        QVERIFY(c.failures.isEmpty());
        QCOMPARE(c.control<JournalList>("lbDebug")->count(), 3);
    }

    void boxTextsPassUnchanged_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QString();
        QTest::newRow("spaces kept") << QStringLiteral("  6 ");
        QTest::newRow("non-ASCII") << QStringLiteral("Grüße 日本 ☎ \U0001F4E0");
        QTest::newRow("wildcards and quotes") << QStringLiteral("*?\"'<>|");
        QTest::newRow("1 MB") << QString(1 << 20, u'x');
    }
    void boxTextsPassUnchanged()
    {
        QFETCH(QString, text);
        Console c;
        // Pasted into each box as an operator would, then sent.
        const char *const boxes[] = {"txtCallNr", "txtOwnNr", "txtHeader", "txtSender", "txtFaxfileRead"};
        for (const char *name : boxes) {
            auto *box = c.control<QLineEdit>(name);
            box->setFocus();
            box->selectAll();
            QTest::keyClick(box, Qt::Key_Delete);
            QGuiApplication::clipboard()->setText(text);
            QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
            QCOMPARE(box->text(), text);
        }
        c.takeCalls();
        c.click("cmdSendFax");
        const QList<fixture::Call> calls = c.snd->calls();
        QCOMPARE(calls.size(), 3);
        QCOMPARE(calls[0].args, (QVariantList{text, text, text, text, text}));
        QCOMPARE(lastDebugLine(c), QStringLiteral("snd: SendFax(...) result: True"));
        QVERIFY(c.failures.isEmpty());
    }
};

QUILLON_TEST_MAIN(TestSending)
#include "tst_sending.moc"
