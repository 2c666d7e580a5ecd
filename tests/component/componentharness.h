#pragma once

// Loads the component plugin as the console's host does, or takes a factory a test built on a
// line of its own, and records what its instances raise.

#include "endpoint/quillonboundary.h"

#include <QPluginLoader>
#include <QStringList>
#include <QWidget>
#include <QtTest>

#include <memory>
#include <vector>

namespace componenttest {

inline quillon::ComponentFactory *factory()
{
    static QPluginLoader loader(QStringLiteral(QUILLON_PLUGIN_FILE));
    static quillon::ComponentFactory *loaded = [] {
        QObject *root = loader.instance();
        if (!root)
            qFatal("cannot load %s: %s", QUILLON_PLUGIN_FILE, qPrintable(loader.errorString()));
        return qobject_cast<quillon::ComponentFactory *>(root);
    }();
    return loaded;
}

struct Event
{
    int slot;
    QVariantList params;
};

// One instance with everything it raised, in order.
class Endpoint
{
public:
    explicit Endpoint(QWidget *host, quillon::ComponentFactory *from = nullptr)
    {
        QVariantMap saved{{QLatin1String(quillon::kExtentX), 1296},
                          {QLatin1String(quillon::kExtentY), 1349}};
        m_instance = (from ? from : factory())->create(host, saved);
        m_instance->setEventSink([this](int slot, QVariantList &params) {
            if (m_inCall)
                m_raisedInsideCall = true;
            events.push_back({slot, params});
            if (slot == int(quillon::EventSlot::IncomingFax))
                m_instance->setProperty(quillon::MemberId::AcceptFax, acceptFax);
            if (onEvent)
                onEvent(slot, params);
        });
    }

    quillon::Result call(quillon::MemberId id, const QVariantList &dispatchArgs = {})
    {
        m_inCall = true;
        quillon::Result r = m_instance->invoke(id, dispatchArgs);
        m_inCall = false;
        return r;
    }
    bool callBool(quillon::MemberId id, const QVariantList &dispatchArgs = {})
    {
        const quillon::Result r = call(id, dispatchArgs);
        if (r.failed)
            qWarning("member failed: %d %s", r.failure.number, qPrintable(r.failure.text));
        return !r.failed && r.value.toBool();
    }
    // SendFax or SendFaxG4 with the texts in the caller's order (reversed for dispatch).
    bool send(const QString &number, const QString &own, const QString &file, bool g4 = false,
              const QString &header = QStringLiteral("Fax test"),
              const QString &sender = QStringLiteral("Quillon test"))
    {
        return callBool(g4 ? quillon::MemberId::SendFaxG4 : quillon::MemberId::SendFax,
                        {file, sender, header, own, number});
    }
    void set(quillon::MemberId id, const QVariant &value)
    {
        const quillon::Result r = m_instance->setProperty(id, value);
        QVERIFY2(!r.failed, qPrintable(r.failure.text));
    }
    QString text(quillon::MemberId id) { return m_instance->getProperty(id).value.toString(); }

    int count(quillon::EventSlot slot) const
    {
        int n = 0;
        for (const Event &e : events)
            n += e.slot == int(slot);
        return n;
    }
    bool has(quillon::EventSlot slot) const { return count(slot) > 0; }
    // The texts of every event of one slot (the first parameter of each).
    QStringList texts(quillon::EventSlot slot) const
    {
        QStringList out;
        for (const Event &e : events)
            if (e.slot == int(slot))
                out << (e.params.isEmpty() ? QString() : e.params.first().toString());
        return out;
    }
    bool debugContains(const QString &part) const
    {
        for (const QString &line : texts(quillon::EventSlot::Debug))
            if (line.contains(part, Qt::CaseInsensitive))
                return true;
        return false;
    }
    // The slots raised, without Debug events: the call's story.
    QList<int> story() const
    {
        QList<int> out;
        for (const Event &e : events)
            if (e.slot != int(quillon::EventSlot::Debug))
                out << e.slot;
        return out;
    }
    // The parameters of the first event of a slot.
    QVariantList first(quillon::EventSlot slot) const
    {
        for (const Event &e : events)
            if (e.slot == int(slot))
                return e.params;
        return {};
    }
    bool faxSentValue() const
    {
        for (const Event &e : events)
            if (e.slot == int(quillon::EventSlot::FaxSent))
                return e.params.value(0).toBool();
        return false;
    }

    quillon::ComponentInstance &instance() { return *m_instance; }
    bool raisedInsideCall() const { return m_raisedInsideCall; }

    std::vector<Event> events;
    bool acceptFax = true;
    std::function<void(int, QVariantList &)> onEvent;

private:
    std::unique_ptr<quillon::ComponentInstance> m_instance;
    bool m_inCall = false;
    bool m_raisedInsideCall = false;
};

} // namespace componenttest
