#include "simline/faultplan.h"

#include "common/testenv.h"

#include <QTest>

using namespace simline;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(simline::FarEnd)

namespace {
using Rules = QList<std::pair<QString, FarEnd>>;
}

class TestFaultPlan : public QObject
{
    Q_OBJECT

private slots:
    void lookup_data()
    {
        QTest::addColumn<Rules>("rules");
        QTest::addColumn<QString>("number");
        QTest::addColumn<FarEnd>("expected");
        const Rules testNumbers{{QStringLiteral("991"), FarEnd::busy()},
                                {QStringLiteral("99*"), FarEnd::noAnswer(2s)},
                                {QStringLiteral("9*"), FarEnd::notFax()},
                                {QStringLiteral("*"), FarEnd::reject(0x15)}};
        QTest::newRow("exact number") << testNumbers << "991" << FarEnd::busy();
        QTest::newRow("exact rule is no prefix") << testNumbers << "9912" << FarEnd::noAnswer(2s);
        QTest::newRow("longest prefix wins") << testNumbers << "995" << FarEnd::noAnswer(2s);
        QTest::newRow("shorter prefix") << testNumbers << "98" << FarEnd::notFax();
        QTest::newRow("star matches every number") << testNumbers << "1234" << FarEnd::reject(0x15);
        QTest::newRow("prefix longer than the number") << testNumbers << "9" << FarEnd::notFax();
        // Rules set in another order find the same winner.
        const Rules reversed(testNumbers.crbegin(), testNumbers.crend());
        QTest::newRow("order does not matter") << reversed << "995" << FarEnd::noAnswer(2s);
        QTest::newRow("exact beats prefix set later")
            << Rules{{QStringLiteral("12"), FarEnd::dropAfterPages(1)},
                     {QStringLiteral("12*"), FarEnd::dropAfterBlocks(3)}}
            << "12" << FarEnd::dropAfterPages(1);
        QTest::newRow("no rule: fallback") << Rules{{QStringLiteral("5*"), FarEnd::busy()}} << "6"
                                           << FarEnd::answer();
        QTest::newRow("empty number, prefix rules")
            << Rules{{QStringLiteral("5*"), FarEnd::busy()}} << "" << FarEnd::answer();
        QTest::newRow("a rule set again replaces it")
            << Rules{{QStringLiteral("7"), FarEnd::busy()}, {QStringLiteral("7"), FarEnd::slower(0.5)}}
            << "7" << FarEnd::slower(0.5);
    }
    void lookup()
    {
        QFETCH(Rules, rules);
        QFETCH(QString, number);
        QFETCH(FarEnd, expected);
        FaultPlan plan;
        for (const auto &[key, rule] : rules)
            plan.setRule(key, rule);
        const FarEnd got = plan.ruleFor(number);
        QCOMPARE(got.text(), expected.text());
        QVERIFY(got == expected);
    }

    void fallbackAndRemoval()
    {
        FaultPlan plan;
        plan.setFallback(FarEnd::busy());
        plan.setRule(QStringLiteral("4*"), FarEnd::notFax());
        QCOMPARE(plan.ruleFor(QStringLiteral("41")), FarEnd::notFax());
        QCOMPARE(plan.ruleFor(QStringLiteral("5")), FarEnd::busy());
        plan.removeRule(QStringLiteral("4*"));
        QCOMPARE(plan.ruleFor(QStringLiteral("41")), FarEnd::busy());
        QVERIFY(plan.rules().isEmpty());
    }

    void values_data()
    {
        QTest::addColumn<FarEnd>("rule");
        QTest::addColumn<QString>("text");
        QTest::newRow("answer") << FarEnd::answer() << "answer";
        QTest::newRow("bare Q.931 cause") << FarEnd::reject(0x15) << "reject 0x3495";
        QTest::newRow("network reason kept") << FarEnd::reject(0x34d8) << "reject 0x34d8";
        QTest::newRow("no answer, line timeout") << FarEnd::noAnswer() << "no answer";
        QTest::newRow("no answer after") << FarEnd::noAnswer(1500ms) << "no answer after 1.5 s";
        QTest::newRow("negative delay") << FarEnd::noAnswer(-5s) << "no answer";
        QTest::newRow("negative count") << FarEnd::dropAfterBlocks(-3) << "drop after 0 blocks";
        QTest::newRow("slower") << FarEnd::slower(0.5) << "answer at 0.5 of the rate";
        QTest::newRow("drop, slower") << FarEnd::dropAfterPages(2).withRateFactor(0.25)
                                      << "drop after 2 pages at 0.25 of the rate";
        // A factor that would stop the line or speed it up leaves the rate alone.
        QTest::newRow("factor zero") << FarEnd::slower(0) << "answer";
        QTest::newRow("factor above one") << FarEnd::slower(3) << "answer";
        QTest::newRow("factor not a number") << FarEnd::slower(qQNaN()) << "answer";
    }
    void values()
    {
        QFETCH(FarEnd, rule);
        QFETCH(QString, text);
        QCOMPARE(rule.text(), text);
        QVERIFY(rule.rateFactor > 0 && rule.rateFactor <= 1);
    }
};

QUILLON_TEST_GUILESS_MAIN(TestFaultPlan)
#include "tst_faultplan.moc"
