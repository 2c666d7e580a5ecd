// bench_noisyline [minutes] [first minute] [line ...] [--doc FILE.sff ...]
//
// How reliably a fax goes through an impaired line: for each line and each document, one
// unpaced call per head-line minute (the head line changes the page data, and so where the
// noise falls in it), as the simulated line makes the call. Prints per line and document the
// calls that completed, the rates the training ended at, and the minutes that failed with
// their reason.
//
// A line is written as a plan file writes a rule's line properties, e.g. "noise 18 seed 2" or
// "noise 18 seed 2 no-ecm modems v29,v27ter" (one argument each, quoted); without one, the
// line of the built-in number 997. Default documents: a 600-row fine text page and two
// 600-row standard ones; --doc adds an SFF file (such as the sample fax that `sfftool sample`
// writes), --a4 a fine A4 text page. --frames prints the T.30 frames of the first call and of
// the first failed one.

#include "simline/numberplan.h"
#include "t30/call.h"
#include "t30/faxpages.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QMap>
#include <QStringList>

#include <cstdio>

using namespace t30;

namespace {

struct Line
{
    QString text;
    simline::FarEnd farEnd;
};

// A line's properties as a plan file's rule holds them, read by the plan's own parser.
bool parseLine(const QString &text, Line *line, QString *error)
{
    const std::optional<simline::FaultPlan> plan =
        simline::parseNumberPlan(QStringLiteral("0 ") + text, simline::FaultPlan(), error);
    if (!plan)
        return false;
    line->text = text;
    line->farEnd = plan->ruleFor(QStringLiteral("0"));
    return true;
}

struct Document
{
    QString name;
    QByteArray sff;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QList<Document> docs;
    for (qsizetype i = args.indexOf(QStringLiteral("--doc")); i >= 0 && i + 1 < args.size();
         i = args.indexOf(QStringLiteral("--doc"))) {
        QFile f(args[i + 1]);
        if (!f.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(args[i + 1]));
            return 2;
        }
        docs.append({args[i + 1], f.readAll()});
        args.remove(i, 2);
    }
    // --frames: the T.30 frames of the first call and the first failed call of each line and
    // document.
    const bool frames = args.removeAll(QStringLiteral("--frames")) > 0;
    const bool a4 = args.removeAll(QStringLiteral("--a4")) > 0;
    const int minutes = args.size() > 0 ? std::max(1, args[0].toInt()) : 60;
    const int firstMinute = args.size() > 1 ? args[1].toInt() : 0;
    QList<Line> lines;
    for (qsizetype i = 2; i < args.size(); ++i) {
        Line l;
        QString why;
        if (!parseLine(args[i], &l, &why)) {
            std::fprintf(stderr, "cannot read the line \"%s\": %s\n", qPrintable(args[i]),
                         qPrintable(why));
            return 2;
        }
        lines.append(l);
    }
    if (lines.isEmpty()) {
        const simline::FarEnd noisy = simline::builtInNumberPlan().ruleFor(QStringLiteral("997"));
        lines.append({QStringLiteral("997:") + simline::planText(noisy), noisy});
    }
    if (a4)
        docs.prepend({QStringLiteral("fine A4 text page"),
                      faxtest::document({faxtest::textPage(2287, 3)}, sff::Resolution::Fine)});
    docs.prepend({QStringLiteral("two 600-row standard text pages"),
                  faxtest::document({faxtest::textPage(600, 1), faxtest::textPage(600, 2)},
                                    sff::Resolution::Standard)});
    docs.prepend({QStringLiteral("600-row fine text page"),
                  faxtest::document({faxtest::textPage(600, 7)}, sff::Resolution::Fine)});

    const QDateTime base(QDate(2026, 1, 5), QTime(9, 0));
    for (const Line &line : lines) {
        for (const Document &doc : docs) {
            int completed = 0;
            int intact = 0; // completed with every row as sent below the head line
            QMap<int, int> rates;
            QStringList failures;
            double lineSeconds = 0;
            for (int m = firstMinute; m < firstMinute + minutes; ++m) {
                CallConfig c;
                c.caller.stationId = QStringLiteral("6");
                c.caller.headLine = QStringLiteral("Fax test  Quillon test");
                c.caller.headTime = base.addSecs(60LL * m);
                c.caller.document = doc.sff;
                c.answerer.stationId = QStringLiteral("997");
                c.answerer.ecm = line.farEnd.ecm;
                c.answerer.modems = line.farEnd.modems;
                c.line = line.farEnd.line;
                Call call(c);
                if (!call.start())
                    return 1;
                QStringList log;
                QByteArray received = faxtiff::sffStreamHeader();
                while (!call.finished()) {
                    call.tick();
                    const QList<Event> events = call.takeEvents();
                    for (const Event &e : events) {
                        if (e.type == Event::Type::PageReceived)
                            received += e.sff;
                    }
                    if (frames) {
                        for (const Event &e : events)
                            log << QStringLiteral("  %1 %2 %3")
                                       .arg(e.side == Side::Caller ? "tx" : "rx")
                                       .arg(e.timeMs)
                                       .arg(e.debugLine());
                    }
                }
                const SideOutcome &tx = call.outcome(Side::Caller);
                const SideOutcome &rx = call.outcome(Side::Answerer);
                lineSeconds += double(call.elapsedMs()) / 1000.0;
                ++rates[tx.bitRate];
                if (tx.success() && rx.success()) {
                    ++completed;
                    QString why;
                    intact += faxtest::samePagesBelowHeadLine(
                        doc.sff, received + faxtiff::sffEndRecord(), &why);
                }
                if (frames && (m == firstMinute || (failures.isEmpty() && !(tx.success() && rx.success()))))
                    std::printf("minute %d:\n%s\n", m, qPrintable(log.join(QLatin1Char('\n'))));
                if (!tx.success() || !rx.success())
                    failures << QStringLiteral("%1 (0x%2/0x%3 at %4)")
                                    .arg(m)
                                    .arg(tx.reason, 4, 16, QLatin1Char('0'))
                                    .arg(rx.reason, 4, 16, QLatin1Char('0'))
                                    .arg(tx.bitRate);
            }
            QStringList rateText;
            for (auto it = rates.begin(); it != rates.end(); ++it)
                rateText << QStringLiteral("%1 x%2").arg(it.key()).arg(it.value());
            std::printf("%s | %s: %d of %d completed (%d with every row intact); rates %s; "
                        "%.0f s of line time a call%s%s\n",
                        qPrintable(line.text), qPrintable(doc.name), completed, minutes, intact,
                        qPrintable(rateText.join(QStringLiteral(", "))), lineSeconds / minutes,
                        failures.isEmpty() ? "" : "; failed in minutes ",
                        qPrintable(failures.join(QStringLiteral(", "))));
            std::fflush(stdout);
        }
    }
    return 0;
}
