#include "app/frmtestprog.h"

#include "app/errorreport.h"
#include "app/journal/journallist.h"
#include "platform/drivepath.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QThread>

#include <algorithm>
#include <exception>
#include <limits>
#include <new>
#include <optional>

using quillon::EventSlot;
using quillon::EventTable;

const QString frmTestprog::kDebugLogPath = QStringLiteral("C:\\faxdbg.log");

namespace {

// Positions and sizes are given in twips, 15 to a logical pixel.
QRect twips(int left, int top, int width, int height)
{
    return {left / 15, top / 15, width / 15, height / 15};
}

template <typename Widget>
Widget *place(Widget *widget, const char *name, const QRect &rect)
{
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(rect);
    return widget;
}

QPushButton *button(QWidget *parent, const char *name, const char *caption, const QRect &rect)
{
    auto *b = place(new QPushButton(QLatin1String(caption), parent), name, rect);
    // Neither Enter nor Esc presses a button of this window.
    b->setAutoDefault(false);
    b->setDefault(false);
    return b;
}

QLineEdit *textBox(QWidget *parent, const char *name, const char *text, const QRect &rect)
{
    auto *box = place(new QLineEdit(parent), name, rect);
    box->setMaxLength(std::numeric_limits<int>::max()); // no length limit of the box's own
    box->setText(QString::fromLatin1(text));
    return box;
}

QPlainTextEdit *multiLineBox(QWidget *parent, const char *name, const QRect &rect)
{
    auto *box = place(new QPlainTextEdit(parent), name, rect);
    box->setTabChangesFocus(true);
    box->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    return box;
}

QLabel *label(QWidget *parent, const char *name, const char *caption, const QRect &rect)
{
    auto *l = place(new QLabel(QLatin1String(caption), parent), name, rect);
    l->setTextFormat(Qt::PlainText);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return l;
}

// Words longer than this make a multi-line box wrap anywhere.
constexpr qsizetype kLongWord = 1000;

// Replaces the whole text of a multi-line box. Wrapping at word boundaries takes time
// quadratic in the length of a word wider than the box (a minute for 1 MB without blanks,
// such as a trace line or an identification text of the component); such text wraps
// anywhere instead.
void setWrappedText(QPlainTextEdit *box, const QString &text)
{
    qsizetype longestWord = 0;
    qsizetype word = 0;
    for (const QChar ch : text) {
        word = ch.isSpace() ? 0 : word + 1;
        longestWord = std::max(longestWord, word);
    }
    box->clear(); // so the old text is not laid out again in the new mode
    box->setWordWrapMode(longestWord > kLongWord ? QTextOption::WrapAnywhere
                                                 : QTextOption::WrapAtWordBoundaryOrAnywhere);
    box->setPlainText(text);
}

QString booleanText(bool value)
{
    return value ? QStringLiteral("True") : QStringLiteral("False");
}

// Runs a step and hands back its failure, if any. Whatever else a step throws (a component
// that breaks the boundary, memory running out) becomes a failure too, so that nothing
// unwinds through the toolkit's event delivery.
std::optional<platform::Failure> runStep(const std::function<void()> &step)
{
    try {
        step();
    } catch (const platform::Failure &failure) {
        return failure;
    } catch (const std::bad_alloc &) {
        return platform::Failure(platform::kErrOutOfMemory, QStringLiteral("Out of memory"));
    } catch (const std::exception &e) {
        const QString what = QString::fromLocal8Bit(e.what());
        return platform::Failure(platform::kErrInternal, QStringLiteral("Internal error: ") + what);
    } catch (...) {
        return platform::Failure(platform::kErrInternal, QStringLiteral("Internal error"));
    }
    return std::nullopt;
}

// Runs a step of a send handler after its send call: a failure skips the step silently.
void resumeNext(const std::function<void()> &step)
{
    (void)runStep(step);
}

} // namespace

frmTestprog::frmTestprog(quillon::ComponentFactory &factory, QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("frmTestprog"));
    setWindowTitle(QStringLiteral("G3 fax ISDN OCX test program"));
    setFixedSize(kClientWidth, kClientHeight);
    createControls(factory);
    chooseFont();
    setTabOrder();
    connectHandlers();
    cmdStart->setFocus();
}

frmTestprog::~frmTestprog()
{
    // No handler runs while the window goes, and the instances go before the log and the
    // controls that their handlers use.
    m_ended = true;
    Quillon.reset();
    QuillonRecv.reset();
}

void frmTestprog::createControls(quillon::ComponentFactory &factory)
{
    // The endpoints first, the receiving one before the sending one; then the controls in
    // their creation order.
    QuillonRecv = std::make_unique<quillon::Endpoint>(factory, this);
    Quillon = std::make_unique<quillon::Endpoint>(factory, this);
    const std::pair<quillon::Endpoint *, const char *> endpoints[] = {
        {QuillonRecv.get(), "QuillonRecv"}, {Quillon.get(), "Quillon"}};
    for (const auto &[endpoint, name] : endpoints) {
        QWidget *w = endpoint->widget();
        if (!w)
            continue;
        // The instance's widget reserves its rectangle, lets clicks through and takes no focus.
        if (w->parentWidget() != this)
            w->setParent(this);
        w->setAttribute(Qt::WA_TransparentForMouseEvents);
        w->setFocusPolicy(Qt::NoFocus);
        w->setObjectName(QLatin1String(name));
    }
    if (QWidget *w = QuillonRecv->widget())
        w->setGeometry(twips(6420, 4740, 735, 765));
    if (QWidget *w = Quillon->widget())
        w->setGeometry(twips(3360, 4680, 735, 765));

    chkShowProgressform = place(new QCheckBox(QStringLiteral("enable OCXs' status window"), this),
                                "chkShowProgressform", twips(240, 5220, 2535, 255));
    cmdDiscRcv = button(this, "cmdDiscRcv", "disconnect rcv", twips(6300, 4380, 1455, 255));
    cmdDiscSnd = button(this, "cmdDiscSnd", "disconnect snd", twips(6300, 4080, 1455, 255));
    cmdSendFaxG4 = button(this, "cmdSendFaxG4", "send fax G4", twips(4980, 4380, 1155, 255));
    txtFaxfileWrite = textBox(this, "txtFaxfileWrite", "C:\\tmp\\recieved.sff",
                              twips(5220, 4800, 2475, 285));
    txtFaxfileRead = textBox(this, "txtFaxfileRead", "C:\\tmp\\testfax.sff",
                             twips(1800, 4800, 1875, 285));
    txtSender = textBox(this, "txtSender", "tester", twips(3780, 4380, 1095, 285));
    txtHeader = textBox(this, "txtHeader", "Fax test", twips(3780, 4080, 1095, 285));
    txtOwnNr = textBox(this, "txtOwnNr", "6", twips(1320, 4380, 1215, 285));
    txtCallNr = textBox(this, "txtCallNr", "6", twips(1320, 4080, 1215, 285));
    cmdQuit = button(this, "cmdQuit", "Quit", twips(2340, 180, 855, 315));
    lbCallinfo = place(new JournalList(this), "lbCallinfo", twips(240, 1800, 3675, 2205));
    lbDebug = place(new JournalList(this), "lbDebug", twips(4080, 180, 3675, 2985));
    txtDebug = multiLineBox(this, "txtDebug", twips(4080, 3180, 3675, 795));
    // Locked: the operator can focus, select and copy, but not change the text.
    txtDebug->setReadOnly(true);
    txtDebug->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    txtDebug->setFocusPolicy(Qt::StrongFocus);
    cmdSendFax = button(this, "cmdSendFax", "send fax", twips(4980, 4080, 1155, 255));
    CapiInfo = multiLineBox(this, "CapiInfo", twips(240, 840, 3675, 555));
    CapiInfo->setEnabled(false);
    cmdStop = button(this, "cmdStop", "Stop", twips(1320, 180, 915, 315));
    cmdStart = button(this, "cmdStart", "Start", twips(240, 180, 975, 315));
    Label9 = label(this, "Label9", "Fax file for writing:", twips(3780, 4860, 1260, 195));
    Label8 = label(this, "Label8", "Fax file for reading:", twips(240, 4860, 1335, 195));
    Label7 = label(this, "Label7", "Fax sender:", twips(2820, 4380, 825, 195));
    Label6 = label(this, "Label6", "Fax header:", twips(2820, 4140, 840, 195));
    Label5 = label(this, "Label5", "Answer on:", twips(240, 4440, 795, 195));
    Label3 = label(this, "Label3", "Call:", twips(240, 4140, 300, 195));
    Label2 = label(this, "Label2", "Call info", twips(240, 1560, 3735, 255));
    Label1 = label(this, "Label1", "StartCapi() results", twips(240, 600, 3615, 195));
    // Labels stack beneath the boxes they touch.
    for (QLabel *l : {Label9, Label8, Label7, Label6, Label5, Label3, Label2, Label1})
        l->lower();
    // Each label names the box it captions for assistive technology (no caption has an
    // access key, so this makes none).
    const std::pair<QLabel *, QWidget *> captions[] = {
        {Label1, CapiInfo},       {Label2, lbCallinfo},     {Label3, txtCallNr},
        {Label5, txtOwnNr},       {Label6, txtHeader},      {Label7, txtSender},
        {Label8, txtFaxfileRead}, {Label9, txtFaxfileWrite}};
    for (const auto &[l, box] : captions)
        l->setBuddy(box);
}

// The largest size of the default family, from the default size down, at which every
// caption fits its control's rectangle and every box shows a full line.
void frmTestprog::chooseFont()
{
    const std::pair<QLabel *, QWidget *> sizedLabels[] = {
        {Label3, txtCallNr}, {Label5, txtOwnNr},       {Label6, txtHeader},
        {Label7, txtSender}, {Label8, txtFaxfileRead}, {Label9, txtFaxfileWrite}};
    const int indicator = style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, chkShowProgressform)
                          + style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr,
                                                 chkShowProgressform);
    const auto fits = [&](const QFont &font) {
        const QFontMetrics fm(font);
        const auto fitsIn = [&](const QString &text, int width, int height) {
            return fm.horizontalAdvance(text) <= width && fm.height() <= height;
        };
        for (QPushButton *b : {cmdStart, cmdStop, cmdQuit, cmdSendFax, cmdSendFaxG4, cmdDiscSnd,
                               cmdDiscRcv})
            if (!fitsIn(b->text(), b->width() - 8, b->height() - 2))
                return false;
        if (!fitsIn(chkShowProgressform->text(), chkShowProgressform->width() - indicator - 2,
                    chkShowProgressform->height()))
            return false;
        for (QLabel *l : {Label1, Label2})
            if (!fitsIn(l->text(), l->width(), l->height()))
                return false;
        for (const auto &[l, box] : sizedLabels)
            if (!fitsIn(l->text(), box->x() - l->x() - 2, box->height()))
                return false;
        for (QWidget *box : {static_cast<QWidget *>(txtCallNr), static_cast<QWidget *>(CapiInfo)})
            if (fm.height() + 4 > box->height())
                return false;
        return true;
    };

    QFont font = QApplication::font(this);
    qreal size = font.pointSizeF() > 0 ? font.pointSizeF() : 9.0;
    font.setPointSizeF(size);
    while (!fits(font) && size > 6.0) {
        size -= 0.5;
        font.setPointSizeF(size);
    }
    setFont(font);
    for (const auto &sized : sizedLabels)
        sized.first->adjustSize();
}

void frmTestprog::setTabOrder()
{
    // The labels take no focus and the disabled CapiInfo is passed over.
    QWidget *const order[] = {cmdStart,     cmdStop,        cmdQuit,         CapiInfo,
                              lbCallinfo,   lbDebug,        txtDebug,        txtCallNr,
                              txtOwnNr,     txtHeader,      txtSender,       cmdSendFax,
                              cmdSendFaxG4, cmdDiscSnd,     cmdDiscRcv,      txtFaxfileRead,
                              txtFaxfileWrite, chkShowProgressform};
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

void frmTestprog::connectHandlers()
{
    const auto bindClick = [this](QPushButton *b, void (frmTestprog::*handler)()) {
        connect(b, &QPushButton::clicked, this, [this, handler] { enter([&] { (this->*handler)(); }); });
    };
    bindClick(cmdStart, &frmTestprog::cmdStart_Click);
    bindClick(cmdStop, &frmTestprog::cmdStop_Click);
    bindClick(cmdQuit, &frmTestprog::cmdQuit_Click);
    bindClick(cmdDiscSnd, &frmTestprog::cmdDiscSnd_Click);
    bindClick(cmdDiscRcv, &frmTestprog::cmdDiscRcv_Click);
    bindClick(cmdSendFax, &frmTestprog::cmdSendFax_Click);
    bindClick(cmdSendFaxG4, &frmTestprog::cmdSendFaxG4_Click);
    connect(chkShowProgressform, &QCheckBox::clicked, this,
            [this] { enter([this] { chkShowProgressform_Click(); }); });
    // Every change of the text, typed or pasted, but not the default text set at creation.
    connect(txtFaxfileWrite, &QLineEdit::textChanged, this,
            [this] { enter([this] { txtFaxfileWrite_Change(); }); });
    connect(lbCallinfo, &JournalList::lineClicked, this,
            [this] { enter([this] { lbCallinfo_Click(); }); });
    connect(lbDebug, &JournalList::lineClicked, this,
            [this] { enter([this] { lbDebug_Click(); }); });
    Quillon->bind(eventTable({&frmTestprog::Quillon_IncomingFax, &frmTestprog::Quillon_FaxSent,
                              &frmTestprog::Quillon_IncomingCall, &frmTestprog::Quillon_CallProgress,
                              &frmTestprog::Quillon_Connected, &frmTestprog::Quillon_Disconnected,
                              &frmTestprog::Quillon_IncomingPhoneCall, &frmTestprog::Quillon_Debug}));
    QuillonRecv->bind(eventTable(
        {&frmTestprog::QuillonRecv_IncomingFax, &frmTestprog::QuillonRecv_FaxSent,
         &frmTestprog::QuillonRecv_IncomingCall, &frmTestprog::QuillonRecv_CallProgress,
         &frmTestprog::QuillonRecv_Connected, &frmTestprog::QuillonRecv_Disconnected,
         &frmTestprog::QuillonRecv_IncomingPhoneCall, &frmTestprog::QuillonRecv_Debug}));
}

// One instance's binding: each of its eight events to that instance's handler, the event's
// parameters read as the handler takes them. Slots 0 to 8 and 10 stay unbound.
EventTable frmTestprog::eventTable(const EventHandlers &h)
{
    using quillon::booleanParameter;
    using quillon::textParameter;
    using P = const QVariantList &;
    EventTable t;
    const auto on = [&t, this](EventSlot slot, auto body) {
        t[static_cast<std::size_t>(slot)] = [this, body](QVariantList &params) {
            enter([&] { body(static_cast<P>(params)); });
        };
    };
    on(EventSlot::IncomingFax,
       [this, f = h.incomingFax](P p) { (this->*f)(textParameter(p, 0), textParameter(p, 1)); });
    on(EventSlot::FaxSent, [this, f = h.faxSent](P p) { (this->*f)(booleanParameter(p, 0)); });
    on(EventSlot::IncomingCall, [this, f = h.incomingCall](P p) {
        (this->*f)(textParameter(p, 0), textParameter(p, 1), textParameter(p, 2));
    });
    on(EventSlot::CallProgress, [this, f = h.callProgress](P p) { (this->*f)(textParameter(p, 0)); });
    on(EventSlot::Connected, [this, f = h.connected](P p) { (this->*f)(textParameter(p, 0)); });
    on(EventSlot::Disconnected, [this, f = h.disconnected](P) { (this->*f)(); });
    on(EventSlot::IncomingPhoneCall, [this, f = h.incomingPhoneCall](P p) {
        (this->*f)(textParameter(p, 0), textParameter(p, 1));
    });
    on(EventSlot::Debug, [this, f = h.debug](P p) { (this->*f)(textParameter(p, 0)); });
    return t;
}

void frmTestprog::setErrorReport(ErrorReport report)
{
    m_errorReport = std::move(report);
}

void frmTestprog::setProgramEnd(ProgramEnd end)
{
    m_programEnd = std::move(end);
}

void frmTestprog::load()
{
    enter([this] { Form_Load(); });
}

void frmTestprog::endProgram(int exitCode)
{
    if (m_ended)
        return;
    m_ended = true;
    m_exitCode = exitCode;
    m_log.close();
    if (m_programEnd)
        m_programEnd(exitCode);
    else if (QThread::currentThread()->loopLevel() > 0)
        QCoreApplication::exit(exitCode); // before the loop runs, the caller sees hasEnded()
}

void frmTestprog::closeEvent(QCloseEvent *event)
{
    // Once the program is ending, or while a failure is being reported (the report ends it),
    // the window just goes.
    if (m_ended || m_reporting) {
        event->accept();
        return;
    }
    int cancel = 0;
    enter([this, &cancel] { Form_Unload(cancel); });
    if (cancel != 0) {
        event->ignore();
        return;
    }
    event->accept();
    // The console has no other window: once this one has unloaded, the program ends, even
    // while a status window of the component is still open, and an event that the endpoints
    // raise on the way out reaches no handler (it would journal to the closed log).
    endProgram(0);
}

void frmTestprog::enter(const std::function<void()> &handler)
{
    // Once the program is ending, or while a failure is being reported, no handler runs.
    if (m_ended || m_reporting)
        return;
    if (const std::optional<platform::Failure> failure = runStep(handler))
        reportFailure(*failure);
}

void frmTestprog::reportFailure(const platform::Failure &failure)
{
    m_reporting = true;
    if (m_errorReport) {
        m_errorReport(failure);
    } else {
        console::showFailure(this, failure);
        endProgram(1);
    }
    m_reporting = false;
}

// ---- Debug log -------------------------------------------------------------------------

void frmTestprog::Form_Load()
{
    m_log.close();
    m_log.open(kDebugLogPath);
}

void frmTestprog::Form_Unload(int &cancel)
{
    Q_UNUSED(cancel); // never cancels: unloading always goes on
    m_log.close();
}

// ---- Endpoint commands -----------------------------------------------------------------

void frmTestprog::cmdStart_Click()
{
    const bool started = Quillon->startCapi();
    Quillon->setReceiveFileName(txtFaxfileWrite->text());
    const QString description = Quillon->capiDescription();
    const QString version = Quillon->releaseVersion();
    const QString serial = Quillon->serialNumber();
    setWrappedText(CapiInfo, QStringLiteral("StartCapi()=") + booleanText(started)
                                 + QStringLiteral("   CAPI ") + description
                                 + QStringLiteral("  release version ") + version
                                 + QStringLiteral("  serial number ") + serial);
    QuillonRecv->startCapi();
    QuillonRecv->listen();
    QuillonRecv->setReceiveFileName(txtFaxfileWrite->text());
}

void frmTestprog::cmdStop_Click()
{
    Quillon->stopCapi();
    QuillonRecv->stopCapi();
}

void frmTestprog::cmdQuit_Click()
{
    cmdStop_Click();
    endProgram(0);
}

void frmTestprog::cmdDiscSnd_Click()
{
    Quillon->disconnect();
}

void frmTestprog::cmdDiscRcv_Click()
{
    QuillonRecv->disconnect();
}

void frmTestprog::chkShowProgressform_Click()
{
    Quillon->setShowProgressForm(chkShowProgressform->checkState() != Qt::Unchecked);
    QuillonRecv->setShowProgressForm(chkShowProgressform->checkState() != Qt::Unchecked);
}

void frmTestprog::txtFaxfileWrite_Change()
{
    Quillon->setReceiveFileName(txtFaxfileWrite->text());
}

// ---- Fax sending -----------------------------------------------------------------------

void frmTestprog::cmdSendFax_Click()
{
    sendFax(&quillon::Endpoint::sendFax, QStringLiteral("snd: SendFax(...) result: "));
}

void frmTestprog::cmdSendFaxG4_Click()
{
    sendFax(&quillon::Endpoint::sendFaxG4, QStringLiteral("snd: SendFaxG4(...) result: "));
}

void frmTestprog::sendFax(SendMethod method, const QString &resultPrefix)
{
    const QString callNumber = txtCallNr->text();
    const QString ownNumber = txtOwnNr->text();
    const QString header = txtHeader->text();
    const QString sender = txtSender->text();
    const QString faxFile = txtFaxfileRead->text();
    const bool result = ((*Quillon).*method)(callNumber, ownNumber, header, sender, faxFile);
    QuillonRecv->setAcceptFax(true);

    // From here on a failing step is skipped silently and the next one runs.
    resumeNext([&] {
        const QString receiveFile = txtFaxfileWrite->text();
        // Never delete the fax being sent, however the boxes spell its path. The deletion
        // removes at most the one file named (wildcards are ordinary characters) and refuses a
        // file held open as in use: the debug log, a fax that is arriving.
        if (!platform::isSameFile(receiveFile, faxFile))
            platform::deleteFile(receiveFile);
    });
    resumeNext([this] { QuillonRecv->setReceiveFileName(txtFaxfileWrite->text()); });
    const QString line = resultPrefix + booleanText(result);
    resumeNext([&] { lbDebug->appendLine(line); });
    resumeNext([&] { m_log.writeLine(line); });
}

// ---- Event journal ---------------------------------------------------------------------

void frmTestprog::journal(JournalList *list, const QString &line)
{
    list->appendLine(line);
    m_log.writeLine(line);
}

void frmTestprog::Quillon_IncomingFax(const QString &calledNumber, const QString &callingNumber)
{
    Quillon->setAcceptFax(false);
    journal(lbCallinfo, QStringLiteral("snd: incoming fax for ") + calledNumber
                            + QStringLiteral(" from ") + callingNumber);
}

void frmTestprog::QuillonRecv_IncomingFax(const QString &calledNumber, const QString &callingNumber)
{
    QuillonRecv->setAcceptFax(true);
    journal(lbCallinfo, QStringLiteral("rcv: incoming fax for ") + calledNumber
                            + QStringLiteral(" from ") + callingNumber);
}

void frmTestprog::Quillon_FaxSent(bool success)
{
    journal(lbCallinfo, QStringLiteral("snd: Fax sent, success=") + booleanText(success));
}

void frmTestprog::QuillonRecv_FaxSent(bool success)
{
    journal(lbCallinfo, QStringLiteral("rcv: Fax sent, success=") + booleanText(success));
}

void frmTestprog::Quillon_IncomingCall(const QString &calledNumber, const QString &callingNumber,
                                       const QString &callType)
{
    journal(lbCallinfo, QStringLiteral("snd: call for ") + calledNumber + QStringLiteral(" from ")
                            + callingNumber + QStringLiteral(", type: ") + callType);
}

void frmTestprog::QuillonRecv_IncomingCall(const QString &calledNumber,
                                           const QString &callingNumber, const QString &callType)
{
    journal(lbCallinfo, QStringLiteral("rcv: call for ") + calledNumber + QStringLiteral(" from ")
                            + callingNumber + QStringLiteral(", type: ") + callType);
}

void frmTestprog::Quillon_CallProgress(const QString &progress)
{
    journal(lbCallinfo, QStringLiteral("snd: CallProgress: ") + progress);
}

void frmTestprog::QuillonRecv_CallProgress(const QString &progress)
{
    journal(lbCallinfo, QStringLiteral("rcv: CallProgress: ") + progress);
}

void frmTestprog::Quillon_Connected(const QString &connection)
{
    journal(lbCallinfo, QStringLiteral("snd: Connected: ") + connection);
}

void frmTestprog::QuillonRecv_Connected(const QString &connection)
{
    journal(lbCallinfo, QStringLiteral("rcv: Connected: ") + connection);
}

void frmTestprog::Quillon_Disconnected()
{
    journal(lbCallinfo, QStringLiteral("snd: Disconnected"));
}

void frmTestprog::QuillonRecv_Disconnected()
{
    journal(lbCallinfo, QStringLiteral("rcv: Disconnected"));
}

void frmTestprog::Quillon_IncomingPhoneCall(const QString &calledNumber,
                                            const QString &callingNumber)
{
    journal(lbCallinfo, QStringLiteral("snd: phone call for ") + calledNumber
                            + QStringLiteral(" from ") + callingNumber);
}

void frmTestprog::QuillonRecv_IncomingPhoneCall(const QString &calledNumber,
                                                const QString &callingNumber)
{
    journal(lbCallinfo, QStringLiteral("rcv: phone call for ") + calledNumber
                            + QStringLiteral(" from ") + callingNumber);
}

void frmTestprog::Quillon_Debug(const QString &text)
{
    journal(lbDebug, QStringLiteral("snd: Debug: ") + text);
}

void frmTestprog::QuillonRecv_Debug(const QString &text)
{
    // Only U+0020 is removed, and only at the start.
    qsizetype first = 0;
    while (first < text.size() && text.at(first) == u' ')
        ++first;
    journal(lbDebug, QStringLiteral("rcv: Debug: ") + text.mid(first));
}

// ---- Journal detail view ---------------------------------------------------------------

void frmTestprog::lbCallinfo_Click()
{
    showSelectedLine(lbCallinfo);
}

void frmTestprog::lbDebug_Click()
{
    showSelectedLine(lbDebug);
}

void frmTestprog::showSelectedLine(const JournalList *list)
{
    const qsizetype index = list->selectedIndex();
    // With no line selected the detail box keeps the text it has.
    if (index < 0)
        return;
    setWrappedText(txtDebug, list->itemText(index));
}
