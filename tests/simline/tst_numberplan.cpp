// The number-plan file: rules that read right, lookups by longest match, and malformed
// files refused with their line and reason.

#include "simline/numberplan.h"

#include "common/testenv.h"

#include <QTemporaryDir>

using simline::FarEnd;
using simline::FaultPlan;
using K = FarEnd::Behaviour;

namespace {
// The noise of 997 is seeded so that its calls fall back and complete (see the call tests).
const QString kNoisySeed = QStringLiteral(" seed %1").arg(simline::builtInNumberPlan().ruleFor(QStringLiteral("997")).line.seed);

QString ruleText(const FaultPlan &plan, const QString &number)
{
    return simline::planText(plan.ruleFor(number));
}
} // namespace

class TestNumberPlan : public QObject
{
    Q_OBJECT

private slots:
    void builtInNumbers_data();
    void builtInNumbers();
    void lookups_data();
    void lookups();
    void malformed_data();
    void malformed();
    void files();
};

void TestNumberPlan::builtInNumbers_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("rule");
    QTest::newRow("991") << "991" << "busy";
    QTest::newRow("992") << "992" << "no-answer";
    QTest::newRow("993") << "993" << "reject 0x3495";
    QTest::newRow("994") << "994" << "not-fax";
    QTest::newRow("995") << "995" << "drop-after-pages 1";
    QTest::newRow("996") << "996" << "slow 0.25";
    QTest::newRow("997") << "997" << "answer noise 16 no-ecm" + kNoisySeed;
    QTest::newRow("998") << "998" << "answer dropout 30 page1+250 no-ecm";
    QTest::newRow("9912 is not 991") << "9912" << "answer";
    QTest::newRow("any other") << "0301234" << "answer";
}

void TestNumberPlan::builtInNumbers()
{
    QFETCH(QString, number);
    QFETCH(QString, rule);
    QCOMPARE(ruleText(simline::builtInNumberPlan(), number), rule);
}

void TestNumberPlan::lookups_data()
{
    QTest::addColumn<QString>("plan");
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("rule");
    const QString plan = QStringLiteral("# test plan\n"
                                        "49*      reject 0x34a9\n"
                                        "4930*    no-answer 5   # Berlin rings\n"
                                        "4930123  answer\n"
                                        "\n"
                                        "  7*     drop-after-blocks 10\n"
                                        "*31#*    slow 0.5\n"
                                        "991      answer\n");
    QTest::newRow("prefix") << plan << "4989" << "reject 0x34a9";
    QTest::newRow("longer prefix wins") << plan << "49301" << "no-answer 5";
    QTest::newRow("exact wins") << plan << "4930123" << "answer";
    QTest::newRow("prefix of the exact") << plan << "49301234" << "no-answer 5";
    QTest::newRow("the prefix itself") << plan << "49" << "reject 0x34a9";
    QTest::newRow("indented") << plan << "70" << "drop-after-blocks 10";
    QTest::newRow("dialled hash") << plan << "*31#0" << "slow 0.5";
    QTest::newRow("file overrides a test number") << plan << "991" << "answer";
    QTest::newRow("other test numbers stay") << plan << "993" << "reject 0x3495";
    QTest::newRow("catch-all") << QStringLiteral("* busy\n") << "12" << "busy";
    // Line properties follow the behaviour, or stand alone for a far end that answers; they
    // are written back in one order, drop-outs in theirs.
    const QString line = QStringLiteral("50 noise 21.5 seed 9\n"
                                        "51 slow 0.5 attenuation 6 no-ecm\n"
                                        "52 dropout 8 training1+250 dropout 30 start\n"
                                        "53 modems v29,v27ter dropout 12 page3\n"
                                        "54 drop-after-pages 2 noise 30\n"
                                        "55 no-answer   \n"
                                        "56 not-fax attenuation 3\n");
    QTest::newRow("noise with seed") << line << "50" << "answer noise 21.5 seed 9";
    QTest::newRow("behaviour, then properties") << line << "51" << "slow 0.5 attenuation 6 no-ecm";
    QTest::newRow("drop-outs in order") << line << "52" << "answer dropout 8 training1+250 dropout 30 start";
    QTest::newRow("modems in one order") << line << "53" << "answer dropout 12 page3 modems v27ter,v29";
    QTest::newRow("with a planned drop") << line << "54" << "drop-after-pages 2 noise 30";
    QTest::newRow("optional argument left out") << line << "55" << "no-answer";
    QTest::newRow("not a fax on a weak line") << line << "56" << "not-fax attenuation 3";
    QTest::newRow("empty plan file") << QString() << "12" << "answer";
}

void TestNumberPlan::lookups()
{
    QFETCH(QString, plan);
    QFETCH(QString, number);
    QFETCH(QString, rule);
    QString error;
    const auto p = simline::parseNumberPlan(plan, simline::builtInNumberPlan(), &error);
    QVERIFY2(p, qPrintable(error));
    QCOMPARE(ruleText(*p, number), rule);
}

void TestNumberPlan::malformed_data()
{
    QTest::addColumn<QString>("plan");
    QTest::addColumn<QString>("error");
    QTest::newRow("unknown behaviour") << "1 answer\n2 explode\n" << "line 2: unknown behaviour \"explode\"";
    QTest::newRow("no behaviour") << "\n\n123\n" << "line 3: a number and a behaviour expected";
    QTest::newRow("letters") << "12a busy" << "line 1: \"12a\" is not a number or prefix";
    QTest::newRow("hyphen") << "12-3 busy" << "line 1: \"12-3\" is not a number or prefix";
    QTest::newRow("argument for busy") << "1 busy 3" << "line 1: too many arguments for busy";
    QTest::newRow("two arguments") << "1 reject 0x3491 0x3492" << "line 1: too many arguments for reject";
    QTest::newRow("reason not a cause") << "1 reject 0x3301" << "line 1: reason \"0x3301\" is not a cause";
    QTest::newRow("seconds zero") << "1 no-answer 0" << "line 1: seconds \"0\" not a number";
    QTest::newRow("count missing") << "1 drop-after-blocks" << "line 1: drop-after-blocks wants a count";
    QTest::newRow("count negative") << "1 drop-after-pages -2" << "line 1: drop-after-pages wants a count";
    QTest::newRow("factor above 1") << "1 slow 2" << "line 1: slow wants a factor";
    QTest::newRow("factor zero") << "1 slow 0" << "line 1: slow wants a factor";
    QTest::newRow("unknown property") << "1 answer noize 18" << "line 1: unknown line property \"noize\"";
    QTest::newRow("noise without ratio") << "1 noise" << "line 1: noise wants 1 argument";
    QTest::newRow("noise zero") << "1 noise 0" << "line 1: noise wants a signal-to-noise ratio";
    QTest::newRow("noise not a number") << "1 noise loud" << "line 1: noise wants a signal-to-noise ratio";
    QTest::newRow("attenuation negative") << "1 attenuation -3" << "line 1: attenuation wants dB from 0 to 80";
    QTest::newRow("drop-out without point") << "1 dropout 30" << "line 1: dropout wants 2 arguments";
    QTest::newRow("drop-out point before a property") << "1 dropout 30 noise 18"
                                                      << "line 1: dropout wants 2 arguments";
    QTest::newRow("drop-out page 0") << "1 dropout 30 page0" << "line 1: dropout wants a length";
    QTest::newRow("drop-out too long") << "1 dropout 10001 page1" << "line 1: dropout wants a length";
    QTest::newRow("drop-out offset sign") << "1 dropout 30 page1-5" << "line 1: dropout wants a length";
    QTest::newRow("unknown modem") << "1 modems v34" << "line 1: modems wants v27ter, v29 or v17";
    QTest::newRow("seed negative") << "1 seed -1" << "line 1: seed wants a number";
    QTest::newRow("argument for no-ecm") << "1 no-ecm 2" << "line 1: too many arguments for no-ecm";
    QTest::newRow("line of a busy far end") << "1 busy noise 18" << "line 1: busy connects no call";
    QTest::newRow("line of a far end that rings") << "1 no-answer 5 dropout 3 start"
                                                  << "line 1: no-answer connects no call";
}

void TestNumberPlan::malformed()
{
    QFETCH(QString, plan);
    QFETCH(QString, error);
    QString why;
    QVERIFY(!simline::parseNumberPlan(plan, simline::builtInNumberPlan(), &why));
    QVERIFY2(why.startsWith(error), qPrintable(why));
}

void TestNumberPlan::files()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("plan"));
    QString error;
    QVERIFY(!simline::loadNumberPlan(path, &error));
    QVERIFY2(error.startsWith(path + QStringLiteral(": ")), qPrintable(error));

    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("555 busy\n556 slow\n");
    f.close();
    QVERIFY(!simline::loadNumberPlan(path, &error));
    QCOMPARE(error, path + QStringLiteral(": line 2: slow wants a factor above 0 and at most 1"));

    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("555 busy\n992 no-answer 3");
    f.close();
    const auto plan = simline::loadNumberPlan(path, &error);
    QVERIFY(plan);
    QCOMPARE(plan->ruleFor(QStringLiteral("555")).behaviour, K::Busy);
    QCOMPARE(plan->ruleFor(QStringLiteral("992")).delay, std::chrono::seconds(3));
    QCOMPARE(plan->ruleFor(QStringLiteral("994")).behaviour, K::NotFax);

    // A rule's line reaches the far end as the T.30 call will use it.
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("# weak and noisy\n777 noise 15 attenuation 10 dropout 20 page2+1500 no-ecm modems v17 seed 4\n");
    f.close();
    const auto lined = simline::loadNumberPlan(path, &error);
    QVERIFY2(lined, qPrintable(error));
    const FarEnd weak = lined->ruleFor(QStringLiteral("777"));
    QCOMPARE(weak.behaviour, K::Answer);
    QCOMPARE(weak.line.snrDb, std::optional<double>(15));
    QCOMPARE(weak.line.attenuationDb, 10.0);
    QCOMPARE(weak.line.seed, 4u);
    QCOMPARE(weak.line.dropouts.size(), 1);
    const t30::Dropout d = weak.line.dropouts.first();
    QVERIFY(d.anchor == t30::DropoutAnchor::Page && d.index == 2 && d.offsetMs == 1500 && d.lengthMs == 20);
    QVERIFY(!weak.ecm);
    QCOMPARE(weak.modems, int(t30::SupportV17));
    QVERIFY(!weak.isNormal());
    QCOMPARE(weak.text(), QStringLiteral("answer; line 15 dB SNR, 10 dB loss, 20 ms drop-out 1500 ms "
                                         "into page 2, no ECM, only V.17"));
}

QUILLON_TEST_GUILESS_MAIN(TestNumberPlan)
#include "tst_numberplan.moc"
