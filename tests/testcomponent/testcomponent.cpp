// The recording test component: a real plugin with the component's class name, built only
// for the tests. See testcontrol.h for what it offers.
#include "testcontrol.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <memory>

namespace quillon::testcomponent {

using test::Call;
using test::CallKind;

class TestWidget;

struct PluginState
{
    QList<Call> calls;
    int nextSerial = 0;
    QList<QPointer<TestWidget>> live;
};

PluginState &state()
{
    static PluginState s;
    return s;
}

bool isMethod(MemberId m)
{
    switch (m) {
    case MemberId::SendFax:
    case MemberId::SendFaxG4:
    case MemberId::Disconnect:
    case MemberId::Listen:
    case MemberId::StartCapi:
    case MemberId::StopCapi:
        return true;
    default:
        return false;
    }
}

int argumentCount(MemberId m)
{
    return m == MemberId::SendFax || m == MemberId::SendFaxG4 ? 5 : 0;
}

bool isReadable(MemberId m)
{
    return m == MemberId::ReleaseVersion || m == MemberId::SerialNumber
           || m == MemberId::CapiDescription;
}

bool isWritable(MemberId m)
{
    return m == MemberId::ShowProgressForm || m == MemberId::ReceiveFileName
           || m == MemberId::AcceptFax;
}

Result unknownMember()
{
    return Result::fail(kErrUnknownMember,
                        QStringLiteral("Object doesn't support this property or method"));
}

// The instance's widget carries the whole instance: it draws nothing, lets the mouse through
// and is the object tests reach the control interface on.
class TestWidget : public QWidget, public test::TestControl
{
    Q_OBJECT
    Q_INTERFACES(quillon::test::TestControl)

public:
    TestWidget(QWidget *parent, QVariantMap saved)
        : QWidget(parent), m_serial(state().nextSerial++), m_saved(std::move(saved))
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        state().live.append(this);
    }
    ~TestWidget() override { state().live.removeAll(this); }

    int serial() const override { return m_serial; }
    QVariantMap savedProperties() const override { return m_saved; }
    QList<Call> calls() const override { return state().calls; }
    void clearCalls() override { state().calls.clear(); }
    void setAnswer(MemberId member, const Result &answer) override { m_answers[member] = answer; }
    void resetAnswers() override { m_answers.clear(); }
    void setCallObserver(std::function<void(const Call &)> observer) override
    {
        m_observer = std::move(observer);
    }
    void raise(int slot, QVariantList &params) override
    {
        if (m_sink)
            m_sink(slot, params);
    }

    void setSink(EventSink sink) { m_sink = std::move(sink); }

    Result record(CallKind kind, MemberId member, QVariantList args)
    {
        Call call{m_serial, kind, member, std::move(args)};
        state().calls.append(call);
        if (m_observer)
            m_observer(call);
        if (m_answers.contains(member))
            return m_answers.value(member);
        return defaultAnswer(call);
    }

private:
    static Result defaultAnswer(const Call &call)
    {
        switch (call.kind) {
        case CallKind::Invoke:
            if (!isMethod(call.member))
                return unknownMember();
            if (call.args.size() != argumentCount(call.member))
                return Result::fail(kErrArgumentCount,
                                    QStringLiteral("Wrong number of arguments"));
            if (call.member == MemberId::StartCapi || call.member == MemberId::SendFax
                || call.member == MemberId::SendFaxG4)
                return Result::ok(true);
            return Result::ok();
        case CallKind::Get:
            if (call.member == MemberId::CapiDescription)
                return Result::ok(QString::fromLatin1(test::kTestCapiDescription));
            if (call.member == MemberId::ReleaseVersion)
                return Result::ok(QString::fromLatin1(test::kTestReleaseVersion));
            if (call.member == MemberId::SerialNumber)
                return Result::ok(QString::fromLatin1(test::kTestSerialNumber));
            return unknownMember();
        case CallKind::Set:
            return isWritable(call.member) ? Result::ok() : unknownMember();
        }
        return unknownMember();
    }

    int m_serial;
    QVariantMap m_saved;
    QHash<MemberId, Result> m_answers;
    std::function<void(const Call &)> m_observer;
    EventSink m_sink;
};

class TestInstance : public ComponentInstance
{
public:
    TestInstance(QWidget *parent, const QVariantMap &saved)
        : m_widget(new TestWidget(parent, saved))
    {
    }
    ~TestInstance() override { delete m_widget.data(); }

    Result invoke(MemberId member, const QVariantList &dispatchArgs) override
    {
        return m_widget->record(CallKind::Invoke, member, dispatchArgs);
    }
    Result getProperty(MemberId member) override
    {
        if (!isReadable(member) && !isWritable(member) && isMethod(member))
            return unknownMember();
        return m_widget->record(CallKind::Get, member, {});
    }
    Result setProperty(MemberId member, const QVariant &value) override
    {
        return m_widget->record(CallKind::Set, member, {value});
    }
    void setEventSink(EventSink sink) override { m_widget->setSink(std::move(sink)); }
    QWidget *widget() override { return m_widget; }

private:
    QPointer<TestWidget> m_widget;
};

// Runs the steps of the script file, one per pass of the event loop. The next step is queued
// before a step runs, so a step that opens a modal window (a click whose handler reports an
// error) lets the following steps run inside that window's loop.
class ScriptRunner : public QObject
{
    Q_OBJECT

public:
    explicit ScriptRunner(QStringList steps) : m_steps(std::move(steps))
    {
        QTimer::singleShot(0, this, &ScriptRunner::runNext);
    }

private:
    static QVariant value(const QString &field)
    {
        if (field.startsWith(QLatin1String("b:")))
            return field.mid(2).compare(QLatin1String("True"), Qt::CaseInsensitive) == 0;
        if (field.startsWith(QLatin1String("i:")))
            return field.mid(2).toInt();
        if (field.startsWith(QLatin1String("s:")))
            return field.mid(2);
        return QVariant();
    }

    static TestWidget *instance(const QString &name)
    {
        for (const QPointer<TestWidget> &w : std::as_const(state().live))
            if (w && w->objectName() == name)
                return w;
        qWarning("test component script: no instance named %s", qPrintable(name));
        return nullptr;
    }

    void runNext()
    {
        if (m_next >= m_steps.size())
            return;
        const QStringList fields = m_steps.at(m_next++).split(u'\t');
        QTimer::singleShot(0, this, &ScriptRunner::runNext);
        run(fields);
    }

    static void run(const QStringList &f)
    {
        const QString &verb = f.at(0);
        if (verb == QLatin1String("answer") && f.size() == 4) {
            if (TestWidget *w = instance(f.at(1))) {
                const auto member = static_cast<MemberId>(f.at(2).toUInt(nullptr, 16));
                if (f.at(3).startsWith(QLatin1String("fail:"))) {
                    const QString rest = f.at(3).mid(5);
                    const qsizetype colon = rest.indexOf(u':');
                    w->setAnswer(member, Result::fail(rest.left(colon).toInt(), rest.mid(colon + 1)));
                } else {
                    w->setAnswer(member, Result::ok(value(f.at(3))));
                }
            }
        } else if (verb == QLatin1String("raise") && f.size() >= 3) {
            if (TestWidget *w = instance(f.at(1))) {
                QVariantList params;
                for (qsizetype i = 3; i < f.size(); ++i)
                    params << value(f.at(i));
                w->raise(f.at(2).toInt(), params);
            }
        } else if (verb == QLatin1String("click") && f.size() == 2) {
            for (QWidget *top : QApplication::topLevelWidgets())
                if (auto *button = top->findChild<QAbstractButton *>(f.at(1)))
                    return button->click();
            qWarning("test component script: no button named %s", qPrintable(f.at(1)));
        } else if (verb == QLatin1String("close") && f.size() == 2) {
            for (QWidget *top : QApplication::topLevelWidgets())
                if (top->objectName() == f.at(1))
                    return void(top->close());
            qWarning("test component script: no window named %s", qPrintable(f.at(1)));
        } else if (verb == QLatin1String("closemodal")) {
            if (QWidget *modal = QApplication::activeModalWidget())
                modal->close();
            else
                qWarning("test component script: no modal window to close");
        } else {
            qWarning("test component script: bad step %s", qPrintable(f.join(u' ')));
        }
    }

    QStringList m_steps;
    qsizetype m_next = 0;
};

class TestComponentFactory : public QObject, public ComponentFactory
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QUILLON_COMPONENT_FACTORY_IID FILE "testcomponent.json")
    Q_INTERFACES(quillon::ComponentFactory)

public:
    std::unique_ptr<ComponentInstance> create(QWidget *parent,
                                              const QVariantMap &savedProperties) override
    {
        if (!m_scriptChecked) {
            m_scriptChecked = true;
            startScript();
        }
        return std::make_unique<TestInstance>(parent, savedProperties);
    }

private:
    void startScript()
    {
        QFile file(QCoreApplication::applicationDirPath() + u'/'
                   + QLatin1String(test::kScriptFileName));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return;
        QStringList steps;
        const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
        for (const QString &line : lines)
            if (!line.trimmed().isEmpty())
                steps << line;
        m_runner = std::make_unique<ScriptRunner>(steps);
    }

    bool m_scriptChecked = false;
    std::unique_ptr<ScriptRunner> m_runner;
};

} // namespace quillon::testcomponent

#include "testcomponent.moc"
