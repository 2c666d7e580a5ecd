#pragma once

// The interface a CAPI application programs against: the simulated line implements it, a
// libcapi20 transport can implement it for a real line.

#include "capi/message.h"

#include <QObject>
#include <QString>

#include <optional>

namespace capi {

struct Registration
{
    quint32 maxLogicalConnections = 1;
    quint32 maxDataBlocks = 7;    // unconfirmed DATA_B3 blocks per connection, each way
    quint32 maxBlockLength = 2048;
};

struct RegisterResult
{
    RegisterResult(quint16 id = 0, quint16 infoValue = info::Ok, QString why = {})
        : appId(id), info(infoValue), error(std::move(why))
    {
    }
    quint16 appId = 0; // 0 when registration failed
    quint16 info = info::Ok;
    QString error; // when it failed: why, in words, as far as the line knows more than info
    bool ok() const { return appId != 0 && info == info::Ok; }
};

// GET_PROFILE of a controller.
struct Profile
{
    quint16 controllers = 0;
    quint16 bChannels = 0;
    quint32 globalOptions = 0;
    quint32 b1Protocols = 0; // bit n: B1 protocol n supported
    quint32 b2Protocols = 0;
    quint32 b3Protocols = 0;
    QByteArray manufacturerSpecific;
};

struct Version
{
    quint32 capiMajor = 2;
    quint32 capiMinor = 0;
    quint32 manufacturerMajor = 0;
    quint32 manufacturerMinor = 0;
    QString text; // human-readable, e.g. "CAPI 2.0, simulated line 1.0"
};

class Transport : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~Transport() override;

    virtual bool isInstalled() const = 0;

    // Registers an application. The thread that registers is the thread whose event loop
    // delivers messagesWaiting() for it.
    virtual RegisterResult registerApplication(const Registration &registration) = 0;
    // Releases an application: its calls are cleared, its queued messages dropped.
    virtual quint16 release(quint16 appId) = 0;

    // Puts a REQ or RESP of application m.appId. Returns info::Ok or the reason it was not
    // accepted: illegal application, illegal command, or busy (info::QueueFull) for a
    // DATA_B3_REQ beyond the registered number of unconfirmed blocks. The answer comes
    // later as messages; nothing is delivered from inside this call.
    virtual quint16 putMessage(const Message &m) = 0;
    // Takes the next waiting message of an application, std::nullopt when none waits.
    virtual std::optional<Message> getMessage(quint16 appId) = 0;

    // Controller 0 asks for the number of controllers (Profile::controllers).
    virtual Profile profile(quint32 controller) const = 0;
    virtual QString manufacturer(quint32 controller) const = 0;
    virtual Version version(quint32 controller) const = 0;
    virtual QString serialNumber(quint32 controller) const = 0;

signals:
    // Messages wait for application appId. Emitted through the event loop of the thread that
    // registered it, once per batch: take messages until getMessage() returns none.
    void messagesWaiting(quint16 appId);
    // The connection behind an application broke (a server closed it, the library failed):
    // the application is gone with its calls. Messages taken before stay valid; release()
    // may still be called for it.
    void applicationLost(quint16 appId, const QString &why);
    // A line of the line's own diagnostics for an application (0: for every application),
    // such as its library's debug output or a message from the controller that did not decode.
    void diagnostic(quint16 appId, const QString &text);
};

} // namespace capi
