#include "simline/sffscanner.h"

namespace simline {

namespace {
constexpr int kDocumentHeaderSize = 20;
constexpr quint8 kPageHeader = 254;
constexpr quint8 kUserInfo = 255;
} // namespace

void SffPageCounter::feed(QByteArrayView bytes)
{
    qsizetype i = 0;
    const qsizetype n = bytes.size();
    while (i < n && m_state != State::End && m_state != State::Invalid) {
        const quint8 b = quint8(bytes[i]);
        switch (m_state) {
        case State::Header:
            if (m_pos < 12)
                m_header[m_pos] = b;
            ++m_pos;
            ++i;
            if (m_pos == 4 && !(m_header[0] == 0x53 && m_header[1] == 0x66 &&
                                m_header[2] == 0x66 && m_header[3] == 0x66)) {
                m_state = State::Invalid;
            } else if (m_pos == kDocumentHeaderSize) {
                m_firstPage = m_header[10] | (qint64(m_header[11]) << 8);
                if (m_firstPage < kDocumentHeaderSize) {
                    m_state = State::Invalid;
                } else {
                    m_skip = m_firstPage - kDocumentHeaderSize;
                    m_state = m_skip > 0 ? State::SkipToFirstPage : State::Record;
                }
            }
            continue;
        case State::SkipToFirstPage:
        case State::Skip: {
            const qsizetype take = qMin<qint64>(m_skip, n - i);
            i += take;
            m_pos += take;
            m_skip -= take;
            if (m_skip == 0)
                m_state = State::Record;
            continue;
        }
        case State::Record:
            ++i;
            ++m_pos;
            if (b == kPageHeader) {
                m_state = State::PageHeaderLength;
            } else if (!m_inPage) {
                // Before the first page header only a page header may stand.
                m_state = State::Invalid;
            } else if (b >= 1 && b <= 216) {
                m_skip = b;
                m_state = State::Skip;
            } else if (b == 0) {
                m_state = State::EscapeLength1;
            } else if (b == kUserInfo) {
                m_state = State::UserInfoLength;
            }
            // 217..253: white lines without payload
            continue;
        case State::EscapeLength1:
            m_escLength = b;
            m_state = State::EscapeLength2;
            ++i;
            ++m_pos;
            continue;
        case State::EscapeLength2:
            m_escLength |= quint16(b) << 8;
            m_skip = m_escLength;
            m_state = m_skip > 0 ? State::Skip : State::Record;
            ++i;
            ++m_pos;
            continue;
        case State::PageHeaderLength:
            ++i;
            ++m_pos;
            if (m_inPage)
                ++m_complete;
            if (b == 0) {
                m_inPage = false;
                m_state = State::End;
            } else {
                m_inPage = true;
                ++m_started;
                m_skip = b;
                m_state = State::Skip;
            }
            continue;
        case State::UserInfoLength:
            ++i;
            ++m_pos;
            m_skip = b; // 0: an illegal line, no payload
            m_state = m_skip > 0 ? State::Skip : State::Record;
            continue;
        case State::End:
        case State::Invalid: break;
        }
    }
}

} // namespace simline
