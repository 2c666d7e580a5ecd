// The driven component: the real component, on the lines its settings file chooses, in a
// plugin of its own that also works the console's window from a script file beside the
// executable, as an operator would. A process-level test starts consoles with it to let
// them fax each other; the test reads their logs and files once they have ended.
//
// One step per line, fields separated by tabs, run in order from the event loop:
//   type <box object name> <text>   replaces the text of a line edit, as typed
//   click <button object name>
//   await <text>                    waits until a line of the console's debug log on disk
//                                   holds the text; after 60 s the program ends with status 3
#include "testcontrol.h"

#include "component/factory.h"
#include "platform/drivepath.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTimer>

namespace quillon::drivencomponent {

namespace {

constexpr int kPollMs = 50;
constexpr qint64 kAwaitLimitMs = 60000;
constexpr int kAwaitTimedOut = 3;

template <typename Widget>
Widget *findControl(const QString &name)
{
    for (QWidget *top : QApplication::topLevelWidgets())
        if (auto *w = top->findChild<Widget *>(name))
            return w;
    qWarning("driven component script: no control named %s", qPrintable(name));
    return nullptr;
}

bool logHolds(const QString &text)
{
    QFile log(platform::localPathForWriting(QStringLiteral("C:\\faxdbg.log")));
    return log.open(QIODevice::ReadOnly) && QString::fromUtf8(log.readAll()).contains(text);
}

} // namespace

class ScriptRunner : public QObject
{
    Q_OBJECT

public:
    explicit ScriptRunner(QStringList steps) : m_steps(std::move(steps))
    {
        QTimer::singleShot(0, this, &ScriptRunner::runNext);
    }

private:
    // Runs steps until one has to wait, then looks again a little later.
    void runNext()
    {
        while (m_next < m_steps.size()) {
            const QStringList f = m_steps.at(m_next).split(u'\t');
            if (f.at(0) == QLatin1String("await") && f.size() == 2) {
                if (!m_waiting.isValid())
                    m_waiting.start();
                if (!logHolds(f.at(1))) {
                    if (m_waiting.hasExpired(kAwaitLimitMs)) {
                        qWarning("driven component script: no \"%s\" in the log", qPrintable(f.at(1)));
                        QCoreApplication::exit(kAwaitTimedOut);
                        return;
                    }
                    QTimer::singleShot(kPollMs, this, &ScriptRunner::runNext);
                    return;
                }
                m_waiting.invalidate();
                ++m_next;
                continue;
            }
            ++m_next;
            // A click may open a modal window or end the program: the next step runs from
            // the event loop.
            QTimer::singleShot(0, this, &ScriptRunner::runNext);
            run(f);
            return;
        }
    }

    static void run(const QStringList &f)
    {
        if (f.at(0) == QLatin1String("type") && f.size() == 3) {
            if (auto *box = findControl<QLineEdit>(f.at(1)))
                box->setText(f.at(2));
        } else if (f.at(0) == QLatin1String("click") && f.size() == 2) {
            if (auto *button = findControl<QAbstractButton>(f.at(1)))
                button->click();
        } else {
            qWarning("driven component script: bad step %s", qPrintable(f.join(u' ')));
        }
    }

    QStringList m_steps;
    qsizetype m_next = 0;
    QElapsedTimer m_waiting;
};

class DrivenFactory : public component::QuillonFactory
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QUILLON_COMPONENT_FACTORY_IID FILE "drivencomponent.json")
    Q_INTERFACES(quillon::ComponentFactory)

public:
    std::unique_ptr<ComponentInstance> create(QWidget *parent,
                                              const QVariantMap &savedProperties) override
    {
        if (!m_runner) {
            QFile file(QCoreApplication::applicationDirPath() + u'/'
                       + QLatin1String(test::kScriptFileName));
            QStringList steps;
            if (file.open(QIODevice::ReadOnly | QIODevice::Text))
                for (const QString &line : QString::fromUtf8(file.readAll()).split(u'\n'))
                    if (!line.trimmed().isEmpty())
                        steps << line;
            m_runner = std::make_unique<ScriptRunner>(steps);
        }
        return QuillonFactory::create(parent, savedProperties);
    }

private:
    std::unique_ptr<ScriptRunner> m_runner;
};

} // namespace quillon::drivencomponent

#include "drivencomponent.moc"
