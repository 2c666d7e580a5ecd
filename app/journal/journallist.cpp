#include "app/journal/journallist.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFocusEvent>
#include <QHash>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionViewItem>

#include <algorithm>
#include <climits>

namespace {

// Characters that would break a row into several lines are shown as spaces; the item keeps them.
QString displayText(QString text)
{
    for (QChar &c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7F || u == 0x2028 || u == 0x2029)
            c = u' ';
    }
    return text;
}

int clampToInt(qsizetype v)
{
    return int(std::clamp<qsizetype>(v, INT_MIN / 2, INT_MAX / 2));
}

} // namespace

// Assistive technology sees each line as a ListItem child of the list.
class JournalRowAccessible : public QAccessibleInterface, public QAccessibleActionInterface
{
public:
    JournalRowAccessible(JournalList *list, qsizetype row) : m_list(list), m_row(row) {}

    bool isValid() const override { return m_list && m_row < m_list->count(); }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_list ? m_list->window()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override { return QAccessible::queryAccessibleInterface(m_list); }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QString text(QAccessible::Text t) const override
    {
        return m_list && t == QAccessible::Name ? m_list->itemText(m_row) : QString();
    }
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override
    {
        if (!m_list)
            return QRect();
        const QRect r = m_list->visualRect(m_row).intersected(m_list->viewport()->rect());
        return r.isEmpty() ? QRect() : QRect(m_list->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        if (!isValid()) {
            s.invalid = true;
            return s;
        }
        s.selectable = true;
        s.focusable = true;
        s.selected = m_list->selectedIndex() == m_row;
        s.focused = s.selected && m_list->hasFocus();
        s.active = s.focused;
        const QRect r = m_list->visualRect(m_row);
        s.offscreen = !m_list->viewport()->rect().intersects(r);
        s.invisible = !m_list->isVisible();
        s.disabled = !m_list->isEnabled();
        return s;
    }
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface *>(this) : nullptr;
    }
    // Pressing a line does what a click does.
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString &name) override
    {
        if (name == pressAction() && isValid() && m_list->isEnabled())
            m_list->select(m_row, true, true);
    }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }

    qsizetype row() const { return m_row; }

private:
    QPointer<JournalList> m_list;
    qsizetype m_row;
};

class JournalListAccessible : public QAccessibleWidget
{
public:
    explicit JournalListAccessible(JournalList *list) : QAccessibleWidget(list, QAccessible::List) {}
    ~JournalListAccessible() override
    {
        for (QAccessible::Id id : std::as_const(m_rows))
            QAccessible::deleteAccessibleInterface(id);
    }

    int childCount() const override { return int(std::min<qsizetype>(list()->count(), INT_MAX)); }
    QAccessibleInterface *child(int index) const override
    {
        if (index < 0 || index >= childCount())
            return nullptr;
        // Row interfaces are made when asked for and kept for the life of the list.
        if (const auto it = m_rows.constFind(index); it != m_rows.cend())
            return QAccessible::accessibleInterface(*it);
        auto *row = new JournalRowAccessible(list(), index);
        m_rows.insert(index, QAccessible::registerAccessibleInterface(row));
        return row;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        const auto *row = dynamic_cast<const JournalRowAccessible *>(child);
        return row && row->parent() == this ? int(row->row()) : -1;
    }
    QAccessibleInterface *childAt(int x, int y) const override
    {
        const qsizetype row = list()->rowOnScreenAt(list()->viewport()->mapFromGlobal(QPoint(x, y)));
        return row >= 0 && row <= INT_MAX ? child(int(row)) : nullptr;
    }
    QAccessibleInterface *focusChild() const override
    {
        const qsizetype row = list()->selectedIndex();
        return list()->hasFocus() && row >= 0 && row <= INT_MAX ? child(int(row)) : nullptr;
    }

private:
    JournalList *list() const { return static_cast<JournalList *>(widget()); }
    mutable QHash<int, QAccessible::Id> m_rows;
};

namespace {

QAccessibleInterface *journalAccessibleFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("JournalList") && object && object->isWidgetType())
        return new JournalListAccessible(static_cast<JournalList *>(object));
    return nullptr;
}

} // namespace

JournalList::JournalList(QWidget *parent) : QAbstractScrollArea(parent)
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(&journalAccessibleFactory);
        return true;
    }();
    Q_UNUSED(factoryInstalled);

    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    verticalScrollBar()->setSingleStep(1);
    updateRowHeight();
    sync();
}

JournalList::~JournalList() = default;

void JournalList::appendLine(const QString &line)
{
    // No widget work here: the scroll bar and the pixels catch up once per burst, in sync().
    m_store.append(line);
    if (m_followTail)
        m_topRow = maxTopRow();
    scheduleSync();
}

qsizetype JournalList::count() const
{
    return m_store.count();
}

qsizetype JournalList::selectedIndex() const
{
    return m_selected;
}

QString JournalList::itemText(qsizetype index) const
{
    return m_store.text(index);
}

void JournalList::setSelectedIndex(qsizetype index)
{
    select(index >= 0 && index < count() ? index : -1, false, false);
}

qsizetype JournalList::rowAt(const QPoint &pos) const
{
    return rowBelow(m_topRow, pos);
}

qsizetype JournalList::rowOnScreenAt(const QPoint &pos) const
{
    // The operator points at what the screen shows, which lags m_topRow while the scroll of a
    // burst is pending.
    return rowBelow(m_shownTop, pos);
}

qsizetype JournalList::rowBelow(qsizetype top, const QPoint &pos) const
{
    if (!viewport()->rect().contains(pos))
        return -1;
    const qsizetype row = top + pos.y() / m_rowHeight;
    return row < count() ? row : -1;
}

QRect JournalList::visualRect(qsizetype row) const
{
    if (row < 0 || row >= count())
        return QRect();
    return QRect(0, clampToInt((row - m_topRow) * m_rowHeight), viewport()->width(), m_rowHeight);
}

qsizetype JournalList::topRow() const
{
    return m_topRow;
}

const JournalStore &JournalList::store() const
{
    return m_store;
}

qsizetype JournalList::fullyVisibleRows() const
{
    return std::max(1, viewport()->height() / m_rowHeight);
}

qsizetype JournalList::maxTopRow() const
{
    return std::max<qsizetype>(0, count() - fullyVisibleRows());
}

void JournalList::updateRowHeight()
{
    // The height a standard item view gives a one-line text item in this font and style.
    QStyleOptionViewItem option;
    option.initFrom(this);
    option.features = QStyleOptionViewItem::HasDisplay;
    option.text = QStringLiteral("Xg");
    const QSize size = style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this);
    m_rowHeight = std::max({1, size.height(), fontMetrics().height()});
    int narrowest = INT_MAX;
    for (const QChar c : QStringLiteral(" .,:;'!|il1"))
        narrowest = std::min(narrowest, fontMetrics().horizontalAdvance(c));
    m_narrowAdvance = std::max(1, narrowest);
}

void JournalList::scheduleSync()
{
    if (m_syncScheduled)
        return;
    m_syncScheduled = true;
    // A posted call of normal priority runs before the low-priority repaint request, so the
    // pixels are scrolled before the next repaint paints the new rows.
    QMetaObject::invokeMethod(
        this, [this] { if (m_syncScheduled) sync(); }, Qt::QueuedConnection);
}

void JournalList::sync()
{
    if (m_syncing) {
        scheduleSync();
        return;
    }
    m_syncScheduled = false;
    m_syncing = true;
    if (m_followTail)
        m_topRow = maxTopRow();
    m_topRow = std::clamp<qsizetype>(m_topRow, 0, maxTopRow());
    QScrollBar *bar = verticalScrollBar();
    bar->setPageStep(clampToInt(fullyVisibleRows()));
    bar->setRange(0, clampToInt(maxTopRow()));
    bar->setValue(clampToInt(m_topRow));
    m_syncing = false;
    showTopRow();
    // Rows appended since the last sync: paint those inside the view, and tell assistive
    // technology once per burst.
    if (m_firstNewRow < count()) {
        const int top = visualRect(m_firstNewRow).top();
        if (top < viewport()->height())
            viewport()->update(QRect(0, std::max(0, top), viewport()->width(), viewport()->height()));
        if (QAccessible::isActive() && count() <= INT_MAX) {
            QAccessibleTableModelChangeEvent event(this, QAccessibleTableModelChangeEvent::RowsInserted);
            event.setFirstRow(int(m_firstNewRow));
            event.setLastRow(int(count() - 1));
            QAccessible::updateAccessibility(&event);
        }
        m_firstNewRow = count();
    }
}

void JournalList::showTopRow()
{
    // Scrolling the pixels leaves only the uncovered strip to paint: following a burst
    // costs one or a few rows per repaint, not the whole view.
    const qsizetype delta = m_topRow - m_shownTop;
    if (delta == 0)
        return;
    m_shownTop = m_topRow;
    if (delta > -fullyVisibleRows() && delta < fullyVisibleRows())
        viewport()->scroll(0, clampToInt(-delta * m_rowHeight));
    else
        viewport()->update();
}

void JournalList::ensureVisible(qsizetype row)
{
    if (row < 0)
        return;
    if (row < m_topRow)
        m_topRow = row;
    else if (row >= m_topRow + fullyVisibleRows())
        m_topRow = row - fullyVisibleRows() + 1;
    m_followTail = m_topRow >= maxTopRow();
    sync();
}

void JournalList::select(qsizetype row, bool byOperator, bool emitAlways)
{
    if (m_syncScheduled)
        sync();
    const bool changed = row != m_selected;
    m_selected = row;
    ensureVisible(row);
    viewport()->update();
    if (changed)
        notifyAccessible(QAccessible::Selection, row);
    if (hasFocus())
        notifyAccessible(QAccessible::Focus, row);
    if (byOperator && (changed || emitAlways))
        emit lineClicked();
}

void JournalList::notifyAccessible(int type, qsizetype row)
{
    if (!QAccessible::isActive() || row < 0 || row > INT_MAX)
        return;
    QAccessibleEvent event(this, QAccessible::Event(type));
    event.setChild(int(row));
    QAccessible::updateAccessibility(&event);
}

void JournalList::paintEvent(QPaintEvent *event)
{
    if (m_shownTop != m_topRow) {
        // Painted before the pending scroll (an expose, a grab): paint everything next time
        // instead of scrolling pixels of mixed origin.
        m_shownTop = m_topRow;
        viewport()->update();
    }
    QPainter painter(viewport());
    QStyleOptionViewItem option;
    option.initFrom(this);
    option.state &= ~(QStyle::State_HasFocus | QStyle::State_MouseOver);
    option.features = QStyleOptionViewItem::HasDisplay;
    option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    option.font = font();
    option.showDecorationSelected = style()->styleHint(QStyle::SH_ItemView_ShowDecorationSelected, nullptr, this);
    const QPalette::ColorGroup group = !isEnabled()       ? QPalette::Disabled
                                       : isActiveWindow() ? QPalette::Active
                                                          : QPalette::Inactive;
    option.palette.setCurrentColorGroup(group);
    const QStyle::State baseState = option.state;
    // Where the style puts an item's text, relative to its row.
    option.rect = QRect(0, 0, viewport()->width(), m_rowHeight);
    const QRect textArea = style()->subElementRect(QStyle::SE_ItemViewItemText, &option, this);
    // No row shows more characters than fit its width in the narrowest glyph; longer lines
    // are cut before the text is shaped.
    const qsizetype maxChars = 2 + viewport()->width() / m_narrowAdvance;

    // Each row is drawn as the style draws a one-line text item (panel, text, focus frame),
    // but with the text clipped at the right edge as a list box does, which spares a second
    // layout of the text for eliding.
    const QRect area = event->rect();
    const qsizetype first = m_topRow + std::max(0, area.top()) / m_rowHeight;
    const qsizetype last = std::min(count() - 1, m_topRow + std::max(0, area.bottom()) / m_rowHeight);
    for (qsizetype row = first; row <= last; ++row) {
        option.rect = visualRect(row);
        option.state = baseState;
        const bool selected = row == m_selected;
        if (selected) {
            option.state |= QStyle::State_Selected;
            style()->drawPrimitive(QStyle::PE_PanelItemViewRow, &option, &painter, this);
            style()->drawPrimitive(QStyle::PE_PanelItemViewItem, &option, &painter, this);
        }
        painter.setPen(option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
        painter.drawText(textArea.translated(0, option.rect.top()),
                         Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                         displayText(m_store.text(row, maxChars)));
        if (selected && hasFocus()) {
            QStyleOptionFocusRect focus;
            focus.QStyleOption::operator=(option);
            focus.state |= QStyle::State_KeyboardFocusChange | QStyle::State_HasFocus;
            focus.backgroundColor = option.palette.color(group, QPalette::Highlight);
            style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
        }
    }
}

void JournalList::mousePressEvent(QMouseEvent *event)
{
    // Only the left button selects; the list takes every click on it, as a list box does.
    event->accept();
    if (event->button() != Qt::LeftButton)
        return;
    const qsizetype row = rowOnScreenAt(event->position().toPoint());
    if (row >= 0)
        select(row, true, true);
}

void JournalList::mouseReleaseEvent(QMouseEvent *event)
{
    event->accept();
}

void JournalList::mouseMoveEvent(QMouseEvent *event)
{
    // Dragging with the button held moves the selection along, as in a standard list box.
    if (!(event->buttons() & Qt::LeftButton)) {
        QAbstractScrollArea::mouseMoveEvent(event);
        return;
    }
    const QPoint pos = event->position().toPoint();
    const qsizetype row = rowOnScreenAt(QPoint(0, std::clamp(pos.y(), 0, viewport()->height() - 1)));
    if (row >= 0 && row != m_selected)
        select(row, true, false);
    event->accept();
}

void JournalList::keyPressEvent(QKeyEvent *event)
{
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    const qsizetype last = count() - 1;
    const qsizetype current = m_selected;
    const qsizetype page = std::max<qsizetype>(1, fullyVisibleRows() - 1);
    qsizetype target = -2;
    if (mods == Qt::NoModifier && last >= 0) {
        switch (event->key()) {
        case Qt::Key_Up: target = current < 0 ? 0 : current - 1; break;
        case Qt::Key_Down: target = current < 0 ? 0 : current + 1; break;
        case Qt::Key_PageUp: target = current < 0 ? 0 : current - page; break;
        case Qt::Key_PageDown: target = current < 0 ? page : current + page; break;
        case Qt::Key_Home: target = 0; break;
        case Qt::Key_End: target = last; break;
        default: break;
        }
    }
    if (target == -2) {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    select(std::clamp<qsizetype>(target, 0, last), true, false);
    event->accept();
}

void JournalList::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
    notifyAccessible(QAccessible::Focus, m_selected);
}

void JournalList::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

void JournalList::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    sync();
}

void JournalList::wheelEvent(QWheelEvent *event)
{
    if (m_syncScheduled)
        sync();
    QAbstractScrollArea::wheelEvent(event);
}

void JournalList::changeEvent(QEvent *event)
{
    switch (event->type()) {
    case QEvent::FontChange:
    case QEvent::StyleChange:
        updateRowHeight();
        sync();
        viewport()->update();
        break;
    case QEvent::PaletteChange:
    case QEvent::ActivationChange:
    case QEvent::EnabledChange:
        viewport()->update();
        break;
    default:
        break;
    }
    QAbstractScrollArea::changeEvent(event);
}

void JournalList::scrollContentsBy(int, int)
{
    if (m_syncing)
        return;
    // The operator moved the scroll bar (or the wheel did): follow the tail only at the end.
    m_topRow = verticalScrollBar()->value();
    m_followTail = m_topRow >= maxTopRow();
    showTopRow();
}
