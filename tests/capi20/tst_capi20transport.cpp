// The libcapi20 transport against servers that misbehave as real ones do: one that is not
// there, one that never answers, one that splits frames, sends what does not decode and
// closes in the middle of a frame. libcapi20 keeps process-wide state, so each scenario runs
// in a child process of its own (this executable, started again with the scenario's name);
// the servers run in the test process. Every registration is released.

#include "capi20/capi20transport.h"
#include "capi20/connection.h"
#include "capi20/library.h"
#include "capi20/fakeserver.h"
#include "capi/message.h"
#include "common/testenv.h"

#include <QProcess>
#include <QThread>
#include <QTcpServer>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using capi20::Capi20Transport;
using capi20::FrameState;
using capi20test::FakeServer;
using Clock = std::chrono::steady_clock;

namespace {

// ---- the child side ------------------------------------------------------------------------

int g_failures = 0;

#define EXPECT(condition, ...)                                                                 \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            ++g_failures;                                                                      \
            fprintf(stderr, "line %d: expected %s: %s\n", __LINE__, #condition,                \
                    qPrintable(QString(__VA_ARGS__)));                                         \
        }                                                                                      \
    } while (0)

bool waitFor(const std::function<bool()> &done, int ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

qint64 msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

capi20::Config remote(int port)
{
    capi20::Config config;
    config.driver = QStringLiteral("rcapi");
    config.host = QStringLiteral("127.0.0.1");
    config.port = port;
    return config;
}

const capi::Registration kRegistration{1, 7, 2048};

// Registration must fail in time with a reason, and the window's events keep flowing.
int failsInTime(const capi20::Config &config, const QString &reason, int atLeastMs, int atMostMs)
{
    Capi20Transport line(config);
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);
    const auto start = Clock::now();
    const capi::RegisterResult r = line.registerApplication(kRegistration);
    const qint64 ms = msSince(start);
    EXPECT(!r.ok(), QString("registered as %1").arg(r.appId));
    EXPECT(r.error.contains(reason), r.error);
    EXPECT(ms >= atLeastMs && ms <= atMostMs, QString("answered after %1 ms").arg(ms));
    // A window that paints meanwhile: its timer ran all along.
    EXPECT(ticks >= int(ms / 20) / 2, QString("%1 ticks in %2 ms").arg(ticks).arg(ms));
    printf("%s\n", qPrintable(r.error));
    return g_failures;
}

int scenarioNotThere(int port)
{
    return failsInTime(remote(port), QStringLiteral("libcapi20"), 0, 2000);
}

int scenarioSilent(int port)
{
    capi20::Config config = remote(port);
    config.deadline = std::chrono::milliseconds(1500);
    failsInTime(config, QStringLiteral("no answer from remote CAPI 127.0.0.1"), 1400, 3000);
    // The stuck call was cut loose: the next registration gets its own full answer in time.
    failsInTime(config, QStringLiteral("no answer"), 1400, 3000);
    return g_failures;
}

int scenarioNoLibrary(int)
{
    capi20::Config config;
    config.libraryFile = QStringLiteral("libcapi20-not-here.so.3");
    return failsInTime(config, QStringLiteral("cannot load libcapi20-not-here.so.3"), 0, 2000);
}

int scenarioCall(int port)
{
    auto line = std::make_unique<Capi20Transport>(remote(port));
    std::vector<capi::Message> taken;
    QStringList diagnostics;
    QString lostWhy;
    QObject::connect(line.get(), &capi::Transport::messagesWaiting, [&](quint16 app) {
        while (std::optional<capi::Message> m = line->getMessage(app))
            taken.push_back(*m);
    });
    QObject::connect(line.get(), &capi::Transport::diagnostic,
                     [&](quint16, const QString &text) { diagnostics << text; });
    QObject::connect(line.get(), &capi::Transport::applicationLost,
                     [&](quint16, const QString &why) { lostWhy = why; });

    const capi::RegisterResult r = line->registerApplication(kRegistration);
    EXPECT(r.ok(), r.error);
    if (!r.ok())
        return g_failures;
    const quint16 app = r.appId;
    EXPECT(line->manufacturer(1) == QLatin1String("Fake exchange"), line->manufacturer(1));
    EXPECT(line->serialNumber(1) == QLatin1String("1234567"), line->serialNumber(1));
    EXPECT(line->version(1).capiMajor == 2 && line->version(1).manufacturerMajor == 3,
           line->version(1).text);
    EXPECT(line->profile(1).bChannels == 2, QString("%1 B channels").arg(line->profile(1).bChannels));

    capi::Message listen(capi::Command::Listen, capi::Subcommand::Req, app, 1);
    listen.number = 1;
    listen.cipMask = capi::cip::maskBit(capi::cip::FaxG3);
    EXPECT(line->putMessage(listen) == capi::info::Ok);
    const auto dataIndication = [&]() -> const capi::Message * {
        for (const capi::Message &m : taken)
            if (m.command == capi::Command::DataB3 && m.subcommand == capi::Subcommand::Ind)
                return &m;
        return nullptr;
    };
    EXPECT(waitFor([&] { return dataIndication() != nullptr; }, 5000), "no DATA_B3_IND");
    EXPECT(!taken.empty() && taken.front().command == capi::Command::Listen
               && taken.front().subcommand == capi::Subcommand::Conf,
           "the split LISTEN_CONF came first");
    if (const capi::Message *ind = dataIndication()) {
        EXPECT(ind->data == capi20test::indicationData(), QString::fromLatin1(ind->data));
        EXPECT(line->putMessage(ind->response()) == capi::info::Ok);
    }
    EXPECT(diagnostics.filter(QStringLiteral("does not decode")).size() == 1
               && diagnostics.filter(QStringLiteral("0c 00")).size() == 1,
           diagnostics.join(QStringLiteral(" | ")));

    // The window of unconfirmed blocks the server expects, and the largest block.
    const quint32 ncci = 0x10101;
    for (int i = 0; i < 7; ++i)
        EXPECT(line->putMessage(capi::Message::dataB3Req(app, ncci, QByteArray(2048, char('A' + i)),
                                                         quint16(i)))
                   == capi::info::Ok,
               QString("block %1").arg(i));
    EXPECT(line->putMessage(capi::Message::dataB3Req(app, ncci, QByteArray(2048, 'X'), 7))
           == capi::info::QueueFull);
    EXPECT(line->putMessage(capi::Message::dataB3Req(app, 0x20101, QByteArray(2049, 'X'), 8))
           == capi::info::DataLengthNotSupported);

    // The server closes in the middle of a frame: the application is lost, and nothing spins.
    capi::Message facility(capi::Command::Facility, capi::Subcommand::Req, app, 1);
    EXPECT(line->putMessage(facility) == capi::info::Ok);
    EXPECT(waitFor([&] { return !lostWhy.isEmpty(); }, 5000), "the loss was not reported");
    EXPECT(lostWhy.contains(QStringLiteral("closed")), lostWhy);
    const double cpuBefore = cpuSeconds();
    waitFor([] { return false; }, 500);
    EXPECT(cpuSeconds() - cpuBefore < 0.25, QString("%1 s of CPU while idle").arg(cpuSeconds() - cpuBefore));
    EXPECT(line->putMessage(listen) == capi::info::IllegalApplication);
    EXPECT(line->release(app) == capi::info::Ok);

    // And the next registration connects again.
    const capi::RegisterResult again = line->registerApplication(kRegistration);
    EXPECT(again.ok(), again.error);
    if (again.ok())
        EXPECT(line->release(again.appId) == capi::info::Ok);
    line.reset(); // waits for the releases
    return g_failures;
}

// Answers put inside a handler are held until it returns. A handler that waits in the event
// loop for the answer to what it put still gets it, and what it put before releasing its
// application reaches the server before the connection ends.
int scenarioHandlerWaits(int port)
{
    auto line = std::make_unique<Capi20Transport>(remote(port));
    const capi::RegisterResult r = line->registerApplication(kRegistration);
    EXPECT(r.ok(), r.error);
    if (!r.ok())
        return g_failures;
    capi::Message listen(capi::Command::Listen, capi::Subcommand::Req, r.appId, 1);
    listen.cipMask = capi::cip::maskBit(capi::cip::FaxG3);
    int listenConfs = 0, indications = 0;
    bool released = false;
    QObject::connect(line.get(), &capi::Transport::messagesWaiting, [&](quint16 app) {
        while (!released) {
            const std::optional<capi::Message> m = line->getMessage(app);
            if (!m)
                break;
            if (m->command == capi::Command::Listen && ++listenConfs == 1) {
                EXPECT(line->putMessage(listen) == capi::info::Ok);
                EXPECT(waitFor([&] { return listenConfs >= 2; }, 3000),
                       "the second LISTEN_REQ did not leave while its handler waited");
            } else if (m->command == capi::Command::DataB3 && ++indications == 2) {
                EXPECT(line->putMessage(m->response()) == capi::info::Ok);
                EXPECT(line->release(app) == capi::info::Ok);
                released = true;
            }
        }
    });
    EXPECT(line->putMessage(listen) == capi::info::Ok);
    EXPECT(waitFor([&] { return released; }, 5000),
           QString("%1 LISTEN_CONF, %2 DATA_B3_IND").arg(listenConfs).arg(indications));
    line.reset();
    return g_failures;
}

int runScenario(const QString &name, int port)
{
    if (name == QLatin1String("notthere"))
        return scenarioNotThere(port);
    if (name == QLatin1String("silent"))
        return scenarioSilent(port);
    if (name == QLatin1String("nolibrary"))
        return scenarioNoLibrary(port);
    if (name == QLatin1String("call"))
        return scenarioCall(port);
    if (name == QLatin1String("handlerwaits"))
        return scenarioHandlerWaits(port);
    fprintf(stderr, "no scenario %s\n", qPrintable(name));
    return 99;
}

// ---- the test side -------------------------------------------------------------------------

struct ChildResult
{
    int exitCode = -1;
    QString output;
};

ChildResult runChild(const QString &scenario, int port)
{
    QProcess child;
    child.setProgram(QCoreApplication::applicationFilePath());
    child.setArguments({QStringLiteral("--scenario"), scenario, QString::number(port)});
    child.start();
    ChildResult result;
    if (!child.waitForStarted(5000))
        return result;
    // The server of the scenario lives in this process's event loop.
    const auto end = Clock::now() + std::chrono::seconds(30);
    while (child.state() != QProcess::NotRunning && Clock::now() < end)
        QTest::qWait(10);
    if (child.state() != QProcess::NotRunning) {
        child.kill();
        child.waitForFinished(2000);
        result.output = QStringLiteral("timed out");
        return result;
    }
    result.exitCode = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -2;
    result.output = QString::fromLocal8Bit(child.readAllStandardOutput() + child.readAllStandardError());
    return result;
}

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

class TestCapi20Transport : public QObject
{
    Q_OBJECT

private slots:
    void frameCheck_data();
    void frameCheck();
    void frameRunCheck();
    void stuckCallIsCutLoose();
    void sigpipeDoesNotEndTheProcess();
    void serverNotThere();
    void libraryNotThere();
    void silentServer();
    void callAgainstAFakeServer();
    void handlerWaitsForItsAnswer();
};

void TestCapi20Transport::frameCheck_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("peerCloses");
    QTest::addColumn<int>("expected");

    const QByteArray whole("\x00\x06" "abcd", 6);
    QTest::newRow("nothing") << QByteArray() << false << int(FrameState::Nothing);
    QTest::newRow("closed") << QByteArray() << true << int(FrameState::Closed);
    QTest::newRow("half the length") << whole.left(1) << false << int(FrameState::Partial);
    QTest::newRow("length only") << whole.left(2) << false << int(FrameState::Partial);
    QTest::newRow("all but one byte") << whole.left(5) << false << int(FrameState::Partial);
    QTest::newRow("whole") << whole << false << int(FrameState::Whole);
    QTest::newRow("whole and more") << whole + whole.left(3) << false << int(FrameState::Whole);
    QTest::newRow("whole, then closed") << whole << true << int(FrameState::Whole);
    QTest::newRow("closed inside the length") << whole.left(1) << true << int(FrameState::Closed);
    QTest::newRow("closed inside the body") << whole.left(4) << true << int(FrameState::Closed);
    QTest::newRow("length field too small") << QByteArray("\x00\x01", 2) << false
                                            << int(FrameState::Broken);
}

void TestCapi20Transport::frameCheck()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, peerCloses);
    QFETCH(int, expected);
    int pair[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    if (!bytes.isEmpty())
        QCOMPARE(::write(pair[1], bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
    if (peerCloses)
        ::close(pair[1]);
    const capi20::FrameCheck check = capi20::checkFrame(pair[0]);
    QCOMPARE(int(check.state), expected);
    // Looking consumed nothing.
    if (!bytes.isEmpty()) {
        int waiting = 0;
        QCOMPARE(::ioctl(pair[0], FIONREAD, &waiting), 0);
        QCOMPARE(waiting, int(bytes.size()));
    }
    ::close(pair[0]);
    if (!peerCloses)
        ::close(pair[1]);

    int pipeFds[2];
    QCOMPARE(::pipe(pipeFds), 0);
    QCOMPARE(capi20::checkFrame(pipeFds[0]).state, FrameState::NotSocket);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

void TestCapi20Transport::frameRunCheck()
{
    // A run of frames read one by one with the count carried between the checks: each frame
    // is whole only once all its bytes are there, also when the count is stale.
    int pair[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const QByteArray first("\x00\x06" "abcd", 6);
    const QByteArray second("\x00\x09" "efghijk", 9);
    const QByteArray third("\x00\x05" "lmn", 5);
    const QByteArray sent = first + second + third.left(3);
    QCOMPARE(::write(pair[1], sent.constData(), size_t(sent.size())), ssize_t(sent.size()));
    int waiting = -1;
    const auto takeFrame = [&](const QByteArray &expected) {
        const capi20::FrameCheck check = capi20::checkFrame(pair[0], &waiting);
        QCOMPARE(int(check.state), int(FrameState::Whole));
        QCOMPARE(check.length, int(expected.size()));
        QByteArray read(check.length, '\0');
        QCOMPARE(::read(pair[0], read.data(), size_t(read.size())), ssize_t(read.size()));
        QCOMPARE(read, expected);
        waiting -= check.length;
    };
    takeFrame(first);
    QCOMPARE(waiting, int(sent.size() - first.size())); // the kernel was asked once
    takeFrame(second);
    QCOMPARE(int(capi20::checkFrame(pair[0], &waiting).state), int(FrameState::Partial));
    QCOMPARE(waiting, 3);
    // The rest arrives: the count is stale and is asked for again.
    QCOMPARE(::write(pair[1], third.constData() + 3, 2), ssize_t(2));
    takeFrame(third);
    QCOMPARE(waiting, 0);
    QCOMPARE(int(capi20::checkFrame(pair[0], &waiting).state), int(FrameState::Nothing));
    ::close(pair[0]);
    ::close(pair[1]);
}

void TestCapi20Transport::stuckCallIsCutLoose()
{
    // A blocking read on a connection opened after the snapshot returns once it is shut down;
    // the listening socket and older connections stay as they were.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const std::vector<int> before = capi20::openDescriptors();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server.serverPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    std::atomic<bool> returned{false};
    std::thread reader([&] {
        char byte;
        (void)::recv(fd, &byte, 1, 0);
        returned = true;
    });
    QTest::qWait(100);
    const bool blocked = !returned;
    // The connection and its other end in the server, both opened after the snapshot.
    const int shut = capi20::shutdownNewTcpSockets(before);
    reader.join();
    ::close(fd);
    QVERIFY(blocked);
    QVERIFY(shut >= 1);
    QVERIFY(server.isListening());
}

void TestCapi20Transport::sigpipeDoesNotEndTheProcess()
{
    // Writes on the library's thread to a connection whose peer is gone fail, not kill.
    int pair[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ::close(pair[1]);
    std::mutex mutex;
    std::condition_variable changed;
    int error = 0;
    bool done = false;
    capi20::Library::instance().post([&] {
        ssize_t n = 0;
        for (int i = 0; i < 3 && n >= 0; ++i)
            n = ::write(pair[0], "x", 1);
        std::lock_guard lock(mutex);
        error = n < 0 ? errno : 0;
        done = true;
        changed.notify_all();
    });
    std::unique_lock lock(mutex);
    QVERIFY(changed.wait_for(lock, std::chrono::seconds(5), [&] { return done; }));
    QCOMPARE(error, EPIPE);
    ::close(pair[0]);
}

void TestCapi20Transport::serverNotThere()
{
    const ChildResult r = runChild(QStringLiteral("notthere"), freePort());
    QVERIFY2(r.exitCode == 0, qPrintable(r.output));
}

void TestCapi20Transport::libraryNotThere()
{
    const ChildResult r = runChild(QStringLiteral("nolibrary"), 0);
    QVERIFY2(r.exitCode == 0, qPrintable(r.output));
}

void TestCapi20Transport::silentServer()
{
    FakeServer server(FakeServer::Mode::Silent);
    const ChildResult r = runChild(QStringLiteral("silent"), server.port());
    QVERIFY2(r.exitCode == 0, qPrintable(r.output));
    // Every connection the stuck calls opened was shut down.
    QTRY_COMPARE_WITH_TIMEOUT(server.closed, server.connections, 2000);
    QVERIFY(server.connections >= 2);
}

void TestCapi20Transport::callAgainstAFakeServer()
{
    FakeServer server(FakeServer::Mode::Answering);
    const ChildResult r = runChild(QStringLiteral("call"), server.port());
    QVERIFY2(r.exitCode == 0, qPrintable(r.output));
    // The seven blocks of the window arrived whole, in order; the eighth was held back.
    QCOMPARE(server.blocks.size(), 7);
    for (int i = 0; i < 7; ++i)
        QCOMPARE(server.blocks[i], QByteArray(2048, char('A' + i)));
    QCOMPARE(server.dataResponses, 1);
    QTRY_COMPARE_WITH_TIMEOUT(server.closed, server.connections, 2000);
}

void TestCapi20Transport::handlerWaitsForItsAnswer()
{
    FakeServer server(FakeServer::Mode::Answering);
    const ChildResult r = runChild(QStringLiteral("handlerwaits"), server.port());
    QVERIFY2(r.exitCode == 0, qPrintable(r.output));
    // The response put just before the release was sent before the connection closed.
    QTRY_COMPARE_WITH_TIMEOUT(server.closed, server.connections, 2000);
    QCOMPARE(server.dataResponses, 1);
}

int main(int argc, char **argv)
{
    testenv::isolate();
    QCoreApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--scenario") == 0)
        return runScenario(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt()) ? 1 : 0;
    TestCapi20Transport tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_capi20transport.moc"
