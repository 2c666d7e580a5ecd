#include "t30/call.h"
#include "t30report/framereport.h"
#include "t30/reasons.h"

#include "common/testenv.h"
#include "faxpages.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using namespace t30;

namespace {

struct Result
{
    SideOutcome caller, answerer;
    QList<Event> events;
    QList<QByteArray> pages; // received SFF records
    qint64 elapsedMs = 0;

    QStringList lines(Side side) const
    {
        QStringList out;
        for (const Event &e : events)
            if (e.side == side)
                out << e.debugLine();
        return out;
    }
    bool has(Side side, Event::Type type, const char *name) const
    {
        for (const Event &e : events)
            if (e.side == side && e.type == type && e.frame.name == QLatin1String(name))
                return true;
        return false;
    }
};

const QDateTime HeadTime(QDate(2026, 12, 9), QTime(4, 30));

CallConfig config(const QByteArray &document)
{
    CallConfig c;
    c.caller.stationId = QStringLiteral("+49 30 1234");
    c.caller.headLine = QStringLiteral("Quillon test");
    c.caller.headTime = HeadTime;
    c.caller.document = document;
    c.answerer.stationId = QStringLiteral("6");
    return c;
}

Result run(const CallConfig &c)
{
    Result r;
    Call call(c);
    call.start();
    call.runToEnd();
    r.events = call.takeEvents();
    r.caller = call.outcome(Side::Caller);
    r.answerer = call.outcome(Side::Answerer);
    r.elapsedMs = call.elapsedMs();
    for (const Event &e : r.events)
        if (e.type == Event::Type::PageReceived)
            r.pages << e.sff;
    return r;
}

// Whether the received pages equal the sent ones below the head line, and carry the head line.
bool samePages(const Result &r, const QList<faxtest::Rows> &sent, sff::Resolution res,
               QString *why)
{
    if (r.pages.size() != sent.size()) {
        *why = QStringLiteral("%1 pages received, %2 sent").arg(r.pages.size()).arg(sent.size());
        return false;
    }
    const int head = headLineRows(res);
    HeadLine line{QStringLiteral("+49 30 1234"), QStringLiteral("Quillon test"), HeadTime};
    for (int p = 0; p < sent.size(); ++p) {
        sff::Resolution got = sff::Resolution::Standard;
        const faxtest::Rows rows = faxtest::rowsOfRecords(r.pages[p], &got);
        if (got != res || rows.size() != sent[p].size()) {
            *why = QStringLiteral("page %1: %2 rows at resolution %3")
                       .arg(p + 1).arg(rows.size()).arg(int(got));
            return false;
        }
        const QList<QByteArray> top = renderHeadLine(line, p + 1, int(sent.size()), 1728, res);
        for (int i = 0; i < rows.size(); ++i) {
            if (rows[i] != (i < head ? top[i] : sent[p][i])) {
                *why = QStringLiteral("page %1 differs in row %2").arg(p + 1).arg(i);
                return false;
            }
        }
    }
    return true;
}

} // namespace

// Goertzel power of one frequency in a block, relative to the block's energy (1 for a pure tone).
double toneShare(const qint16 *samples, int count, double hz)
{
    const double k = 2 * std::cos(2 * M_PI * hz / 8000);
    double s1 = 0, s2 = 0, energy = 0;
    for (int i = 0; i < count; ++i) {
        const double s0 = samples[i] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
        energy += double(samples[i]) * samples[i];
    }
    const double power = s1 * s1 + s2 * s2 - k * s1 * s2;
    return energy > 0 ? 2 * power / (count * energy) : 0;
}

class TestT30Call : public QObject
{
    Q_OBJECT

private slots:
    void cleanFax_data();
    void cleanFax();
    void noisyLineFallsBack();
    void dropouts_data();
    void dropouts();
    void failures_data();
    void failures();
    void documentRefused();
    void backgroundConversion_data();
    void backgroundConversion();
    void recording();
};

void TestT30Call::cleanFax_data()
{
    QTest::addColumn<int>("modems");
    QTest::addColumn<bool>("failFirstTraining");
    QTest::addColumn<bool>("ecm");
    QTest::addColumn<bool>("fine");
    QTest::addColumn<int>("pages");
    QTest::addColumn<int>("modem");
    QTest::addColumn<int>("rate");
    const int v27 = SupportV27ter, v29 = SupportV29, v17 = SupportV17, all = SupportAllModems;
    const int m27 = int(Modem::V27ter), m29 = int(Modem::V29), m17 = int(Modem::V17);
    QTest::newRow("V.27ter 2400 no ECM standard") << v27 << true << false << false << 1 << m27 << 2400;
    QTest::newRow("V.27ter 4800 ECM fine") << v27 << false << true << true << 1 << m27 << 4800;
    QTest::newRow("V.29 7200 ECM standard") << v29 << true << true << false << 1 << m29 << 7200;
    QTest::newRow("V.29 9600 no ECM fine") << v29 << false << false << true << 1 << m29 << 9600;
    QTest::newRow("V.17 12000 no ECM fine") << v17 << true << false << true << 1 << m17 << 12000;
    QTest::newRow("V.17 14400 ECM fine 5 pages") << all << false << true << true << 5 << m17 << 14400;
    QTest::newRow("V.17 14400 no ECM standard 5 pages") << all << false << false << false << 5 << m17 << 14400;
}

void TestT30Call::cleanFax()
{
    QFETCH(int, modems);
    QFETCH(bool, failFirstTraining);
    QFETCH(bool, ecm);
    QFETCH(bool, fine);
    QFETCH(int, pages);
    QFETCH(int, modem);
    QFETCH(int, rate);
    const auto res = fine ? sff::Resolution::Fine : sff::Resolution::Standard;
    QList<faxtest::Rows> sent;
    for (int p = 0; p < pages; ++p)
        sent << faxtest::textPage(fine ? 240 : 120, unsigned(p + 3));
    CallConfig c = config(faxtest::document(sent, res));
    c.caller.modems = modems;
    c.answerer.modems = modems;
    c.caller.ecm = ecm;
    c.answerer.ecm = ecm;
    // Short gaps all through the first training: the carrier holds, but no second of TCF
    // zeros comes through, so the receiver answers FTT and T.30 falls back one rate.
    for (int at = 100; failFirstTraining && at < 3600; at += 250)
        c.line.dropouts << Dropout{DropoutAnchor::Training, 1, at, 4};
    const Result r = run(c);
    QVERIFY2(r.caller.success(), qPrintable(t30ErrorText(r.caller.t30Error)));
    QVERIFY2(r.answerer.success(), qPrintable(t30ErrorText(r.answerer.t30Error)));
    QString why;
    QVERIFY2(samePages(r, sent, res, &why), qPrintable(why));
    for (const SideOutcome &o : {r.caller, r.answerer}) {
        QCOMPARE(int(o.modem), modem);
        QCOMPARE(o.bitRate, rate);
        QCOMPARE(o.ecm, ecm);
        QCOMPARE(o.pages, pages);
        QCOMPARE(o.resolution, res);
    }
    QCOMPARE(r.caller.farStation, QStringLiteral("6"));
    QCOMPARE(r.answerer.farStation, QStringLiteral("+49 30 1234"));

    // The handshake in protocol order, as the caller's Debug lines show it.
    const QStringList lines = r.lines(Side::Caller);
    const auto at = [&lines](const QString &prefix) {
        for (int i = 0; i < lines.size(); ++i)
            if (lines[i].startsWith(prefix))
                return i;
        return -1;
    };
    const int dis = at(QStringLiteral("T.30: <- DIS"));
    const int dcs = at(QStringLiteral("T.30: -> DCS"));
    const int cfr = at(QStringLiteral("T.30: <- CFR"));
    const int mcf = at(QStringLiteral("T.30: <- MCF"));
    QVERIFY2(dis >= 0 && dis < dcs && dcs < cfr && cfr < mcf, qPrintable(lines.join('\n')));
    const QString best = modems & SupportV17 ? QStringLiteral("V.17 14400")
                         : modems & SupportV29 ? QStringLiteral("V.29 9600")
                                               : QStringLiteral("V.27ter 4800");
    QCOMPARE(lines[dis], QStringLiteral("T.30: <- DIS: %1, fine, %2, station \"6\"")
                             .arg(best, ecm ? QStringLiteral("ECM") : QStringLiteral("no ECM")));
    QVERIFY(lines.contains(QStringLiteral("T.30: training %1 passed")
                               .arg(rateText(Modem(modem), rate))));
    QCOMPARE(lines.contains(QStringLiteral("T.30: <- FTT")), failFirstTraining);
    QCOMPARE(r.lines(Side::Answerer).count(QStringLiteral("T.30: -> MCF")), pages);
}

void TestT30Call::noisyLineFallsBack()
{
    const QList<faxtest::Rows> sent{faxtest::textPage(240, 11)};
    CallConfig c = config(faxtest::document(sent, sff::Resolution::Fine));
    c.line.snrDb = 18;
    c.line.seed = 3;
    const Result r = run(c);
    QVERIFY2(r.caller.success(), qPrintable(r.lines(Side::Caller).join('\n')));
    QVERIFY(r.answerer.success());
    QVERIFY2(r.caller.bitRate < 14400, qPrintable(QString::number(r.caller.bitRate)));
    QVERIFY(r.has(Side::Caller, Event::Type::FrameReceived, "FTT"));
    QCOMPARE(r.pages.size(), 1);
}

void TestT30Call::dropouts_data()
{
    QTest::addColumn<bool>("ecm");
    QTest::addColumn<int>("lengthMs");
    QTest::addColumn<int>("expect"); // 0 damaged or RTN, 1 repaired, 2 call fails
    QTest::newRow("10 ms without ECM damages the page") << false << 10 << 0;
    QTest::newRow("10 ms with ECM is repaired") << true << 10 << 1;
    QTest::newRow("30 ms without ECM loses the carrier") << false << 30 << 2;
}

void TestT30Call::dropouts()
{
    QFETCH(bool, ecm);
    QFETCH(int, lengthMs);
    QFETCH(int, expect);
    const QList<faxtest::Rows> sent{faxtest::textPage(1200, 21)};
    CallConfig c = config(faxtest::document(sent, sff::Resolution::Fine));
    c.caller.ecm = ecm;
    c.answerer.ecm = ecm;
    c.line.dropouts << Dropout{DropoutAnchor::Page, 1, 4000, lengthMs};
    const Result r = run(c);
    QString why;
    const QString log = r.lines(Side::Caller).join('\n');
    switch (expect) {
    case 0: {
        const bool rtn = r.has(Side::Caller, Event::Type::FrameReceived, "RTN");
        QVERIFY2(rtn || !samePages(r, sent, sff::Resolution::Fine, &why), qPrintable(log));
        break;
    }
    case 1:
        QVERIFY2(r.caller.success() && r.answerer.success(), qPrintable(log));
        QVERIFY(r.has(Side::Caller, Event::Type::FrameReceived, "PPR"));
        QVERIFY2(samePages(r, sent, sff::Resolution::Fine, &why), qPrintable(why));
        break;
    case 2:
        QVERIFY2(!r.caller.success() && !r.answerer.success(), qPrintable(log));
        QCOMPARE(r.caller.reason, reasonFor(r.caller.t30Error, true));
        QCOMPARE(r.answerer.reason, reasonFor(r.answerer.t30Error, false));
        QVERIFY(r.caller.reason >= ReasonNotFax && r.caller.reason <= ReasonLocalAbort);
        break;
    }
}

void TestT30Call::failures_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("callerReason");
    QTest::addColumn<int>("answererReason");
    QTest::newRow("receiver without fine resolution") << 0 << int(ReasonUnsupported) << -1;
    // The answerer sends DIS three times and gives up (T30_ERR_RETRYDCN).
    QTest::newRow("line too weak for a fax") << 1 << int(ReasonNotFax) << int(ReasonProcedureError);
    QTest::newRow("caller aborts") << 2 << int(ReasonLocalAbort) << -1;
}

void TestT30Call::failures()
{
    QFETCH(int, kind);
    QFETCH(int, callerReason);
    QFETCH(int, answererReason);
    CallConfig c = config(faxtest::document({faxtest::textPage(100, 1)},
                                            kind == 0 ? sff::Resolution::Fine
                                                      : sff::Resolution::Standard));
    if (kind == 0)
        c.answerer.fine = false;
    else if (kind == 1) {
        c.line.attenuationDb = 60;
    }
    Call call(c);
    QVERIFY(call.start());
    if (kind == 2) {
        for (int i = 0; i < 400; ++i) // 8 s: into the handshake
            call.tick();
        call.abort(Side::Caller);
    }
    call.runToEnd();
    QCOMPARE(int(call.outcome(Side::Caller).reason), callerReason);
    const SideOutcome &a = call.outcome(Side::Answerer);
    if (answererReason >= 0)
        QCOMPARE(int(a.reason), answererReason);
    QVERIFY(!a.success());
    QCOMPARE(a.reason, reasonFor(a.t30Error, false));
}

void TestT30Call::documentRefused()
{
    CallConfig c = config(QByteArray("Sfff not a document"));
    Call call(c);
    QString error;
    QVERIFY(!call.start(&error));
    QVERIFY(!error.isEmpty());
    QVERIFY(call.finished());
    QCOMPARE(call.outcome(Side::Caller).reason, ReasonTxUnderflow);
    QCOMPARE(call.outcome(Side::Caller).t30Error, ErrorDocument);
}

void TestT30Call::backgroundConversion_data()
{
    QTest::addColumn<int>("pages");
    QTest::addColumn<bool>("abortAtOnce");
    QTest::newRow("completes as a call converted at start") << 3 << false;
    // Most likely still converting when the abort comes; the call must end on both sides and
    // its destruction wait for the conversion instead of removing the folder under it.
    QTest::newRow("aborted while converting") << 40 << true;
}

void TestT30Call::backgroundConversion()
{
    QFETCH(int, pages);
    QFETCH(bool, abortAtOnce);
    QList<faxtest::Rows> sent;
    for (int p = 0; p < pages; ++p)
        sent << faxtest::textPage(240, unsigned(p + 3));
    CallConfig c = config(faxtest::document(sent, sff::Resolution::Fine));
    c.prepareInBackground = true;
    Result r;
    {
        Call call(c);
        QVERIFY(call.start());
        if (abortAtOnce)
            call.abort(Side::Caller);
        call.runToEnd();
        QVERIFY(!call.preparing());
        r.events = call.takeEvents();
        r.caller = call.outcome(Side::Caller);
        r.answerer = call.outcome(Side::Answerer);
    }
    for (const Event &e : r.events)
        if (e.type == Event::Type::PageReceived)
            r.pages << e.sff;
    if (abortAtOnce) {
        QCOMPARE(r.caller.t30Error, ErrorLocalAbort);
        QVERIFY(r.answerer.ended && !r.answerer.success());
        QVERIFY(r.pages.isEmpty());
        return;
    }
    QVERIFY2(r.caller.success(), qPrintable(t30ErrorText(r.caller.t30Error)));
    QVERIFY2(r.answerer.success(), qPrintable(t30ErrorText(r.answerer.t30Error)));
    QString why;
    QVERIFY2(samePages(r, sent, sff::Resolution::Fine, &why), qPrintable(why));
}

void TestT30Call::recording()
{
    QTemporaryDir dir;
    CallConfig c = config(faxtest::document({faxtest::textPage(100, 1)}, sff::Resolution::Standard));
    c.recordFolder = dir.filePath(QStringLiteral("rec"));
    c.caller.workFolder = dir.filePath(QStringLiteral("work"));
    c.answerer.workFolder = c.caller.workFolder;
    QDir().mkpath(c.caller.workFolder);
    qint64 elapsed = 0;
    QString path;
    {
        Call call(c);
        QVERIFY(call.start());
        for (int i = 0; i < 50; ++i)
            call.tick();
        // Each side's private folder holds its TIFF files while the call runs.
        QCOMPARE(QDir(c.caller.workFolder).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 2);
        call.runToEnd();
        QVERIFY(call.outcome(Side::Caller).success());
        elapsed = call.elapsedMs();
        path = call.recordingPath();
    }
    QVERIFY(QDir(c.caller.workFolder).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray wav = f.readAll();
    QCOMPARE(qFromLittleEndian<quint16>(wav.constData() + 22), quint16(2));
    QCOMPARE(qFromLittleEndian<quint32>(wav.constData() + 24), quint32(8000));
    const qint64 frames = (wav.size() - 44) / 4;
    QCOMPARE(frames, elapsed * 8);
    QCOMPARE(qint64(qFromLittleEndian<quint32>(wav.constData() + 40)), frames * 4);

    // The answer tone (CED, 2,100 Hz) reaches the caller in the first seconds: look for it
    // in 50 ms blocks of the right channel.
    std::vector<qint16> right;
    for (qint64 i = 0; i < std::min<qint64>(frames, 8000 * 6); ++i)
        right.push_back(qFromLittleEndian<qint16>(wav.constData() + 44 + i * 4 + 2));
    int cedBlocks = 0;
    for (size_t i = 0; i + 400 <= right.size(); i += 400)
        if (toneShare(right.data() + i, 400, 2100) > 0.8)
            ++cedBlocks;
    QVERIFY2(cedBlocks >= 40, qPrintable(QString::number(cedBlocks))); // 2 s of 2.6-4 s CED
}

QUILLON_TEST_GUILESS_MAIN(TestT30Call)
#include "tst_t30call.moc"
