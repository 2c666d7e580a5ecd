#include "app/frmtestprog.h"

#include "app/journal/journallist.h"
#include "common/testenv.h"
#include "consolefixture.h"

#include <QAccessible>
#include <QChildEvent>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

using fixture::Console;

namespace {

QRect twips(int left, int top, int width, int height)
{
    return {left / 15, top / 15, width / 15, height / 15};
}

QString textOf(QWidget *w)
{
    if (auto *b = qobject_cast<QAbstractButton *>(w))
        return b->text();
    if (auto *e = qobject_cast<QLineEdit *>(w))
        return e->text();
    if (auto *p = qobject_cast<QPlainTextEdit *>(w))
        return p->toPlainText();
    if (auto *l = qobject_cast<QLabel *>(w))
        return l->text();
    return QString();
}

const char *const kTabOrder[] = {"cmdStart",   "cmdStop",      "cmdQuit",         "lbCallinfo",
                                 "lbDebug",    "txtDebug",     "txtCallNr",       "txtOwnNr",
                                 "txtHeader",  "txtSender",    "cmdSendFax",      "cmdSendFaxG4",
                                 "cmdDiscSnd", "cmdDiscRcv",   "txtFaxfileRead",  "txtFaxfileWrite",
                                 "chkShowProgressform"};

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void controlsHaveTheirDefaults_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("rect");
        QTest::addColumn<bool>("sizesItself");
        const auto row = [](const char *name, const char *kind, const QString &text, QRect rect,
                            bool sizes = false) {
            QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind) << text
                                << rect << sizes;
        };
        row("cmdStart", "QPushButton", "Start", twips(240, 180, 975, 315));
        row("cmdStop", "QPushButton", "Stop", twips(1320, 180, 915, 315));
        row("cmdQuit", "QPushButton", "Quit", twips(2340, 180, 855, 315));
        row("Label1", "QLabel", "StartCapi() results", twips(240, 600, 3615, 195));
        row("CapiInfo", "QPlainTextEdit", "", twips(240, 840, 3675, 555));
        row("lbCallinfo", "JournalList", "", twips(240, 1800, 3675, 2205));
        row("lbDebug", "JournalList", "", twips(4080, 180, 3675, 2985));
        row("txtDebug", "QPlainTextEdit", "", twips(4080, 3180, 3675, 795));
        row("txtCallNr", "QLineEdit", "6", twips(1320, 4080, 1215, 285));
        row("txtOwnNr", "QLineEdit", "6", twips(1320, 4380, 1215, 285));
        row("txtHeader", "QLineEdit", "Fax test", twips(3780, 4080, 1095, 285));
        row("txtSender", "QLineEdit", "tester", twips(3780, 4380, 1095, 285));
        row("cmdSendFax", "QPushButton", "send fax", twips(4980, 4080, 1155, 255));
        row("cmdSendFaxG4", "QPushButton", "send fax G4", twips(4980, 4380, 1155, 255));
        row("cmdDiscSnd", "QPushButton", "disconnect snd", twips(6300, 4080, 1455, 255));
        row("cmdDiscRcv", "QPushButton", "disconnect rcv", twips(6300, 4380, 1455, 255));
        row("txtFaxfileRead", "QLineEdit", "C:\\tmp\\testfax.sff", twips(1800, 4800, 1875, 285));
        row("txtFaxfileWrite", "QLineEdit", "C:\\tmp\\recieved.sff", twips(5220, 4800, 2475, 285));
        row("chkShowProgressform", "QCheckBox", "enable OCXs' status window", twips(240, 5220, 2535, 255));
        row("Label2", "QLabel", "Call info", twips(240, 1560, 3735, 255));
        row("Label3", "QLabel", "Call:", twips(240, 4140, 300, 195), true);
        row("Label5", "QLabel", "Answer on:", twips(240, 4440, 795, 195), true);
        row("Label6", "QLabel", "Fax header:", twips(2820, 4140, 840, 195), true);
        row("Label7", "QLabel", "Fax sender:", twips(2820, 4380, 825, 195), true);
        row("Label8", "QLabel", "Fax file for reading:", twips(240, 4860, 1335, 195), true);
        row("Label9", "QLabel", "Fax file for writing:", twips(3780, 4860, 1260, 195), true);
        row("Quillon", "", "", twips(3360, 4680, 735, 765));
        row("QuillonRecv", "", "", twips(6420, 4740, 735, 765));
    }
    void controlsHaveTheirDefaults()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, text);
        QFETCH(QRect, rect);
        QFETCH(bool, sizesItself);
        Console c;
        QWidget *w = c.control(qPrintable(name));
        QVERIFY(w);
        if (!kind.isEmpty())
            QCOMPARE(QString::fromLatin1(w->metaObject()->className()), kind);
        QCOMPARE(textOf(w), text);
        QVERIFY(w->isVisible());
        if (sizesItself) {
            // Placed at its corner, as large as its caption in the window's font.
            QCOMPARE(w->pos(), rect.topLeft());
            QCOMPARE(w->size(), w->sizeHint());
        } else {
            QCOMPARE(w->geometry(), rect);
        }
        // No control sets a font of its own, and captions have no access key.
        QVERIFY(!w->testAttribute(Qt::WA_SetFont));
        QVERIFY(!text.contains(u'&'));
        if (auto *list = qobject_cast<JournalList *>(w)) {
            QCOMPARE(list->count(), 0);
            QCOMPARE(list->selectedIndex(), -1);
        }
    }

    void windowHasItsCaptionSizeAndStartState()
    {
        Console c;
        QCOMPARE(c.window->windowTitle(), QStringLiteral("G3 fax ISDN OCX test program"));
        QCOMPARE(c.window->size(), QSize(534, 369));
        QCOMPARE(c.window->objectName(), QStringLiteral("frmTestprog"));
        QVERIFY(!c.control<QCheckBox>("chkShowProgressform")->isChecked());
        QVERIFY(!c.control("CapiInfo")->isEnabled());
        QCOMPARE(QApplication::focusWidget(), c.control("cmdStart"));
        // Loading and showing called nothing on the endpoints.
        QCOMPARE(c.takeCalls(), QStringList());
        // Every text box takes any length of text.
        for (auto *box : c.window->findChildren<QLineEdit *>())
            QVERIFY(box->maxLength() >= 1 << 30);
        for (auto *b : c.window->findChildren<QPushButton *>())
            QVERIFY(!b->autoDefault() && !b->isDefault());
    }

    void captionsFitTheirControls()
    {
        Console c;
        for (auto *b : c.window->findChildren<QAbstractButton *>()) {
            const QFontMetrics fm(b->font());
            const int room = qobject_cast<QCheckBox *>(b) ? b->width() - 18 : b->width() - 6;
            QVERIFY2(fm.horizontalAdvance(b->text()) <= room, qPrintable(b->objectName()));
            QVERIFY2(fm.height() <= b->height(), qPrintable(b->objectName()));
        }
        const std::pair<const char *, const char *> captions[] = {
            {"Label3", "txtCallNr"}, {"Label5", "txtOwnNr"},       {"Label6", "txtHeader"},
            {"Label7", "txtSender"}, {"Label8", "txtFaxfileRead"}, {"Label9", "txtFaxfileWrite"}};
        for (const auto &[labelName, boxName] : captions) {
            QWidget *l = c.control(labelName);
            QWidget *box = c.control(boxName);
            QVERIFY2(l->geometry().right() < box->x(), labelName);
            QVERIFY2(qAbs(l->geometry().center().y() - box->geometry().center().y()) <= box->height() / 2,
                     labelName);
        }
        for (const char *name : {"Label1", "Label2"}) {
            auto *l = c.control<QLabel>(name);
            QVERIFY(l->fontMetrics().horizontalAdvance(l->text()) <= l->width());
            QVERIFY(l->fontMetrics().height() <= l->height());
        }
        for (auto *box : c.window->findChildren<QLineEdit *>())
            QVERIFY2(box->fontMetrics().height() + 4 <= box->height(), qPrintable(box->objectName()));
    }

    void controlsAreCreatedInTheirOrder()
    {
        // Every object that becomes a child of the window, in the order it got there.
        struct Recorder : QObject
        {
            QList<QPointer<QObject>> added;
            bool eventFilter(QObject *watched, QEvent *event) override
            {
                if (event->type() == QEvent::ChildAdded
                    && watched->objectName() == QLatin1String("frmTestprog"))
                    added << static_cast<QChildEvent *>(event)->child();
                return false;
            }
        } recorder;
        qApp->installEventFilter(&recorder);
        frmTestprog window(Console::host().factory());
        qApp->removeEventFilter(&recorder);
        QStringList names;
        for (const QPointer<QObject> &child : std::as_const(recorder.added))
            if (child && !child->objectName().isEmpty())
                names << child->objectName();
        QCOMPARE(names, (QStringList{"QuillonRecv", "Quillon", "chkShowProgressform", "cmdDiscRcv",
                                     "cmdDiscSnd", "cmdSendFaxG4", "txtFaxfileWrite", "txtFaxfileRead",
                                     "txtSender", "txtHeader", "txtOwnNr", "txtCallNr", "cmdQuit",
                                     "lbCallinfo", "lbDebug", "txtDebug", "cmdSendFax", "CapiInfo",
                                     "cmdStop", "cmdStart", "Label9", "Label8", "Label7", "Label6",
                                     "Label5", "Label3", "Label2", "Label1"}));
    }

    void instancesAreCreatedFirstReceiverFirstAndLetClicksThrough()
    {
        Console c;
        QCOMPARE(c.snd->serial(), c.rcv->serial() + 1);
        for (const char *name : {"Quillon", "QuillonRecv"}) {
            QWidget *w = c.control(name);
            QVERIFY(w->testAttribute(Qt::WA_TransparentForMouseEvents));
            QCOMPARE(w->focusPolicy(), Qt::NoFocus);
        }
        // A click on the part of txtFaxfileWrite under QuillonRecv reaches the box.
        auto *box = c.control<QLineEdit>("txtFaxfileWrite");
        const QRect shared = c.control("QuillonRecv")->geometry() & box->geometry();
        QVERIFY(!shared.isEmpty());
        const QPoint overlap = shared.center();
        QCOMPARE(c.window->childAt(overlap), box);
        QTest::mouseClick(box, Qt::LeftButton, {}, box->mapFrom(c.window.get(), overlap));
        QCOMPARE(QApplication::focusWidget(), box);
    }

    void tabAndShiftTabFollowTheTabOrder()
    {
        Console c;
        QStringList forward{QApplication::focusWidget()->objectName()};
        for (std::size_t i = 0; i < std::size(kTabOrder); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            forward << QApplication::focusWidget()->objectName();
        }
        QStringList expected;
        for (const char *name : kTabOrder)
            expected << QString::fromLatin1(name);
        QCOMPARE(forward, expected + QStringList{QStringLiteral("cmdStart")});

        QStringList backward;
        for (std::size_t i = 0; i < std::size(kTabOrder); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
            backward << QApplication::focusWidget()->objectName();
        }
        std::reverse(expected.begin(), expected.end());
        QCOMPARE(backward, expected);
    }

    void lockedAndDisabledBoxesRefuseEdits()
    {
        Console c;
        auto *detail = c.control<QPlainTextEdit>("txtDebug");
        c.click("txtDebug");
        QCOMPARE(QApplication::focusWidget(), detail);
        QTest::keyClicks(detail, QStringLiteral("typed"));
        QTest::keyClick(detail, Qt::Key_Return);
        QCOMPARE(detail->toPlainText(), QString());
        // ...but what it shows can be selected and copied.
        QVariantList params{QStringLiteral("copy me")};
        c.snd->raise(17, params);
        auto *debug = c.control<JournalList>("lbDebug");
        QTest::mouseClick(debug->viewport(), Qt::LeftButton, {}, debug->visualRect(0).center());
        QGuiApplication::clipboard()->clear();
        c.click("txtDebug");
        QTest::keyClick(detail, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(detail, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("snd: Debug: copy me"));

        c.click("CapiInfo");
        QCOMPARE(QApplication::focusWidget(), detail);
        QVERIFY(!c.control("CapiInfo")->hasFocus());
    }

    void enterAndEscapePressNoButton_data()
    {
        QTest::addColumn<QString>("focus");
        QTest::addColumn<int>("key");
        for (const char *name : {"txtCallNr", "txtFaxfileWrite", "cmdStart", "cmdSendFax"}) {
            QTest::addRow("%s Enter", name) << QString::fromLatin1(name) << int(Qt::Key_Return);
            QTest::addRow("%s keypad Enter", name) << QString::fromLatin1(name) << int(Qt::Key_Enter);
            QTest::addRow("%s Esc", name) << QString::fromLatin1(name) << int(Qt::Key_Escape);
        }
    }
    void enterAndEscapePressNoButton()
    {
        QFETCH(QString, focus);
        QFETCH(int, key);
        Console c;
        QWidget *w = c.control(qPrintable(focus));
        w->setFocus();
        QTest::keyClick(w, Qt::Key(key));
        QCOMPARE(c.takeCalls(), QStringList());
        QVERIFY(c.exits.isEmpty());
        QVERIFY(c.window->isVisible());
    }

    void editingOtherBoxesRunsNoHandler()
    {
        Console c;
        for (const char *name : {"txtCallNr", "txtOwnNr", "txtHeader", "txtSender", "txtFaxfileRead"}) {
            c.click(name);
            QTest::keyClick(c.control(name), Qt::Key_End);
            QTest::keyClicks(c.control(name), QStringLiteral("12"));
            QTest::keyClick(c.control(name), Qt::Key_Backspace);
        }
        QCOMPARE(c.takeCalls(), QStringList());
        QCOMPARE(c.control<QLineEdit>("txtHeader")->text(), QStringLiteral("Fax test1"));
    }

    void journalListsShowTheirLinesAsListItems()
    {
        Console c;
        QVariantList params{QStringLiteral("first")};
        c.snd->raise(17, params);
        params = {QStringLiteral("dialling")};
        c.rcv->raise(13, params);
        const std::pair<const char *, const char *> lists[] = {{"lbDebug", "snd: Debug: first"},
                                                               {"lbCallinfo", "rcv: CallProgress: dialling"}};
        for (const auto &[name, line] : lists) {
            QAccessibleInterface *list = QAccessible::queryAccessibleInterface(c.control(name));
            QVERIFY(list);
            QCOMPARE(list->role(), QAccessible::List);
            QCOMPARE(list->childCount(), 1);
            QAccessibleInterface *item = list->child(0);
            QVERIFY(item);
            QCOMPARE(item->role(), QAccessible::ListItem);
            QCOMPARE(item->text(QAccessible::Name), QString::fromLatin1(line));
        }
        QAccessibleInterface *check = QAccessible::queryAccessibleInterface(c.control("chkShowProgressform"));
        QCOMPARE(check->role(), QAccessible::CheckBox);
        QVERIFY(!check->state().checked);
        QVERIFY(QAccessible::queryAccessibleInterface(c.control("CapiInfo"))->state().disabled);
        QVERIFY(QAccessible::queryAccessibleInterface(c.control("txtDebug"))->state().readOnly);
    }

    // Assistive technology names each captioned box by its label.
    void labelsNameTheirBoxes()
    {
        Console c;
        const std::pair<const char *, const char *> captions[] = {
            {"Label1", "CapiInfo"},  {"Label2", "lbCallinfo"}, {"Label3", "txtCallNr"},
            {"Label5", "txtOwnNr"},  {"Label6", "txtHeader"},  {"Label7", "txtSender"},
            {"Label8", "txtFaxfileRead"}, {"Label9", "txtFaxfileWrite"}};
        for (const auto &[labelName, boxName] : captions) {
            QAccessibleInterface *box = QAccessible::queryAccessibleInterface(c.control(boxName));
            QVERIFY2(box, boxName);
            QCOMPARE(box->text(QAccessible::Name), c.control<QLabel>(labelName)->text());
        }
    }

    void closingClosesTheLogAndCallsNoEndpoint()
    {
        Console c;
        QVariantList params{QStringLiteral("x")};
        c.snd->raise(17, params);
        QVERIFY(c.window->close());
        QVERIFY(!c.window->isVisible());
        QCOMPARE(fixture::logBytes(), QByteArray("snd: Debug: x\r\n"));
        // The program ends with status 0, whatever other windows are open; an event raised on
        // the way out reaches no handler, so no failure is reported for the closed log, and
        // nothing reached the endpoints.
        QCOMPARE(c.exits, QList<int>{0});
        c.snd->raise(17, params);
        QVERIFY(c.failures.isEmpty());
        QCOMPARE(c.control<JournalList>("lbDebug")->count(), 1);
        QCOMPARE(c.takeCalls(), QStringList());
        QCOMPARE(fixture::logBytes(), QByteArray("snd: Debug: x\r\n"));
    }
};

QUILLON_TEST_MAIN(TestWindow)
#include "tst_window.moc"
