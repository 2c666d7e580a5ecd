#include "t30/terminal.h"

#include "faxtiff/faxtiff.h"
#include "sff/reader.h"
#include "t30report/framereport.h"
#include "t30/reasons.h"

#include <QDir>
#include <QFile>

#include <spandsp.h>

#include <chrono>
#include <vector>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#endif

namespace t30 {

namespace {

// SpanDSP opens the document to send with libtiff, which maps the whole file and keeps it
// mapped for the call: each page read leaves its part of the file resident, so a long call's
// resident memory would grow by every page sent. Dropping the mapped pages once a page is
// done keeps it flat; the next page's read faults its part in again from the page cache.
void releaseMappedFile(const QString &path)
{
#ifdef Q_OS_LINUX
    struct stat st{};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return;
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return;
    // "start-end perms offset major:minor inode path", numbers in hex but the inode.
    const QByteArray all = maps.readAll();
    for (const QByteArray &line : all.split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 6 || f[4].toULongLong() != quint64(st.st_ino))
            continue;
        const QList<QByteArray> range = f[0].split('-');
        const QList<QByteArray> device = f[3].split(':');
        if (range.size() != 2 || device.size() != 2
            || device[0].toUInt(nullptr, 16) != major(st.st_dev)
            || device[1].toUInt(nullptr, 16) != minor(st.st_dev))
            continue;
        const quintptr from = quintptr(range[0].toULongLong(nullptr, 16));
        const quintptr to = quintptr(range[1].toULongLong(nullptr, 16));
        if (to > from)
            ::madvise(reinterpret_cast<void *>(from), to - from, MADV_DONTNEED);
    }
#else
    Q_UNUSED(path);
#endif
}

} // namespace

std::optional<FrameReport> reportOf(const Event &event)
{
    FrameReport r;
    switch (event.type) {
    case Event::Type::FrameSent: r.kind = FrameReport::Kind::Sent; break;
    case Event::Type::FrameReceived: r.kind = FrameReport::Kind::Received; break;
    case Event::Type::Training: r.kind = FrameReport::Kind::Training; break;
    default: return std::nullopt;
    }
    const FrameInfo &f = event.frame;
    r.timeMs = quint32(std::max<qint64>(event.timeMs, 0));
    r.fcf = f.fcf;
    r.modem = f.modem;
    r.bitRate = quint16(f.bitRate);
    r.fine = f.fine;
    r.ecm = f.ecm;
    r.capabilities = f.capabilities;
    r.command = f.command;
    r.trainingPassed = event.type == Event::Type::Training && event.ok;
    r.station = (f.hasSettings() ? event.station : f.ident).left(MaxReportStation);
    if (event.type != Event::Type::Training)
        r.frame = event.raw;
    return r;
}

QString Event::debugLine() const
{
    if (const auto report = reportOf(*this))
        return report->debugLine();
    if (type == Type::PageReceived)
        return QStringLiteral("T.30: page %1 received").arg(page);
    return QStringLiteral("T.30: call ended: %1").arg(ok ? QStringLiteral("OK")
                                                         : QStringLiteral("failed"));
}

Terminal::Terminal(Side side, const TerminalConfig &config) : m_side(side), m_config(config) {}

Terminal::~Terminal()
{
    // A conversion still running writes into the private folder: let it finish first.
    if (m_converting.valid())
        m_converting.wait();
    if (m_fax)
        fax_free(m_fax);
}

QString Terminal::folder() const
{
    return m_dir ? m_dir->path() : QString();
}

bool Terminal::start(QString *error, bool inBackground)
{
    auto fail = [&](const QString &message) {
        if (error)
            *error = message;
        finish(ErrorDocument);
        return false;
    };
    const QString parent = m_config.workFolder.isEmpty() ? QDir::tempPath() : m_config.workFolder;
    m_dir = std::make_unique<QTemporaryDir>(parent + QStringLiteral("/quillon-fax-XXXXXX"));
    if (!m_dir->isValid())
        return fail(QStringLiteral("cannot create a temporary folder in %1").arg(parent));

    if (transmitting()) {
        // Framing and pages only: the conversion decodes every line and refuses a bad one,
        // so decoding them here too would do it twice, and in the caller's thread.
        const sff::DocumentInfo info =
            sff::checkData(m_config.document, nullptr, sff::ReadDepth::Records);
        if (!info.isValid())
            return fail(info.error ? info.error->toString()
                                   : QStringLiteral("the document has no pages"));
        m_documentPages = int(info.pages.size());
        HeadLine head{m_config.stationId, m_config.headLine,
                      m_config.headTime.isValid() ? m_config.headTime
                                                  : QDateTime::currentDateTime()};
        faxtiff::WriteOptions options;
        options.topRows = [head](int page, int pages, int lineLength, sff::Resolution res) {
            return renderHeadLine(head, page + 1, pages, lineLength, res);
        };
        // The conversion reads only its own copies and writes only its own file.
        auto convert = [document = m_config.document,
                        txPath = m_dir->filePath(QStringLiteral("tx.tif")), options] {
            QString why;
            if (faxtiff::sffToTiff(document, txPath, options, &why))
                return QString();
            return why.isEmpty() ? QStringLiteral("the document could not be converted") : why;
        };
        if (inBackground) {
            m_converting = std::async(std::launch::async, std::move(convert));
            return true;
        }
        const QString why = convert();
        if (!why.isEmpty())
            return fail(why);
    }
    QString why;
    if (!setUp(&why))
        return fail(why);
    return true;
}

bool Terminal::ready()
{
    if (m_fax || m_outcome.ended)
        return true;
    if (!m_converting.valid()
        || m_converting.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return false;
    QString why = m_converting.get();
    if (!why.isEmpty() || !setUp(&why))
        finish(ErrorDocument);
    return true;
}

bool Terminal::setUp(QString *error)
{
    m_fax = fax_init(nullptr, transmitting() ? 1 : 0);
    if (!m_fax) {
        *error = QStringLiteral("cannot set up the fax modems");
        return false;
    }
    fax_set_transmit_on_idle(m_fax, 1);
    m_t30 = fax_get_t30_state(m_fax);
    const QByteArray ident = m_config.stationId.left(20).toLatin1();
    t30_set_tx_ident(m_t30, ident.constData());
    t30_set_ecm_capability(m_t30, m_config.ecm ? 1 : 0);
    t30_set_supported_modems(m_t30, m_config.modems & SupportAllModems);
    t30_set_supported_compressions(m_t30, T30_SUPPORT_T4_1D_COMPRESSION
                                              | T30_SUPPORT_T4_2D_COMPRESSION);
    t30_set_supported_resolutions(m_t30, T30_SUPPORT_STANDARD_RESOLUTION
                                             | (m_config.fine ? T30_SUPPORT_FINE_RESOLUTION : 0)
                                             | T30_SUPPORT_R8_RESOLUTION);
    t30_set_supported_image_sizes(m_t30, T30_SUPPORT_215MM_WIDTH | T30_SUPPORT_255MM_WIDTH
                                             | T30_SUPPORT_303MM_WIDTH
                                             | T30_SUPPORT_UNLIMITED_LENGTH
                                             | T30_SUPPORT_A4_LENGTH | T30_SUPPORT_B4_LENGTH
                                             | T30_SUPPORT_US_LETTER_LENGTH
                                             | T30_SUPPORT_US_LEGAL_LENGTH);
    t30_set_real_time_frame_handler(m_t30, &Terminal::onFrame, this);
    t30_set_phase_b_handler(m_t30, &Terminal::onPhaseB, this);
    t30_set_phase_d_handler(m_t30, &Terminal::onPhaseD, this);
    t30_set_phase_e_handler(m_t30, &Terminal::onPhaseE, this);
    if (transmitting())
        t30_set_tx_file(m_t30, QFile::encodeName(m_dir->filePath(QStringLiteral("tx.tif")))
                                   .constData(), -1, -1);
    else
        t30_set_rx_file(m_t30, QFile::encodeName(m_dir->filePath(QStringLiteral("rx.tif")))
                                   .constData(), -1);
    return true;
}

void Terminal::transmitLinear(int16_t *samples, int count)
{
    int made = 0;
    if (m_fax && m_phaseE < 0)
        made = fax_tx(m_fax, samples, count);
    std::fill(samples + made, samples + count, int16_t(0));
}

void Terminal::receiveLinear(int16_t *samples, int count)
{
    m_samples += count;
    if (m_fax && m_phaseE < 0)
        fax_rx(m_fax, samples, count);
}

void Terminal::transmit(uchar *alaw, int count)
{
    thread_local std::vector<int16_t> buffer;
    buffer.resize(size_t(count));
    transmitLinear(buffer.data(), count);
    for (int i = 0; i < count; ++i)
        alaw[i] = linear_to_alaw(buffer[size_t(i)]);
}

void Terminal::receive(const uchar *alaw, int count)
{
    thread_local std::vector<int16_t> buffer;
    buffer.resize(size_t(count));
    for (int i = 0; i < count; ++i)
        buffer[size_t(i)] = alaw_to_linear(alaw[i]);
    receiveLinear(buffer.data(), count);
}

void Terminal::onFrame(t30_state_s *, void *user, int direction, const uint8_t *msg, int len)
{
    static_cast<Terminal *>(user)->frame(direction != 0,
                                         QByteArrayView(reinterpret_cast<const char *>(msg), len));
}

int Terminal::onPhaseB(t30_state_s *, void *, int)
{
    return T30_ERR_OK;
}

int Terminal::onPhaseD(t30_state_s *, void *user, int)
{
    auto *self = static_cast<Terminal *>(user);
    if (self->transmitting())
        self->m_pageSent = true;
    else
        self->m_pagesPending = true;
    return T30_ERR_OK;
}

void Terminal::onPhaseE(t30_state_s *, void *user, int result)
{
    auto *self = static_cast<Terminal *>(user);
    if (self->m_phaseE < 0)
        self->m_phaseE = result;
}

void Terminal::push(Event e)
{
    e.side = m_side;
    e.timeMs = timeMs();
    m_events.append(std::move(e));
}

void Terminal::frame(bool incoming, QByteArrayView raw)
{
    Event e;
    e.type = incoming ? Event::Type::FrameReceived : Event::Type::FrameSent;
    e.frame = decodeFrame(raw);
    // ECM image frames (FCD) and their end markers (RCP) are page data, hundreds per page:
    // the handshake is what gets reported.
    if (e.frame.fcf == 0x06 || e.frame.fcf == 0x86)
        return;
    e.raw = raw.toByteArray();
    QString &ident = incoming ? m_identReceived : m_identSent;
    if (!e.frame.ident.isEmpty())
        ident = e.frame.ident;
    if (e.frame.hasSettings()) {
        e.station = ident;
        ident.clear();
    }
    if (e.frame.command)
        m_lastCommand = e.frame;
    const quint8 fcf = e.frame.fcf;
    const bool trainingAnswer = fcf == 0x84 || fcf == 0x44; // CFR, FTT
    push(e);
    if (trainingAnswer && m_lastCommand.command) {
        Event t;
        t.type = Event::Type::Training;
        t.frame = m_lastCommand;
        t.ok = fcf == 0x84;
        push(t);
    }
}

void Terminal::deliverPages()
{
    m_pagesPending = false;
    if (transmitting() || !m_dir)
        return;
    const QString rx = m_dir->filePath(QStringLiteral("rx.tif"));
    if (!QFile::exists(rx))
        return;
    QByteArray records;
    // While T.30 writes the file it only appends a directory per page: the file stays open
    // and the read goes on from the last page delivered, so a page costs the same however
    // many came before. Once the file is closed (SpanDSP may rewrite its directories then),
    // the pages left are found from the first.
    faxtiff::TiffReadResult read;
    if (m_fax) {
        if (!m_rxReader)
            m_rxReader = std::make_unique<faxtiff::GrowingTiffReader>(rx);
        read = m_rxReader->readNewPages(&records);
    } else {
        m_rxReader.reset();
        read = faxtiff::tiffPagesToSffRecords(rx, m_pagesDelivered, &records);
    }
    if (!read.ok || read.pages.isEmpty())
        return;
    // Split the records back into pages at their page headers: each page came as one block.
    const auto bounds = [&records]() {
        QList<qsizetype> starts;
        sff::DocumentInfo info = sff::checkData(faxtiff::sffStreamHeader() + records);
        for (const sff::PageInfo &p : info.pages)
            starts.append(p.offset - sff::DocumentHeaderSize);
        return starts;
    }();
    for (qsizetype i = 0; i < bounds.size(); ++i) {
        const qsizetype end = i + 1 < bounds.size() ? bounds[i + 1] : records.size();
        Event e;
        e.type = Event::Type::PageReceived;
        e.page = ++m_pagesDelivered;
        e.sff = records.mid(bounds[i], end - bounds[i]);
        push(e);
    }
}

void Terminal::poll()
{
    if (m_pagesPending)
        deliverPages();
    // Once when a page is done, and again once the next page has been read in (libtiff
    // walks the directories from the first one to reach it, faulting in a piece of the
    // file at each).
    constexpr qint64 kNextPageReadMs = 3000;
    if (m_pageSent || (m_releaseAtMs >= 0 && timeMs() >= m_releaseAtMs)) {
        m_releaseAtMs = m_pageSent ? timeMs() + kNextPageReadMs : -1;
        m_pageSent = false;
        releaseMappedFile(m_dir->filePath(QStringLiteral("tx.tif")));
    }
    if (m_phaseE >= 0 && !m_outcome.ended)
        finish(m_phaseE);
}

void Terminal::abort()
{
    if (!m_outcome.ended)
        finish(ErrorLocalAbort);
}

void Terminal::finish(int t30Error)
{
    if (m_t30) {
        t30_stats_t stats;
        t30_get_transfer_statistics(m_t30, &stats);
        m_outcome.bitRate = stats.bit_rate;
        m_outcome.ecm = stats.error_correcting_mode != 0;
        m_outcome.pages = transmitting() ? stats.pages_tx : stats.pages_rx;
        m_outcome.resolution = stats.y_resolution > 5000 ? sff::Resolution::Fine
                                                         : sff::Resolution::Standard;
        m_outcome.farStation = QString::fromLatin1(t30_get_rx_ident(m_t30)).trimmed();
    }
    m_outcome.modem = m_lastCommand.modem;
    if (m_lastCommand.command)
        m_outcome.bitRate = m_lastCommand.bitRate;
    if (m_fax) { // closes the received file, so its last page can be read
        fax_free(m_fax);
        m_fax = nullptr;
        m_t30 = nullptr;
    }
    deliverPages();
    m_outcome.ended = true;
    m_outcome.t30Error = t30Error;
    m_outcome.reason = reasonFor(t30Error, transmitting());
    // A transmitter succeeds only with every page confirmed.
    if (transmitting() && m_outcome.reason == 0 && m_outcome.pages < m_documentPages)
        m_outcome.reason = ReasonProcedureError;
    m_outcome.endMs = timeMs();
    Event e;
    e.type = Event::Type::Ended;
    e.ok = m_outcome.success();
    push(e);
}

QList<Event> Terminal::takeEvents()
{
    return std::exchange(m_events, {});
}

} // namespace t30
