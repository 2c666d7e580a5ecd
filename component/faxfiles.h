#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <memory>

namespace sff {
class StreamReader;
}

namespace quillon::component {

// The file being sent, read block by block as the line takes it: never held whole.
class OutgoingDocument
{
public:
    ~OutgoingDocument();

    // Checks the file (exists, readable, a valid SFF document with a page: its records, page
    // headers and line counts, not the codes of its lines) and opens it.
    // On failure returns null and says why in *reason.
    static std::unique_ptr<OutgoingDocument> open(const QString &localPath, QString *reason);

    // The next block of at most maxBytes; empty at the end of the file or on a read error.
    QByteArray nextBlock(int maxBytes, QString *error);
    bool atEnd() const { return m_sent >= m_size; }

    qint64 size() const { return m_size; }
    qint64 sent() const { return m_sent; }
    int pageCount() const { return int(m_pageOffsets.size()); }
    bool firstPageFine() const { return m_firstPageFine; }
    // Where a page (1-based) starts in the file.
    qint64 pageOffset(int page) const { return m_pageOffsets.value(page - 1); }
    QString path() const { return m_file.fileName(); }

    // True while some instance of this process sends the file that path names.
    static bool isBeingSent(const QString &localPath);

private:
    OutgoingDocument() = default;

    QFile m_file;
    qint64 m_size = 0;
    qint64 m_sent = 0;
    QList<qint64> m_pageOffsets;
    bool m_firstPageFine = false;
};

// The file a received fax goes to, written as the data arrives so that a dropped line leaves
// the pages that came. Its records are followed as they arrive to count the pages.
class IncomingDocument
{
public:
    ~IncomingDocument();

    // Creates (or empties) the file; on failure returns null and says why in *reason.
    static std::unique_ptr<IncomingDocument> create(const QString &localPath, QString *reason);

    // Writes a block and hands it to the SFF reader. False with a reason on a write error.
    bool write(const QByteArray &block, QString *error);
    void close();

    qint64 bytes() const { return m_bytes; }
    // Pages begun so far.
    int pages() const;
    qint64 currentPageOffset() const;
    // The data ended with the document's end record and read without a fault.
    bool complete() const;
    // The data read so far holds a fault (a line that does not decode, a broken record): the
    // document cannot come out whole.
    bool faulty() const;
    // The reader's first fault, if any, in words.
    QString fault() const;
    QString path() const { return m_file.fileName(); }

private:
    IncomingDocument();

    QFile m_file;
    qint64 m_bytes = 0;
    std::unique_ptr<sff::StreamReader> m_reader;
};

} // namespace quillon::component
