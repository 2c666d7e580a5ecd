#pragma once

// A console window on the recording test component, for the window tests: the controls are
// found by name, failures and program ends are recorded instead of shown, and the calls the
// endpoints received read as short texts such as "snd.StartCapi()" or "rcv.AcceptFax=True".

#include "app/frmtestprog.h"
#include "endpoint/componenthost.h"
#include "platform/drivepath.h"
#include "testcontrol.h"

#include <QApplication>
#include <QFile>
#include <QtTest>

#include <memory>

namespace fixture {

using quillon::MemberId;
using quillon::Result;
using quillon::test::Call;
using quillon::test::CallKind;
using quillon::test::TestControl;

inline QString memberName(MemberId m)
{
    const quillon::MemberInfo *info = quillon::findMember(m);
    return info ? QString::fromLatin1(info->name) : QStringLiteral("?");
}

inline QString valueText(const QVariant &v)
{
    if (v.metaType().id() == QMetaType::Bool)
        return v.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    return v.toString();
}

inline const QString &logPath()
{
    static const QString path = platform::localPathForWriting(QStringLiteral("C:\\faxdbg.log"));
    return path;
}

inline QByteArray logBytes()
{
    QFile file(logPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no log>");
}

class Console
{
public:
    // Creates the window with the recording report and program end, runs its load handler
    // and shows it, active.
    explicit Console(bool loadAndShow = true)
    {
        window = std::make_unique<frmTestprog>(host().factory());
        window->setErrorReport([this](const platform::Failure &f) {
            failures.append({f.number(), f.text()});
        });
        window->setProgramEnd([this](int code) { exits.append(code); });
        snd = qobject_cast<TestControl *>(window->findChild<QWidget *>(QStringLiteral("Quillon")));
        rcv = qobject_cast<TestControl *>(window->findChild<QWidget *>(QStringLiteral("QuillonRecv")));
        snd->clearCalls();
        if (loadAndShow) {
            window->load();
            show();
        }
    }

    void show()
    {
        window->show();
        QApplication::setActiveWindow(window.get());
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }

    static quillon::ComponentHost &host()
    {
        static quillon::ComponentHost h({QStringLiteral(QUILLON_TESTCOMPONENT_DIR)});
        return h;
    }

    template <typename T = QWidget>
    T *control(const char *name) const
    {
        T *w = window->findChild<T *>(QLatin1String(name));
        if (!w)
            qWarning("no control named %s", name);
        return w;
    }

    void click(const char *name) const
    {
        QWidget *w = control(name);
        QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center());
    }

    QString describe(const Call &c) const
    {
        const QString who = c.instance == snd->serial() ? QStringLiteral("snd") : QStringLiteral("rcv");
        const QString name = who + u'.' + memberName(c.member);
        switch (c.kind) {
        case CallKind::Get:
            return name + u'?';
        case CallKind::Set:
            return name + u'=' + valueText(c.args.value(0));
        case CallKind::Invoke: {
            QStringList args;
            for (const QVariant &a : c.args)
                args << valueText(a);
            return name + u'(' + args.join(u'|') + u')';
        }
        }
        return name;
    }

    // The calls since the last one taken, and forgets them.
    QStringList takeCalls() const
    {
        QStringList out;
        for (const Call &c : snd->calls())
            out << describe(c);
        snd->clearCalls();
        return out;
    }

    TestControl *endpoint(const QString &who) const { return who == QLatin1String("snd") ? snd : rcv; }

    std::unique_ptr<frmTestprog> window;
    TestControl *snd = nullptr;
    TestControl *rcv = nullptr;
    QList<std::pair<int, QString>> failures;
    QList<int> exits;
};

} // namespace fixture
