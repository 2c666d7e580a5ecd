#include "component/statuswindow.h"

#include "component/pagepicture.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QStringList>

#include <algorithm>

namespace quillon::component {

namespace {

constexpr int kPictureWidth = 216; // an A4 line of 1728 pixels, one in eight
constexpr int kPictureIntervalMs = 200;
constexpr int kTimeIntervalMs = 1000;

QLabel *valueLabel(const char *objectName, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(objectName));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setMinimumWidth(220);
    return label;
}

QString bytesText(qint64 bytes)
{
    return QLocale::c().toString(bytes);
}

// "4.2 s" below a minute, "1:05" below an hour, "1:02:03" beyond.
QString durationText(qint64 ms)
{
    ms = std::max<qint64>(ms, 0);
    if (ms < 60000)
        return QStringLiteral("%1 s").arg(double(ms) / 1000.0, 0, 'f', 1);
    const qint64 s = ms / 1000;
    const QString mmss = QStringLiteral("%1:%2").arg(s / 60 % 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    return s < 3600 ? mmss
                    : QStringLiteral("%1:%2").arg(s / 3600).arg(mmss.rightJustified(5, QLatin1Char('0')));
}

qint64 monotonicNow()
{
    QElapsedTimer t;
    t.start();
    return t.msecsSinceReference();
}

} // namespace

QString stateText(CallStatus::State state)
{
    switch (state) {
    case CallStatus::State::Idle: return QStringLiteral("idle");
    case CallStatus::State::Listening: return QStringLiteral("listening");
    case CallStatus::State::Calling: return QStringLiteral("calling");
    case CallStatus::State::Ringing: return QStringLiteral("incoming call");
    case CallStatus::State::Connected: return QStringLiteral("connected");
    case CallStatus::State::Sending: return QStringLiteral("sending");
    case CallStatus::State::Receiving: return QStringLiteral("receiving");
    case CallStatus::State::Disconnecting: return QStringLiteral("disconnecting");
    }
    return {};
}

QString timingText(const CallStatus &s, qint64 now)
{
    if (!s.startedAt)
        return QStringLiteral("-");
    const qint64 end = s.endedAt ? s.endedAt : now;
    QString t = QStringLiteral("%1 in all").arg(durationText(end - s.startedAt));
    if (!s.faxUpAt)
        return t;
    QStringList pages;
    qint64 from = s.faxUpAt;
    for (qint64 done : s.pageDoneAt) {
        pages << durationText(done - from);
        from = done;
    }
    if (!pages.isEmpty())
        t += QStringLiteral("; %1 %2").arg(pages.size() == 1 ? QStringLiteral("page") : QStringLiteral("pages"),
                                           pages.join(QStringLiteral(", ")));
    if (!s.endedAt)
        t += QStringLiteral("; page %1 for %2").arg(pages.size() + 1).arg(durationText(now - from));
    return t;
}

// Which endpoint this is, by what it does: there may be no title bar to say so.
static QString roleText(const CallStatus &s)
{
    if (s.sends && s.receives)
        return QStringLiteral("sending and receiving endpoint");
    if (s.sends)
        return QStringLiteral("sending endpoint");
    if (s.receives)
        return QStringLiteral("receiving endpoint");
    return QStringLiteral("endpoint, not listening");
}

StatusWindow::StatusWindow(int instanceNumber, std::function<PageImage()> picture,
                           QWidget *parent)
    : QWidget(parent, Qt::Window),
      m_name(QStringLiteral("Quillon fax endpoint %1").arg(instanceNumber)),
      m_source(std::move(picture)),
      m_title(new QLabel(this)),
      m_line(valueLabel("lineLabel", this)),
      m_state(valueLabel("stateLabel", this)),
      m_numbers(valueLabel("numbersLabel", this)),
      m_page(valueLabel("pageLabel", this)),
      m_bytes(valueLabel("bytesLabel", this)),
      m_rate(valueLabel("rateLabel", this)),
      m_reason(valueLabel("reasonLabel", this)),
      m_time(valueLabel("timeLabel", this)),
      m_picture(new QLabel(this))
{
    setObjectName(QStringLiteral("quillonStatusWindow"));
    setWindowTitle(m_name);
    m_title->setObjectName(QStringLiteral("titleLabel"));
    QFont bold = m_title->font();
    bold.setBold(true);
    m_title->setFont(bold);
    m_pending.setSingleShot(true);
    connect(&m_pending, &QTimer::timeout, this, &StatusWindow::refreshPicture);
    // While a call runs its times go on without a change of status.
    m_tick.setInterval(kTimeIntervalMs);
    connect(&m_tick, &QTimer::timeout, this, &StatusWindow::showTime);
    m_reason->setWordWrap(true);
    m_line->setWordWrap(true);
    m_picture->setObjectName(QStringLiteral("pagePicture"));
    m_picture->setFixedSize(kPictureWidth, kPictureWidth * 297 / 210);
    m_picture->setFrameShape(QFrame::Box);
    m_picture->setAlignment(Qt::AlignCenter);

    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Line:"), m_line);
    form->addRow(QStringLiteral("State:"), m_state);
    form->addRow(QStringLiteral("Numbers:"), m_numbers);
    form->addRow(QStringLiteral("Page:"), m_page);
    form->addRow(QStringLiteral("Data:"), m_bytes);
    form->addRow(QStringLiteral("Rate:"), m_rate);
    form->addRow(QStringLiteral("Time:"), m_time);
    form->addRow(QStringLiteral("Last reason:"), m_reason);
    auto *column = new QVBoxLayout(this);
    column->addWidget(m_title);
    auto *row = new QHBoxLayout;
    row->addLayout(form, 1);
    row->addWidget(m_picture, 0, Qt::AlignTop);
    column->addLayout(row);
    showStatus(m_status);
}

void StatusWindow::showStatus(const CallStatus &status)
{
    m_status = status;
    m_title->setText(QStringLiteral("%1: %2").arg(m_name, roleText(status)));
    QString state = stateText(status.state);
    if (!status.started)
        state += QStringLiteral(" (CAPI not started)");
    else if (status.state != CallStatus::State::Idle && status.state != CallStatus::State::Listening)
        state += status.g4 ? QStringLiteral(", fax G4") : QStringLiteral(", fax G3");
    m_state->setText(state);
    m_line->setText(status.line.isEmpty() ? QStringLiteral("-") : status.line);

    const QString own = status.ownNumber.isEmpty() ? QStringLiteral("-") : status.ownNumber;
    const QString remote = status.remoteNumber.isEmpty() ? QStringLiteral("-")
                                                         : status.remoteNumber;
    QString numbers = status.ownNumber.isEmpty() && status.remoteNumber.isEmpty()
                          ? QStringLiteral("-")
                      : status.outgoing ? QStringLiteral("%1 calling %2").arg(own, remote)
                                        : QStringLiteral("%1 called by %2").arg(own, remote);
    if (!status.remoteStationId.isEmpty())
        numbers += QStringLiteral(" (station \"%1\")").arg(status.remoteStationId);
    m_numbers->setText(numbers);

    if (status.page == 0)
        m_page->setText(QStringLiteral("-"));
    else if (status.pageCount > 0)
        m_page->setText(QStringLiteral("page %1 of %2").arg(status.page).arg(status.pageCount));
    else
        m_page->setText(QStringLiteral("page %1").arg(status.page));

    m_bytes->setText(status.totalBytes > 0
                         ? QStringLiteral("%1 of %2 bytes").arg(bytesText(status.bytes),
                                                               bytesText(status.totalBytes))
                         : QStringLiteral("%1 bytes").arg(bytesText(status.bytes)));
    m_rate->setText(status.rate > 0 ? QStringLiteral("%1 bit/s").arg(bytesText(status.rate))
                                    : QStringLiteral("-"));
    m_reason->setText(status.lastReason.isEmpty() ? QStringLiteral("-") : status.lastReason);
    showTime();

    if (isVisible())
        refreshPicture();
}

void StatusWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refreshPicture();
    showTime();
}

void StatusWindow::showTime()
{
    m_time->setText(timingText(m_status, monotonicNow()));
    const bool running = m_status.startedAt && !m_status.endedAt && isVisible();
    if (running && !m_tick.isActive())
        m_tick.start();
    else if (!running)
        m_tick.stop();
}

void StatusWindow::refreshPicture()
{
    if (m_status.documentPath.isEmpty() || m_status.page == 0) {
        m_pending.stop();
        if (m_shownPage != 0) {
            m_picture->setPixmap({});
            m_picture->setText(QStringLiteral("no page"));
            m_shownPage = 0;
            m_shownPath.clear();
        }
        return;
    }
    // A page being received grows as its lines arrive; the end of a call finishes it.
    const bool same = m_shownPath == m_status.documentPath && m_shownPage == m_status.page
                      && m_shownState == m_status.state
                      && (m_status.outgoing || m_status.bytes == m_shownAtBytes);
    if (same)
        return;
    if (m_sinceShown.isValid() && m_sinceShown.elapsed() < kPictureIntervalMs) {
        if (!m_pending.isActive())
            m_pending.start(int(kPictureIntervalMs - m_sinceShown.elapsed()));
        return;
    }
    drawPicture();
}

void StatusWindow::drawPicture()
{
    m_pending.stop();
    m_sinceShown.start();
    m_shownPath = m_status.documentPath;
    m_shownPage = m_status.page;
    m_shownAtBytes = m_status.bytes;
    m_shownState = m_status.state;
    const QImage page = pagePicture(m_source ? m_source() : PageImage{},
                                    m_picture->contentsRect().size());
    if (page.isNull()) {
        m_picture->setPixmap({});
        m_picture->setText(QStringLiteral("page %1").arg(m_status.page));
    } else {
        m_picture->setPixmap(QPixmap::fromImage(page));
    }
}

} // namespace quillon::component
