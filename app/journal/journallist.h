#pragma once

#include "app/journal/journalstore.h"

#include <QAbstractScrollArea>

// A journal list box: a single-selection list of text lines in insertion order that grows for
// the life of the window. Lines are kept as UTF-8 in a compact store and only the visible rows
// are painted, so appending stays cheap however many lines the list holds.
//
// It looks and behaves like a standard list box: frame, vertical scroll bar as needed, selection
// highlight, focus rectangle on the current line, keyboard focus by Tab and mouse, and it is
// visible to assistive technology as a List with ListItem children.
//
// While the view shows the last line, appended lines keep the last line in view; once the
// operator scrolls up, the view stays where it is.
class JournalList : public QAbstractScrollArea
{
    Q_OBJECT

public:
    explicit JournalList(QWidget *parent = nullptr);
    ~JournalList() override;

    // Appends a new last item. Nothing ever removes or reorders items.
    void appendLine(const QString &line);
    qsizetype count() const;
    // The selected line, -1 when no line is selected.
    qsizetype selectedIndex() const;
    // The item exactly as appended; empty text for an index out of range.
    QString itemText(qsizetype index) const;

    // Selects a line (or clears the selection with -1) without emitting lineClicked, and
    // scrolls it into view.
    void setSelectedIndex(qsizetype index);
    // The row under a point of the viewport, -1 when there is none.
    qsizetype rowAt(const QPoint &viewportPos) const;
    // The rectangle of a row in viewport coordinates (empty when out of range); rows above or
    // below the view have rectangles outside the viewport.
    QRect visualRect(qsizetype row) const;
    // The first row shown at the top of the view.
    qsizetype topRow() const;
    // The storage, for figures (bytes used).
    const JournalStore &store() const;

signals:
    // The operator selected a line: a mouse click on a line (also on the already selected
    // line) or a keyboard move of the selection (Up/Down/PageUp/PageDown/Home/End). Not emitted
    // by appendLine or setSelectedIndex.
    void lineClicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void changeEvent(QEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    friend class JournalListAccessible;
    friend class JournalRowAccessible;

    qsizetype rowOnScreenAt(const QPoint &viewportPos) const;
    qsizetype rowBelow(qsizetype top, const QPoint &viewportPos) const;
    qsizetype fullyVisibleRows() const;
    qsizetype maxTopRow() const;
    void updateRowHeight();
    void scheduleSync();
    void sync();
    void showTopRow();
    void select(qsizetype row, bool byOperator, bool emitAlways);
    void ensureVisible(qsizetype row);
    void notifyAccessible(int type, qsizetype row);

    JournalStore m_store;
    qsizetype m_selected = -1; // also the row with the focus rectangle
    qsizetype m_topRow = 0;      // the first row of the view
    qsizetype m_shownTop = 0;    // the first row that the pixels on screen show
    qsizetype m_firstNewRow = 0; // rows from here on were appended since the last sync
    int m_rowHeight = 1;
    int m_narrowAdvance = 1; // the width of the narrowest common glyph, to cut long lines
    bool m_followTail = true;     // the view shows the last line and keeps it in view
    bool m_syncScheduled = false; // a sync of scroll bar and pixels is queued for the event loop
    bool m_syncing = false;       // the scroll bar is being set from m_topRow
};
