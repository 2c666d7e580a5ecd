#include "component/calltexts.h"

#include "capi/message.h"
#include "capi/trace.h"

namespace quillon::component::calltext {

namespace {

QString resolutionText(int resolution)
{
    return resolution ? QStringLiteral("fine resolution (196 lpi)")
                      : QStringLiteral("standard resolution (98 lpi)");
}

} // namespace

QString callType(quint16 cip)
{
    switch (cip) {
    case capi::cip::FaxG3: return QStringLiteral("fax G3");
    case capi::cip::FaxG4: return QStringLiteral("fax G4");
    case capi::cip::Audio3k1: return QStringLiteral("3.1 kHz audio");
    case capi::cip::Telephony: return QStringLiteral("telephony");
    case capi::cip::Speech: return QStringLiteral("speech");
    default: return QStringLiteral("CIP %1").arg(cip);
    }
}

QString dialing(const QString &number, quint16 cip, int pages)
{
    return QStringLiteral("dialing %1 (%2, %3 page(s))").arg(number, callType(cip)).arg(pages);
}

QString alerting() { return QStringLiteral("alerting"); }
QString callProceeding() { return QStringLiteral("call proceeding"); }
QString connected() { return QStringLiteral("connected"); }
QString disconnecting() { return QStringLiteral("disconnecting"); }

QString answering(const QString &receiveFile)
{
    return QStringLiteral("answering, receiving into %1").arg(receiveFile);
}

QString sendingPage(int page, int pages)
{
    return QStringLiteral("sending page %1 of %2").arg(page).arg(pages);
}

QString pageSent(int page, int pages)
{
    return QStringLiteral("page %1 of %2 sent").arg(page).arg(pages);
}

QString allPagesSent() { return QStringLiteral("all pages sent, disconnecting"); }
QString receivingPage(int page) { return QStringLiteral("receiving page %1").arg(page); }
QString pageReceived(int page) { return QStringLiteral("page %1 received").arg(page); }

QString faxReceived(int pages, qint64 bytes)
{
    return QStringLiteral("fax received: %1 page(s), %2 bytes").arg(pages).arg(bytes);
}

QString faxIncomplete(qint64 bytes, int pages, const QString &path)
{
    return QStringLiteral("fax incomplete: %1 bytes of %2 page(s) kept in %3")
        .arg(bytes)
        .arg(pages)
        .arg(path);
}

QString faxConnection(int rate, int resolution, const QString &stationId)
{
    return QStringLiteral("%1 bit/s, %2, remote station id \"%3\"")
        .arg(rate)
        .arg(resolutionText(resolution))
        .arg(stationId);
}

QString g4Connection(int rate, bool outgoing, int resolution, const QString &stationId)
{
    return QStringLiteral("%1 bit/s, fax G4, %2, remote station id \"%3\"")
        .arg(rate)
        .arg(outgoing ? resolutionText(resolution) : QStringLiteral("resolution as sent"))
        .arg(stationId);
}

QString callEnded(quint16 reason, bool b3Ended, quint16 reasonB3)
{
    QString text = QStringLiteral("call ended: %1").arg(capi::describeReason(reason));
    if (b3Ended && reasonB3 != capi::reason::Normal)
        text += QStringLiteral("; fax: %1").arg(capi::describeReason(reasonB3));
    return text;
}

QString callNotPlaced(quint16 info)
{
    return QStringLiteral("call not placed: %1").arg(capi::describeInfo(info));
}

QString notAnswered() { return QStringLiteral("call ended: not answered"); }
QString rejected() { return QStringLiteral("call ended: call rejected"); }
QString capiStopped() { return QStringLiteral("call ended: CAPI stopped"); }
QString lineLost() { return QStringLiteral("call ended: CAPI line lost"); }

} // namespace quillon::component::calltext
