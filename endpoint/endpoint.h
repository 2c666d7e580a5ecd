#pragma once

#include "endpoint/quillonboundary.h"

#include <QString>
#include <QVariant>
#include <QVariantList>

#include <array>
#include <functional>
#include <memory>

class QWidget;

namespace quillon {

// What an event slot is bound to: a handler that reads the event's parameters.
using EventHandler = std::function<void(QVariantList &params)>;
// One instance's event binding, indexed by slot; an empty entry reaches nothing.
using EventTable = std::array<EventHandler, kEventSlotCount>;

// The saved extent every instance is created with, in hundredths of a millimetre.
inline constexpr qint32 kSavedExtentX = 1296;
inline constexpr qint32 kSavedExtentY = 1349;

// A value as a Boolean: False for False, zero, an empty value or the text "False"; True for
// any other number or the text "True". Throws platform::Failure (kErrTypeMismatch) otherwise.
bool toBoolean(const QVariant &value);
// A value as text: Booleans read "True" or "False", an empty value reads "". Throws
// platform::Failure (kErrTypeMismatch) for values that have no text, such as lists.
QString toText(const QVariant &value);
// The text of an event parameter. Throws platform::Failure (kErrArgumentCount) when the
// event carries fewer parameters.
QString textParameter(const QVariantList &params, int index);
bool booleanParameter(const QVariantList &params, int index);

// The typed binding the window calls: one component instance, its members by name. Every
// member failure becomes a thrown platform::Failure with the component's number and text.
class Endpoint
{
public:
    // Creates an instance with the saved extent, its widget a child of parent.
    Endpoint(ComponentFactory &factory, QWidget *parent);
    explicit Endpoint(std::unique_ptr<ComponentInstance> instance);
    ~Endpoint();
    Endpoint(const Endpoint &) = delete;
    Endpoint &operator=(const Endpoint &) = delete;

    // Routes the instance's events through the table; replaces any earlier binding.
    void bind(EventTable table);

    bool startCapi();
    void listen();
    void stopCapi();
    void disconnect();
    // The five texts in parameter order; they cross in dispatch order (file path first).
    bool sendFax(const QString &callNumber, const QString &ownNumber, const QString &header,
                 const QString &sender, const QString &filePath);
    bool sendFaxG4(const QString &callNumber, const QString &ownNumber, const QString &header,
                   const QString &sender, const QString &filePath);

    QString releaseVersion();
    QString serialNumber();
    QString capiDescription();

    void setShowProgressForm(bool show);
    void setReceiveFileName(const QString &path);
    void setAcceptFax(bool accept);

    QWidget *widget() const;
    ComponentInstance &instance() const { return *m_instance; }

private:
    QVariant invoke(MemberId member, const QVariantList &dispatchArgs = {});
    QVariant property(MemberId member);
    void setProperty(MemberId member, const QVariant &value);
    bool send(MemberId member, const QString &callNumber, const QString &ownNumber,
              const QString &header, const QString &sender, const QString &filePath);

    std::unique_ptr<ComponentInstance> m_instance;
    std::shared_ptr<EventTable> m_table;
};

} // namespace quillon
