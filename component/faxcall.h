#pragma once

#include "component/callstatus.h"
#include "component/calloutcome.h"

#include "component/pagepicture.h"

#include <QElapsedTimer>
#include <QHash>
#include <QString>

#include <memory>
#include <optional>

namespace capi {
struct Message;
}
namespace t30 {
struct FrameReport;
}

namespace quillon::component {

class IncomingDocument;
class OutgoingDocument;
class Outbox;
class Reporter;

// The five texts of a send, in the caller's order.
struct SendRequest
{
    QString numberToCall;
    QString ownNumber;
    QString header;
    QString sender;
    QString file;
    bool g4 = false;
};

// A number as it goes to the line: its digits, and whether it is an international number
// (written with a leading +).
struct DialNumber
{
    QString digits;
    bool international = false;
};

// A number as the operator typed it, as a phone dials it: the separators a dialler skips
// (space, -, /, parentheses) are dropped, a leading + makes it international. Any other
// character than digits, * and # makes it no number: nullopt, with the reason in *reason.
std::optional<DialNumber> dialNumber(const QString &typed, QString *reason);

// One fax call of an endpoint, outgoing or incoming, from its first message to its end: the
// call's phases, its fax connection and the data in both directions. Each message of the
// call is handled by the entry of one table for the phase the call is in; what the status
// window shows and how the call ended are derived from what the call has seen.
class FaxCall
{
public:
    enum class Phase {
        Dialing,       // CONNECT_REQ put, no PLCI yet
        Alerting,      // the PLCI is known, the remote has not answered
        Offered,       // an incoming fax waits for the AcceptFax decision
        Answering,     // CONNECT_RESP accepted, the B channel is not up yet
        Connected,     // B channel up, fax connection being set up
        Transfer,      // fax connection up: data flowing
        ClosingFax,    // DISCONNECT_B3_REQ put
        AwaitingClear, // the remote ended the fax connection; its clearing of the call awaited
        Clearing,      // DISCONNECT_REQ or a rejecting CONNECT_RESP put
        Ended,         // over: the endpoint takes its status and lets it go
    };
    static constexpr int kPhaseCount = int(Phase::Ended) + 1;

    // The number of data blocks in flight and the size of each.
    static constexpr int kMaxBlocks = 7;
    static constexpr int kBlockLength = 2048;

    ~FaxCall();

    // Places a call to send `document` from `own` to `called`: puts its CONNECT_REQ. Null
    // when the line refused it.
    static std::unique_ptr<FaxCall> place(Outbox &out, Reporter &report,
                                          const SendRequest &request, const DialNumber &called,
                                          const DialNumber &own,
                                          std::unique_ptr<OutgoingDocument> document);
    // Takes up a fax call the line offers (its CONNECT_IND): lets it ring until answer().
    static std::unique_ptr<FaxCall> offer(Outbox &out, Reporter &report,
                                          const capi::Message &connectIndication);

    // Whether a message from the line belongs to this call.
    bool owns(const capi::Message &m) const;
    // A message of this call; indications get their answer here.
    void handle(const capi::Message &m);

    // The controller's report of a T.30 frame of this call. A G3 controller takes the whole
    // document before its T.30 sends the first page, so a page counts as sent only once the
    // far fax confirmed it (MCF after the page's end), not when its data was confirmed.
    void frameReport(const t30::FrameReport &report);

    // The decision on an offered call: accepted into the receive file, or rejected.
    void answer(bool accept, const QString &receiveFileName);
    // Disconnect: ends the call from this side in whatever phase it is in.
    void hangUp();
    // The remote did not clear the call after it ended the fax connection.
    void clearTimedOut();
    // CAPI is being stopped: the call is over at once; the line clears it on release.
    void stop();
    // The line lost the application: the call is over at once, cut short.
    void lineLost();
    // The file to send is still being checked; checkDocument() goes on with it. Its data
    // goes out only once the whole file has passed.
    bool checkingDocument() const;
    void checkDocument();

    Phase phase() const { return m_phase; }
    bool ended() const { return m_phase == Phase::Ended; }
    bool isOffered(quint32 plci) const { return m_phase == Phase::Offered && m_plci == plci; }
    CallStatus status() const;
    QString endText() const { return m_endText; }
    // The page being sent or received, as far as it is known.
    PageImage pagePicture() const;

private:
    using Handler = void (FaxCall::*)(const capi::Message &);
    struct Entry;
    static const Entry kTable[];

    FaxCall(Outbox &out, Reporter &report);

    void onConnectConf(const capi::Message &m);
    void onInfo(const capi::Message &m);
    void onConnectActive(const capi::Message &m);
    void onConnectB3Conf(const capi::Message &m);
    void onConnectB3(const capi::Message &m);
    void onB3Active(const capi::Message &m);
    void onDataConf(const capi::Message &m);
    void onData(const capi::Message &m);
    void onB3EndedByRemote(const capi::Message &m);
    void onB3Closed(const capi::Message &m);
    void onB3EndedWhileClearing(const capi::Message &m);
    void onDisconnected(const capi::Message &m);

    void pumpData();
    int pagesTaken() const;
    void pagesConfirmed(int pages);
    qint64 bytesSent() const;
    void dataFailed(const QString &cause);
    void recordB3End(const capi::Message &m);
    void clear();
    void rejectOffered(quint16 rejectValue, const QString &text);
    void finish(const QString &text, quint16 reason, bool abortedNow);
    QString resultText() const;
    FinishedCall facts(quint16 reason, bool abortedNow) const;
    CallStatus::State state() const;

    struct B3End
    {
        quint16 reason = 0;
        int reportedPages = -1;
    };
    // How far the call got: the status window goes on showing it while the call is cleared.
    enum class Reached { Placed, LineUp, FaxUp };

    Outbox &m_out;
    Reporter &m_report;
    Phase m_phase = Phase::Dialing;
    Reached m_reached = Reached::Placed;
    std::optional<Phase> m_hungUpIn; // the phase Disconnect was given in
    std::optional<B3End> m_b3End;
    bool m_dataFault = false;
    QString m_localCause; // why this side ended the call, when it did
    QString m_endText;
    QElapsedTimer m_clock; // since the call was placed or offered
    // On m_clock, -1 when not reached: the fax connection up, the last data block received,
    // each page done, the call's end.
    qint64 m_faxUpMs = -1;
    qint64 m_lastDataMs = -1;
    QList<qint64> m_pageDoneMs;
    qint64 m_endMs = -1;

    bool m_outgoing = false;
    bool m_g4 = false;
    quint32 m_plci = 0;
    quint32 m_ncci = 0;
    quint16 m_offerNumber = 0; // message number of the CONNECT_IND while offered
    QString m_ownNumber;
    QString m_remoteNumber;
    QString m_remoteStationId;
    int m_rate = 0;
    int m_resolution = 0;

    std::unique_ptr<OutgoingDocument> m_document;
    QHash<quint16, qint64> m_blockEnds; // unconfirmed blocks: handle -> end offset in the file
    quint16 m_nextHandle = 0;
    qint64 m_confirmed = 0;
    int m_pagesStarted = 0;
    int m_pagesDone = 0;
    bool m_pageEndSent = false; // G3: the last frame sent ended a page (MPS, EOP, PPS-EOP ...)

    std::unique_ptr<IncomingDocument> m_received;
};

} // namespace quillon::component
