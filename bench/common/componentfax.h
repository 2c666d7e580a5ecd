#pragma once

// A fax between two instances of the component, for benchmarks: the factory's line carries
// it, the sender's file against the receiver's, events counted and the memory sampled after
// each received page. The fax goes as G4, whose bytes the line relays as they are: the figures
// are those of the component and the line, not of the fax modems a G3 call runs through.

#include "component/faxdocs.h"

#include "endpoint/quillonboundary.h"
#include "sff/reader.h"
#include "procstatus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QWidget>

#include <ctime>
#include <functional>
#include <memory>

namespace benchfax {

using benchstatus::procStatusKb;

struct Side
{
    std::unique_ptr<quillon::ComponentInstance> instance;
    bool disconnected = false;
    bool faxSent = false;
    bool received = false;
    int pagesReceived = 0;
    int listenConfirmations = 0;
    long events = 0;
};

// CPU time of the whole process (every thread) in seconds.
inline double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct RunResult
{
    double seconds = 0;
    double cpu = 0; // process CPU seconds from SendFax until both sides ended
    bool ok = false;
    QList<long> rssAtPage; // kB after each received page
};

// debugLine, when given, gets each Debug text as the console journals it ("snd: Debug: ...").
inline RunResult runFax(quillon::ComponentFactory *factory, QWidget *host, const QString &file,
                 const QString &receiveFile, int pages,
                 const std::function<void(const QString &)> &debugLine = {})
{
    const QVariantMap saved{{QLatin1String(quillon::kExtentX), 1296},
                            {QLatin1String(quillon::kExtentY), 1349}};
    Side snd{factory->create(host, saved)};
    Side rcv{factory->create(host, saved)};
    RunResult result;
    snd.instance->setEventSink([&snd, &debugLine](int slot, QVariantList &params) {
        ++snd.events;
        if (debugLine && slot == int(quillon::EventSlot::Debug))
            debugLine(QStringLiteral("snd: Debug: ") + params.value(0).toString());
        if (slot == int(quillon::EventSlot::FaxSent))
            snd.faxSent = params.value(0).toBool();
        if (slot == int(quillon::EventSlot::Disconnected))
            snd.disconnected = true;
    });
    rcv.instance->setEventSink([&rcv, &result, &debugLine](int slot, QVariantList &params) {
        ++rcv.events;
        if (debugLine && slot == int(quillon::EventSlot::Debug))
            debugLine(QStringLiteral("rcv: Debug: ") + params.value(0).toString());
        if (slot == int(quillon::EventSlot::IncomingFax))
            rcv.instance->setProperty(quillon::MemberId::AcceptFax, true);
        if (slot == int(quillon::EventSlot::CallProgress)
            && params.value(0).toString().endsWith(QLatin1String(" received"))) {
            ++rcv.pagesReceived;
            result.rssAtPage << procStatusKb("VmRSS");
        }
        if (slot == int(quillon::EventSlot::FaxReceived))
            rcv.received = true;
        if (slot == int(quillon::EventSlot::Debug)
            && params.value(0).toString().contains(QLatin1String("<- LISTEN_CONF")))
            ++rcv.listenConfirmations;
        if (slot == int(quillon::EventSlot::Disconnected))
            rcv.disconnected = true;
    });
    using quillon::MemberId;
    snd.instance->invoke(MemberId::StartCapi, {});
    rcv.instance->invoke(MemberId::StartCapi, {});
    rcv.instance->invoke(MemberId::Listen, {});
    rcv.instance->setProperty(MemberId::ReceiveFileName, receiveFile);
    // On a remote line each instance has a connection of its own: the call goes out once the
    // receiver's start and listen are confirmed.
    QElapsedTimer waited;
    waited.start();
    while (rcv.listenConfirmations < 2 && !waited.hasExpired(5000))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);

    QElapsedTimer timer;
    timer.start();
    const double cpuStart = cpuSeconds();
    const quillon::Result sent =
        snd.instance->invoke(MemberId::SendFaxG4, {file, "bench", "Fax benchmark", "6", "6"});
    if (!sent.value.toBool())
        return result;
    while (!(snd.disconnected && rcv.disconnected) && !timer.hasExpired(600000))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    result.seconds = timer.nsecsElapsed() / 1e9;
    result.cpu = cpuSeconds() - cpuStart;
    result.ok = snd.faxSent && rcv.received && rcv.pagesReceived == pages;
    snd.instance->invoke(MemberId::StopCapi, {});
    rcv.instance->invoke(MemberId::StopCapi, {});
    QCoreApplication::processEvents();
    return result;
}

// Written page by page from one A4 chart, so building the file holds one page at a time.
inline bool makeDocument(const QString &path, int pages)
{
    sff::Writer writer;
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    for (int p = 1; p <= pages; ++p)
        sff::addPage(writer, componenttest::testPage(p, 1143), sff::Resolution::Standard);
    return out.write(writer.finish()) > 0;
}

} // namespace benchfax
