#include "endpoint/endpoint.h"

#include "common/testenv.h"
#include "endpoint/componenthost.h"
#include "platform/failure.h"
#include "testcontrol.h"

#include <QApplication>
#include <QWidget>

#include <memory>

using quillon::Endpoint;
using quillon::MemberId;
using quillon::Result;
using quillon::test::Call;
using quillon::test::CallKind;
using quillon::test::TestControl;

Q_DECLARE_METATYPE(quillon::Result)

class TestEndpointBinding : public QObject
{
    Q_OBJECT

    std::unique_ptr<quillon::ComponentHost> m_host;
    std::unique_ptr<QWidget> m_parent;
    std::unique_ptr<Endpoint> m_endpoint;
    TestControl *m_control = nullptr;

    QList<Call> calls() const { return m_control->calls(); }

private slots:
    void init()
    {
        m_host = std::make_unique<quillon::ComponentHost>(
            QStringList{QStringLiteral(QUILLON_TESTCOMPONENT_DIR)});
        m_parent = std::make_unique<QWidget>();
        m_endpoint = std::make_unique<Endpoint>(m_host->factory(), m_parent.get());
        m_control = qobject_cast<TestControl *>(m_endpoint->widget());
        QVERIFY(m_control);
        m_control->clearCalls();
    }
    void cleanup()
    {
        m_endpoint.reset();
        m_parent.reset();
    }

    void membersCrossWithTheirIdsAndDispatchArrays()
    {
        m_endpoint->startCapi();
        m_endpoint->listen();
        m_endpoint->stopCapi();
        m_endpoint->disconnect();
        m_endpoint->sendFax(QStringLiteral("6"), QStringLiteral("7"), QStringLiteral("head"),
                            QStringLiteral("me"), QStringLiteral("C:\\f.sff"));
        m_endpoint->sendFaxG4(QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"),
                              QStringLiteral("4"), QStringLiteral("5"));
        m_endpoint->setShowProgressForm(true);
        m_endpoint->setReceiveFileName(QStringLiteral("C:\\r.sff"));
        m_endpoint->setAcceptFax(false);
        m_endpoint->capiDescription();
        m_endpoint->releaseVersion();
        m_endpoint->serialNumber();

        const QList<Call> c = calls();
        const QList<std::tuple<CallKind, MemberId, QVariantList>> expected{
            {CallKind::Invoke, MemberId::StartCapi, {}},
            {CallKind::Invoke, MemberId::Listen, {}},
            {CallKind::Invoke, MemberId::StopCapi, {}},
            {CallKind::Invoke, MemberId::Disconnect, {}},
            {CallKind::Invoke, MemberId::SendFax, {"C:\\f.sff", "me", "head", "7", "6"}},
            {CallKind::Invoke, MemberId::SendFaxG4, {"5", "4", "3", "2", "1"}},
            {CallKind::Set, MemberId::ShowProgressForm, {true}},
            {CallKind::Set, MemberId::ReceiveFileName, {"C:\\r.sff"}},
            {CallKind::Set, MemberId::AcceptFax, {false}},
            {CallKind::Get, MemberId::CapiDescription, {}},
            {CallKind::Get, MemberId::ReleaseVersion, {}},
            {CallKind::Get, MemberId::SerialNumber, {}},
        };
        QCOMPARE(c.size(), expected.size());
        for (qsizetype i = 0; i < c.size(); ++i) {
            QCOMPARE(c[i].kind, std::get<0>(expected[i]));
            QCOMPARE(c[i].member, std::get<1>(expected[i]));
            QCOMPARE(c[i].args, std::get<2>(expected[i]));
            // Booleans cross as Booleans, texts as texts.
            for (qsizetype a = 0; a < c[i].args.size(); ++a)
                QCOMPARE(c[i].args[a].metaType(), std::get<2>(expected[i])[a].metaType().id()
                                                          == QMetaType::Bool
                                                      ? QMetaType::fromType<bool>()
                                                      : QMetaType::fromType<QString>());
        }
    }

    void resultsConvertToBooleans_data()
    {
        QTest::addColumn<QVariant>("answer");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<int>("failure");
        QTest::newRow("true") << QVariant(true) << true << 0;
        QTest::newRow("false") << QVariant(false) << false << 0;
        QTest::newRow("-1") << QVariant(-1) << true << 0;
        QTest::newRow("0") << QVariant(0) << false << 0;
        QTest::newRow("0.5") << QVariant(0.5) << true << 0;
        QTest::newRow("empty value") << QVariant() << false << 0;
        QTest::newRow("text True") << QVariant(QStringLiteral("True")) << true << 0;
        QTest::newRow("text false") << QVariant(QStringLiteral("false")) << false << 0;
        QTest::newRow("text 0") << QVariant(QStringLiteral("0")) << false << 0;
        QTest::newRow("other text") << QVariant(QStringLiteral("yes")) << false << 13;
        QTest::newRow("list") << QVariant(QVariantList{1}) << false << 13;
    }
    void resultsConvertToBooleans()
    {
        QFETCH(QVariant, answer);
        QFETCH(bool, expected);
        QFETCH(int, failure);
        for (MemberId member : {MemberId::StartCapi, MemberId::SendFax, MemberId::SendFaxG4}) {
            m_control->setAnswer(member, Result::ok(answer));
            try {
                const bool got = member == MemberId::StartCapi
                                     ? m_endpoint->startCapi()
                                     : member == MemberId::SendFax
                                           ? m_endpoint->sendFax({}, {}, {}, {}, {})
                                           : m_endpoint->sendFaxG4({}, {}, {}, {}, {});
                QCOMPARE(failure, 0);
                QCOMPARE(got, expected);
            } catch (const platform::Failure &f) {
                QCOMPARE(f.number(), failure);
            }
        }
    }

    void propertiesConvertToText_data()
    {
        QTest::addColumn<QVariant>("answer");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("failure");
        QTest::newRow("text") << QVariant(QStringLiteral("ISDN Ä 2.0")) << QStringLiteral("ISDN Ä 2.0") << 0;
        QTest::newRow("empty value") << QVariant() << QString() << 0;
        QTest::newRow("number") << QVariant(42) << QStringLiteral("42") << 0;
        QTest::newRow("boolean") << QVariant(true) << QStringLiteral("True") << 0;
        QTest::newRow("list") << QVariant(QVariantList{1, 2}) << QString() << 13;
    }
    void propertiesConvertToText()
    {
        QFETCH(QVariant, answer);
        QFETCH(QString, expected);
        QFETCH(int, failure);
        m_control->setAnswer(MemberId::SerialNumber, Result::ok(answer));
        try {
            QCOMPARE(m_endpoint->serialNumber(), expected);
            QCOMPARE(failure, 0);
        } catch (const platform::Failure &f) {
            QCOMPARE(f.number(), failure);
        }
    }

    void memberFailureThrowsTheComponentsNumberAndText()
    {
        m_control->setAnswer(MemberId::ReceiveFileName, Result::fail(75, QStringLiteral("Path/File access error")));
        try {
            m_endpoint->setReceiveFileName(QStringLiteral("x"));
            QFAIL("no failure thrown");
        } catch (const platform::Failure &f) {
            QCOMPARE(f.number(), 75);
            QCOMPARE(f.text(), QStringLiteral("Path/File access error"));
        }
    }

    void eventsReachOnlyTheirBoundSlot()
    {
        QList<std::pair<int, QVariantList>> seen;
        quillon::EventTable table;
        for (int slot : {9, 17})
            table[static_cast<std::size_t>(slot)] = [&seen, slot](QVariantList &p) { seen.append({slot, p}); };
        m_endpoint->bind(table);
        for (int slot = -1; slot <= quillon::kEventSlotCount; ++slot) {
            QVariantList params{QStringLiteral("p%1").arg(slot)};
            m_control->raise(slot, params);
        }
        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen[0].first, 9);
        QCOMPARE(seen[0].second, QVariantList{QStringLiteral("p9")});
        QCOMPARE(seen[1].first, 17);

        // A new binding replaces the old one; an empty table reaches nothing.
        m_endpoint->bind({});
        QVariantList params;
        m_control->raise(9, params);
        QCOMPARE(seen.size(), 2);
    }
};

QUILLON_TEST_MAIN(TestEndpointBinding)
#include "tst_endpointbinding.moc"
