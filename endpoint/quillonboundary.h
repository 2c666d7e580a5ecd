#pragma once

// The boundary between the console and the fax endpoint component. The console and the
// component share nothing else: the component is a Qt plugin whose metadata names its
// class ("className": "Morvane.Quillon") and whose root object implements ComponentFactory.

#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>
#include <QtPlugin>

#include <functional>
#include <memory>
#include <optional>

class QWidget;

namespace quillon {

// The class name the host looks for in a plugin's metadata.
inline constexpr char kClassName[] = "Morvane.Quillon";

// Saved properties handed to every instance at creation (hundredths of a millimetre).
inline constexpr char kExtentX[] = "_extentx";
inline constexpr char kExtentY[] = "_extenty";

// Fixed member ids of the component's automation interface.
enum class MemberId : quint32 {
    SendFax = 0x6003001C,          // method: five texts (dispatch order: file first), Boolean
    SendFaxG4 = 0x6003001D,        // method: the same five texts, Boolean
    Disconnect = 0x6003001E,       // method: no arguments, ends the instance's call
    Listen = 0x6003001F,           // method: no arguments, listens for incoming calls
    StartCapi = 0x60030021,        // method: no arguments, Boolean
    StopCapi = 0x60030022,         // method: no arguments, ends every call and releases CAPI
    ReleaseVersion = 0x68030000,   // property, read: the component's version
    SerialNumber = 0x68030001,     // property, read: the controller's serial number
    CapiDescription = 0x68030002,  // property, read: the controller's manufacturer and version
    ShowProgressForm = 0x68030003, // property, write: Boolean, shows or hides the status window
    ReceiveFileName = 0x68030005,  // property, write: text, the file a received fax goes to
    AcceptFax = 0x6803000A,        // property, write: Boolean, read while IncomingFax is raised
};

// What a member is, how many arguments it takes and of which type its arguments or its
// property value are. The host and the component read the same table.
enum class MemberKind { Method, ReadProperty, WriteProperty };
enum class ValueType { None, Text, Boolean };

struct MemberInfo
{
    MemberId id;
    const char *name;
    MemberKind kind;
    int argumentCount;
    ValueType type; // of every argument, or of the property value
};

inline constexpr MemberInfo kMembers[] = {
    {MemberId::SendFax, "SendFax", MemberKind::Method, 5, ValueType::Text},
    {MemberId::SendFaxG4, "SendFaxG4", MemberKind::Method, 5, ValueType::Text},
    {MemberId::Disconnect, "Disconnect", MemberKind::Method, 0, ValueType::None},
    {MemberId::Listen, "Listen", MemberKind::Method, 0, ValueType::None},
    {MemberId::StartCapi, "StartCapi", MemberKind::Method, 0, ValueType::None},
    {MemberId::StopCapi, "StopCapi", MemberKind::Method, 0, ValueType::None},
    {MemberId::ReleaseVersion, "ReleaseVersion", MemberKind::ReadProperty, 0, ValueType::Text},
    {MemberId::SerialNumber, "SerialNumber", MemberKind::ReadProperty, 0, ValueType::Text},
    {MemberId::CapiDescription, "CapiDescription", MemberKind::ReadProperty, 0, ValueType::Text},
    {MemberId::ShowProgressForm, "ShowProgressForm", MemberKind::WriteProperty, 0,
     ValueType::Boolean},
    {MemberId::ReceiveFileName, "ReceiveFileName", MemberKind::WriteProperty, 0, ValueType::Text},
    {MemberId::AcceptFax, "AcceptFax", MemberKind::WriteProperty, 0, ValueType::Boolean},
};

// The member with this id, null for an id the interface does not have.
inline constexpr const MemberInfo *findMember(MemberId id)
{
    for (const MemberInfo &m : kMembers) {
        if (m.id == id)
            return &m;
    }
    return nullptr;
}

// The value types that convert as an automation client converts them. Both sides of the
// boundary use these two conversions, so a value means the same to the console and the
// component.
namespace coercion {

inline bool isNumber(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

// An empty value reads ""; a Boolean "True" or "False"; a number its digits (a char-sized
// integer too); a text or a QChar itself. Any other value (a list, a map, an object) has no text: std::nullopt.
inline std::optional<QString> toText(const QVariant &value)
{
    if (!value.isValid())
        return QString();
    const int type = value.metaType().id();
    if (type == QMetaType::Bool)
        return value.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    if (type == QMetaType::Char || type == QMetaType::SChar || type == QMetaType::UChar)
        return QString::number(value.toInt()); // a small number, not a character
    if (type == QMetaType::QString || type == QMetaType::QChar || isNumber(value))
        return value.toString();
    return std::nullopt;
}

// An empty value is False; a number is True unless it is zero; a text "True" or "False"
// (any case, spaces around ignored) or a number in digits. Anything else: std::nullopt.
inline std::optional<bool> toBoolean(const QVariant &value)
{
    if (!value.isValid())
        return false;
    const int type = value.metaType().id();
    if (type == QMetaType::Bool)
        return value.toBool();
    if (type == QMetaType::Double || type == QMetaType::Float)
        return value.toDouble() != 0.0;
    if (isNumber(value))
        return value.toLongLong() != 0 || value.toULongLong() != 0;
    if (type != QMetaType::QString)
        return std::nullopt;
    const QString text = value.toString().trimmed();
    if (text.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
        return true;
    if (text.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0)
        return false;
    bool isDigits = false;
    const double number = text.toDouble(&isDigits);
    if (isDigits)
        return number != 0.0;
    return std::nullopt;
}

} // namespace coercion

// Event slots 0 to 17. Slots 0 to 8 carry no event of this interface.
enum class EventSlot : int {
    IncomingFax = 9,        // called number, calling number (texts)
    FaxReceived = 10,       // no parameters: a fax has been received completely
    FaxSent = 11,           // success (Boolean)
    IncomingCall = 12,      // called number, calling number, call type (texts)
    CallProgress = 13,      // progress text
    Connected = 14,         // connection text
    Disconnected = 15,      // no parameters
    IncomingPhoneCall = 16, // called number, calling number (texts)
    Debug = 17,             // debug text
};
inline constexpr int kEventSlotCount = 18;

// Failure numbers for a misused member.
inline constexpr qint32 kErrTypeMismatch = 13;
inline constexpr qint32 kErrUnknownMember = 438;
inline constexpr qint32 kErrArgumentCount = 450;

// The number and text of a member call that failed.
struct Failure
{
    qint32 number = 0;
    QString text;
};

// The outcome of a member call: a value, or a failure.
struct Result
{
    QVariant value;
    bool failed = false;
    Failure failure;

    static Result ok(QVariant v = {}) { return Result{std::move(v), false, {}}; }
    static Result fail(qint32 number, QString text)
    {
        return Result{{}, true, Failure{number, std::move(text)}};
    }
};

// Receives the events an instance raises: the slot number and the parameters, by reference.
using EventSink = std::function<void(int slot, QVariantList &params)>;

// One instance of the component. Every call is made on the window's thread. Events are raised
// from the event loop of that thread, never from inside a member call, with one exception: the
// host writes AcceptFax while the instance is raising IncomingFax.
class ComponentInstance
{
public:
    virtual ~ComponentInstance() = default;

    // Calls a method with its arguments in dispatch order (last argument first).
    virtual Result invoke(MemberId member, const QVariantList &dispatchArgs) = 0;
    virtual Result getProperty(MemberId member) = 0;
    virtual Result setProperty(MemberId member, const QVariant &value) = 0;

    // Where the instance raises its events; set by the host before the first member call.
    virtual void setEventSink(EventSink sink) = 0;

    // The instance's widget, a child of the parent given at creation. It draws nothing while
    // the console runs and lets mouse clicks through. Destroying the instance destroys it.
    virtual QWidget *widget() = 0;
};

// The plugin's root object.
class ComponentFactory
{
public:
    virtual ~ComponentFactory() = default;

    // Creates one instance; savedProperties holds _extentx and _extenty (32-bit integers).
    virtual std::unique_ptr<ComponentInstance> create(QWidget *parent,
                                                      const QVariantMap &savedProperties) = 0;
};

} // namespace quillon

#define QUILLON_COMPONENT_FACTORY_IID "org.morvane.quillon.ComponentFactory/1.0"
Q_DECLARE_INTERFACE(quillon::ComponentFactory, QUILLON_COMPONENT_FACTORY_IID)
