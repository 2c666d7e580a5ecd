#include "endpoint/endpoint.h"

#include "platform/failure.h"

#include <QVariantMap>
#include <QWidget>

namespace quillon {

namespace {

[[noreturn]] void typeMismatch()
{
    throw platform::Failure(kErrTypeMismatch, QStringLiteral("Type mismatch"));
}

QVariant unwrap(const Result &result)
{
    if (result.failed)
        throw platform::Failure(result.failure.number, result.failure.text);
    return result.value;
}

} // namespace

bool toBoolean(const QVariant &value)
{
    if (const std::optional<bool> flag = coercion::toBoolean(value))
        return *flag;
    typeMismatch();
}

QString toText(const QVariant &value)
{
    if (std::optional<QString> text = coercion::toText(value))
        return std::move(*text);
    typeMismatch();
}

namespace {

const QVariant &parameter(const QVariantList &params, int index)
{
    if (index < 0 || index >= params.size())
        throw platform::Failure(kErrArgumentCount,
                                QStringLiteral("Wrong number of arguments or invalid property "
                                               "assignment"));
    return params.at(index);
}

} // namespace

QString textParameter(const QVariantList &params, int index)
{
    return toText(parameter(params, index));
}

bool booleanParameter(const QVariantList &params, int index)
{
    return toBoolean(parameter(params, index));
}

Endpoint::Endpoint(ComponentFactory &factory, QWidget *parent)
    : Endpoint(factory.create(parent, QVariantMap{{QLatin1String(kExtentX), kSavedExtentX},
                                                  {QLatin1String(kExtentY), kSavedExtentY}}))
{
}

Endpoint::Endpoint(std::unique_ptr<ComponentInstance> instance)
    : m_instance(std::move(instance)), m_table(std::make_shared<EventTable>())
{
    if (!m_instance)
        throw platform::Failure(platform::kErrCannotCreateObject,
                                QStringLiteral("The component did not create an instance"));
    // The sink holds the table, not the endpoint, so an event raised while the endpoint is
    // being torn down reaches nothing instead of a dead object.
    std::weak_ptr<EventTable> table = m_table;
    m_instance->setEventSink([table](int slot, QVariantList &params) {
        const std::shared_ptr<EventTable> bound = table.lock();
        if (!bound || slot < 0 || slot >= kEventSlotCount)
            return;
        const EventHandler &handler = (*bound)[static_cast<std::size_t>(slot)];
        if (handler)
            handler(params);
    });
}

Endpoint::~Endpoint()
{
    m_table.reset();
    m_instance->setEventSink({});
}

void Endpoint::bind(EventTable table)
{
    *m_table = std::move(table);
}

bool Endpoint::startCapi()
{
    return toBoolean(invoke(MemberId::StartCapi));
}

void Endpoint::listen()
{
    invoke(MemberId::Listen);
}

void Endpoint::stopCapi()
{
    invoke(MemberId::StopCapi);
}

void Endpoint::disconnect()
{
    invoke(MemberId::Disconnect);
}

bool Endpoint::sendFax(const QString &callNumber, const QString &ownNumber,
                       const QString &header, const QString &sender, const QString &filePath)
{
    return send(MemberId::SendFax, callNumber, ownNumber, header, sender, filePath);
}

bool Endpoint::sendFaxG4(const QString &callNumber, const QString &ownNumber,
                         const QString &header, const QString &sender, const QString &filePath)
{
    return send(MemberId::SendFaxG4, callNumber, ownNumber, header, sender, filePath);
}

bool Endpoint::send(MemberId member, const QString &callNumber, const QString &ownNumber,
                    const QString &header, const QString &sender, const QString &filePath)
{
    // Dispatch order: the last parameter first.
    return toBoolean(invoke(member, {filePath, sender, header, ownNumber, callNumber}));
}

QString Endpoint::releaseVersion()
{
    return toText(property(MemberId::ReleaseVersion));
}

QString Endpoint::serialNumber()
{
    return toText(property(MemberId::SerialNumber));
}

QString Endpoint::capiDescription()
{
    return toText(property(MemberId::CapiDescription));
}

void Endpoint::setShowProgressForm(bool show)
{
    setProperty(MemberId::ShowProgressForm, show);
}

void Endpoint::setReceiveFileName(const QString &path)
{
    setProperty(MemberId::ReceiveFileName, path);
}

void Endpoint::setAcceptFax(bool accept)
{
    setProperty(MemberId::AcceptFax, accept);
}

QWidget *Endpoint::widget() const
{
    return m_instance->widget();
}

QVariant Endpoint::invoke(MemberId member, const QVariantList &dispatchArgs)
{
    return unwrap(m_instance->invoke(member, dispatchArgs));
}

QVariant Endpoint::property(MemberId member)
{
    return unwrap(m_instance->getProperty(member));
}

void Endpoint::setProperty(MemberId member, const QVariant &value)
{
    unwrap(m_instance->setProperty(member, value));
}

} // namespace quillon
