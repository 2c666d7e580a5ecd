// bench_t30 [pages] [seconds per paced run] [pages of the memory call] [section]
// (a section number runs that section alone)
//
// 1. One unpaced call of fine A4 pages (default 100): line time per page, CPU time per page,
//    and the speed-up against real time (line time / CPU time).
// 2. 10, 50 and 200 simultaneous calls paced in real time on one thread for a while (default
//    20 s each): CPU share of one core, and how far the latest tick of a call fell behind its
//    20 ms clock (median and worst). Finished calls start again, so the mix of phases holds.
// 3. Resident memory along one unpaced call of many fine pages (default 100): the process's
//    RSS after the first received page, midway through each later page (when the
//    transmitter's file has been released after the page before) and after the last page.
// 4. The phase-B rehearsal the simulated line runs before CONNECT_B3_ACTIVE_IND: CPU time per
//    call until the rate is known, median and range of 15 runs, on a clean line and on a line
//    of 18 dB SNR (where training falls back).
// 5. The start of a call, which converts the whole document to TIFF in one go (on the
//    simulated line, in one turn of its loop): wall time for 1, 10 and 100 fine pages,
//    median and range of 5 runs. Then the same start as the simulated line makes it, with the
//    conversion in a thread of its own: how long the calling thread is held, by the start and
//    by the longest tick of the first 60 s of line time (the transmitter opens the TIFF then).
// 6. The receiver's read of each page from the TIFF that T.30 writes, along one unpaced call
//    of many fine pages (default 100), in CPU time: the read that opens the file anew and
//    walks the directories from the first to the page (and that walk alone), against the
//    read that goes on in the file kept open, as the receiver reads it.

#include "t30/call.h"

#include "faxtiff/faxtiff.h"
#include "simline/faxsession.h"
#include "t30/faxpages.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace t30;

namespace {

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double rssMiB()
{
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = f.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * double(sysconf(_SC_PAGESIZE)) / 1048576.0
                             : 0;
}

QByteArray finePages(int count)
{
    QList<faxtest::Rows> pages;
    for (int i = 0; i < count; ++i)
        pages << faxtest::textPage(2287, unsigned(i + 1)); // A4 at fine resolution
    return faxtest::document(pages, sff::Resolution::Fine);
}

CallConfig callConfig(const QByteArray &document)
{
    CallConfig c;
    c.caller.stationId = QStringLiteral("+49 30 1");
    c.caller.headLine = QStringLiteral("bench");
    c.caller.document = document;
    c.answerer.stationId = QStringLiteral("+49 30 2");
    c.maxDurationMs = 24LL * 3600 * 1000;
    return c;
}

void unpaced(int pages)
{
    const QByteArray doc = finePages(pages);
    Call call(callConfig(doc));
    call.start();
    const double c0 = cpuSeconds();
    call.runToEnd();
    const double cpu = cpuSeconds() - c0;
    const SideOutcome &o = call.outcome(Side::Caller);
    const double line = double(call.elapsedMs()) / 1000.0;
    std::printf("unpaced: %d fine A4 text pages, V.17 ECM; outcome reason 0x%04x, %d pages at %d bit/s\n",
                pages, o.reason, o.pages, o.bitRate);
    std::printf("  line time %.1f s (%.1f s per page), CPU %.2f s (%.1f ms per page)\n", line,
                line / std::max(pages, 1), cpu, cpu * 1000 / std::max(pages, 1));
    std::printf("  speed-up against real time: %.0fx (target > 500x)\n", line / cpu);
}

void paced(int calls, double seconds, const QByteArray &doc)
{
    std::vector<std::unique_ptr<Call>> active;
    const CallConfig cfg = callConfig(doc);
    const double rss0 = rssMiB();
    for (int i = 0; i < calls; ++i) {
        active.push_back(std::make_unique<Call>(cfg));
        active.back()->start();
        // Stagger the calls so they are in different phases.
        for (int k = 0; k < (i * 37) % 500; ++k)
            active.back()->tick();
    }
    const double rssCalls = rssMiB() - rss0;
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    const double c0 = cpuSeconds();
    std::vector<double> lags;
    const int ticks = int(seconds * 1000 / TickMs);
    for (int t = 0; t < ticks; ++t) {
        const auto due = start + std::chrono::milliseconds(qint64(t) * TickMs);
        std::this_thread::sleep_until(due);
        for (auto &call : active) {
            if (call->finished()) {
                call = std::make_unique<Call>(cfg);
                call->start();
            }
            call->tick();
            call->takeEvents();
        }
        // A call's audio for this tick is ready when its tick is done: the last call's lag
        // is the worst of this round.
        lags.push_back(std::chrono::duration<double, std::milli>(clock::now() - due).count());
    }
    const double wall = std::chrono::duration<double>(clock::now() - start).count();
    const double cpu = cpuSeconds() - c0;
    std::sort(lags.begin(), lags.end());
    std::printf("paced: %3d calls for %.0f s: CPU %.1f%% of one core (%.3f%% per call); "
                "tick lag behind the clock median %.2f ms, worst %.2f ms (limit 40 ms); "
                "RSS %.2f MiB per call\n",
                calls, wall, 100 * cpu / wall, 100 * cpu / wall / calls, lags[lags.size() / 2],
                lags.back(), rssCalls / calls);
}

void memoryAlongCall(int pages)
{
    Call call(callConfig(finePages(pages)));
    call.start();
    std::vector<double> midway; // RSS 30 s of line time after each received page
    double first = 0, last = 0;
    qint64 sampleAtMs = -1;
    while (!call.finished()) {
        call.tick();
        for (const Event &e : call.takeEvents()) {
            if (e.type != Event::Type::PageReceived)
                continue;
            last = rssMiB();
            if (e.page == 1)
                first = last;
            sampleAtMs = call.elapsedMs() + 30000;
        }
        if (sampleAtMs >= 0 && call.elapsedMs() >= sampleAtMs) {
            midway.push_back(rssMiB());
            sampleAtMs = -1;
        }
    }
    std::printf("RSS along one call of %d fine pages (MiB): after page 1 %.1f, after the last page "
                "%.1f (growth %.2f)\n", pages, first, last, last - first);
    if (midway.size() > 2)
        std::printf("  30 s of line time into each page: second page %.1f, last page %.1f "
                    "(growth %.2f)\n", midway[0], midway.back(), midway.back() - midway[0]);
}

void rehearsals()
{
    for (const bool noisy : {false, true}) {
        std::vector<double> ms;
        int rate = 0;
        for (int run = 0; run < 15; ++run) {
            CallConfig config = callConfig({});
            if (noisy)
                config.line.snrDb = 18.0;
            config.line.seed = quint32(run + 1);
            simline::FaxSession session;
            const double c0 = cpuSeconds();
            if (!session.startRehearsal(config, sff::Resolution::Fine))
                return;
            while (!session.rehearse()) {
            }
            ms.push_back((cpuSeconds() - c0) * 1000);
            rate = session.rehearsedRate();
        }
        std::sort(ms.begin(), ms.end());
        std::printf("phase-B rehearsal, %s: CPU %.1f ms per call (range %.1f-%.1f), last rate %d\n",
                    noisy ? "18 dB SNR" : "clean line", ms[ms.size() / 2], ms.front(), ms.back(),
                    rate);
    }
}

void callStarts()
{
    for (const int pages : {1, 10, 100}) {
        const QByteArray doc = finePages(pages);
        std::vector<double> ms;
        for (int run = 0; run < 5; ++run) {
            Call call(callConfig(doc));
            QElapsedTimer wall;
            wall.start();
            call.start();
            ms.push_back(double(wall.nsecsElapsed()) / 1e6);
        }
        std::sort(ms.begin(), ms.end());
        std::printf("call start with its TIFF of %3d fine pages (%.1f MB of SFF): %.1f ms "
                    "(range %.1f-%.1f)\n",
                    pages, double(doc.size()) / 1e6, ms[ms.size() / 2], ms.front(), ms.back());
    }
    const QByteArray doc = finePages(100);
    std::vector<double> starts, ticks;
    for (int run = 0; run < 5; ++run) {
        CallConfig config = callConfig(doc);
        config.prepareInBackground = true;
        Call call(config);
        QElapsedTimer wall;
        wall.start();
        call.start();
        starts.push_back(double(wall.nsecsElapsed()) / 1e6);
        while (call.preparing())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        double worst = 0;
        while (!call.finished() && call.elapsedMs() < 60000) {
            wall.restart();
            call.tick();
            call.takeEvents();
            worst = std::max(worst, double(wall.nsecsElapsed()) / 1e6);
        }
        ticks.push_back(worst);
    }
    std::sort(starts.begin(), starts.end());
    std::sort(ticks.begin(), ticks.end());
    std::printf("call start, 100 fine pages, converted in the background: the caller held "
                "%.2f ms (range %.2f-%.2f); longest tick of the first 60 s %.2f ms "
                "(range %.2f-%.2f)\n",
                starts[2], starts.front(), starts.back(), ticks[2], ticks.front(), ticks.back());
}

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

double medianOf(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void receivedPageReads(int pages)
{
    QTemporaryDir work;
    CallConfig config = callConfig(finePages(pages));
    config.answerer.workFolder = work.path();
    Call call(config);
    call.start();
    std::unique_ptr<faxtiff::GrowingTiffReader> kept;
    // Per received page: the read that opens the file anew and walks its directories from the
    // first (median of 5 rounds), the read that goes on in the file kept open, and the walk
    // alone (opening and walking every directory, reading no page).
    std::vector<double> reopened, goneOn, walked;
    while (!call.finished()) {
        call.tick();
        for (const Event &e : call.takeEvents()) {
            if (e.type != Event::Type::PageReceived || call.finished())
                continue;
            const QStringList dirs = QDir(work.path()).entryList({QStringLiteral("quillon-fax-*")},
                                                                 QDir::Dirs);
            if (dirs.isEmpty())
                return;
            const QString rx = work.filePath(dirs.first() + QStringLiteral("/rx.tif"));
            if (!kept)
                kept = std::make_unique<faxtiff::GrowingTiffReader>(rx);
            std::vector<double> anew, walk;
            bool ok = true;
            for (int round = 0; round < 5; ++round) {
                QByteArray records;
                double t = threadCpuMs();
                const faxtiff::TiffReadResult page =
                    faxtiff::tiffPagesToSffRecords(rx, e.page - 1, &records);
                anew.push_back(threadCpuMs() - t);
                t = threadCpuMs();
                const faxtiff::TiffReadResult none =
                    faxtiff::tiffPagesToSffRecords(rx, e.page, &records);
                walk.push_back(threadCpuMs() - t);
                ok = ok && page.ok && page.pages.size() == 1 && none.ok && none.pages.isEmpty();
                if (round == 2) {
                    t = threadCpuMs();
                    const faxtiff::TiffReadResult next = kept->readNewPages(&records);
                    goneOn.push_back(threadCpuMs() - t);
                    ok = ok && next.ok && next.pages.size() == 1;
                    if (!next.ok)
                        std::printf("  the file kept open: %s\n", qPrintable(next.error));
                }
            }
            if (!ok) {
                std::printf("receiver's read of page %d failed\n", e.page);
                return;
            }
            reopened.push_back(medianOf(anew));
            walked.push_back(medianOf(walk));
        }
    }
    std::printf("receiver's read of each page from the TIFF being written, %d fine pages (ms of "
                "CPU; median of the pages in each group):\n", pages);
    const int n = int(reopened.size());
    for (int from = 0; from < n; from += std::max(1, n / 5)) {
        const int to = std::min(n, from + std::max(1, n / 10));
        const auto group = [&](const std::vector<double> &v) {
            return medianOf(std::vector<double>(v.begin() + from, v.begin() + to));
        };
        std::printf("  pages %3d-%3d: opened anew %.2f (of which opening and walking the "
                    "directories %.3f), file kept open %.2f\n",
                    from + 1, to, group(reopened), group(walked), group(goneOn));
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int pages = argc > 1 ? std::max(1, atoi(argv[1])) : 100;
    const double seconds = argc > 2 ? std::max(1.0, atof(argv[2])) : 20.0;
    const int longPages = argc > 3 ? std::max(2, atoi(argv[3])) : 100;
    const int only = argc > 4 ? atoi(argv[4]) : 0;
    const auto runs = [only](int section) { return only == 0 || only == section; };
    if (runs(1))
        unpaced(pages);
    const QByteArray doc = finePages(2);
    for (int n : {10, 50, 200}) {
        if (runs(2))
            paced(n, seconds, doc);
    }
    if (runs(4))
        rehearsals();
    if (runs(5))
        callStarts();
    if (runs(3))
        memoryAlongCall(longPages);
    if (runs(6))
        receivedPageReads(longPages);
    return 0;
}
