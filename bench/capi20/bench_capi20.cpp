// A real CAPI line beside the simulated one, in one run: the same calls on the in-process
// line and through libcapi20 (the rcapi driver) to the exchange over loopback, both unpaced.
//   a 10 MB call    two applications relay an SFF document of 10 pages of about 1 MB in
//                   blocks of 2,048 bytes, window 7: MB/s of fax data and CAPI messages/s
//                   (every message put or taken by the two applications in the data phase),
//                   from the first block to the sender's DISCONNECT_B3_IND
//   a 100-page fax  two instances of the component send and receive a 100-page SFF file:
//                   pages/s and MB/s from SendFax to both Disconnected events
//   the same 10 MB call through libcapi20 called straight from the benchmark's thread, without
//                   the transport (no thread of its own, no hand-over): what the library and
//                   the exchange allow by themselves, the ceiling of the transport
// Rounds alternate between the lines; each figure is the median of the rounds with its
// spread (lowest to highest), and the ratio is that of the medians.
//   bench_capi20 [ROUNDS]   (default 3)

#include "common/componentfax.h"
#include "common/exchangeprocess.h"
#include "common/relaycall.h"
#include "directline.h"

#include "capi20/capi20transport.h"
#include "component/factory.h"
#include "component/lineprovider.h"
#include "simline/simulatedline.h"

#include <QApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Figures
{
    std::vector<double> values;
    void add(double v) { values.push_back(v); }
    double median() const
    {
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }
    double low() const { return values.empty() ? 0 : *std::min_element(values.begin(), values.end()); }
    double high() const { return values.empty() ? 0 : *std::max_element(values.begin(), values.end()); }
};

void print(const char *what, const char *unit, const Figures &inProcess, const Figures &real)
{
    std::printf("  %-22s in process %9.1f (%.1f..%.1f)   libcapi20 %9.1f (%.1f..%.1f)   ratio %.2f\n",
                (QByteArray(what) + ", " + unit).constData(), inProcess.median(), inProcess.low(),
                inProcess.high(), real.median(), real.low(), real.high(),
                inProcess.median() > 0 ? real.median() / inProcess.median() : 0.0);
}

capi20::Config exchangeLine(quint16 port)
{
    capi20::Config config;
    config.driver = QStringLiteral("rcapi");
    config.host = QStringLiteral("127.0.0.1");
    config.port = port;
    return config;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = std::max(1, app.arguments().value(1, QStringLiteral("3")).toInt());

    benchexchange::ExchangeProcess exchange(
        {QStringLiteral("--speed"), QStringLiteral("0"), QStringLiteral("--channels"), QStringLiteral("4")});
    if (!exchange.port()) {
        std::fprintf(stderr, "the exchange did not start\n");
        return 1;
    }
    QTemporaryDir dir;
    const QString faxFile = dir.filePath(QStringLiteral("fax100.sff"));
    const QString warmFile = dir.filePath(QStringLiteral("fax10.sff"));
    const QString received = dir.filePath(QStringLiteral("received.sff"));
    if (!benchfax::makeDocument(faxFile, 100) || !benchfax::makeDocument(warmFile, 10)) {
        std::fprintf(stderr, "cannot write the test document in %s\n", qPrintable(dir.path()));
        return 1;
    }
    const double faxMb = double(QFileInfo(faxFile).size()) / 1e6;

    // Both lines live for the whole run, as a console's line does while it is started.
    auto simulated = std::make_shared<simline::SimulatedLine>();
    auto real = std::make_shared<capi20::Capi20Transport>(exchangeLine(exchange.port()));
    quillon::component::QuillonFactory onSimulated(
        std::make_shared<quillon::component::FixedLine>(simulated, simline::SimulatedLine::ControllerNumber));
    quillon::component::QuillonFactory onReal(std::make_shared<quillon::component::FixedLine>(real, 1));
    QWidget host;

    const benchrelay::Document tenMb(10);
    Figures relayMbs[2], relayMsgs[2], faxPages[2], faxMbs[2], bareMbs, bareMsgs;
    quint64 copies = 0, blocksIn = 0, partialWaits = 0, handOvers = 0, flushes = 0, transportMessages = 0;
    bool allGood = true;
    // A short call and fax on each line first, so no figure is that of first use.
    for (int round = -1; round < rounds; ++round) {
        {
            // The transport has released its applications by now; its thread goes idle first.
            const capi20::Functions *f = benchdirect::quietLibrary(real->config().libraryFile);
            if (!f) {
                std::fprintf(stderr, "libcapi20 does not load\n");
                return 1;
            }
            benchdirect::DirectLine bare(f, real->config());
            const benchrelay::Result r = benchrelay::relay(bare, 1, round < 0 ? benchrelay::Document(1) : tenMb);
            if (!r.completed || !r.identical) {
                std::fprintf(stderr, "round %d, libcapi20 without the transport: call FAILED\n", round);
                allGood = false;
            }
            if (round >= 0) {
                bareMbs.add(double(r.bytes) / 1e6 / r.seconds);
                bareMsgs.add(double(r.messages) / r.seconds);
            }
        }
        for (int which = 0; which < 2; ++which) {
            capi::Transport &line = which ? static_cast<capi::Transport &>(*real) : *simulated;
            const capi20::Capi20Transport::Statistics before = real->statistics();
            const benchrelay::Result r = benchrelay::relay(line, 1, round < 0 ? benchrelay::Document(1) : tenMb);
            const bool good = r.completed && r.identical;
            if (which && round >= 0) {
                const capi20::Capi20Transport::Statistics after = real->statistics();
                copies += after.dataCopies - before.dataCopies;
                partialWaits += after.partialWaits - before.partialWaits;
                handOvers += after.handOvers - before.handOvers;
                flushes += after.flushes - before.flushes;
                transportMessages += (after.messagesPut - before.messagesPut)
                                     + (after.messagesTaken - before.messagesTaken);
                blocksIn += quint64((r.bytes + benchrelay::kBlock - 1) / benchrelay::kBlock);
            }
            if (round >= 0) {
                relayMbs[which].add(double(r.bytes) / 1e6 / r.seconds);
                relayMsgs[which].add(double(r.messages) / r.seconds);
            }
            quillon::component::QuillonFactory &factory = which ? onReal : onSimulated;
            const QString &sent = round < 0 ? warmFile : faxFile;
            const benchfax::RunResult f = benchfax::runFax(&factory, &host, sent, received, round < 0 ? 10 : 100);
            const bool same = f.ok && componenttest::readFile(received) == componenttest::readFile(sent);
            if (round >= 0) {
                faxPages[which].add(100 / f.seconds);
                faxMbs[which].add(faxMb / f.seconds);
            }
            if (!good || !same) {
                std::fprintf(stderr, "round %d on the %s line: call %s, fax %s\n", round,
                             which ? "libcapi20" : "in-process", good ? "good" : "FAILED",
                             same ? "good" : "FAILED");
                allGood = false;
            }
        }
    }

    std::printf("libcapi20 to the exchange over loopback against the in-process line, unpaced, "
                "%d round(s), median (lowest..highest)\n", rounds);
    std::printf(" 10 MB call (%lld bytes of fax data, blocks of %d bytes, window %d)\n",
                static_cast<long long>(tenMb.size()), benchrelay::kBlock, benchrelay::kWindow);
    print("fax data", "MB/s", relayMbs[0], relayMbs[1]);
    print("CAPI messages", "1/s", relayMsgs[0], relayMsgs[1]);
    std::printf("  libcapi20 without the transport, from the benchmark's thread: %.1f MB/s (%.1f..%.1f), "
                "%.0f messages/s (%.0f..%.0f)\n",
                bareMbs.median(), bareMbs.low(), bareMbs.high(), bareMsgs.median(), bareMsgs.low(),
                bareMsgs.high());
    std::printf("  copies of a received block in the transport: %llu for %llu blocks\n",
                static_cast<unsigned long long>(copies), static_cast<unsigned long long>(blocksIn));
    std::printf("  the transport's hand-overs for %llu messages (whole call): %llu runs taken, %llu runs put, "
                "%llu waits for the rest of a frame\n",
                static_cast<unsigned long long>(transportMessages), static_cast<unsigned long long>(handOvers),
                static_cast<unsigned long long>(flushes), static_cast<unsigned long long>(partialWaits));
    std::printf(" 100-page fax between two instances of the component (%.2f MB of SFF)\n", faxMb);
    print("pages", "1/s", faxPages[0], faxPages[1]);
    print("fax data", "MB/s", faxMbs[0], faxMbs[1]);
    std::fflush(stdout);
    return allGood ? 0 : 1;
}
