#pragma once

#include "component/callstatus.h"

#include <QElapsedTimer>
#include <QWidget>

class QLabel;

namespace quillon::component {

// The instance's own top-level status window: state, numbers, page n of m, bytes and rate,
// the last reason in words and a picture of the current page.
class StatusWindow : public QWidget
{
    Q_OBJECT

public:
    explicit StatusWindow(int instanceNumber, QWidget *parent = nullptr);

    void showStatus(const CallStatus &status);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void refreshPicture();

    CallStatus m_status;
    QLabel *m_line;
    QLabel *m_state;
    QLabel *m_numbers;
    QLabel *m_page;
    QLabel *m_bytes;
    QLabel *m_reason;
    QLabel *m_picture;
    // The page whose picture is shown, so it is rendered again only when the page changes.
    QString m_shownPath;
    int m_shownPage = -1;
    qint64 m_shownAtBytes = -1;
    QElapsedTimer m_sinceShown;
};

} // namespace quillon::component
