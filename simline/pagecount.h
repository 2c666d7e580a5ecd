#pragma once

// Counts the pages of an SFF document as its blocks cross the line, reading its records only
// (no line is decoded) and keeping none of its bytes: the line reports pages in the fax NCPI.

#include <QByteArrayView>

#include <memory>

namespace sff {
class StreamReader;
}

namespace simline {

class PageCount
{
public:
    PageCount();
    ~PageCount();
    PageCount(PageCount &&) noexcept;
    PageCount &operator=(PageCount &&) noexcept;

    void feed(QByteArrayView bytes);
    // Pages whose header has been seen.
    int pagesStarted() const;
    // Pages followed by another page header or by the end record.
    int pagesComplete() const;
    // The end record has come.
    bool atEnd() const;
    // The bytes so far end between two records: no record was cut short.
    bool atRecordBoundary() const;
    // The bytes are no SFF document (or one broken beyond reading).
    bool invalid() const;

private:
    std::unique_ptr<sff::StreamReader> m_reader;
};

} // namespace simline
