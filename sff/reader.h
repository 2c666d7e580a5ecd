#pragma once

#include "sff/format.h"
#include "sff/mh.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>
#include <span>

// Reading SFF documents record by record. The reader takes its bytes in blocks of any size as
// they arrive (a received fax comes in blocks of up to 2048 bytes), keeps only the tail of an
// incomplete record, and trusts no count or offset field of the file: it allocates nothing
// from them.
namespace sff {

// How deep a reader looks into a document.
enum class ReadDepth {
    // Every coded line is decoded and must yield the page's line length; sinks get runs.
    Lines,
    // Framing only: records, headers and line counts are read and checked, but no coded line
    // is decoded, so badLines stays 0 and sinks get the coded bytes (codedLine) instead of
    // runs. For counting pages and checking a file's structure at a fraction of the cost.
    Records,
};

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
    // One line of the current page. For Illegal lines runs is empty. Reading at
    // ReadDepth::Records, coded lines come to codedLine() instead.
    virtual void line(LineKind kind, std::span<const int> runs);
    // The bytes of one coded line of the current page, undecoded (ReadDepth::Records only).
    virtual void codedLine(QByteArrayView coded);
    // count (1 to 37) white lines of the current page.
    virtual void whiteLines(int count);
    // The current page ended (next page header, end record or end of input).
    virtual void pageFinished(int index, const PageInfo &page);
};

class StreamReader
{
public:
    explicit StreamReader(ReadDepth depth = ReadDepth::Lines);
    ~StreamReader();
    StreamReader(const StreamReader &) = delete;
    StreamReader &operator=(const StreamReader &) = delete;

    ReadDepth depth() const;

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
    // Pages ended by the next page header, the end record, a fault or finish().
    int pagesFinished() const;
    // The bytes fed so far end between two records (past the document header): no record is
    // cut short. False once a fault has stopped the reader before the end record.
    bool atRecordBoundary() const;
    // True after a fault that the reader cannot read past, after the end record, or after
    // finish(). Further input is ignored then.
    bool stopped() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Reads a whole document from memory.
DocumentInfo checkData(QByteArrayView data, ReaderSink *sink = nullptr,
                       ReadDepth depth = ReadDepth::Lines);

// Why path cannot be read as a regular file: "no such file", "a folder, not a file", "a FIFO
// (named pipe), not a regular file", "a socket, ...", "a device, ...". Empty when it can. Only
// the file's type is looked at: opening a FIFO waits for a writer, and a device never ends.
QString notRegularFile(const QString &path);

// Checks a file before it is sent: it must exist, be readable and be a valid SFF document with
// at least one page. Folders, devices, FIFOs and sockets are refused unopened. The file is read
// in blocks until the reader stops; its size does not matter. At
// ReadDepth::Records the lines' codes are not checked.
DocumentInfo checkFile(const QString &path, ReaderSink *sink = nullptr,
                       ReadDepth depth = ReadDepth::Lines);

} // namespace sff
