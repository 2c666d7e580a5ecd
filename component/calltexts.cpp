#include "component/calltexts.h"

#include "capi/message.h"
#include "capi/trace.h"

#include <QLocale>

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

QString pagesText(qint64 pages)
{
    return pages == 1 ? QStringLiteral("1 page") : QStringLiteral("%1 pages").arg(pages);
}

QString dialing(const QString &number, quint16 cip, int pages)
{
    if (pages < 0)
        return QStringLiteral("dialing %1 (%2)").arg(number, callType(cip));
    return QStringLiteral("dialing %1 (%2, %3)").arg(number, callType(cip), pagesText(pages));
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
    return QStringLiteral("fax received: %1, %2 bytes").arg(pagesText(pages)).arg(bytes);
}

QString faxIncomplete(qint64 bytes, int pages, const QString &path)
{
    return QStringLiteral("fax incomplete: %1 bytes of %2 kept in %3")
        .arg(bytes)
        .arg(pagesText(pages), path);
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

QString callEnded(quint16 reason, bool b3Ended, quint16 reasonB3, const QString &localCause)
{
    QString text = localCause.isEmpty()
                       ? QStringLiteral("call ended: %1").arg(capi::describeReason(reason))
                       : QStringLiteral("call ended: %1, %2")
                             .arg(localCause, capi::describeReason(reason));
    if (b3Ended && reasonB3 != capi::reason::Normal)
        text += QStringLiteral("; fax: %1").arg(capi::describeReason(reasonB3));
    return text;
}

QString callNotPlaced(quint16 info)
{
    return QStringLiteral("call not placed: %1").arg(capi::describeInfo(info));
}

QString notAnswered(quint16 rejectValue)
{
    return QStringLiteral("call ended: not answered, disconnected here (reject 0x%1)")
        .arg(rejectValue, 4, 16, QLatin1Char('0'));
}

QString rejected(quint16 rejectValue, const QString &why)
{
    return QStringLiteral("call ended: %1: %2").arg(capi::describeReason(rejectValue), why);
}
QString capiStopped() { return QStringLiteral("call ended: CAPI stopped"); }
QString lineLost() { return QStringLiteral("call ended: CAPI line lost"); }

QString result(const CallResult &r)
{
    const QString seconds = QString::number(double(r.milliseconds) / 1000.0, 'f', 1);
    if (!r.faxConnected)
        return QStringLiteral("no fax connection, %1 s").arg(seconds);
    QString pages;
    if (r.outgoing && r.pageCount >= 0)
        pages = QStringLiteral("%1 of %2 sent").arg(r.pages).arg(pagesText(r.pageCount));
    else
        pages = QStringLiteral("%1 %2").arg(pagesText(r.pages),
                                            r.outgoing ? QStringLiteral("sent")
                                                       : QStringLiteral("received"));
    const QString resolution = r.g4 && !r.outgoing ? QStringLiteral("resolution as sent")
                               : r.resolution     ? QStringLiteral("fine resolution")
                                                  : QStringLiteral("standard resolution");
    return QStringLiteral("%1, %2 bit/s, %3, %4 bytes in %5 s, remote station \"%6\"")
        .arg(pages)
        .arg(r.rate)
        .arg(resolution, QLocale::c().toString(r.bytes), seconds, r.stationId);
}

} // namespace quillon::component::calltext
