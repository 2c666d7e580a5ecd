#include "sff/mh.h"

#include "common/testenv.h"

#include <QRandomGenerator>

using sff::mh::Runs;
using sff::mh::Status;

namespace {

// A code word as T.4 lists it: its length and its value read most significant bit first.
struct Code
{
    int run;
    int length;
    quint32 value;
};

// The code words, typed from T.4 as (run, length, value); kept apart from the library's
// own tables so that a slip in either shows.
const Code whiteTerm[] = {
    {0, 8, 0x35},  {1, 6, 0x07},  {2, 4, 0x7},   {3, 4, 0x8},   {4, 4, 0xB},   {5, 4, 0xC},
    {6, 4, 0xE},   {7, 4, 0xF},   {8, 5, 0x13},  {9, 5, 0x14},  {10, 5, 0x7},  {11, 5, 0x8},
    {12, 6, 0x8},  {13, 6, 0x3},  {14, 6, 0x34}, {15, 6, 0x35}, {16, 6, 0x2A}, {17, 6, 0x2B},
    {18, 7, 0x27}, {19, 7, 0xC},  {20, 7, 0x8},  {21, 7, 0x17}, {22, 7, 0x3},  {23, 7, 0x4},
    {24, 7, 0x28}, {25, 7, 0x2B}, {26, 7, 0x13}, {27, 7, 0x24}, {28, 7, 0x18}, {29, 8, 0x2},
    {30, 8, 0x3},  {31, 8, 0x1A}, {32, 8, 0x1B}, {33, 8, 0x12}, {34, 8, 0x13}, {35, 8, 0x14},
    {36, 8, 0x15}, {37, 8, 0x16}, {38, 8, 0x17}, {39, 8, 0x28}, {40, 8, 0x29}, {41, 8, 0x2A},
    {42, 8, 0x2B}, {43, 8, 0x2C}, {44, 8, 0x2D}, {45, 8, 0x4},  {46, 8, 0x5},  {47, 8, 0xA},
    {48, 8, 0xB},  {49, 8, 0x52}, {50, 8, 0x53}, {51, 8, 0x54}, {52, 8, 0x55}, {53, 8, 0x24},
    {54, 8, 0x25}, {55, 8, 0x58}, {56, 8, 0x59}, {57, 8, 0x5A}, {58, 8, 0x5B}, {59, 8, 0x4A},
    {60, 8, 0x4B}, {61, 8, 0x32}, {62, 8, 0x33}, {63, 8, 0x34},
};
const Code whiteMakeUp[] = {
    {64, 5, 0x1B},   {128, 5, 0x12},  {192, 6, 0x17},  {256, 7, 0x37},  {320, 8, 0x36},
    {384, 8, 0x37},  {448, 8, 0x64},  {512, 8, 0x65},  {576, 8, 0x68},  {640, 8, 0x67},
    {704, 9, 0xCC},  {768, 9, 0xCD},  {832, 9, 0xD2},  {896, 9, 0xD3},  {960, 9, 0xD4},
    {1024, 9, 0xD5}, {1088, 9, 0xD6}, {1152, 9, 0xD7}, {1216, 9, 0xD8}, {1280, 9, 0xD9},
    {1344, 9, 0xDA}, {1408, 9, 0xDB}, {1472, 9, 0x98}, {1536, 9, 0x99}, {1600, 9, 0x9A},
    {1664, 6, 0x18}, {1728, 9, 0x9B},
};
const Code blackTerm[] = {
    {0, 10, 0x37},  {1, 3, 0x2},    {2, 2, 0x3},    {3, 2, 0x2},    {4, 3, 0x3},    {5, 4, 0x3},
    {6, 4, 0x2},    {7, 5, 0x3},    {8, 6, 0x5},    {9, 6, 0x4},    {10, 7, 0x4},   {11, 7, 0x5},
    {12, 7, 0x7},   {13, 8, 0x4},   {14, 8, 0x7},   {15, 9, 0x18},  {16, 10, 0x17}, {17, 10, 0x18},
    {18, 10, 0x8},  {19, 11, 0x67}, {20, 11, 0x68}, {21, 11, 0x6C}, {22, 11, 0x37}, {23, 11, 0x28},
    {24, 11, 0x17}, {25, 11, 0x18}, {26, 12, 0xCA}, {27, 12, 0xCB}, {28, 12, 0xCC}, {29, 12, 0xCD},
    {30, 12, 0x68}, {31, 12, 0x69}, {32, 12, 0x6A}, {33, 12, 0x6B}, {34, 12, 0xD2}, {35, 12, 0xD3},
    {36, 12, 0xD4}, {37, 12, 0xD5}, {38, 12, 0xD6}, {39, 12, 0xD7}, {40, 12, 0x6C}, {41, 12, 0x6D},
    {42, 12, 0xDA}, {43, 12, 0xDB}, {44, 12, 0x54}, {45, 12, 0x55}, {46, 12, 0x56}, {47, 12, 0x57},
    {48, 12, 0x64}, {49, 12, 0x65}, {50, 12, 0x52}, {51, 12, 0x53}, {52, 12, 0x24}, {53, 12, 0x37},
    {54, 12, 0x38}, {55, 12, 0x27}, {56, 12, 0x28}, {57, 12, 0x58}, {58, 12, 0x59}, {59, 12, 0x2B},
    {60, 12, 0x2C}, {61, 12, 0x5A}, {62, 12, 0x66}, {63, 12, 0x67},
};
const Code blackMakeUp[] = {
    {64, 10, 0xF},    {128, 12, 0xC8},  {192, 12, 0xC9},  {256, 12, 0x5B},  {320, 12, 0x33},
    {384, 12, 0x34},  {448, 12, 0x35},  {512, 13, 0x6C},  {576, 13, 0x6D},  {640, 13, 0x4A},
    {704, 13, 0x4B},  {768, 13, 0x4C},  {832, 13, 0x4D},  {896, 13, 0x72},  {960, 13, 0x73},
    {1024, 13, 0x74}, {1088, 13, 0x75}, {1152, 13, 0x76}, {1216, 13, 0x77}, {1280, 13, 0x52},
    {1344, 13, 0x53}, {1408, 13, 0x54}, {1472, 13, 0x55}, {1536, 13, 0x5A}, {1600, 13, 0x5B},
    {1664, 13, 0x64}, {1728, 13, 0x65},
};
const Code extendedMakeUp[] = {
    {1792, 11, 0x8},  {1856, 11, 0xC},  {1920, 11, 0xD},  {1984, 12, 0x12}, {2048, 12, 0x13},
    {2112, 12, 0x14}, {2176, 12, 0x15}, {2240, 12, 0x16}, {2304, 12, 0x17}, {2368, 12, 0x1C},
    {2432, 12, 0x1D}, {2496, 12, 0x1E}, {2560, 12, 0x1F},
};

// Packs code words into bytes the way SFF stores them: first bit into the least significant
// bit, zero bits up to the byte boundary.
QByteArray pack(std::initializer_list<Code> codes)
{
    QByteArray out;
    int bit = 0;
    for (const Code &c : codes) {
        for (int i = c.length - 1; i >= 0; --i) {
            if (bit % 8 == 0)
                out.append('\0');
            if (c.value & (1u << i))
                out[bit / 8] = char(uchar(out[bit / 8]) | (1u << (bit % 8)));
            ++bit;
        }
    }
    return out;
}

int sum(const Runs &runs)
{
    int s = 0;
    for (int r : runs)
        s += r;
    return s;
}

Runs randomRuns(QRandomGenerator &rng, int lineLength)
{
    Runs runs;
    int left = lineLength;
    bool first = true;
    while (left > 0) {
        // Mostly short runs, now and then one long enough for repeated make-up codes.
        int r = rng.bounded(100) < 5 ? rng.bounded(left + 1) : rng.bounded(std::min(left, 80) + 1);
        if (!first && r == 0)
            r = 1; // a zero run inside a line is legal, but a coder never writes one
        runs.push_back(std::min(r, left));
        left -= runs.back();
        first = false;
    }
    if (runs.empty())
        runs.push_back(0);
    return runs;
}

} // namespace

class TestMh : public QObject
{
    Q_OBJECT

private slots:
    // Each code word of both colours, in the shortest line that contains it.
    void singleCode_data()
    {
        QTest::addColumn<Runs>("runs");
        QTest::addColumn<QByteArray>("coded");
        const Code w0 = whiteTerm[0];
        const Code b0 = blackTerm[0];
        for (const Code &c : whiteTerm) {
            if (c.run == 0) // a line needs a pixel: white 0, then black 1
                QTest::addRow("white %d", c.run) << Runs{0, 1} << pack({c, blackTerm[1]});
            else
                QTest::addRow("white %d", c.run) << Runs{c.run} << pack({c});
        }
        for (const Code &c : blackTerm) {
            if (c.run == 0) // a black run of 0 between two white pixels
                QTest::addRow("black %d", c.run)
                    << Runs{1, 0, 1} << pack({whiteTerm[1], c, whiteTerm[1]});
            else
                QTest::addRow("black %d", c.run) << Runs{0, c.run} << pack({w0, c});
        }
        for (const Code &c : whiteMakeUp)
            QTest::addRow("white make-up %d", c.run) << Runs{c.run} << pack({c, w0});
        for (const Code &c : blackMakeUp)
            QTest::addRow("black make-up %d", c.run) << Runs{0, c.run} << pack({w0, c, b0});
        for (const Code &c : extendedMakeUp) {
            QTest::addRow("white extended %d", c.run) << Runs{c.run} << pack({c, w0});
            QTest::addRow("black extended %d", c.run) << Runs{0, c.run} << pack({w0, c, b0});
        }
        QTest::newRow("all-white A4 line") << Runs{1728} << QByteArray::fromHex("b25901");
        QTest::newRow("run over 2560: repeated make-up")
            << Runs{2560 + 1728 + 5} << pack({extendedMakeUp[12], whiteMakeUp[26], whiteTerm[5]});
    }
    void singleCode()
    {
        QFETCH(Runs, runs);
        QFETCH(QByteArray, coded);
        QCOMPARE(sff::mh::encodeRuns(runs).toHex(' '), coded.toHex(' '));

        Runs decoded;
        const auto result = sff::mh::decodeLine(reinterpret_cast<const uchar *>(coded.constData()),
                                                coded.size(), sum(runs), &decoded);
        QVERIFY2(result.ok(), qPrintable(result.message(sum(runs))));
        QCOMPARE(decoded, runs);
    }

    void randomRunsRoundTrip()
    {
        QRandomGenerator rng(4711);
        for (int i = 0; i < 3000; ++i) {
            const int lineLength = i % 3 == 0 ? 1728 : 1 + rng.bounded(9000);
            const Runs runs = randomRuns(rng, lineLength);
            const QByteArray coded = sff::mh::encodeRuns(runs);
            Runs decoded;
            const auto r = sff::mh::decodeLine(reinterpret_cast<const uchar *>(coded.constData()),
                                               coded.size(), lineLength, &decoded);
            QVERIFY2(r.ok(), qPrintable(r.message(lineLength)));
            QCOMPARE(r.pixels, lineLength);
            QCOMPARE(decoded, runs);
        }
    }

    // Rows of pixels through runs and codes and back; widths that are no multiple of 8 or 64,
    // with stray bits past the width that must be ignored.
    void randomRowsRoundTrip()
    {
        QRandomGenerator rng(815);
        for (int i = 0; i < 2000; ++i) {
            const int width = 1 + rng.bounded(3000);
            const int bytes = (width + 7) / 8;
            QByteArray row(bytes, '\0');
            const int density = rng.bounded(4); // white, sparse, dense, noise
            for (int x = 0; x < width; ++x) {
                const bool black =
                    density == 3 ? rng.bounded(2) == 1 : rng.bounded(100) < density * 20;
                if (black)
                    row[x / 8] = char(uchar(row[x / 8]) | (0x80 >> (x % 8)));
            }
            QByteArray withStray = row;
            if (width % 8)
                withStray[bytes - 1] = char(uchar(row[bytes - 1]) | (0xff >> (width % 8)));

            QByteArray coded;
            sff::mh::encodeRow(reinterpret_cast<const uchar *>(withStray.constData()), width,
                               coded);
            Runs runs;
            const auto r = sff::mh::decodeLine(reinterpret_cast<const uchar *>(coded.constData()),
                                               coded.size(), width, &runs);
            QVERIFY2(r.ok(), qPrintable(r.message(width)));
            QByteArray back(bytes, '\x55');
            sff::mh::runsToRow(runs, reinterpret_cast<uchar *>(back.data()), width);
            QCOMPARE(back.toHex(), row.toHex());
        }
    }

    void faults_data()
    {
        QTest::addColumn<QByteArray>("coded");
        QTest::addColumn<int>("lineLength");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("pixels");
        QTest::addColumn<Runs>("runs"); // what a renderer gets: decoded up to the fault
        const Code w0 = whiteTerm[0];
        QTest::newRow("one pixel short")
            << pack({whiteTerm[10]}) << 11 << int(Status::TooFewPixels) << 10 << Runs{10};
        QTest::newRow("empty line")
            << QByteArray() << 1728 << int(Status::TooFewPixels) << 0 << Runs{};
        QTest::newRow("ends after make-up code")
            << pack({whiteMakeUp[0]}) << 100 << int(Status::TooFewPixels) << 0 << Runs{64};
        QTest::newRow("code cut by the end of data")
            << pack({w0, blackTerm[20]}).left(2) << 20 << int(Status::TooFewPixels) << 0 << Runs{0};
        QTest::newRow("one pixel too many")
            << pack({whiteTerm[12]}) << 11 << int(Status::TooManyPixels) << 0 << Runs{11};
        QTest::newRow("make-up passes line length")
            << pack({whiteMakeUp[26], w0}) << 1700 << int(Status::TooManyPixels) << 0 << Runs{1700};
        QTest::newRow("second run passes line length")
            << pack({whiteTerm[5], blackTerm[9]}) << 10 << int(Status::TooManyPixels) << 5
            << Runs{5, 5};
        // Eight zero bits then a one: no white code starts with 00000000.
        QTest::newRow("no such white code")
            << QByteArray::fromHex("0001") << 1728 << int(Status::InvalidCode) << 0 << Runs{};
        QTest::newRow("EOL inside a line") << pack({whiteTerm[3], {0, 12, 0x1}, whiteTerm[3]}) << 6
                                           << int(Status::InvalidCode) << 3 << Runs{3};
        QTest::newRow("stray bits after the line")
            << pack({whiteTerm[7], blackTerm[2]}) << 7 << int(Status::TrailingData) << 7 << Runs{7};
    }
    void faults()
    {
        QFETCH(QByteArray, coded);
        QFETCH(int, lineLength);
        QFETCH(int, status);
        QFETCH(int, pixels);
        QFETCH(Runs, runs);
        Runs decoded;
        const auto r = sff::mh::decodeLine(reinterpret_cast<const uchar *>(coded.constData()),
                                           coded.size(), lineLength, &decoded);
        QCOMPARE(int(r.status), status);
        QCOMPARE(r.pixels, pixels);
        QCOMPARE(decoded, runs);
        QVERIFY(!r.message(lineLength).isEmpty());
    }

    // What may follow a complete line: fill bits and EOL codes.
    void fillAndEolAccepted_data()
    {
        QTest::addColumn<QByteArray>("coded");
        QTest::newRow("zero bytes") << pack({whiteMakeUp[26], whiteTerm[0]}) + QByteArray(4, 0);
        QTest::newRow("EOL") << pack({whiteMakeUp[26], whiteTerm[0], {0, 12, 0x1}});
        QTest::newRow("fill then two EOLs")
            << pack({whiteMakeUp[26], whiteTerm[0], {0, 19, 0x1}, {0, 12, 0x1}});
    }
    void fillAndEolAccepted()
    {
        QFETCH(QByteArray, coded);
        const auto r = sff::mh::decodeLine(reinterpret_cast<const uchar *>(coded.constData()),
                                           coded.size(), 1728);
        QVERIFY2(r.ok(), qPrintable(r.message(1728)));
    }

    // The three ways to decode a line agree on every line, good or broken: the status, the
    // place of a fault, and the pixels (runs drawn into a row, or the row written directly).
    // Lines with faults come from good lines with bits flipped, cut short or extended.
    void decodeModesAgree()
    {
        QRandomGenerator rng(2024);
        for (int i = 0; i < 6000; ++i) {
            const int lineLength = i % 4 == 0 ? 1728 : 1 + rng.bounded(5000);
            QByteArray coded = sff::mh::encodeRuns(randomRuns(rng, lineLength));
            switch (i % 5) {
            case 0: // good
                break;
            case 1: // a bit flipped
                coded[rng.bounded(coded.size())] ^= char(1 << rng.bounded(8));
                break;
            case 2: // cut
                coded.truncate(rng.bounded(coded.size()));
                break;
            case 3: // a random byte more
                coded.append(char(rng.bounded(256)));
                break;
            case 4: // random bytes
                for (char &c : coded)
                    c = char(rng.bounded(256));
                break;
            }
            const auto *data = reinterpret_cast<const uchar *>(coded.constData());
            Runs runs;
            const auto viaRuns = sff::mh::decodeLine(data, coded.size(), lineLength, &runs);
            const auto check = sff::mh::decodeLine(data, coded.size(), lineLength);
            const int bytes = (lineLength + 7) / 8;
            QByteArray want(bytes, '\0');
            sff::mh::runsToRow(runs, reinterpret_cast<uchar *>(want.data()), lineLength);
            // A guard byte past the row shows a write outside it.
            QByteArray row(bytes + 1, '\x5a');
            const auto direct =
                sff::mh::decodeRow(data, coded.size(), lineLength, reinterpret_cast<uchar *>(row.data()));
            for (const auto &r : {check, direct}) {
                QCOMPARE(int(r.status), int(viaRuns.status));
                QCOMPARE(r.pixels, viaRuns.pixels);
                QCOMPARE(r.bitPos, viaRuns.bitPos);
            }
            QCOMPARE(row.left(bytes).toHex(), want.toHex());
            QCOMPARE(row.at(bytes), '\x5a');
        }
    }

    // Checking a line takes several codes per table access, make-up codes and runs of 0 among
    // them; where the line ends next to such codes the check must say what decoding the runs
    // says (random lines seldom have a run of 0 or a run ending on a make-up code).
    void checkAgreesNearLineEnd_data()
    {
        QTest::addColumn<QByteArray>("coded");
        QTest::addColumn<int>("lineLength");
        QTest::addColumn<int>("status");
        const Code w0 = whiteTerm[0];
        const Code b0 = blackTerm[0];
        QTest::newRow("run of 0 after the complete line")
            << pack({whiteTerm[10], blackTerm[2], w0}) << 12 << int(Status::TrailingData);
        QTest::newRow("runs of 0 inside the line")
            << pack({whiteTerm[5], b0, w0, blackTerm[4]}) << 9 << int(Status::Ok);
        QTest::newRow("white make-up code and its run of 0")
            << pack({whiteMakeUp[0], w0}) << 64 << int(Status::Ok);
        QTest::newRow("black make-up code reaching the end, then its run of 0")
            << pack({whiteTerm[3], blackMakeUp[0], b0}) << 67 << int(Status::Ok);
        QTest::newRow("make-up code reaching the end without its run of 0")
            << pack({whiteTerm[3], blackMakeUp[0]}) << 67 << int(Status::TooFewPixels);
        QTest::newRow("two make-up codes in one run")
            << pack({extendedMakeUp[12], whiteMakeUp[0], whiteTerm[6]}) << 2630 << int(Status::Ok);
        QTest::newRow("a run past the end inside a group of short codes")
            << pack({whiteTerm[2], blackTerm[2], whiteTerm[2], blackTerm[3]}) << 8
            << int(Status::TooManyPixels);
        QTest::newRow("line starting black") << pack({w0, blackTerm[3], whiteTerm[7]}) << 10
                                             << int(Status::Ok);
    }
    void checkAgreesNearLineEnd()
    {
        QFETCH(QByteArray, coded);
        QFETCH(int, lineLength);
        QFETCH(int, status);
        const auto *data = reinterpret_cast<const uchar *>(coded.constData());
        Runs runs;
        const auto viaRuns = sff::mh::decodeLine(data, coded.size(), lineLength, &runs);
        const auto check = sff::mh::decodeLine(data, coded.size(), lineLength);
        QCOMPARE(int(viaRuns.status), status);
        QCOMPARE(int(check.status), status);
        QCOMPARE(check.pixels, viaRuns.pixels);
        QCOMPARE(check.bitPos, viaRuns.bitPos);
    }

    // Encoding a row directly gives the same codes as encoding its runs.
    void encodeRowMatchesRuns()
    {
        QRandomGenerator rng(99);
        for (int i = 0; i < 2000; ++i) {
            const int width = 1 + rng.bounded(6000);
            QByteArray row((width + 7) / 8, '\0');
            const int density = rng.bounded(5); // 0: white, 4: solid black
            for (int x = 0; x < width; ++x)
                if (density == 4 || rng.bounded(100) < density * 15)
                    row[x / 8] = char(uchar(row[x / 8]) | (0x80 >> (x % 8)));
            const auto *pixels = reinterpret_cast<const uchar *>(row.constData());
            Runs runs;
            sff::mh::rowToRuns(pixels, width, runs);
            QByteArray coded("prefix");
            sff::mh::encodeRow(pixels, width, coded);
            QCOMPARE(coded.toHex(), (QByteArray("prefix") + sff::mh::encodeRuns(runs)).toHex());
            QCOMPARE(sff::mh::isWhiteRow(pixels, width), runs.size() == 1);
        }
    }

    void rowToRunsStartsWhite()
    {
        const uchar black[2] = {0xff, 0xc0}; // 10 black pixels
        Runs runs;
        sff::mh::rowToRuns(black, 10, runs);
        QCOMPARE(runs, (Runs{0, 10}));
        const uchar mixed[1] = {0x3c}; // 00111100
        sff::mh::rowToRuns(mixed, 8, runs);
        QCOMPARE(runs, (Runs{2, 4, 2}));
    }
};

QUILLON_TEST_GUILESS_MAIN(TestMh)
#include "tst_mh.moc"
