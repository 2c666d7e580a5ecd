// A client's connection on a socket with small buffers: what the socket does not take at
// once must still leave, whole and in order, as the peer reads, and close() writes all of it
// before it closes.

#include "exchange/connection.h"

#include "common/testenv.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

class TestConnection : public QObject
{
    Q_OBJECT

private slots:
    void queuedOutputLeaves_data();
    void queuedOutputLeaves();
};

void TestConnection::queuedOutputLeaves_data()
{
    QTest::addColumn<int>("frames");
    QTest::addColumn<bool>("closeAfter");
    QTest::newRow("within the socket's buffer") << 2 << false;
    QTest::newRow("beyond it, the peer reading slowly") << 200 << false;
    QTest::newRow("beyond it, then closed") << 200 << true;
}

void TestConnection::queuedOutputLeaves()
{
    QFETCH(int, frames);
    QFETCH(bool, closeAfter);
    int fds[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    const int small = 4096;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);

    exchange::SocketSet sockets;
    auto connection = std::make_unique<exchange::Connection>(fds[0], sockets, exchange::ConnectionLimits{});
    int closed = 0;
    QString failure;
    connect(connection.get(), &exchange::Connection::closed, this, [&] { ++closed; });
    connect(connection.get(), &exchange::Connection::failed, this, [&](const QString &why) { failure = why; });
    QByteArray expected;
    for (int i = 0; i < frames; ++i) {
        const QByteArray f = exchange::frame(QByteArray(1000, char(i)));
        expected += f;
        QVERIFY(connection->send(f));
    }
    connection->flush();
    if (closeAfter)
        connection->close();

    QByteArray received;
    bool atEnd = false;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000 && !(received.size() >= expected.size() && (atEnd || !closeAfter))) {
        QCoreApplication::processEvents();
        char chunk[700];
        const ssize_t r = ::recv(fds[1], chunk, sizeof chunk, 0);
        if (r > 0)
            received.append(chunk, r);
        atEnd = r == 0;
        if (r < 0)
            QTest::qWait(1);
    }
    QCoreApplication::processEvents();
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QCOMPARE(received.size(), expected.size());
    QVERIFY(received == expected);
    QCOMPARE(atEnd, closeAfter);
    QCOMPARE(closed, closeAfter ? 1 : 0);
    QCOMPARE(connection->isOpen(), !closeAfter);
    connection.reset();
    ::close(fds[1]);
}

QUILLON_TEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
