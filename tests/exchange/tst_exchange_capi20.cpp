// The exchange with libcapi20 as its client: each application is a child process of its
// own (the library keeps global state per process), its server named in ~/.capi20rc.

#include "exchangeprocess.h"
#include "rawclient.h"

#include "simline/sffsample.h"
#include "common/testenv.h"
#include "t30/faxpages.h"

#include <QDir>
#include <QProcess>

class TestExchangeCapi20 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void controllerAndRegistration();
    void faxBetweenTwoProcesses_data();
    void faxBetweenTwoProcesses();
    void callerLostInMidCall();

private:
    // A client process of the scenario; its output is read with value().
    std::unique_ptr<QProcess> start(quint16 port, const QStringList &arguments);
    static QString value(const QByteArray &output, const QString &key);
    // Until the receiver's LISTEN_REQ is confirmed; keeps its output for value().
    bool waitListening(QProcess &receiver);
    QByteArray m_receiverOutput;
    QTemporaryDir m_home;
};

void TestExchangeCapi20::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY2(QFileInfo(QStringLiteral("/dev/shm")).isWritable(), "libcapi20 needs a writable /dev/shm");
}

std::unique_ptr<QProcess> TestExchangeCapi20::start(quint16 port, const QStringList &arguments)
{
    // The library's parser drops the last character of each line: end with a blank line.
    QFile rc(m_home.filePath(QStringLiteral(".capi20rc")));
    if (!rc.open(QIODevice::WriteOnly))
        return nullptr;
    rc.write(QStringLiteral("REMOTE rcapi 127.0.0.1 %1\nTRACELEVEL 0\n\n").arg(port).toLatin1());
    rc.close();
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_home.path());
    p->setProcessEnvironment(env);
    p->start(QStringLiteral(QUILLON_CAPI20_CLIENT), arguments);
    if (!p->waitForStarted(5000))
        return nullptr;
    return p;
}

QString TestExchangeCapi20::value(const QByteArray &output, const QString &key)
{
    for (const QByteArray &line : output.split('\n')) {
        const QString text = QString::fromUtf8(line);
        if (text.startsWith(key + QLatin1Char(' ')))
            return text.mid(key.size() + 1);
    }
    return {};
}

bool TestExchangeCapi20::waitListening(QProcess &receiver)
{
    m_receiverOutput.clear();
    QElapsedTimer t;
    t.start();
    while (!m_receiverOutput.contains("listening 1") && t.elapsed() < 10000) {
        receiver.waitForReadyRead(100);
        m_receiverOutput += receiver.readAllStandardOutput();
    }
    return m_receiverOutput.contains("listening 1");
}

void TestExchangeCapi20::controllerAndRegistration()
{
    ExchangeProcess exchange({QStringLiteral("--channels"), QStringLiteral("30")});
    QVERIFY(exchange.port());
    auto client = start(exchange.port(), {QStringLiteral("info")});
    QVERIFY(client);
    QVERIFY(client->waitForFinished(10000));
    const QByteArray out = client->readAllStandardOutput();
    QCOMPARE(client->exitCode(), 0);
    QVERIFY2(value(out, QStringLiteral("manufacturer")).startsWith(QStringLiteral("Quillon simulated exchange")), out);
    QVERIFY(value(out, QStringLiteral("serial")).startsWith(QStringLiteral("SX")));
    QCOMPARE(value(out, QStringLiteral("version")), QStringLiteral("2.0 %1.%2").arg(QUILLON_VERSION_MAJOR).arg(QUILLON_VERSION_MINOR));
    QCOMPARE(value(out, QStringLiteral("profile")), QStringLiteral("0 controllers 1"));
    QCOMPARE(value(out, QStringLiteral("channels")), QStringLiteral("30"));
    QCOMPARE(value(out, QStringLiteral("register")), QStringLiteral("0"));
    QCOMPARE(value(out, QStringLiteral("release")), QStringLiteral("0"));
    QVERIFY(exchange.waitForLog(QStringLiteral("released: app 1")));
}

void TestExchangeCapi20::faxBetweenTwoProcesses_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<bool>("impaired"); // the built-in number's line fails the T.30 call
    QTest::newRow("a number that answers") << "123" << false;
    QTest::newRow("998, a drop-out in the first page") << "998" << true;
}

void TestExchangeCapi20::faxBetweenTwoProcesses()
{
    QFETCH(QString, number);
    QFETCH(bool, impaired);
    ExchangeProcess exchange({QStringLiteral("--speed"), QStringLiteral("0")});
    QVERIFY(exchange.port());
    const QString sent = m_home.filePath(QStringLiteral("sent.sff"));
    const QString received = m_home.filePath(QStringLiteral("received.sff"));
    const QByteArray document = sffSample(3, 400);
    QFile f(sent);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(document);
    f.close();
    auto receiver = start(exchange.port(), {QStringLiteral("receive"), received});
    QVERIFY(receiver);
    QVERIFY(waitListening(*receiver));
    auto sender = start(exchange.port(), {QStringLiteral("send"), number, sent});
    QVERIFY(sender);
    QVERIFY(sender->waitForFinished(20000));
    QVERIFY(receiver->waitForFinished(20000));
    const QByteArray sendOut = sender->readAllStandardOutput();
    const QByteArray receiveOut = m_receiverOutput + receiver->readAllStandardOutput();
    QVERIFY2(sender->exitCode() == 0, sendOut);
    QVERIFY2(receiver->exitCode() == 0, receiveOut);
    if (impaired) {
        // Both ends learn of the lost carrier as T.30 failed: remote abort or procedure error.
        const QStringList failures{QStringLiteral("3314"), QStringLiteral("3315")};
        QVERIFY2(failures.contains(value(sendOut, QStringLiteral("reason-b3"))), sendOut);
        QVERIFY2(failures.contains(value(receiveOut, QStringLiteral("reason-b3"))), receiveOut);
        return;
    }
    QCOMPARE(value(sendOut, QStringLiteral("reason-b3")), QStringLiteral("0"));
    QCOMPARE(value(receiveOut, QStringLiteral("reason-b3")), QStringLiteral("0"));
    QFile in(received);
    QVERIFY(in.open(QIODevice::ReadOnly));
    // The exchange's controllers ran a T.30 call; its sender printed the head line on top.
    QString why;
    QVERIFY2(faxtest::samePagesBelowHeadLine(document, in.readAll(), &why), qPrintable(why));
    const QString log = exchange.log();
    QVERIFY2(log.contains(QStringLiteral("page 3:")), qPrintable(log));
    QVERIFY(log.contains(QStringLiteral("3 page(s)")));
}

void TestExchangeCapi20::callerLostInMidCall()
{
    ExchangeProcess exchange({QStringLiteral("--speed"), QStringLiteral("0")});
    QVERIFY(exchange.port());
    auto receiver = start(exchange.port(), {QStringLiteral("receive"), m_home.filePath(QStringLiteral("part.sff"))});
    QVERIFY(receiver);
    QVERIFY(waitListening(*receiver));
    // A raw caller sends part of a document, then its connection is cut.
    RawClient caller(exchange.port());
    QCOMPARE(caller.registerApp(), quint16(0));
    capi::Message connect(capi::Command::Connect, capi::Subcommand::Req, 0, 1);
    connect.cip = capi::cip::FaxG3;
    connect.calledParty.digits = QStringLiteral("55");
    connect.bProtocol = capi::BProtocol::faxG3({});
    caller.put(connect);
    const auto conf = caller.waitFor(capi::Command::Connect, capi::Subcommand::Conf);
    QVERIFY(conf);
    QVERIFY(caller.waitFor(capi::Command::ConnectActive, capi::Subcommand::Ind));
    caller.put(capi::Message(capi::Command::ConnectB3, capi::Subcommand::Req, 0, conf->address));
    const auto active = caller.waitFor(capi::Command::ConnectB3Active, capi::Subcommand::Ind);
    QVERIFY(active);
    caller.put(capi::Message::dataB3Req(0, active->address, sffSample(2).left(1000), 1));
    QVERIFY(caller.waitFor(capi::Command::DataB3, capi::Subcommand::Conf));
    caller.socket().abort();
    QVERIFY(receiver->waitForFinished(10000));
    const QByteArray out = m_receiverOutput + receiver->readAllStandardOutput();
    QCOMPARE(receiver->exitCode(), 0);
    // A T.30 transmitter sends a document once it is whole: nothing of it came through.
    QCOMPARE(value(out, QStringLiteral("received")), QStringLiteral("0"));
    QCOMPARE(value(out, QStringLiteral("reason")), QStringLiteral("3490"));
    QVERIFY(!value(out, QStringLiteral("reason-b3")).isEmpty());
}

QUILLON_TEST_GUILESS_MAIN(TestExchangeCapi20)
#include "tst_exchange_capi20.moc"
