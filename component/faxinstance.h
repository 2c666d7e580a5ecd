#pragma once

#include "endpoint/quillonboundary.h"

#include <QObject>
#include <QPointer>

#include <memory>

class QWidget;

namespace quillon::component {

class EventQueue;
class FaxEndpoint;
class LineProvider;
class StatusWindow;

// One endpoint instance as the host sees it: member dispatch with argument checks, the
// instance's widget on the host's window, its events and its status window. The CAPI work
// is done by FaxEndpoint, on the line the provider hands it.
class FaxInstance : public QObject, public ComponentInstance
{
    Q_OBJECT

public:
    FaxInstance(QWidget *parent, const QVariantMap &savedProperties,
                std::shared_ptr<LineProvider> lines);
    ~FaxInstance() override;

    Result invoke(MemberId member, const QVariantList &dispatchArgs) override;
    Result getProperty(MemberId member) override;
    Result setProperty(MemberId member, const QVariant &value) override;
    void setEventSink(EventSink sink) override;
    QWidget *widget() override;

    // The widget's size in pixels for extents in hundredths of a millimetre.
    static QSize pixelSize(int extentX, int extentY);

private:
    void showStatusWindow(bool show);
    void placeStatusWindow();

    QPointer<QWidget> m_widget;
    EventQueue *m_events;
    FaxEndpoint *m_endpoint;
    StatusWindow *m_statusWindow = nullptr;
    int m_number;
};

} // namespace quillon::component
