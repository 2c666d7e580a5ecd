// A 100-page fax between two instances of the component on an unpaced simulated line:
// prints the CPU time per page (both instances and the line, one process), with and without
// the console's journaling of every Debug line, in interleaved rounds; then pages per second
// and the memory of the process as the pages go through, to show that the component streams
// the document instead of holding it.
// With --cpu-once it sends a warm-up fax, then the 100-page fax once without and once with
// the journal (--journal-first turns the order), and prints the two figures as lines that
// compare-before.sh reads, to set one build against another.
// With --fax-loop N [--journal] it sends the 100-page fax N times and prints the mean CPU per
// page: a run for a profiler, whose figures are then those of the fax.
// With --status-window OUT.png [FAX.sff] it instead saves a picture of the receiver's status
// window three quarters through the fax's data (by default a 3-page test fax), on the line
// paced as the console's, and prints each side's result line.

#include "common/componentfax.h"

#include "app/journal/journallist.h"
#include "log/debuglog.h"

#include "component/factory.h"
#include "component/lineprovider.h"
#include "simline/simulatedline.h"
#include "endpoint/quillonboundary.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPluginLoader>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

using benchfax::makeDocument;
using benchfax::procStatusKb;
using benchfax::RunResult;
using benchfax::runFax;

// What the console does with each Debug event: a line in its debug list and in its log.
struct Journal
{
    JournalList list;
    debuglog::DebugLog log;
    void add(const QString &line)
    {
        list.appendLine(line);
        log.writeLine(line);
    }
};

// Shows the receiving instance's status window during a fax at the component's own line rate
// and saves a picture of it three quarters through the data.
int statusWindowPicture(quillon::ComponentFactory *factory, const QString &file,
                        const QString &receiveFile, const QString &png)
{
    // The B channel's 64 kbit/s, the rate the component's line is paced at.
    const int grabAfterMs = int(QFileInfo(file).size() * 8 * 1000 / 64000 * 3 / 4);
    using quillon::MemberId;
    QWidget host;
    const QVariantMap saved{{QLatin1String(quillon::kExtentX), 1296},
                            {QLatin1String(quillon::kExtentY), 1349}};
    auto snd = factory->create(&host, saved);
    auto rcv = factory->create(&host, saved);
    int ended = 0;
    bool grabbed = false;
    bool saved_ = false;
    QString sndResult;
    QString rcvResult;
    snd->setEventSink([&](int slot, QVariantList &params) {
        if (slot == int(quillon::EventSlot::CallProgress))
            sndResult = params.value(0).toString();
        if (slot == int(quillon::EventSlot::Disconnected))
            ++ended;
    });
    rcv->setEventSink([&](int slot, QVariantList &params) {
        if (slot == int(quillon::EventSlot::IncomingFax))
            rcv->setProperty(MemberId::AcceptFax, true);
        if (slot == int(quillon::EventSlot::Disconnected))
            ++ended;
        if (slot != int(quillon::EventSlot::CallProgress))
            return;
        rcvResult = params.value(0).toString();
        if (rcvResult == QLatin1String("receiving page 1")) {
            QTimer::singleShot(grabAfterMs, [&] {
                for (QWidget *w : QApplication::topLevelWidgets())
                    if (w->objectName() == QLatin1String("quillonStatusWindow") && w->isVisible())
                        saved_ = w->grab().save(png);
                grabbed = true;
            });
        }
    });
    snd->invoke(MemberId::StartCapi, {});
    rcv->invoke(MemberId::StartCapi, {});
    rcv->invoke(MemberId::Listen, {});
    rcv->setProperty(MemberId::ReceiveFileName, receiveFile);
    rcv->setProperty(MemberId::ShowProgressForm, true);
    snd->invoke(MemberId::SendFax, {file, "Quillon test", "Fax test", "6", "6"});
    while (ended < 2 || !grabbed)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    snd->invoke(MemberId::StopCapi, {});
    rcv->invoke(MemberId::StopCapi, {});
    std::printf("snd: %s\nrcv: %s\n", qPrintable(sndResult), qPrintable(rcvResult));
    std::printf("%s %s\n", saved_ ? "saved" : "could not save", qPrintable(png));
    return saved_ ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QStringList args = app.arguments();
    if ((args.size() == 3 || args.size() == 4) && args.at(1) == QLatin1String("--status-window")) {
        // The plugin as the console loads it, on its own line paced for an operator.
        QPluginLoader loader(QStringLiteral(QUILLON_PLUGIN_FILE));
        auto *factory = qobject_cast<quillon::ComponentFactory *>(loader.instance());
        if (!factory) {
            std::fprintf(stderr, "cannot load the component: %s\n",
                         qPrintable(loader.errorString()));
            return 1;
        }
        QString file = args.value(3);
        if (file.isEmpty()) {
            file = dir.filePath(QStringLiteral("fax3.sff"));
            if (!makeDocument(file, 3))
                return 1;
        }
        return statusWindowPicture(factory, file, dir.filePath(QStringLiteral("received.sff")),
                                   app.arguments().at(2));
    }
    const QString small = dir.filePath(QStringLiteral("fax10.sff"));
    const QString large = dir.filePath(QStringLiteral("fax100.sff"));
    const QString received = dir.filePath(QStringLiteral("received.sff"));
    if (!makeDocument(small, 10) || !makeDocument(large, 100)) {
        std::fprintf(stderr, "cannot write the test documents in %s\n", qPrintable(dir.path()));
        return 1;
    }
    const qint64 largeBytes = QFileInfo(large).size();
    QWidget host;
    // The component's code on an unpaced line of the benchmark's own.
    quillon::component::QuillonFactory unpaced(std::make_shared<quillon::component::FixedLine>(
        std::make_shared<simline::SimulatedLine>(), simline::SimulatedLine::ControllerNumber));
    quillon::ComponentFactory *factory = &unpaced;
    Journal journal;
    journal.log.open(dir.filePath(QStringLiteral("faxdbg.log")));
    const std::function<void(const QString &)> journalLine = [&journal](const QString &line) {
        journal.add(line);
    };

    // --fax-loop N [--journal]: the 100-page fax N times and nothing else, so that a profiler
    // run over the whole process sees the fax and not the making of the documents.
    if (const qsizetype at = args.indexOf(QStringLiteral("--fax-loop"));
        at > 0 && at + 1 < args.size()) {
        const bool journaled = args.contains(QStringLiteral("--journal"));
        const int times = std::max(1, args.at(at + 1).toInt());
        double cpu = 0;
        for (int i = 0; i < times; ++i) {
            const RunResult r = runFax(factory, &host, large, received, 100,
                                       journaled ? journalLine : std::function<void(const QString &)>());
            if (!r.ok)
                return 1;
            cpu += r.cpu;
        }
        std::printf("cpu-us-per-page %s %.2f over %d faxes\n", journaled ? "journaled" : "nojournal",
                    cpu * 1e6 / (100.0 * times), times);
        return 0;
    }

    if (args.contains(QStringLiteral("--cpu-once"))) {
        if (!runFax(factory, &host, small, received, 10).ok)
            return 1;
        const bool journalFirst = args.contains(QStringLiteral("--journal-first"));
        double us[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            const bool journaled = (k == 0) == journalFirst;
            const RunResult r = runFax(factory, &host, large, received, 100,
                                       journaled ? journalLine : std::function<void(const QString &)>());
            if (!r.ok)
                return 1;
            us[journaled ? 1 : 0] = r.cpu * 1e6 / 100;
        }
        std::printf("cpu-us-per-page nojournal %.2f\ncpu-us-per-page journaled %.2f\n"
                    "sff-bytes %lld\njournal-lines %lld\nidentical %d\n",
                    us[0], us[1], largeBytes, static_cast<long long>(journal.list.count()),
                    int(componenttest::readFile(received) == componenttest::readFile(large)));
        return 0;
    }

    // A short fax first, so the figures below are not those of first use.
    const RunResult warm = runFax(factory, &host, small, received, 10);
    // Start the peak over, so it tells the fax and not the making of the documents.
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    const bool peakReset = clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
    clearRefs.close();
    const long rssBefore = procStatusKb("VmRSS");
    const RunResult run = runFax(factory, &host, large, received, 100);
    if (!warm.ok || !run.ok || run.rssAtPage.size() != 100) {
        std::fprintf(stderr, "the fax did not go through\n");
        return 1;
    }
    const bool same = componenttest::readFile(received) == componenttest::readFile(large);

    std::printf("component fax benchmark: 100 pages, %lld bytes of SFF, unpaced simulated line\n",
                largeBytes);
    std::printf("  time                %.3f s\n", run.seconds);
    std::printf("  pages per second    %.1f\n", 100 / run.seconds);
    std::printf("  fax data            %.2f MB/s\n", largeBytes / run.seconds / 1e6);
    std::printf("  received file       %s\n", same ? "identical to the sent file" : "DIFFERS");
    std::printf("  RSS before the call %ld kB\n", rssBefore);
    for (int page : {1, 10, 25, 50, 75, 100})
        std::printf("  RSS after page %3d  %ld kB\n", page, run.rssAtPage[page - 1]);
    for (int from : {10, 25})
        std::printf("  growth page %d->100 %ld kB (%.2f kB per page)\n", from,
                    run.rssAtPage[99] - run.rssAtPage[from - 1],
                    (run.rssAtPage[99] - run.rssAtPage[from - 1]) / double(100 - from));
    std::printf("  peak RSS            %ld kB%s\n", procStatusKb("VmHWM"),
                peakReset ? " (during the fax)" : " (whole run)");
    std::fflush(stdout);

    // CPU per page in interleaved rounds: the order of the two cases turns each round.
    int rounds = 7;
    if (const qsizetype at = args.indexOf(QStringLiteral("--rounds"));
        at > 0 && at + 1 < args.size())
        rounds = std::max(1, args.at(at + 1).toInt());
    struct Case
    {
        const char *name;
        bool journaled;
        std::vector<double> usPerPage;
    };
    Case cases[] = {
        {"no journal", false, {}},
        {"journaled", true, {}},
    };
    constexpr int kCases = int(std::size(cases));
    bool allOk = same;
    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < kCases; ++k) {
            Case &c = cases[(r + k) % kCases];
            const RunResult one = runFax(factory, &host, large, received, 100,
                                         c.journaled ? journalLine : std::function<void(const QString &)>());
            allOk = allOk && one.ok;
            c.usPerPage.push_back(one.cpu * 1e6 / 100);
        }
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    };
    std::printf("\nCPU time per page of the same 100-page fax (process CPU from SendFax to both\n"
                "ends, both instances and the line), median of %d interleaved rounds\n"
                "[min - max]. \"journaled\" puts every Debug line in a journal list and the\n"
                "debug log, as the console does. compare-before.sh sets these figures against\n"
                "another build's.\n",
                rounds);
    for (const Case &c : cases)
        std::printf("  %-12s %8.1f us/page [%.1f - %.1f]\n", c.name, median(c.usPerPage),
                    *std::min_element(c.usPerPage.begin(), c.usPerPage.end()),
                    *std::max_element(c.usPerPage.begin(), c.usPerPage.end()));
    std::printf("  journal lines written  %lld\n", static_cast<long long>(journal.list.count()));
    return allOk ? 0 : 1;
}
