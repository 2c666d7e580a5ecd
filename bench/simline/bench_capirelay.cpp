// Relays fax data between two applications over the simulated line and prints throughput,
// messages per second, block copies and the memory the process holds as the call goes on.

#include "common/relaycall.h"

#include "simline/simulatedline.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

using namespace capi;
using simline::SimulatedLine;

namespace {

using benchrelay::Document;
using benchrelay::procStatusKb;

struct Result
{
    benchrelay::Result call;
    quint64 copies = 0;   // block copies the line made
    quint64 lineMessages = 0; // messages in and out of the line during the whole call
};

Result relay(SimulatedLine &line, const Document &doc, bool printMemory)
{
    const SimulatedLine::Statistics before = line.statistics();
    qint64 nextReport = 0;
    Result r;
    r.call = benchrelay::relay(line, SimulatedLine::ControllerNumber, doc, [&](qint64 received, qint64 total) {
        if (printMemory && received >= nextReport) {
            std::printf("  at %5.1f MB: RSS %lld kB\n", double(received) / 1e6, procStatusKb("VmRSS:"));
            nextReport += total / 4;
        }
    });
    const SimulatedLine::Statistics after = line.statistics();
    r.lineMessages = (after.messagesIn - before.messagesIn) + (after.messagesOut - before.messagesOut);
    r.copies = after.blockCopies - before.blockCopies;
    return r;
}

void report(const char *title, const Result &r)
{
    const benchrelay::Result &c = r.call;
    const double mb = double(c.bytes) / 1e6;
    std::printf("%s: %.1f MB in %.3f s = %.1f MB/s, %llu messages = %.0f messages/s, "
                "block copies %llu, %d pages, data %s\n",
                title, mb, c.seconds, mb / c.seconds, static_cast<unsigned long long>(r.lineMessages),
                double(r.lineMessages) / c.seconds, static_cast<unsigned long long>(r.copies), c.pages,
                c.identical ? "identical" : "DIFFERENT");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    SimulatedLine line;
    std::printf("simulated line relay, %d-byte blocks, window %d, no pacing\n", benchrelay::kBlock,
                benchrelay::kWindow);
    std::printf("before: RSS %lld kB, peak RSS %lld kB\n", procStatusKb("VmRSS:"),
                procStatusKb("VmHWM:"));

    const Result ten = relay(line, Document(10), true);
    report("10 MB call", ten);
    std::printf("after 10 MB: RSS %lld kB, peak RSS %lld kB\n", procStatusKb("VmRSS:"),
                procStatusKb("VmHWM:"));

    const Result forty = relay(line, Document(40), true);
    report("40 MB call", forty);
    std::printf("after 40 MB: RSS %lld kB, peak RSS %lld kB\n", procStatusKb("VmRSS:"),
                procStatusKb("VmHWM:"));

    // A paced line: the data takes as long as the rate says.
    line.setRate(256000);
    const Result paced = relay(line, Document(1, 300), false);
    line.resetFaults();
    std::printf("paced at 256000 bit/s: %lld bytes in %.3f s = %.0f bit/s\n",
                static_cast<long long>(paced.call.bytes), paced.call.seconds,
                double(paced.call.bytes) * 8 / paced.call.seconds);
    return ten.call.identical && forty.call.identical && paced.call.identical ? 0 : 1;
}
