#pragma once

#include "sff/format.h"
#include "t30report/framereport.h"
#include "t30report/frames.h"
#include "t30/headline.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <future>
#include <memory>
#include <optional>

namespace faxtiff {
class GrowingTiffReader;
}

struct fax_state_s;
struct t30_state_s;

// One end of a G3 fax call: a T.30 controller with SpanDSP's fax modems, fed and drained with
// G.711 A-law audio. The calling side transmits a document, the answering side receives one.
namespace t30 {

enum class Side : quint8 { Caller = 0, Answerer = 1 };

struct TerminalConfig
{
    QString stationId;  // TSI or CSI, up to 20 characters
    QString headLine;   // printed by a transmitter at the top of each page
    QDateTime headTime; // the date and time in the head line; invalid: the current time
    bool ecm = true;
    int modems = SupportAllModems; // ModemSet flags
    bool fine = true;              // fine resolution offered (standard always is)
    QByteArray document;           // the SFF document a transmitter sends
    QString workFolder;            // where the private folder for TIFF files goes; empty: temp
};

struct Event
{
    enum class Type : quint8 {
        FrameSent,
        FrameReceived,
        Training,     // the outcome of a training check: frame is the DCS tried, ok says how
        PageReceived, // sff holds the page's SFF records (page header and lines)
        Ended,
    };
    Type type = Type::FrameSent;
    Side side = Side::Caller;
    qint64 timeMs = 0; // line time of the side when it happened
    FrameInfo frame;
    QByteArray raw; // the HDLC frame
    QString station; // for DIS, DTC and DCS: the ident sent with them
    bool ok = false;
    int page = 0;     // PageReceived: from 1
    QByteArray sff;   // PageReceived

    // The Debug line of the event, e.g. `T.30: <- DIS: V.17 14400, fine, ECM, station "6"`.
    QString debugLine() const;
};

struct SideOutcome
{
    bool ended = false;
    int t30Error = 0;  // T30_ERR_* or one of ours (reasons.h)
    quint16 reason = 0; // CAPI reason B3
    Modem modem = Modem::None;
    int bitRate = 0;
    sff::Resolution resolution = sff::Resolution::Standard;
    bool ecm = false;
    int pages = 0;     // sent and confirmed, or received
    QString farStation; // the far side's TSI or CSI
    qint64 endMs = 0;

    bool success() const { return ended && reason == 0; }
};

// The report of a frame or training event, as a controller hands it to its application;
// nothing for other events.
std::optional<FrameReport> reportOf(const Event &event);

class Terminal
{
public:
    Terminal(Side side, const TerminalConfig &config);
    ~Terminal();
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    // Prepares the call (the transmitter converts its document); false with the reason when
    // the document cannot be sent. The terminal is ended then. inBackground converts in a
    // thread of its own, so a long document does not hold the caller: the terminal is ready()
    // once it is done, and ends with ErrorDocument if the conversion fails.
    bool start(QString *error = nullptr, bool inBackground = false);
    // True once the modems are set up, or the terminal has ended; until then it is silent.
    bool ready();

    // The next count A-law samples this side sends.
    void transmit(uchar *alaw, int count);
    // count A-law samples from the line.
    void receive(const uchar *alaw, int count);
    // Linear samples: the same as above without the G.711 step, for a caller that applies
    // impairments in between.
    void transmitLinear(int16_t *samples, int count);
    void receiveLinear(int16_t *samples, int count);

    // Handles what happened during the last samples: delivers received pages, and releases
    // the modems once T.30 has ended. Call after each block.
    void poll();

    // Ends the call from this side (local abort).
    void abort();

    bool ended() const { return m_outcome.ended; }
    const SideOutcome &outcome() const { return m_outcome; }
    Side side() const { return m_side; }
    bool transmitting() const { return m_side == Side::Caller; }
    qint64 timeMs() const { return m_samples / 8; }
    int documentPages() const { return m_documentPages; }
    QString folder() const;

    // Events since the last call, in order.
    QList<Event> takeEvents();

private:
    static void onFrame(t30_state_s *s, void *user, int direction, const uint8_t *msg, int len);
    static int onPhaseB(t30_state_s *s, void *user, int result);
    static int onPhaseD(t30_state_s *s, void *user, int result);
    static void onPhaseE(t30_state_s *s, void *user, int result);

    bool setUp(QString *error);
    void frame(bool incoming, QByteArrayView raw);
    void deliverPages();
    void finish(int t30Error);
    void push(Event e);

    Side m_side;
    TerminalConfig m_config;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::future<QString> m_converting; // the background conversion: its error, or empty
    fax_state_s *m_fax = nullptr;
    t30_state_s *m_t30 = nullptr;
    qint64 m_samples = 0;
    int m_documentPages = 0;
    int m_pagesDelivered = 0;
    std::unique_ptr<faxtiff::GrowingTiffReader> m_rxReader; // rx.tif while T.30 writes it
    bool m_pagesPending = false;
    bool m_pageSent = false; // the transmitter's page is done: its part of the file may go
    qint64 m_releaseAtMs = -1; // line time of the next release of the mapped file
    int m_phaseE = -1; // completion code once phase E was reported
    FrameInfo m_lastCommand; // the last DCS, for training outcomes and the outcome
    QString m_identSent, m_identReceived;
    SideOutcome m_outcome;
    QList<Event> m_events;
};

} // namespace t30
