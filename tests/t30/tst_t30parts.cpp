#include "t30report/framereport.h"
#include "t30report/frames.h"
#include "t30/headline.h"
#include "t30/impairments.h"
#include "t30/reasons.h"
#include "t30/terminal.h"
#include "t30/wavrecorder.h"

#include "common/testenv.h"

#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <spandsp.h>

#include <cmath>
#include <set>

using namespace t30;

namespace {

double rms(const int16_t *s, int n)
{
    double e = 0;
    for (int i = 0; i < n; ++i)
        e += double(s[i]) * s[i];
    return std::sqrt(e / n);
}

QByteArray frame(std::initializer_list<int> bytes)
{
    QByteArray f;
    for (int b : bytes)
        f.append(char(b));
    return f;
}

} // namespace

class TestT30Parts : public QObject
{
    Q_OBJECT

private slots:
    void reasonRows_data();
    void reasonRows();
    void everyCompletionCodeMapped();
    void frames_data();
    void frames();
    void reportRoundTrip();
    void reportRejects_data();
    void reportRejects();
    void headLine();
    void lineNoiseIsGated();
    void lineAttenuationAndDropout();
    void wavHeader();
};

void TestT30Parts::reasonRows_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("sending");
    QTest::addColumn<int>("receiving");
    QTest::newRow("OK") << int(T30_ERR_OK) << 0 << 0;
    QTest::newRow("CED tone") << int(T30_ERR_CEDTONE) << 0x3311 << 0x3311;
    QTest::newRow("T0") << int(T30_ERR_T0_EXPIRED) << 0x3311 << 0x3311;
    QTest::newRow("T1") << int(T30_ERR_T1_EXPIRED) << 0x3311 << 0x3311;
    QTest::newRow("no DIS") << int(T30_ERR_TX_NODIS) << 0x3311 << 0x3311;
    QTest::newRow("cannot train") << int(T30_ERR_CANNOT_TRAIN) << 0x3312 << 0x3312;
    QTest::newRow("bad DCS") << int(T30_ERR_TX_BADDCS) << 0x3312 << 0x3312;
    QTest::newRow("phase B dead") << int(T30_ERR_TX_PHBDEAD) << 0x3312 << 0x3312;
    QTest::newRow("incompatible") << int(T30_ERR_INCOMPATIBLE) << 0x3313 << 0x3313;
    QTest::newRow("resolution") << int(T30_ERR_NORESSUPPORT) << 0x3313 << 0x3313;
    QTest::newRow("size") << int(T30_ERR_NOSIZESUPPORT) << 0x3313 << 0x3313;
    QTest::newRow("DCN after page") << int(T30_ERR_TX_BADPG) << 0x3314 << 0x3314;
    QTest::newRow("DCN waiting for DIS") << int(T30_ERR_TX_GOTDCN) << 0x3314 << 0x3314;
    QTest::newRow("DCN during data") << int(T30_ERR_RX_DCNDATA) << 0x3314 << 0x3314;
    QTest::newRow("call dropped") << int(T30_ERR_CALLDROPPED) << 0x3314 << 0x3314;
    QTest::newRow("unexpected") << int(T30_ERR_UNEXPECTED) << 0x3315 << 0x3315;
    QTest::newRow("no carrier") << int(T30_ERR_RX_NOCARRIER) << 0x3315 << 0x3315;
    QTest::newRow("T2 waiting for MPS") << int(T30_ERR_RX_T2EXPMPS) << 0x3315 << 0x3315;
    QTest::newRow("retries") << int(T30_ERR_RETRYDCN) << 0x3315 << 0x3315;
    QTest::newRow("file") << int(T30_ERR_FILEERROR) << 0x3316 << 0x3317;
    QTest::newRow("bad TIFF") << int(T30_ERR_BADTIFF) << 0x3316 << 0x3317;
    QTest::newRow("no memory") << int(T30_ERR_NOMEM) << 0x3316 << 0x3317;
    QTest::newRow("operator") << int(T30_ERR_OPER_INT_FAIL) << 0x3318 << 0x3318;
    QTest::newRow("local abort") << ErrorLocalAbort << 0x3318 << 0x3318;
    QTest::newRow("document") << ErrorDocument << 0x3316 << 0x3317;
    QTest::newRow("unknown code") << 999 << 0x3315 << 0x3315;
}

void TestT30Parts::reasonRows()
{
    QFETCH(int, code);
    QFETCH(int, sending);
    QFETCH(int, receiving);
    QCOMPARE(int(reasonFor(code, true)), sending);
    QCOMPARE(int(reasonFor(code, false)), receiving);
    QVERIFY(!t30ErrorText(code).isEmpty());
}

void TestT30Parts::everyCompletionCodeMapped()
{
    // Each of SpanDSP's codes has exactly one row, and every reason is a fax reason.
    std::multiset<int> codes;
    for (const ReasonRow &row : reasonTable()) {
        codes.insert(row.t30Error);
        for (quint16 r : {row.sending, row.receiving})
            QVERIFY(r == 0 ? row.t30Error == T30_ERR_OK : (r >= 0x3311 && r <= 0x3318));
    }
    for (int code = T30_ERR_OK; code <= T30_ERR_CSA_UNACCEPTABLE; ++code)
        QVERIFY2(codes.count(code) == 1, qPrintable(QString::number(code)));
}

void TestT30Parts::frames_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("line");
    // DIS: V.27ter, V.29 and V.17 (bits 11, 12, 14), ECM (bit 27).
    QTest::newRow("DIS") << frame({0xFF, 0x13, 0x80, 0x00, 0x2C, 0x00, 0x04})
                         << QStringLiteral("T.30 -> DIS: V.17 14400, standard, ECM");
    QTest::newRow("DCS V.29 7200 fine, X bit")
        << frame({0xFF, 0x13, 0x83, 0x00, 0x4C, 0x00}) << QStringLiteral("T.30 -> DCS: V.29 7200, fine, no ECM");
    QTest::newRow("DCS V.17 12000") << frame({0xFF, 0x13, 0x82, 0x00, 0x2A})
                                    << QStringLiteral("T.30 -> DCS: V.17 12000, standard, no ECM");
    QTest::newRow("DCS V.27ter 2400") << frame({0xFF, 0x13, 0x82, 0x00, 0x00})
                                      << QStringLiteral("T.30 -> DCS: V.27ter 2400, standard, no ECM");
    QTest::newRow("TSI reversed") << frame({0xFF, 0x03, 0x43, '4', '3', ' ', '1', '+', ' ', ' '})
                                  << QStringLiteral("T.30 -> TSI: \"+1 34\"");
    QTest::newRow("PPS-EOP") << frame({0xFF, 0x13, 0xBF, 0x2F, 0, 0, 0})
                             << QStringLiteral("T.30 -> PPS-EOP");
    QTest::newRow("MCF") << frame({0xFF, 0x13, 0x8C}) << QStringLiteral("T.30 -> MCF");
    QTest::newRow("unknown") << frame({0xFF, 0x13, 0x02}) << QStringLiteral("T.30 -> FCF 0x02");
    QTest::newRow("short") << frame({0xFF}) << QStringLiteral("T.30 -> ?");
}

void TestT30Parts::frames()
{
    QFETCH(QByteArray, raw);
    QFETCH(QString, line);
    Event e;
    e.type = Event::Type::FrameSent;
    e.frame = decodeFrame(raw);
    e.raw = raw;
    QCOMPARE(e.debugLine().replace(QStringLiteral("T.30:"), QStringLiteral("T.30")), line);
}

void TestT30Parts::reportRoundTrip()
{
    Event e;
    e.type = Event::Type::FrameReceived;
    e.timeMs = 4321;
    e.raw = frame({0xFF, 0x13, 0x80, 0x00, 0x6C, 0x00, 0x04});
    e.frame = decodeFrame(e.raw);
    e.station = QStringLiteral("6");
    const FrameReport report = *reportOf(e);
    QCOMPARE(report.debugLine(), QStringLiteral("T.30: <- DIS: V.17 14400, fine, ECM, station \"6\""));
    QCOMPARE(report.debugLine(), e.debugLine());
    quint32 controller = 0;
    const QByteArray block = encodeManufacturerInd(2, report);
    QCOMPARE(block.mid(4, 4), QByteArray("QULN"));
    const auto back = decodeManufacturerInd(block, &controller);
    QVERIFY(back);
    QCOMPARE(controller, 2u);
    QCOMPARE(*back, report);

    Event training;
    training.type = Event::Type::Training;
    training.ok = false;
    training.frame = decodeFrame(frame({0xFF, 0x13, 0x83, 0x00, 0x22}));
    const FrameReport t = *reportOf(training);
    QCOMPARE(t.debugLine(), QStringLiteral("T.30: training V.17 14400 failed"));
    QCOMPARE(*decodeReport(encodeReport(t)), t);
    Event page;
    page.type = Event::Type::PageReceived;
    QVERIFY(!reportOf(page));
}

void TestT30Parts::reportRejects_data()
{
    FrameReport r;
    r.station = QStringLiteral("123");
    r.frame = frame({0xFF, 0x13, 0x8C});
    const QByteArray good = encodeManufacturerInd(1, r);
    QTest::addColumn<QByteArray>("block");
    QTest::newRow("other manufacturer") << QByteArray(good).replace(4, 4, "ABCD");
    QTest::newRow("other class") << QByteArray(good).replace(9, 1, "\x31");
    QTest::newRow("bad kind") << QByteArray(good).replace(11, 1, "\x07");
    QTest::newRow("bad modem") << QByteArray(good).replace(17, 1, "\x09");
    QTest::newRow("frame struct past end") << good.left(good.size() - 1);
    QTest::newRow("outer struct past end") << QByteArray(good).replace(8, 1, "\x7f");
    QTest::newRow("too short") << good.left(8);
}

void TestT30Parts::reportRejects()
{
    QFETCH(QByteArray, block);
    QVERIFY(!decodeManufacturerInd(block));
}

void TestT30Parts::headLine()
{
    const HeadLine head{QStringLiteral("+49 30 1234"), QStringLiteral("Quillon"),
                        QDateTime(QDate(2026, 12, 9), QTime(4, 30))};
    const QString text = headLineText(head, 2, 5, 90);
    QCOMPARE(text.size(), 90);
    QVERIFY(text.startsWith(QStringLiteral("09.12.2026 04:30  +49 30 1234  Quillon")));
    QVERIFY(text.endsWith(QStringLiteral("page 2 of 5")));
    // Too narrow for everything: the page number stays.
    QCOMPARE(headLineText(head, 2, 5, 20), QStringLiteral("09.12.2  page 2 of 5"));

    for (auto res : {sff::Resolution::Standard, sff::Resolution::Fine}) {
        const QList<QByteArray> rows = renderHeadLine(head, 2, 5, 1728, res);
        QCOMPARE(rows.size(), res == sff::Resolution::Fine ? 32 : 16);
        int black = 0;
        for (const QByteArray &row : rows) {
            QCOMPARE(row.size(), 216);
            for (char c : row)
                black += std::popcount(uchar(c));
        }
        QVERIFY(black > 500);
        QCOMPARE(rows.first(), QByteArray(216, '\0')); // a blank row above the text
        QCOMPARE(rows.last(), QByteArray(216, '\0'));
    }
    // Narrow pages get as much as fits, and nothing spills past the width.
    const QList<QByteArray> narrow = renderHeadLine(head, 1, 1, 30, sff::Resolution::Standard);
    QCOMPARE(narrow.size(), 16);
}

void TestT30Parts::lineNoiseIsGated()
{
    Impairments imp;
    imp.snrDb = 18;
    LinePath path(imp, 7);
    int16_t silence[160] = {};
    path.process(silence, 160);
    QCOMPARE(rms(silence, 160), 0.0); // no noise between signals

    const double amplitude = LinePath::rmsOfDbm0(-10) * std::sqrt(2.0);
    std::vector<int16_t> tone(8000), clean(8000);
    for (int i = 0; i < 8000; ++i)
        clean[i] = tone[i] = int16_t(std::lround(amplitude * std::sin(2 * M_PI * 1800 * i / 8000)));
    for (int i = 0; i < 8000; i += 160)
        path.process(tone.data() + i, 160);
    std::vector<int16_t> noise(8000);
    for (int i = 0; i < 8000; ++i)
        noise[i] = int16_t(tone[i] - clean[i]);
    const double snr = 20 * std::log10(rms(clean.data(), 8000) / rms(noise.data(), 8000));
    QVERIFY2(std::abs(snr - 18) < 0.5, qPrintable(QString::number(snr)));
}

void TestT30Parts::lineAttenuationAndDropout()
{
    Impairments imp;
    imp.attenuationDb = 6.0206;
    LinePath path(imp, 1);
    int16_t block[160];
    std::fill(std::begin(block), std::end(block), int16_t(10000));
    path.process(block, 160, 40, 100);
    QCOMPARE(block[0], int16_t(5000));
    QCOMPARE(block[39], int16_t(5000));
    QCOMPARE(block[40], int16_t(0));
    QCOMPARE(block[99], int16_t(0));
    QCOMPARE(block[100], int16_t(5000));
}

void TestT30Parts::wavHeader()
{
    QTemporaryDir dir;
    WavRecorder rec;
    const QString path = dir.filePath(QStringLiteral("a.wav"));
    QVERIFY(rec.open(path));
    int16_t l[3] = {1, -2, 3}, r[3] = {100, 200, -300};
    rec.write(l, r, 3);
    rec.write(l, r, 2);
    QVERIFY(rec.close());
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray d = f.readAll();
    QCOMPARE(d.size(), 44 + 5 * 4);
    const char *p = d.constData();
    QCOMPARE(QByteArray(p, 4), QByteArray("RIFF"));
    QCOMPARE(qFromLittleEndian<quint32>(p + 4), quint32(d.size() - 8));
    QCOMPARE(QByteArray(p + 8, 8), QByteArray("WAVEfmt "));
    QCOMPARE(qFromLittleEndian<quint16>(p + 22), quint16(2));
    QCOMPARE(qFromLittleEndian<quint32>(p + 24), quint32(8000));
    QCOMPARE(qFromLittleEndian<quint16>(p + 34), quint16(16));
    QCOMPARE(qFromLittleEndian<quint32>(p + 40), quint32(20));
    QCOMPARE(qFromLittleEndian<qint16>(p + 44 + 4), qint16(-2));
    QCOMPARE(qFromLittleEndian<qint16>(p + 44 + 10), qint16(-300));
    QVERIFY(!WavRecorder().open(dir.filePath(QStringLiteral("missing/a.wav"))));
}

QUILLON_TEST_GUILESS_MAIN(TestT30Parts)
#include "tst_t30parts.moc"
