// A CAPI application on libcapi20, run by tst_exchange_capi20 as a child process (the
// library keeps global state per process). Its server comes from ~/.capi20rc.
//   capi20client info                   controller data, a register and a release
//   capi20client receive OUTFILE        answers one fax call, writes what it received
//   capi20client send NUMBER INFILE     sends INFILE as a G3 fax to NUMBER
//   capi20client hold NUMBER            calls NUMBER and stays in the call until killed
// It prints "key value" lines for the test to read, and exits 0 when the scenario ran.

#define __NO_CAPIUTILS__
#include <capi20.h>

#include "capi/message.h"
#include "capi/trace.h"

#include <QByteArray>
#include <QFile>

#include <cstdio>
#include <cstring>
#include <optional>
#include <sys/time.h>

namespace {

constexpr unsigned BufferSize = 2176; // the library writes up to this much into a put buffer
unsigned g_app = 0;

void say(const char *key, const QString &value)
{
    std::printf("%s %s\n", key, qPrintable(value));
    std::fflush(stdout);
}

bool put(const capi::Message &m)
{
    capi::Message out = m;
    out.appId = quint16(g_app);
    static unsigned char buffer[BufferSize];
    std::memset(buffer, 0, sizeof buffer);
    if (out.command == capi::Command::DataB3 && out.subcommand == capi::Subcommand::Req) {
        // The 64-bit form carries the pointer to the data; the library copies it.
        out.data64 = quint64(reinterpret_cast<quintptr>(out.data.constData()));
        out.dataPointer = 0;
    }
    const QByteArray bytes = capi::encode(out);
    if (bytes.isEmpty() || bytes.size() > int(BufferSize))
        return false;
    std::memcpy(buffer, bytes.constData(), size_t(bytes.size()));
    const unsigned r = capi20_put_message(g_app, buffer);
    if (r != 0)
        say("put-error", QString::number(r, 16));
    return r == 0;
}

// The next message within `seconds`, its DATA_B3_IND data read through the 64-bit pointer.
std::optional<capi::Message> get(int seconds)
{
    timeval tv{seconds, 0};
    if (capi20_waitformessage(g_app, &tv) != 0)
        return std::nullopt;
    unsigned char *raw = nullptr;
    if (capi20_get_message(g_app, &raw) != 0 || !raw)
        return std::nullopt;
    const quint16 length = quint16(raw[0] | (raw[1] << 8));
    capi::DecodeResult r = capi::decode(QByteArrayView(reinterpret_cast<const char *>(raw), length));
    if (!r) {
        say("undecodable", QByteArray(reinterpret_cast<const char *>(raw), length).toHex());
        return std::nullopt;
    }
    capi::Message m = r.message();
    if (m.command == capi::Command::DataB3 && m.subcommand == capi::Subcommand::Ind) {
        const char *data = m.data64 ? reinterpret_cast<const char *>(quintptr(*m.data64))
                                    : reinterpret_cast<const char *>(quintptr(m.dataPointer));
        m.data = QByteArray(data, m.dataLength);
    }
    return m;
}

// Answers what needs an answer; returns the message for the caller to look at.
std::optional<capi::Message> step(int seconds = 5)
{
    std::optional<capi::Message> m = get(seconds);
    if (m && m->subcommand == capi::Subcommand::Ind && m->command != capi::Command::Connect)
        put(m->response());
    if (m && m->command == capi::Command::DisconnectB3 && m->subcommand == capi::Subcommand::Ind)
        say("reason-b3", QString::number(m->reason, 16));
    if (m && m->command == capi::Command::Disconnect && m->subcommand == capi::Subcommand::Ind)
        say("reason", QString::number(m->reason, 16));
    return m;
}

bool registerApp()
{
    const unsigned r = capi20_register(2, 7, 2048, &g_app);
    say("register", QString::number(r, 16));
    return r == 0;
}

int info()
{
    unsigned char text[128] = {};
    capi20_get_manufacturer(0, text);
    say("manufacturer", QString::fromLatin1(reinterpret_cast<char *>(text)));
    unsigned version[4] = {};
    capi20_get_version(1, reinterpret_cast<unsigned char *>(version));
    say("version", QStringLiteral("%1.%2 %3.%4").arg(version[0]).arg(version[1]).arg(version[2]).arg(version[3]));
    std::memset(text, 0, sizeof text);
    capi20_get_serial_number(1, text);
    say("serial", QString::fromLatin1(reinterpret_cast<char *>(text)));
    unsigned char profile[64] = {};
    const unsigned p = capi20_get_profile(0, profile);
    say("profile", QStringLiteral("%1 controllers %2").arg(p, 0, 16).arg(profile[0] | (profile[1] << 8)));
    capi20_get_profile(1, profile);
    say("channels", QString::number(profile[2] | (profile[3] << 8)));
    if (!registerApp())
        return 1;
    say("release", QString::number(capi20_release(g_app), 16));
    return 0;
}

capi::BProtocol faxProtocol(const char *station)
{
    capi::FaxB3Configuration config;
    config.stationId = QString::fromLatin1(station);
    return capi::BProtocol::faxG3(config);
}

int receive(const char *path)
{
    if (!registerApp())
        return 1;
    capi::Message listen(capi::Command::Listen, capi::Subcommand::Req, 0, 1);
    listen.cipMask = capi::cip::maskBit(capi::cip::FaxG3);
    put(listen);
    std::optional<capi::Message> conf;
    do
        conf = step(5);
    while (conf && conf->command != capi::Command::Listen);
    if (!conf || conf->info != 0)
        return 1;
    say("listening", QStringLiteral("1"));
    QByteArray received;
    for (;;) {
        std::optional<capi::Message> m = step(20);
        if (!m)
            break;
        if (m->command == capi::Command::Connect && m->subcommand == capi::Subcommand::Ind) {
            capi::Message answer = m->response();
            answer.bProtocol = faxProtocol("RECEIVER");
            put(answer);
        }
        if (m->command == capi::Command::DataB3 && m->subcommand == capi::Subcommand::Ind)
            received += m->data;
        if (m->command == capi::Command::Disconnect && m->subcommand == capi::Subcommand::Ind)
            break;
    }
    QFile out(QString::fromLocal8Bit(path));
    if (!out.open(QIODevice::WriteOnly) || out.write(received) != received.size())
        return 1;
    say("received", QString::number(received.size()));
    capi20_release(g_app);
    return 0;
}

int send(const char *number, const char *path, bool hold)
{
    QByteArray document;
    if (!hold) {
        QFile in(QString::fromLocal8Bit(path));
        if (!in.open(QIODevice::ReadOnly))
            return 1;
        document = in.readAll();
    }
    if (!registerApp())
        return 1;
    capi::Message connect(capi::Command::Connect, capi::Subcommand::Req, 0, 1);
    connect.number = 1;
    connect.cip = capi::cip::FaxG3;
    connect.calledParty.digits = QString::fromLatin1(number);
    connect.callingParty.digits = QStringLiteral("100");
    connect.bProtocol = faxProtocol("SENDER");
    put(connect);
    quint32 plci = 0, ncci = 0;
    qsizetype offset = 0;
    int unconfirmed = 0;
    quint16 handle = 0, nextNumber = 2;
    bool ended = false;
    while (!ended) {
        std::optional<capi::Message> m = step(20);
        if (!m)
            break;
        using C = capi::Command;
        using S = capi::Subcommand;
        if (m->command == C::Connect && m->subcommand == S::Conf)
            plci = m->address;
        if (m->command == C::ConnectActive && m->subcommand == S::Ind) {
            capi::Message b3(C::ConnectB3, S::Req, 0, plci);
            b3.number = nextNumber++;
            put(b3);
        }
        if (m->command == C::ConnectB3Active && m->subcommand == S::Ind) {
            ncci = m->address;
            say("connected", QStringLiteral("1"));
        }
        if (m->command == C::DataB3 && m->subcommand == S::Conf)
            --unconfirmed;
        if (m->command == C::Disconnect && m->subcommand == S::Ind)
            ended = true;
        if (ncci && !hold) {
            while (unconfirmed < 7 && offset < document.size()) {
                capi::Message data = capi::Message::dataB3Req(0, ncci, document.mid(offset, 2048), handle++);
                data.number = nextNumber++;
                if (!put(data))
                    return 1;
                offset += data.data.size();
                ++unconfirmed;
            }
            if (offset == document.size() && unconfirmed == 0) {
                capi::Message end(C::DisconnectB3, S::Req, 0, ncci);
                end.number = nextNumber++;
                put(end);
                ncci = 0;
            }
        }
        if (m->command == C::DisconnectB3 && m->subcommand == S::Ind) {
            capi::Message clear(C::Disconnect, S::Req, 0, plci);
            clear.number = nextNumber++;
            put(clear);
        }
    }
    say("sent", QString::number(offset));
    capi20_release(g_app);
    return ended ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    capi20ext_set_tracelevel(0);
    // Loads the driver named in ~/.capi20rc.
    if (capi20_isinstalled() != 0) {
        say("installed", QStringLiteral("no"));
        return 1;
    }
    if (argc >= 2 && !std::strcmp(argv[1], "info"))
        return info();
    if (argc >= 3 && !std::strcmp(argv[1], "receive"))
        return receive(argv[2]);
    if (argc >= 4 && !std::strcmp(argv[1], "send"))
        return send(argv[2], argv[3], false);
    if (argc >= 3 && !std::strcmp(argv[1], "hold"))
        return send(argv[2], nullptr, true);
    std::fprintf(stderr, "usage: capi20client info | receive OUT | send NUMBER IN | hold NUMBER\n");
    return 2;
}
