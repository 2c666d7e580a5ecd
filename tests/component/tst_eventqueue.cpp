// Events wait while a member call holds them, and come in their order once it returns.

#include "common/testenv.h"
#include "component/eventqueue.h"

using quillon::EventSlot;
using quillon::component::EventQueue;

class TestEventQueue : public QObject
{
    Q_OBJECT

private slots:
    void holdKeepsEveryQueueQuiet();
};

void TestEventQueue::holdKeepsEveryQueueQuiet()
{
    EventQueue first;
    EventQueue second;
    QStringList raised;
    first.setSink([&](int, QVariantList &p) { raised << QStringLiteral("1:") + p.value(0).toString(); });
    second.setSink([&](int, QVariantList &p) { raised << QStringLiteral("2:") + p.value(0).toString(); });

    first.debug(QStringLiteral("a"));
    {
        EventQueue::Hold outer;
        second.debug(QStringLiteral("b"));
        {
            EventQueue::Hold inner;
            first.debug(QStringLiteral("c"));
            QCoreApplication::processEvents();
        }
        // The outer hold still stands.
        QCoreApplication::processEvents();
        QVERIFY(raised.isEmpty());
        QVERIFY(!first.idle());
    }
    QTRY_COMPARE(raised, (QStringList{"1:a", "1:c", "2:b"}));
    QVERIFY(first.idle() && second.idle());
}

QUILLON_TEST_GUILESS_MAIN(TestEventQueue)
#include "tst_eventqueue.moc"
