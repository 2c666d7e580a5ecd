#pragma once

#include <QString>

// Every text a call shows the operator: its progress, the line of its connection and the
// words its end is given in.
namespace quillon::component::calltext {

QString callType(quint16 cip);
// "1 page", "2 pages"
QString pagesText(qint64 pages);

// Progress. pages < 0: not known yet.
QString dialing(const QString &number, quint16 cip, int pages);
QString alerting();
QString callProceeding();
QString connected();
QString disconnecting();
QString answering(const QString &receiveFile);
QString sendingPage(int page, int pages);
QString pageSent(int page, int pages);
QString allPagesSent();
QString receivingPage(int page);
QString pageReceived(int page);
QString faxReceived(int pages, qint64 bytes);
QString faxIncomplete(qint64 bytes, int pages, const QString &path);

// The Connected event: rate, resolution and the remote's station id.
QString faxConnection(int rate, int resolution, const QString &stationId);
QString g4Connection(int rate, bool outgoing, int resolution, const QString &stationId);

// The end of a call: the call's reason and, when the fax connection ended abnormally, its
// reason too; first, when this side ended it, why (localCause).
QString callEnded(quint16 reason, bool b3Ended, quint16 reasonB3, const QString &localCause = {});
QString callNotPlaced(quint16 info);
// An offered call this side did not take: the value it was refused with, and why.
QString notAnswered(quint16 rejectValue);
QString rejected(quint16 rejectValue, const QString &why);
QString capiStopped();
QString lineLost();

// What a call did, for the result line that follows its end text.
struct CallResult
{
    bool outgoing = false;
    bool faxConnected = false;
    bool g4 = false;
    int pages = 0;      // confirmed (sending) or received whole
    int pageCount = -1; // of the document sent; -1 when not known
    int rate = 0;
    int resolution = 0;
    qint64 bytes = 0;
    qint64 milliseconds = 0;
    QString stationId;
};
// "3 of 3 pages sent, 14400 bit/s, fine resolution, 36,110 bytes in 1.2 s, remote station "6""
QString result(const CallResult &r);

} // namespace quillon::component::calltext
