// The number-plan file: rules that read right, lookups by longest match, and malformed
// files refused with their line and reason.

#include "simline/numberplan.h"

#include "common/testenv.h"

#include <QTemporaryDir>

using simline::FarEnd;
using simline::FaultPlan;
using K = FarEnd::Behaviour;

namespace {
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
}

QUILLON_TEST_GUILESS_MAIN(TestNumberPlan)
#include "tst_numberplan.moc"
