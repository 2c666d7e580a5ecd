#include "component/faxinstance.h"

#include "component/eventqueue.h"
#include "component/faxendpoint.h"
#include "component/statuswindow.h"

#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace quillon::component {

namespace {

QString hexId(MemberId id)
{
    return QStringLiteral("0x%1").arg(static_cast<quint32>(id), 8, 16, QLatin1Char('0'));
}

Result unknownMember(MemberId id, const char *what)
{
    return Result::fail(kErrUnknownMember,
                        QStringLiteral("Object doesn't support this property or method (%1 %2)")
                            .arg(QLatin1String(what), hexId(id)));
}

Result typeMismatch(const MemberInfo &m, const QVariant &value)
{
    return Result::fail(kErrTypeMismatch, QStringLiteral("Type mismatch (%1 given a %2)")
                                              .arg(QLatin1String(m.name),
                                                   QLatin1String(value.typeName()
                                                                     ? value.typeName()
                                                                     : "empty value")));
}

int twipsToPixels(int hundredthsOfMm)
{
    const double twips = std::round(hundredthsOfMm * 1440.0 / 2540.0);
    return static_cast<int>(std::lround(twips / 15.0));
}

int nextInstanceNumber()
{
    static int count = 0;
    return ++count;
}

// The instance's place on the host's window: draws nothing, clicks go through.
QWidget *makeInstanceWidget(QWidget *parent, const QVariantMap &saved)
{
    auto *w = new QWidget(parent);
    w->setObjectName(QStringLiteral("quillonInstance"));
    w->setAttribute(Qt::WA_TransparentForMouseEvents);
    w->setAttribute(Qt::WA_NoSystemBackground);
    w->setFocusPolicy(Qt::NoFocus);
    const QSize size = FaxInstance::pixelSize(saved.value(QLatin1String(kExtentX)).toInt(),
                                              saved.value(QLatin1String(kExtentY)).toInt());
    w->resize(size);
    return w;
}

} // namespace

FaxInstance::FaxInstance(QWidget *parent, const QVariantMap &savedProperties,
                         std::shared_ptr<LineProvider> lines)
    : m_widget(makeInstanceWidget(parent, savedProperties)),
      m_events(new EventQueue(this)),
      m_endpoint(new FaxEndpoint(*m_events, std::move(lines), this)),
      m_number(nextInstanceNumber())
{
}

FaxInstance::~FaxInstance()
{
    m_events->clear();
    m_endpoint->stopCapi(FaxEndpoint::Quietly);
    delete m_statusWindow;
    delete m_widget.data();
}

QSize FaxInstance::pixelSize(int extentX, int extentY)
{
    return {twipsToPixels(extentX), twipsToPixels(extentY)};
}

Result FaxInstance::invoke(MemberId member, const QVariantList &dispatchArgs)
{
    const MemberInfo *m = findMember(member);
    if (!m || m->kind != MemberKind::Method)
        return unknownMember(member, "method");
    if (dispatchArgs.size() != m->argumentCount)
        return Result::fail(kErrArgumentCount,
                            QStringLiteral("Wrong number of arguments (%1 takes %2, given %3)")
                                .arg(QLatin1String(m->name))
                                .arg(m->argumentCount)
                                .arg(dispatchArgs.size()));
    QStringList texts;
    for (const QVariant &arg : dispatchArgs) {
        std::optional<QString> text = coercion::toText(arg);
        if (!text)
            return typeMismatch(*m, arg);
        texts.prepend(*text); // dispatch order is last argument first
    }

    switch (member) {
    case MemberId::StartCapi:
        return Result::ok(m_endpoint->startCapi());
    case MemberId::StopCapi:
        m_endpoint->stopCapi(FaxEndpoint::Reporting);
        return Result::ok();
    case MemberId::Listen:
        m_endpoint->listen();
        return Result::ok();
    case MemberId::Disconnect:
        m_endpoint->disconnectCall();
        return Result::ok();
    case MemberId::SendFax:
    case MemberId::SendFaxG4: {
        SendRequest request;
        request.numberToCall = texts.at(0);
        request.ownNumber = texts.at(1);
        request.header = texts.at(2);
        request.sender = texts.at(3);
        request.file = texts.at(4);
        request.g4 = member == MemberId::SendFaxG4;
        return Result::ok(m_endpoint->sendFax(request));
    }
    default:
        return unknownMember(member, "method");
    }
}

Result FaxInstance::getProperty(MemberId member)
{
    const MemberInfo *m = findMember(member);
    if (!m || m->kind != MemberKind::ReadProperty)
        return unknownMember(member, "readable property");
    switch (member) {
    case MemberId::ReleaseVersion:
        return Result::ok(QStringLiteral(QUILLON_COMPONENT_VERSION));
    case MemberId::SerialNumber:
        return Result::ok(m_endpoint->serialNumber());
    case MemberId::CapiDescription:
        return Result::ok(m_endpoint->capiDescription());
    default:
        return unknownMember(member, "readable property");
    }
}

Result FaxInstance::setProperty(MemberId member, const QVariant &value)
{
    const MemberInfo *m = findMember(member);
    if (!m || m->kind != MemberKind::WriteProperty)
        return unknownMember(member, "writable property");
    if (m->type == ValueType::Boolean) {
        const std::optional<bool> flag = coercion::toBoolean(value);
        if (!flag)
            return typeMismatch(*m, value);
        if (member == MemberId::AcceptFax)
            m_endpoint->setAcceptFax(*flag);
        else
            showStatusWindow(*flag);
        return Result::ok();
    }
    const std::optional<QString> text = coercion::toText(value);
    if (!text)
        return typeMismatch(*m, value);
    m_endpoint->setReceiveFileName(*text);
    return Result::ok();
}

void FaxInstance::setEventSink(EventSink sink)
{
    m_events->setSink(std::move(sink));
}

QWidget *FaxInstance::widget()
{
    return m_widget;
}

void FaxInstance::showStatusWindow(bool show)
{
    if (!show) {
        if (m_statusWindow)
            m_statusWindow->hide();
        return;
    }
    if (!m_statusWindow) {
        m_statusWindow = new StatusWindow(m_number, [this] { return m_endpoint->pagePicture(); });
        m_statusWindow->showStatus(m_endpoint->status());
        connect(m_endpoint, &FaxEndpoint::statusChanged, m_statusWindow,
                [this] { m_statusWindow->showStatus(m_endpoint->status()); });
        placeStatusWindow();
    }
    m_statusWindow->show();
    m_statusWindow->raise();
}

// The first time it opens, the status window stands beside the host's window, the windows of
// two instances one above the other, so it does not cover the controls the operator uses. The
// window manager may still place it otherwise.
void FaxInstance::placeStatusWindow()
{
    QWidget *host = m_widget ? m_widget->window() : nullptr;
    if (!host || !host->isVisible())
        return;
    m_statusWindow->adjustSize();
    const QRect frame = host->frameGeometry();
    const QSize size = m_statusWindow->size();
    const int row = (m_number - 1) % 2;
    QPoint pos(frame.right() + 8, frame.top() + row * (size.height() + 40));
    if (const QScreen *screen = host->screen()) {
        const QRect room = screen->availableGeometry();
        pos.setX(std::clamp(pos.x(), room.left(), std::max(room.left(), room.right() - size.width())));
        pos.setY(std::clamp(pos.y(), room.top(), std::max(room.top(), room.bottom() - size.height())));
    }
    m_statusWindow->move(pos);
}

} // namespace quillon::component
