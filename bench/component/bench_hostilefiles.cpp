// Files an operator may name as the file to send that are no fax: how long SendFax holds the
// window's thread for each, how long until the send is refused or its call ends, and the
// process's peak memory meanwhile. Each case is one SendFax on the component's code over an
// unpaced simulated line, in one process and one run.
//
// Cases: /dev/zero (a device that never ends), a FIFO with no writer, a 200 MB document of 11.1
// million empty pages (refused past its 65,535th), and a 200 MB document that is valid (one
// page, its lines behind 200 MB of user information records), which is sent.

#include "component/factory.h"
#include "component/lineprovider.h"
#include "simline/simulatedline.h"
#include "endpoint/quillonboundary.h"
#include "bench/common/procstatus.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QWidget>

#include <cstdio>
#include <memory>

#include <sys/stat.h>

namespace {

using benchstatus::procStatusKb;

bool resetPeak()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

QByteArray le16(quint16 v)
{
    QByteArray b;
    b.append(char(v & 0xFF));
    b.append(char(v >> 8));
    return b;
}

QByteArray documentHeader()
{
    QByteArray h = QByteArray::fromHex("53666666") + char(1) + char(0) + le16(0) + le16(0)
                   + le16(0x14);
    h += QByteArray(8, '\0');
    return h;
}

QByteArray pageHeader()
{
    QByteArray p;
    p += char(254);
    p += char(16);
    p += QByteArray::fromHex("00000000") + le16(1728) + le16(0);
    p += QByteArray(8, '\0');
    return p;
}

// `pages` empty pages, written in chunks.
bool writeEmptyPages(const QString &path, qint64 pages)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.write(documentHeader());
    const QByteArray page = pageHeader();
    QByteArray chunk;
    for (int i = 0; i < 65536; ++i)
        chunk += page;
    for (qint64 left = pages; left > 0; left -= 65536)
        f.write(left >= 65536 ? chunk : chunk.left(page.size() * left));
    return f.write(QByteArray::fromHex("fe00")) == 2;
}

// One valid page whose few white lines stand behind `bytes` of user information records.
bool writePaddedPage(const QString &path, qint64 bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.write(documentHeader() + pageHeader());
    QByteArray chunk;
    while (chunk.size() < (1 << 20))
        chunk += char(255) + QByteArray(1, char(250)) + QByteArray(250, 'u');
    for (qint64 written = 0; written < bytes; written += chunk.size())
        f.write(chunk);
    const QByteArray whiteLine = QByteArray::fromHex("03b25901");
    for (int i = 0; i < 100; ++i)
        f.write(whiteLine);
    return f.write(QByteArray::fromHex("fe00")) == 2;
}

struct Outcome
{
    bool accepted = false;
    double sendMs = 0;     // SendFax, on the window's thread
    double overMs = 0;     // from SendFax to the refusal or the end of the call
    bool faxSent = false;
    long peakKb = 0;
    QString why;           // the Debug line that gave the reason, or the call's last progress
};

Outcome sendOnce(quillon::ComponentFactory *factory, QWidget *host, const QString &file,
                 const QString &receiveFile)
{
    using quillon::MemberId;
    using quillon::EventSlot;
    const QVariantMap saved{{QLatin1String(quillon::kExtentX), 1296},
                            {QLatin1String(quillon::kExtentY), 1349}};
    auto snd = factory->create(host, saved);
    auto rcv = factory->create(host, saved);
    Outcome o;
    bool sndOver = false;
    bool rcvOver = true;
    QString lastDebug;
    snd->setEventSink([&](int slot, QVariantList &params) {
        if (slot == int(EventSlot::Debug)) {
            const QString text = params.value(0).toString();
            if (text.startsWith(QLatin1String("SendFax: ")) || text.startsWith(QLatin1String("cannot send")))
                o.why = text;
        }
        if (slot == int(EventSlot::CallProgress))
            lastDebug = params.value(0).toString();
        if (slot == int(EventSlot::FaxSent))
            o.faxSent = params.value(0).toBool();
        if (slot == int(EventSlot::Disconnected))
            sndOver = true;
    });
    rcv->setEventSink([&](int slot, QVariantList &) {
        if (slot == int(EventSlot::IncomingFax)) {
            rcv->setProperty(MemberId::AcceptFax, true);
            rcvOver = false;
        }
        if (slot == int(EventSlot::Disconnected))
            rcvOver = true;
    });
    snd->invoke(MemberId::StartCapi, {});
    rcv->invoke(MemberId::StartCapi, {});
    rcv->invoke(MemberId::Listen, {});
    rcv->setProperty(MemberId::ReceiveFileName, receiveFile);
    QCoreApplication::processEvents();
    resetPeak();
    QElapsedTimer timer;
    timer.start();
    const quillon::Result r =
        snd->invoke(MemberId::SendFax, {file, "bench", "Fax benchmark", "6", "6"});
    o.sendMs = timer.nsecsElapsed() / 1e6;
    o.accepted = !r.failed && r.value.toBool();
    if (o.accepted) {
        while (!(sndOver && rcvOver))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    } else {
        QCoreApplication::processEvents(); // the Debug line with the reason
    }
    o.overMs = timer.nsecsElapsed() / 1e6;
    o.peakKb = procStatusKb("VmHWM");
    if (o.why.isEmpty())
        o.why = lastDebug;
    snd->invoke(MemberId::StopCapi, {});
    rcv->invoke(MemberId::StopCapi, {});
    QCoreApplication::processEvents();
    return o;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("fifo.sff"));
    const QString manyPages = dir.filePath(QStringLiteral("pages11m.sff"));
    const QString padded = dir.filePath(QStringLiteral("padded200m.sff"));
    const QString received = dir.filePath(QStringLiteral("received.sff"));
    if (::mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0
        || !writeEmptyPages(manyPages, 11'100'000) || !writePaddedPage(padded, 200LL << 20)) {
        std::fprintf(stderr, "cannot write the files in %s\n", qPrintable(dir.path()));
        return 1;
    }
    QWidget host;
    quillon::component::QuillonFactory unpaced(std::make_shared<quillon::component::FixedLine>(
        std::make_shared<simline::SimulatedLine>(), simline::SimulatedLine::ControllerNumber));

    std::printf("SendFax on files that are no fax: unpaced simulated line, one SendFax each\n");
    std::printf("  %-36s %10s %9s %12s %10s  %s\n", "file", "SendFax ms", "answer", "refused/end",
                "peak RSS", "reason");
    const struct
    {
        const char *label;
        QString path;
    } cases[] = {
        {"/dev/zero", QStringLiteral("/dev/zero")},
        {"a FIFO without a writer", fifo},
        {"11.1 million empty pages (200 MB)", manyPages},
        {"one valid page behind 200 MB", padded},
    };
    for (const auto &c : cases) {
        Outcome o = sendOnce(&unpaced, &host, c.path, received);
        std::printf("  %-36s %10.1f %9s %9.0f ms %7ld kB  %s%s\n", c.label, o.sendMs,
                    o.accepted ? "True" : "False", o.overMs, o.peakKb,
                    o.accepted ? (o.faxSent ? "sent; " : "not sent; ") : "",
                    qPrintable(o.why.replace(dir.path(), QStringLiteral("TMP"))));
        std::fflush(stdout);
    }
    return 0;
}
