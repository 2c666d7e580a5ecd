#pragma once

#include "endpoint/endpoint.h"
#include "log/debuglog.h"
#include "platform/failure.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class JournalList;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// The console's one window: the controls of the test console, the two endpoint instances
// (sending "Quillon", receiving "QuillonRecv") and the debug log. Every handler is entered
// through one wrapper that hands a failure to the error report.
class frmTestprog : public QWidget
{
    Q_OBJECT

public:
    // Receives the failure of a handler. The default shows it in a message box and ends the
    // program with a non-zero exit status.
    using ErrorReport = std::function<void(const platform::Failure &)>;
    // Ends the program with an exit status. The default leaves the application's event loop.
    using ProgramEnd = std::function<void(int exitCode)>;

    // The debug log, through the drive-letter mapping.
    static const QString kDebugLogPath;
    // The window's client area in logical pixels.
    static constexpr int kClientWidth = 534;
    static constexpr int kClientHeight = 369;

    // Creates the receiving endpoint, then the sending one, then the controls, all with their
    // default texts. Throws platform::Failure when the component creates no instance.
    explicit frmTestprog(quillon::ComponentFactory &factory, QWidget *parent = nullptr);
    ~frmTestprog() override;

    void setErrorReport(ErrorReport report);
    void setProgramEnd(ProgramEnd end);

    // The window's load event: runs Form_Load. Call once, before the window is shown.
    void load();

    // Ends the program: closes the debug log, lets no further handler run and calls the
    // program end. Quit, closing the window and the default error report end the program
    // this way.
    void endProgram(int exitCode);
    bool hasEnded() const { return m_ended; }
    int exitCode() const { return m_exitCode; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // Controls, in tab order.
    QPushButton *cmdStart = nullptr;
    QPushButton *cmdStop = nullptr;
    QPushButton *cmdQuit = nullptr;
    QLabel *Label1 = nullptr;
    QPlainTextEdit *CapiInfo = nullptr;
    JournalList *lbCallinfo = nullptr;
    JournalList *lbDebug = nullptr;
    QPlainTextEdit *txtDebug = nullptr;
    QLineEdit *txtCallNr = nullptr;
    QLineEdit *txtOwnNr = nullptr;
    QLineEdit *txtHeader = nullptr;
    QLineEdit *txtSender = nullptr;
    QPushButton *cmdSendFax = nullptr;
    QPushButton *cmdSendFaxG4 = nullptr;
    QPushButton *cmdDiscSnd = nullptr;
    QPushButton *cmdDiscRcv = nullptr;
    QLineEdit *txtFaxfileRead = nullptr;
    QLineEdit *txtFaxfileWrite = nullptr;
    QCheckBox *chkShowProgressform = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label5 = nullptr;
    QLabel *Label6 = nullptr;
    QLabel *Label7 = nullptr;
    QLabel *Label8 = nullptr;
    QLabel *Label9 = nullptr;
    // The endpoint instances; their widgets are named after them.
    std::unique_ptr<quillon::Endpoint> QuillonRecv;
    std::unique_ptr<quillon::Endpoint> Quillon;

    // Window and control handlers.
    void Form_Load();
    void Form_Unload(int &cancel);
    void cmdStart_Click();
    void cmdStop_Click();
    void cmdQuit_Click();
    void cmdDiscSnd_Click();
    void cmdDiscRcv_Click();
    void chkShowProgressform_Click();
    void txtFaxfileWrite_Change();
    void cmdSendFax_Click();
    void cmdSendFaxG4_Click();
    void lbCallinfo_Click();
    void lbDebug_Click();

    // Event handlers of the sending endpoint.
    void Quillon_IncomingFax(const QString &calledNumber, const QString &callingNumber);
    void Quillon_FaxSent(bool success);
    void Quillon_IncomingCall(const QString &calledNumber, const QString &callingNumber,
                              const QString &callType);
    void Quillon_CallProgress(const QString &progress);
    void Quillon_Connected(const QString &connection);
    void Quillon_Disconnected();
    void Quillon_IncomingPhoneCall(const QString &calledNumber, const QString &callingNumber);
    void Quillon_Debug(const QString &text);
    // Event handlers of the receiving endpoint.
    void QuillonRecv_IncomingFax(const QString &calledNumber, const QString &callingNumber);
    void QuillonRecv_FaxSent(bool success);
    void QuillonRecv_IncomingCall(const QString &calledNumber, const QString &callingNumber,
                                  const QString &callType);
    void QuillonRecv_CallProgress(const QString &progress);
    void QuillonRecv_Connected(const QString &connection);
    void QuillonRecv_Disconnected();
    void QuillonRecv_IncomingPhoneCall(const QString &calledNumber, const QString &callingNumber);
    void QuillonRecv_Debug(const QString &text);

    // The one way into a handler: runs it and hands a failure to the error report.
    void enter(const std::function<void()> &handler);
    void reportFailure(const platform::Failure &failure);

    void createControls(quillon::ComponentFactory &factory);
    void chooseFont();
    void setTabOrder();
    void connectHandlers();
    // One instance's event handlers, by event.
    struct EventHandlers
    {
        void (frmTestprog::*incomingFax)(const QString &, const QString &);
        void (frmTestprog::*faxSent)(bool);
        void (frmTestprog::*incomingCall)(const QString &, const QString &, const QString &);
        void (frmTestprog::*callProgress)(const QString &);
        void (frmTestprog::*connected)(const QString &);
        void (frmTestprog::*disconnected)();
        void (frmTestprog::*incomingPhoneCall)(const QString &, const QString &);
        void (frmTestprog::*debug)(const QString &);
    };
    quillon::EventTable eventTable(const EventHandlers &handlers);

    using SendMethod = bool (quillon::Endpoint::*)(const QString &, const QString &,
                                                   const QString &, const QString &,
                                                   const QString &);
    void sendFax(SendMethod method, const QString &resultPrefix);
    void showSelectedLine(const JournalList *list);
    // Appends a journal line to a list, then writes it to the debug log.
    void journal(JournalList *list, const QString &line);

    debuglog::DebugLog m_log;
    ErrorReport m_errorReport;
    ProgramEnd m_programEnd;
    bool m_reporting = false;
    bool m_ended = false;
    int m_exitCode = 0;
};
