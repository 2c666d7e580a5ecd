#pragma once

// Counts the pages of an SFF document as its bytes stream past, block by block, without
// keeping them: the simulated line reports pages in the fax NCPI this way.

#include "capi/capi_export.h"

#include <QByteArrayView>

namespace capi {

class QUILLON_CAPI_EXPORT SffPageCounter
{
public:
    void feed(QByteArrayView bytes);
    // Pages whose header has been seen.
    int pagesStarted() const { return m_started; }
    // Pages followed by another page header or by the end of the document.
    int pagesComplete() const { return m_complete; }
    bool atEnd() const { return m_state == State::End; }
    // The bytes so far end between two records: no record was cut short.
    bool atRecordBoundary() const { return m_state == State::Record || m_state == State::End; }
    // The stream is not an SFF document (wrong id or a record that cannot be).
    bool invalid() const { return m_state == State::Invalid; }

private:
    enum class State { Header, SkipToFirstPage, Record, Skip, EscapeLength1, EscapeLength2,
                       PageHeaderLength, UserInfoLength, End, Invalid };
    State m_state = State::Header;
    qint64 m_pos = 0;        // bytes seen
    quint8 m_header[12] = {};
    qint64 m_firstPage = 0;
    qint64 m_skip = 0;
    quint16 m_escLength = 0;
    bool m_inPage = false;
    int m_started = 0;
    int m_complete = 0;
};

} // namespace capi
