#include "app/journal/journallist.h"

#include "common/testenv.h"

#include <QAccessible>
#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QVBoxLayout>

namespace {

// A line that differs from its neighbours in length and content, so an offset slip shows.
QString generatedLine(int i)
{
    QString line = QStringLiteral("snd: Debug: %1 ").arg(i);
    line += QString(i % 23, QChar(u'a' + i % 26));
    if (i % 7 == 0)
        line += QString::fromUtf8("ü傳\U0001F4E0");
    if (i % 50'000 == 3)
        line += QString(5000 + i % 13, u'L'); // long lines take the measured path
    return line;
}

// True when the rectangle of the image holds a pixel other than the background colour.
bool hasInk(const QImage &image, const QRect &rect, QColor background)
{
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            if (image.pixelColor(x, y) != background)
                return true;
    return false;
}

} // namespace

class TestJournalList : public QObject
{
    Q_OBJECT

private:
    // A shown list of a list box's size holding lines "line 0" ... 
    static std::unique_ptr<JournalList> shownList(int lines)
    {
        auto list = std::make_unique<JournalList>();
        list->resize(245, 147);
        for (int i = 0; i < lines; ++i)
            list->appendLine(QStringLiteral("line %1").arg(i));
        list->show();
        QApplication::setActiveWindow(list.get());
        if (!QTest::qWaitForWindowExposed(list.get()))
            return nullptr;
        return list;
    }
    static void click(JournalList &list, qsizetype row, Qt::MouseButton button = Qt::LeftButton)
    {
        QTest::mouseClick(list.viewport(), button, Qt::NoModifier, list.visualRect(row).center());
    }

private slots:
    void itemsExactAsAppended_data()
    {
        QTest::addColumn<QString>("line");
        QTest::newRow("ASCII") << QStringLiteral("rcv: call for 6 from 6, type: 1");
        QTest::newRow("empty") << QString();
        QTest::newRow("trailing spaces") << QStringLiteral("snd: CallProgress:   ");
        QTest::newRow("CR LF inside") << QStringLiteral("a\r\nb\r\n");
        QTest::newRow("NUL and tab") << QString(QChar(0)) + QStringLiteral("\tx");
        QTest::newRow("non-ASCII") << QString::fromUtf8("rcv: Debug: Grüße, ⅓ 傳真 \U0001F4E0 é");
        QTest::newRow("lone high surrogate") << QString(QChar(0xD83D)) + u'x';
        QTest::newRow("lone low surrogate") << u'x' + QString(QChar(0xDCA0));
        QTest::newRow("high surrogate at end") << QStringLiteral("end") + QChar(0xD800);
        QTest::newRow("1 MB line") << QString(1 << 20, u'M');
        QTest::newRow("1 MB non-ASCII line") << QString(1 << 20, QChar(0x50B3));
    }
    void itemsExactAsAppended()
    {
        QFETCH(QString, line);
        JournalList list;
        list.appendLine(QStringLiteral("before"));
        list.appendLine(line);
        list.appendLine(QStringLiteral("after"));
        QCOMPARE(list.count(), 3);
        QCOMPARE(list.itemText(0), QStringLiteral("before"));
        QCOMPARE(list.itemText(1), line);
        QCOMPARE(list.itemText(2), QStringLiteral("after"));
        QCOMPARE(list.itemText(-1), QString());
        QCOMPARE(list.itemText(3), QString());
        QCOMPARE(list.selectedIndex(), -1);
        list.resize(245, 147);
        QVERIFY(!list.grab().isNull()); // every kind of line paints (a long one cut short)
    }

    void manyLinesKeepTextAndOrder()
    {
        // Enough lines to fill several storage chunks and offset blocks.
        JournalList list;
        const int n = 200'000;
        for (int i = 0; i < n; ++i)
            list.appendLine(generatedLine(i));
        QCOMPARE(list.count(), n);
        for (int i = 0; i < n; ++i)
            if (list.itemText(i) != generatedLine(i))
                QFAIL(qPrintable(QStringLiteral("line %1 differs").arg(i)));
        QVERIFY(list.store().bytesUsed() < list.store().bytesAllocated());
    }

    void mouseClickSelectsAndEmits()
    {
        auto list = shownList(5);
        QVERIFY(list);
        QSignalSpy clicked(list.get(), &JournalList::lineClicked);
        click(*list, 2);
        QCOMPARE(list->selectedIndex(), 2);
        QCOMPARE(clicked.size(), 1);
        QVERIFY(list->hasFocus());
        click(*list, 2); // the same line again is a click again
        QCOMPARE(clicked.size(), 2);
        click(*list, 0);
        QCOMPARE(list->selectedIndex(), 0);
        QCOMPARE(clicked.size(), 3);
        // Below the last line and with the right button nothing happens.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                          QPoint(10, list->viewport()->height() - 2));
        click(*list, 3, Qt::RightButton);
        QCOMPARE(list->selectedIndex(), 0);
        QCOMPARE(clicked.size(), 3);
    }

    void clickDuringBurstHitsTheLineOnScreen()
    {
        // Lines arrive and the view follows them, but the screen has not caught up when the
        // operator clicks: the line under the mouse is the one shown there.
        auto list = shownList(40);
        QVERIFY(list);
        const QPoint where = list->visualRect(38).center();
        for (int i = 0; i < 5; ++i)
            list->appendLine(QStringLiteral("late %1").arg(i));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, where);
        QCOMPARE(list->selectedIndex(), 38);
    }

    void keyboardMovesSelection_data()
    {
        QTest::addColumn<int>("start"); // selected before the key, -1 for none
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("expected");
        QTest::addColumn<int>("emitted");
        QTest::newRow("Down from none") << -1 << int(Qt::Key_Down) << 0 << 1;
        QTest::newRow("Down") << 3 << int(Qt::Key_Down) << 4 << 1;
        QTest::newRow("Up") << 3 << int(Qt::Key_Up) << 2 << 1;
        QTest::newRow("Up at top") << 0 << int(Qt::Key_Up) << 0 << 0;
        QTest::newRow("Down at end") << 39 << int(Qt::Key_Down) << 39 << 0;
        QTest::newRow("Home") << 20 << int(Qt::Key_Home) << 0 << 1;
        QTest::newRow("End") << 2 << int(Qt::Key_End) << 39 << 1;
        QTest::newRow("PageUp clamps") << 2 << int(Qt::Key_PageUp) << 0 << 1;
        QTest::newRow("other key") << 5 << int(Qt::Key_A) << 5 << 0;
    }
    void keyboardMovesSelection()
    {
        QFETCH(int, start);
        QFETCH(int, key);
        QFETCH(int, expected);
        QFETCH(int, emitted);
        auto list = shownList(40);
        QVERIFY(list);
        list->setFocus();
        list->setSelectedIndex(start);
        QSignalSpy clicked(list.get(), &JournalList::lineClicked);
        QTest::keyClick(list.get(), Qt::Key(key));
        QCOMPARE(list->selectedIndex(), expected);
        QCOMPARE(clicked.size(), emitted);
        QVERIFY(list->viewport()->rect().contains(list->visualRect(list->selectedIndex())));
    }

    void pageKeysMoveByAPage()
    {
        auto list = shownList(100);
        QVERIFY(list);
        list->setFocus();
        QTest::keyClick(list.get(), Qt::Key_Home);
        QTest::keyClick(list.get(), Qt::Key_PageDown);
        const qsizetype page = list->selectedIndex();
        QVERIFY(page > 1);
        QVERIFY(list->viewport()->rect().contains(list->visualRect(page)));
        QTest::keyClick(list.get(), Qt::Key_PageDown);
        QCOMPARE(list->selectedIndex(), 2 * page);
        QTest::keyClick(list.get(), Qt::Key_PageUp);
        QCOMPARE(list->selectedIndex(), page);
    }

    void appendKeepsSelection()
    {
        auto list = shownList(3);
        QVERIFY(list);
        QSignalSpy clicked(list.get(), &JournalList::lineClicked);
        click(*list, 1);
        for (int i = 0; i < 500; ++i)
            list->appendLine(QStringLiteral("late %1").arg(i));
        QCoreApplication::processEvents();
        QCOMPARE(list->selectedIndex(), 1);
        QCOMPARE(list->itemText(1), QStringLiteral("line 1"));
        QCOMPARE(clicked.size(), 1);
    }

    void appendedLinesShowAtNextRepaint()
    {
        auto list = shownList(0);
        QVERIFY(list);
        const QColor base = list->viewport()->palette().color(QPalette::Base);
        // What the screen shows of a row (QTRY turns the event loop between tries).
        auto rowOnScreen = [&](qsizetype row) {
            const QImage window = list->screen()->grabWindow(list->winId()).toImage();
            return window.copy(list->visualRect(row).translated(list->viewport()->mapTo(list.get(), QPoint())));
        };
        list->appendLine(QStringLiteral("first line"));
        QTRY_VERIFY(hasInk(rowOnScreen(0), QRect(QPoint(), list->visualRect(0).size()), base));
        // Once the view is full it keeps the newest line in view while it shows the end ...
        for (int i = 0; i < 1000; ++i)
            list->appendLine(QStringLiteral("burst %1").arg(i));
        const qsizetype last = list->count() - 1;
        QVERIFY(list->viewport()->rect().contains(list->visualRect(last)));
        QTRY_VERIFY(hasInk(rowOnScreen(last), QRect(QPoint(), list->visualRect(last).size()), base));
        QCOMPARE(list->verticalScrollBar()->maximum(), int(list->topRow()));
        // ... and stays put once the operator has scrolled up.
        list->verticalScrollBar()->setValue(0);
        list->appendLine(QStringLiteral("unseen"));
        QCoreApplication::processEvents();
        QCOMPARE(list->topRow(), 0);
        QCOMPARE(list->verticalScrollBar()->value(), 0);
        QCOMPARE(list->verticalScrollBar()->maximum(), int(list->count() - list->verticalScrollBar()->pageStep()));
    }

    void scrolledPixelsMatchAFreshPaint_data()
    {
        QTest::addColumn<int>("linesPerTurn"); // lines appended per turn of the event loop
        QTest::newRow("one") << 1;
        QTest::newRow("three") << 3;
        QTest::newRow("more than a page") << 40;
    }
    void scrolledPixelsMatchAFreshPaint()
    {
        // Following a burst scrolls the pixels on screen; they must equal a full repaint.
        QFETCH(int, linesPerTurn);
        auto list = shownList(0);
        QVERIFY(list);
        QScreen *screen = list->screen();
        for (int turn = 0; turn < 30; ++turn) {
            for (int i = 0; i < linesPerTurn; ++i)
                list->appendLine(QStringLiteral("turn %1 line %2").arg(turn).arg(i));
            QCoreApplication::processEvents();
        }
        QTest::qWait(20);
        const QImage onScreen = screen->grabWindow(list->winId()).toImage().convertToFormat(QImage::Format_RGB32);
        const QImage fresh = list->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(onScreen.size(), fresh.size());
        QVERIFY(onScreen == fresh);
        QCOMPARE(list->topRow(), list->count() - list->verticalScrollBar()->pageStep());
    }

    void focusByTabAndObjectName()
    {
        QWidget window;
        auto *layout = new QVBoxLayout(&window);
        auto *edit = new QLineEdit(&window);
        auto *list = new JournalList(&window);
        list->setObjectName(QStringLiteral("lbDebug"));
        layout->addWidget(edit);
        layout->addWidget(list);
        window.show();
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_Tab);
        QVERIFY(list->hasFocus());
        QCOMPARE(list->objectName(), QStringLiteral("lbDebug"));
        QVERIFY(list->frameShape() != QFrame::NoFrame);
    }

    void accessibleTree()
    {
        auto list = shownList(0);
        QVERIFY(list);
        list->appendLine(QStringLiteral("snd: Disconnected"));
        list->appendLine(QString::fromUtf8("rcv: Debug: ü"));
        list->appendLine(QStringLiteral("rcv: Disconnected"));
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(list.get());
        QVERIFY(iface);
        QCOMPARE(iface->role(), QAccessible::List);
        QCOMPARE(iface->childCount(), 3);
        QAccessibleInterface *second = iface->child(1);
        QVERIFY(second);
        QCOMPARE(second->role(), QAccessible::ListItem);
        QCOMPARE(second->text(QAccessible::Name), QString::fromUtf8("rcv: Debug: ü"));
        QCOMPARE(second->parent(), iface);
        QCOMPARE(iface->indexOfChild(second), 1);
        QCOMPARE(iface->child(1), second); // the same object every time
        QVERIFY(!second->state().selected);
        QVERIFY(second->state().selectable);
        QVERIFY(!iface->child(3));

        click(*list, 1);
        QVERIFY(second->state().selected);
        QVERIFY(second->state().focused);
        QVERIFY(!iface->child(0)->state().selected);
        QCOMPARE(iface->focusChild(), second);
        const QPoint centre = list->viewport()->mapToGlobal(list->visualRect(2).center());
        QCOMPARE(iface->childAt(centre.x(), centre.y()), iface->child(2));
        QVERIFY(second->rect().contains(list->viewport()->mapToGlobal(list->visualRect(1).center())));

        // The press action of a line does what a click does.
        QSignalSpy clicked(list.get(), &JournalList::lineClicked);
        QAccessibleActionInterface *action = iface->child(2)->actionInterface();
        QVERIFY(action);
        action->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(list->selectedIndex(), 2);
        QCOMPARE(clicked.size(), 1);
        list.reset(); // the row interfaces go with the list (checked under ASan)
    }
};

QUILLON_TEST_MAIN(TestJournalList)
#include "tst_journallist.moc"
