#pragma once

#include "component/callstatus.h"
#include "component/pagepicture.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <functional>

class QLabel;

namespace quillon::component {

// The instance's own top-level status window: which endpoint it is, state, numbers, page n
// of m, bytes and rate, the last reason in words, the call's elapsed time and the time per
// page, and a picture of the current page.
class StatusWindow : public QWidget
{
    Q_OBJECT

public:
    // `picture` gives the current page as far as it is known; it is asked only while the
    // window is shown.
    StatusWindow(int instanceNumber, std::function<PageImage()> picture,
                 QWidget *parent = nullptr);

    void showStatus(const CallStatus &status);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void refreshPicture();
    void showTime();
    void drawPicture();

    const QString m_name;
    std::function<PageImage()> m_source;
    CallStatus m_status;
    QLabel *m_title;
    QLabel *m_line;
    QLabel *m_state;
    QLabel *m_numbers;
    QLabel *m_page;
    QLabel *m_bytes;
    QLabel *m_rate;
    QLabel *m_reason;
    QLabel *m_time;
    QLabel *m_picture;
    // What the picture shows, so it is drawn again only when that changes, and no more often
    // than a viewer can follow; a change that comes sooner is drawn when the pause is over.
    QString m_shownPath;
    int m_shownPage = -1;
    qint64 m_shownAtBytes = -1;
    CallStatus::State m_shownState = CallStatus::State::Idle;
    QElapsedTimer m_sinceShown;
    QTimer m_pending;
    QTimer m_tick; // the elapsed time, once a second while a call runs and the window shows
};

} // namespace quillon::component
