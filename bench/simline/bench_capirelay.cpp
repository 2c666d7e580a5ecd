// Relays fax data between two applications over the simulated line and prints messages per
// second, the data blocks per second times the block size (the line hands each block on as a
// shared buffer, so this is a message rate, not a copying speed) and the memory the process
// holds as the call goes on.

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
    quint64 blocks = 0;   // data blocks that reached the callee
    quint64 lineMessages = 0; // messages in and out of the line during the whole call
};

Result relay(SimulatedLine &line, const Document &doc, bool printMemory)
{
    const SimulatedLine::Statistics before = line.statistics();
    qint64 nextReport = 0;
    Result r;
    r.call = benchrelay::relay(line, SimulatedLine::ControllerNumber, doc, [&](qint64 received, qint64 total) {
        ++r.blocks;
        if (printMemory && received >= nextReport) {
            std::printf("  at %5.1f MB: RSS %lld kB\n", double(received) / 1e6, procStatusKb("VmRSS:"));
            nextReport += total / 4;
        }
    });
    const SimulatedLine::Statistics after = line.statistics();
    r.lineMessages = (after.messagesIn - before.messagesIn) + (after.messagesOut - before.messagesOut);
    return r;
}

void report(const char *title, const Result &r)
{
    const benchrelay::Result &c = r.call;
    const double mb = double(c.bytes) / 1e6;
    std::printf("%s: %.1f MB in %.3f s; %llu messages = %.0f messages/s; %llu data blocks = "
                "%.0f blocks/s, times %d bytes = %.1f MB/s; %d pages, data %s\n",
                title, mb, c.seconds, static_cast<unsigned long long>(r.lineMessages),
                double(r.lineMessages) / c.seconds, static_cast<unsigned long long>(r.blocks),
                double(r.blocks) / c.seconds, benchrelay::kBlock, mb / c.seconds, c.pages,
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
