// The component's members as the host calls them: misuse failures, property values, the
// instance widget, the status window, and events raised only from the event loop.

#include "component/componentharness.h"
#include "common/testenv.h"

#include <QApplication>
#include <QLabel>

using componenttest::Endpoint;
using quillon::EventSlot;
using quillon::MemberId;

namespace {

QWidget *statusWindow(const QString &title)
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("quillonStatusWindow") && w->windowTitle() == title)
            return w;
    return nullptr;
}

} // namespace

class TestComponentMembers : public QObject
{
    Q_OBJECT

private slots:
    void misuseFails_data();
    void misuseFails();
    void booleanAndTextConversions_data();
    void booleanAndTextConversions();
    void widgetSitsAtExtentsAndLetsClicksThrough();
    void eventsComeFromTheEventLoopInOrder();
    void statusWindowShowsAndHides();
    void identification();
    void destroyingTheInstanceDestroysItsWidgets();
};

enum class Access { Invoke, Get, Set };
Q_DECLARE_METATYPE(Access)

void TestComponentMembers::misuseFails_data()
{
    QTest::addColumn<Access>("access");
    QTest::addColumn<quint32>("member");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<int>("number");

    const QVariantList five{"C:\\tmp\\x.sff", "sender", "header", "6", "6"};
    QTest::newRow("unknown method id") << Access::Invoke << 0x60030099u << QVariantList{} << 438;
    QTest::newRow("property id invoked") << Access::Invoke << 0x68030000u << QVariantList{} << 438;
    QTest::newRow("unknown property read") << Access::Get << 0x68030004u << QVariantList{} << 438;
    QTest::newRow("method id read") << Access::Get << 0x60030021u << QVariantList{} << 438;
    QTest::newRow("write-only property read") << Access::Get << 0x6803000Au << QVariantList{} << 438;
    QTest::newRow("read-only property written")
        << Access::Set << 0x68030000u << QVariantList{"2.0"} << 438;
    QTest::newRow("StartCapi with an argument") << Access::Invoke << 0x60030021u
                                                << QVariantList{1} << 450;
    QTest::newRow("Disconnect with two") << Access::Invoke << 0x6003001Eu << QVariantList{1, 2}
                                         << 450;
    QTest::newRow("SendFax with four") << Access::Invoke << 0x6003001Cu << five.mid(0, 4) << 450;
    QTest::newRow("SendFaxG4 with six") << Access::Invoke << 0x6003001Du
                                        << (QVariantList(five) << "x") << 450;
    QVariantList badFile = five;
    badFile[0] = QVariantList{1, 2};
    QTest::newRow("SendFax file not a text") << Access::Invoke << 0x6003001Cu << badFile << 13;
    QTest::newRow("AcceptFax given a word") << Access::Set << 0x6803000Au
                                            << QVariantList{"maybe"} << 13;
    QTest::newRow("ShowProgressForm given a list") << Access::Set << 0x68030003u
                                                   << QVariantList{QVariantList{}} << 13;
    QTest::newRow("ReceiveFileName given a map")
        << Access::Set << 0x68030005u << QVariantList{QVariantMap{}} << 13;
}

void TestComponentMembers::misuseFails()
{
    QFETCH(Access, access);
    QFETCH(quint32, member);
    QFETCH(QVariantList, args);
    QFETCH(int, number);

    QWidget host;
    Endpoint ep(&host);
    const auto id = static_cast<MemberId>(member);
    quillon::Result r;
    switch (access) {
    case Access::Invoke: r = ep.call(id, args); break;
    case Access::Get: r = ep.instance().getProperty(id); break;
    case Access::Set: r = ep.instance().setProperty(id, args.value(0)); break;
    }
    QVERIFY(r.failed);
    QCOMPARE(r.failure.number, number);
    QVERIFY(!r.failure.text.isEmpty());
    // A misused member does nothing: no event follows.
    QCoreApplication::processEvents();
    QCOMPARE(int(ep.events.size()), 0);
}

void TestComponentMembers::booleanAndTextConversions_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<bool>("shown");
    QTest::newRow("true") << QVariant(true) << true;
    QTest::newRow("false") << QVariant(false) << false;
    QTest::newRow("-1") << QVariant(-1) << true;
    QTest::newRow("0") << QVariant(0) << false;
    QTest::newRow("text True") << QVariant("True") << true;
    QTest::newRow("text false") << QVariant("false") << false;
    QTest::newRow("text 0") << QVariant("0") << false;
}

void TestComponentMembers::booleanAndTextConversions()
{
    QFETCH(QVariant, value);
    QFETCH(bool, shown);
    QWidget host;
    Endpoint ep(&host);
    ep.set(MemberId::ShowProgressForm, value);
    QWidget *status = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("quillonStatusWindow") && w->isVisible())
            status = w;
    QCOMPARE(status != nullptr, shown);
    // Texts take numbers as an automation client converts them.
    QVERIFY(!ep.call(MemberId::SendFax, {12, "s", "h", 6, 6}).failed);
}

void TestComponentMembers::widgetSitsAtExtentsAndLetsClicksThrough()
{
    QWidget host;
    host.resize(400, 300);
    Endpoint ep(&host);
    QWidget *w = ep.instance().widget();
    QVERIFY(w);
    QCOMPARE(w->parentWidget(), &host);
    // 1296 x 1349 hundredths of a millimetre are 735 x 765 twips, 49 x 51 pixels.
    QCOMPARE(w->size(), QSize(49, 51));
    QVERIFY(w->testAttribute(Qt::WA_TransparentForMouseEvents));
    QCOMPARE(w->focusPolicy(), Qt::NoFocus);
    QCOMPARE(host.childAt(10, 10), nullptr);
}

void TestComponentMembers::eventsComeFromTheEventLoopInOrder()
{
    QWidget host;
    Endpoint ep(&host);
    // Operational conditions answer False and say why, after the call has returned.
    QVERIFY(!ep.send("6", "6", "C:\\tmp\\missing.sff"));
    ep.call(MemberId::Disconnect);
    ep.call(MemberId::Listen);
    QVERIFY(ep.events.empty());
    QTRY_COMPARE_WITH_TIMEOUT(int(ep.events.size()), 3, 10000);
    QVERIFY(!ep.raisedInsideCall());
    const QStringList debug = ep.texts(EventSlot::Debug);
    QCOMPARE(debug.size(), 3);
    QVERIFY2(debug[0].contains("SendFax"), qPrintable(debug[0]));
    QVERIFY2(debug[1].contains("Disconnect"), qPrintable(debug[1]));
    QVERIFY2(debug[2].contains("Listen"), qPrintable(debug[2]));
}

void TestComponentMembers::statusWindowShowsAndHides()
{
    QWidget host;
    Endpoint first(&host);
    Endpoint second(&host);
    first.set(MemberId::ShowProgressForm, true);
    second.set(MemberId::ShowProgressForm, true);
    QList<QWidget *> shown;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("quillonStatusWindow") && w->isVisible())
            shown << w;
    QCOMPARE(shown.size(), 2); // one window per instance
    QVERIFY(shown[0]->windowTitle() != shown[1]->windowTitle());
    QWidget *window = statusWindow(shown[0]->windowTitle());
    auto *state = window->findChild<QLabel *>(QStringLiteral("stateLabel"));
    QVERIFY(state);
    QVERIFY2(state->text().contains("idle"), qPrintable(state->text()));

    first.set(MemberId::ShowProgressForm, false);
    second.set(MemberId::ShowProgressForm, false);
    QVERIFY(!shown[0]->isVisible());
    QVERIFY(!shown[1]->isVisible());
    first.set(MemberId::ShowProgressForm, true);
    QVERIFY(shown[0]->isVisible() || shown[1]->isVisible());
}

void TestComponentMembers::identification()
{
    QWidget host;
    Endpoint ep(&host);
    const QString version = ep.text(MemberId::ReleaseVersion);
    QVERIFY(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+$")).match(version).hasMatch());
    QVERIFY(!ep.instance().getProperty(MemberId::CapiDescription).failed);
    QVERIFY(!ep.instance().getProperty(MemberId::SerialNumber).failed);
}

void TestComponentMembers::destroyingTheInstanceDestroysItsWidgets()
{
    QWidget host;
    QPointer<QWidget> widget;
    {
        Endpoint ep(&host);
        widget = ep.instance().widget();
        ep.set(MemberId::ShowProgressForm, true);
        ep.call(MemberId::Listen); // an event still waiting when the instance goes
    }
    QVERIFY(widget.isNull());
    for (QWidget *w : QApplication::topLevelWidgets())
        QVERIFY(w->objectName() != QLatin1String("quillonStatusWindow") || !w->isVisible());
    QCoreApplication::processEvents();
}

QUILLON_TEST_MAIN(TestComponentMembers)
#include "tst_componentmembers.moc"
