// quillon-exchange: the simulated ISDN line served as a remote-CAPI controller over TCP.

#include "exchange/server.h"
#include "simline/numberplan.h"
#include "simline/simulatedline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

void printLine(const QString &line)
{
    const QByteArray text = (QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) +
                             QLatin1Char(' ') + line + QLatin1Char('\n'))
                                .toUtf8();
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

[[noreturn]] void fail(const QString &text)
{
    std::fprintf(stderr, "quillon-exchange: %s\n", qPrintable(text));
    std::exit(2);
}

// A B channel carries 64 kbit/s; --speed scales the pace.
constexpr quint32 ChannelRate = 64000;

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillon-exchange"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLON_EXCHANGE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The simulated ISDN exchange, served as a remote-CAPI controller."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption listen(QStringLiteral("listen"), QStringLiteral("Address and port to listen on."),
                                    QStringLiteral("ADDR:PORT"), QStringLiteral("127.0.0.1:2662"));
    const QCommandLineOption channels(QStringLiteral("channels"),
                                      QStringLiteral("B channels; a call takes two (default 2)."),
                                      QStringLiteral("N"), QStringLiteral("2"));
    const QCommandLineOption numbers(QStringLiteral("numbers"), QStringLiteral("Number plan file."),
                                     QStringLiteral("FILE"));
    const QCommandLineOption maxClients(QStringLiteral("max-clients"),
                                        QStringLiteral("Connections at once (default 64)."),
                                        QStringLiteral("N"), QStringLiteral("64"));
    const QCommandLineOption speed(QStringLiteral("speed"),
                                   QStringLiteral("Pace: 1 as a real line, 0 unpaced, else a factor."),
                                   QStringLiteral("F"), QStringLiteral("1"));
    const QCommandLineOption trace(QStringLiteral("trace"), QStringLiteral("Log every CAPI message."));
    parser.addOptions({listen, channels, numbers, maxClients, speed, trace});
    parser.process(app);

    const QString listenText = parser.value(listen);
    const qsizetype colon = listenText.lastIndexOf(QLatin1Char(':'));
    bool portOk = false;
    const uint port = colon > 0 ? listenText.mid(colon + 1).toUInt(&portOk) : 0;
    QString host = colon > 0 ? listenText.left(colon) : QString();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    const QHostAddress address(host);
    if (!portOk || port > 65535 || address.isNull())
        fail(QStringLiteral("--listen wants ADDR:PORT, not \"%1\"").arg(listenText));
    bool ok = false;
    const int channelCount = parser.value(channels).toInt(&ok);
    if (!ok || channelCount < 1)
        fail(QStringLiteral("--channels wants a positive number, not \"%1\"").arg(parser.value(channels)));
    const int clientCap = parser.value(maxClients).toInt(&ok);
    if (!ok || clientCap < 1 || clientCap > 65535)
        fail(QStringLiteral("--max-clients wants a number from 1 to 65535, not \"%1\"").arg(parser.value(maxClients)));
    const double speedFactor = parser.value(speed).toDouble(&ok);
    if (!ok || speedFactor < 0 || speedFactor > 1e6)
        fail(QStringLiteral("--speed wants a factor of 0 or more, not \"%1\"").arg(parser.value(speed)));
    simline::FaultPlan plan = simline::builtInNumberPlan();
    if (parser.isSet(numbers)) {
        QString error;
        auto loaded = simline::loadNumberPlan(parser.value(numbers), &error);
        if (!loaded)
            fail(QStringLiteral("--numbers: %1").arg(error));
        plan = *loaded;
    }

    simline::SimulatedLine line;
    line.setFaultPlan(plan);
    line.setChannels(channelCount);
    line.setMaxApplications(clientCap);
    line.setRate(ChannelRate);
    line.setSpeed(speedFactor);

    exchange::ServerOptions options;
    options.maxClients = clientCap;
    options.trace = parser.isSet(trace);
    options.manufacturer = QStringLiteral("Quillon simulated exchange %1").arg(QStringLiteral(QUILLON_EXCHANGE_VERSION));
    options.version.capiMajor = 2;
    options.version.capiMinor = 0;
    options.version.manufacturerMajor = QUILLON_EXCHANGE_VERSION_MAJOR;
    options.version.manufacturerMinor = QUILLON_EXCHANGE_VERSION_MINOR;
    options.serialNumber = QStringLiteral("SX%1").arg(QStringLiteral(QUILLON_EXCHANGE_VERSION)).left(7);

    exchange::Server server(line, options);
    QObject::connect(&server, &exchange::Server::logLine, &printLine);
    QObject::connect(&server, &exchange::Server::finished, &app, &QCoreApplication::quit);

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        fail(QStringLiteral("cannot create the signal pipe"));
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &server, [&] {
        char c = 0;
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &c, 1);
        server.shutdown();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (!server.listen(address, quint16(port)))
        fail(QStringLiteral("cannot listen on %1: %2").arg(listenText, server.errorString()));
    printLine(QStringLiteral("%1, %2 channel(s), speed %3, at most %4 client(s)")
                  .arg(options.manufacturer)
                  .arg(channelCount)
                  .arg(speedFactor)
                  .arg(clientCap));
    return app.exec();
}
