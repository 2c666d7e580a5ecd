#pragma once

#include "sff/format.h"
#include "sff/mh.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <span>

// Reading SFF documents record by record. The reader takes its bytes in blocks of any size as
// they arrive (a received fax comes in blocks of up to 2048 bytes), keeps only the tail of an
// incomplete record, and trusts no count or offset field of the file: it allocates nothing
// from them. Every coded line is decoded to check that it yields the page's line length.
namespace sff {

enum class LineKind {
    Coded,   // a coded line that decoded to the line length
    Illegal, // an FF 00 record; shown as an empty (white) line
    Bad,     // a coded line that does not decode; runs hold what decoded before the fault
};

// Receives what the reader finds, in file order. Every member has an empty default.
class ReaderSink
{
public:
    virtual ~ReaderSink() = default;
    // A page header was read; index counts from 0.
    virtual void pageStarted(int index, const PageInfo &page);
    // One line of the current page. For Illegal lines runs is empty.
    virtual void line(LineKind kind, std::span<const int> runs);
    // count (1 to 37) white lines of the current page.
    virtual void whiteLines(int count);
    // The current page ended (next page header, end record or end of input).
    virtual void pageFinished(int index, const PageInfo &page);
};

class StreamReader
{
public:
    StreamReader();
    ~StreamReader();
    StreamReader(const StreamReader &) = delete;
    StreamReader &operator=(const StreamReader &) = delete;

    // The sink gets lines as they are read; null (the default) just checks and counts.
    void setSink(ReaderSink *sink);

    // Reads the next bytes of the document. Does nothing once stopped().
    void feed(QByteArrayView data);
    // The input has ended: reports a truncated record, a missing end record, a document
    // without pages, and count or offset fields that disagree with what was read.
    void finish();

    // What was read so far; complete after finish().
    const DocumentInfo &info() const;
    // Pages begun so far (the last one may still be arriving).
    int pageCount() const;
    // True after a fault that the reader cannot read past, after the end record, or after
    // finish(). Further input is ignored then.
    bool stopped() const;

private:
    struct Private;
    Private *d;
};

// Reads a whole document from memory.
DocumentInfo checkData(QByteArrayView data, ReaderSink *sink = nullptr);

// Checks a file before it is sent: it must exist, be readable and be a valid SFF document with
// at least one page. The file is read in blocks; its size does not matter.
DocumentInfo checkFile(const QString &path, ReaderSink *sink = nullptr);

} // namespace sff
