// Prints what journaling a line costs: JournalList::appendLine and DebugLog::writeLine together,
// against a bare write(2) of the same bytes to a file in the same run, and the memory per line
// (Linux: resident memory from /proc).
// Each size runs in a fresh child process, so the memory figures start from a clean heap.
//
//   bench_journal                 sizes 1e3 ... 1e7
//   bench_journal --max 1000000   stop at 1e6
//   bench_journal --listview      also a QListView over a list model, for comparison

#include "app/journal/journallist.h"
#include "log/debuglog.h"

#include <QAbstractListModel>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QListView>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// 60 characters: 50 of text and a 10-digit line number at the end.
const char kTemplate[] = "rcv: CallProgress: B3 connected, NCPI 0x0000, no. 0000000000";
constexpr int kLineChars = 60;
static_assert(sizeof(kTemplate) - 1 == kLineChars);

template <typename Text>
void setNumber(Text &line, qint64 n)
{
    for (int k = kLineChars - 1; k >= kLineChars - 10; --k, n /= 10)
        line[k] = char('0' + n % 10);
}

QString lineText(qint64 n)
{
    QString line = QString::fromLatin1(kTemplate);
    setNumber(line, n);
    return line;
}

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * sysconf(_SC_PAGESIZE) : 0;
}

double usPer(qint64 ns, qint64 lines)
{
    return lines > 0 ? double(ns) / 1000.0 / double(lines) : 0.0;
}

// Bare write(2) of each line's bytes, one call per line.
double bareWrite(const QString &file, qint64 lines)
{
    QByteArray bytes = QByteArray(kTemplate) + "\r\n";
    const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    QElapsedTimer timer;
    timer.start();
    for (qint64 i = 0; i < lines; ++i) {
        setNumber(bytes, i);
        if (::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size())
            return -1;
    }
    const qint64 ns = timer.nsecsElapsed();
    ::close(fd);
    QFile::remove(file);
    return usPer(ns, lines);
}

// One size: prints "lines journal_us bare_us tail_us rss_bytes_per_line store_bytes_per_line ok
// repaint_us".
int runSize(qint64 lines, int eventsEvery)
{
    QTemporaryDir dir;
    const double bare = bareWrite(dir.filePath("bare.log"), lines);

    {
        // Warm up fonts and caches, so the memory figures are the lines' own.
        JournalList warmUp;
        warmUp.resize(245, 147);
        warmUp.show();
        for (int i = 0; i < 100; ++i)
            warmUp.appendLine(lineText(i));
        QCoreApplication::processEvents();
        warmUp.viewport()->repaint();
    }
    JournalList list;
    list.resize(245, 147);
    list.show();
    QCoreApplication::processEvents();
    debuglog::DebugLog log;
    log.open(dir.filePath("journal.log"));

    const qint64 rssBefore = residentBytes();
    // The last tenth of the run, in whole turns of the event loop.
    const qint64 tailFrom = lines - std::max<qint64>(eventsEvery, lines / 10 / eventsEvery * eventsEvery);
    QString line = QString::fromLatin1(kTemplate);
    QElapsedTimer timer;
    timer.start();
    qint64 tailStart = 0;
    for (qint64 i = 0; i < lines; ++i) {
        if (i == tailFrom)
            tailStart = timer.nsecsElapsed();
        setNumber(line, i);
        list.appendLine(line);
        log.writeLine(line);
        if ((i + 1) % eventsEvery == 0)
            QCoreApplication::processEvents();
    }
    const qint64 ns = timer.nsecsElapsed();
    QCoreApplication::processEvents();
    const qint64 rssAfter = residentBytes();

    // One full repaint of the view, now that it holds every line.
    QElapsedTimer paintTimer;
    paintTimer.start();
    for (int k = 0; k < 200; ++k)
        list.viewport()->repaint();
    const double repaintUs = usPer(paintTimer.nsecsElapsed(), 200);

    // What the list holds and what the file holds must be exactly what was appended.
    bool ok = list.count() == lines && list.selectedIndex() == -1 &&
              QFileInfo(log.localPath()).size() == lines * (kLineChars + 2) &&
              list.topRow() + 1 > lines - 20; // the view follows the newest line
    for (int k = 0; k < 1000 && ok; ++k) {
        const qint64 i = QRandomGenerator::global()->bounded(lines);
        ok = list.itemText(i) == lineText(i);
    }
    ok = ok && list.itemText(lines - 1) == lineText(lines - 1) && list.itemText(0) == lineText(0);
    std::printf("%lld %.4f %.4f %.4f %.2f %.2f %d %.1f\n", static_cast<long long>(lines), usPer(ns, lines), bare,
                usPer(ns - tailStart, lines - tailFrom), double(rssAfter - rssBefore) / double(lines),
                double(list.store().bytesUsed()) / double(lines), ok ? 1 : 0, repaintUs);
    return ok ? 0 : 1;
}

// A list model over the same store, shown in a QListView with uniform item sizes.
class StoreModel : public QAbstractListModel
{
public:
    int rowCount(const QModelIndex &parent) const override
    {
        return parent.isValid() ? 0 : int(m_store.count());
    }
    QVariant data(const QModelIndex &index, int role) const override
    {
        return role == Qt::DisplayRole ? QVariant(m_store.text(index.row())) : QVariant();
    }
    void append(const QString &line)
    {
        beginInsertRows(QModelIndex(), int(m_store.count()), int(m_store.count()));
        m_store.append(line);
        endInsertRows();
    }

private:
    JournalStore m_store;
};

int runListView(qint64 lines, int eventsEvery)
{
    StoreModel model;
    QListView view;
    view.setUniformItemSizes(true);
    view.setModel(&model);
    view.resize(245, 147);
    view.show();
    QCoreApplication::processEvents();
    QString line = QString::fromLatin1(kTemplate);
    QElapsedTimer timer;
    timer.start();
    for (qint64 i = 0; i < lines; ++i) {
        setNumber(line, i);
        model.append(line);
        if ((i + 1) % eventsEvery == 0)
            QCoreApplication::processEvents();
    }
    std::printf("%lld %.4f\n", static_cast<long long>(lines), usPer(timer.nsecsElapsed(), lines));
    return 0;
}

// Runs this program for one measurement and returns its output line.
QString child(const QStringList &args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QCoreApplication::applicationFilePath(), args);
    process.waitForFinished(-1);
    return QString::fromLatin1(process.readAllStandardOutput()).trimmed();
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);

    if (args.size() == 3 && args[0] == QLatin1String("--size"))
        return runSize(args[1].toLongLong(), args[2].toInt());
    if (args.size() == 3 && args[0] == QLatin1String("--view"))
        return runListView(args[1].toLongLong(), args[2].toInt());

    qint64 max = 10'000'000;
    if (const qsizetype at = args.indexOf(QStringLiteral("--max")); at >= 0 && at + 1 < args.size())
        max = args[at + 1].toLongLong();

    std::printf("Journal = JournalList::appendLine + DebugLog::writeLine of a %d-character line;\n"
                "bare = write(2) of the same %d bytes. Event loop turned every 1000 lines.\n"
                "tail = the last tenth of the run alone. RSS and store bytes are per line;\n"
                "repaint = one full repaint of the view holding all the lines.\n\n",
                kLineChars, kLineChars + 2);
    std::printf("%12s %12s %12s %7s %12s %10s %11s %10s %s\n", "lines", "journal us", "bare us", "ratio",
                "tail us", "RSS B/line", "store B/ln", "repaint us", "exact");
    bool allOk = true;
    for (qint64 n = 1000; n <= max; n *= 10) {
        const QStringList f = child({"--size", QString::number(n), "1000"}).split(' ');
        if (f.size() != 8) {
            std::printf("%12lld failed\n", static_cast<long long>(n));
            allOk = false;
            continue;
        }
        const double journal = f[1].toDouble();
        const double bare = f[2].toDouble();
        std::printf("%12lld %12.3f %12.3f %7.2f %12.3f %10.1f %11.1f %10.1f %s\n", static_cast<long long>(n),
                    journal, bare, journal / bare, f[3].toDouble(), f[4].toDouble(), f[5].toDouble(),
                    f[7].toDouble(), f[6] == QLatin1String("1") ? "yes" : "NO");
        allOk = allOk && f[6] == QLatin1String("1");
        std::fflush(stdout);
    }

    std::printf("\nEvent loop turned after every line (a repaint per line):\n");
    std::printf("%12s %12s %12s %7s %12s\n", "lines", "journal us", "bare us", "ratio", "tail us");
    for (qint64 n = 1000; n <= std::min<qint64>(max, 100'000); n *= 10) {
        const QStringList f = child({"--size", QString::number(n), "1"}).split(' ');
        if (f.size() != 8)
            continue;
        std::printf("%12lld %12.3f %12.3f %7.2f %12.3f\n", static_cast<long long>(n), f[1].toDouble(),
                    f[2].toDouble(), f[1].toDouble() / f[2].toDouble(), f[3].toDouble());
        std::fflush(stdout);
    }

    if (args.contains(QStringLiteral("--listview"))) {
        // The same two conditions as the journal above: the event loop turned every 1000
        // lines (batched), and after every line (a repaint per line).
        for (const int every : {1000, 1}) {
            std::printf("\nFor comparison, QListView (uniform item sizes) over a list model, list only,\n"
                        "event loop turned %s:\n%12s %12s\n",
                        every == 1 ? "after every line" : "every 1000 lines", "lines", "us/line");
            for (const qint64 n : {1000, 10'000, 40'000}) {
                std::printf("%s\n", qPrintable(child({"--view", QString::number(n),
                                                     QString::number(every)})
                                                   .replace(' ', "    ")));
                std::fflush(stdout);
            }
        }
    }
    return allOk ? 0 : 1;
}
