#pragma once

#include <QString>

// Every text a call shows the operator: its progress, the line of its connection and the
// words its end is given in.
namespace quillon::component::calltext {

QString callType(quint16 cip);

// Progress
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
// reason too.
QString callEnded(quint16 reason, bool b3Ended, quint16 reasonB3);
QString callNotPlaced(quint16 info);
QString notAnswered();
QString rejected();
QString capiStopped();
QString lineLost();

} // namespace quillon::component::calltext
