#pragma once

#include "component/pagepicture.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <memory>

namespace sff {
class StreamReader;
}

namespace quillon::component {

// A file as the operator named it, with the local file it stands for in parentheses when
// the two differ (a drive-letter path).
QString shownPath(const QString &name);

// The file being sent, read block by block as the line takes it: never held whole.
class OutgoingDocument
{
public:
    ~OutgoingDocument();

    // The bytes checked before a call is placed; the rest of a longer file is checked by
    // checkMore() while the call is set up, so a send answers at once whatever the file.
    static constexpr qint64 kCheckedAtOnce = 1 << 20;
    static constexpr qint64 kCheckStep = 256 << 10;

    // Opens the file that `name` (drive-letter or local) names and checks its beginning: a
    // file that is missing, not a regular file, empty, or not an SFF document with a page,
    // is refused with null and the reason in *reason. A file of up to kCheckedAtOnce bytes
    // is checked whole here.
    static std::unique_ptr<OutgoingDocument> open(const QString &name, QString *reason);

    // The whole file was checked and is a valid document: its pages are known.
    bool checked() const { return m_checked; }
    // Checks the next kCheckStep bytes. False, with the reason, when the file is no valid
    // document after all.
    bool checkMore(QString *reason);

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
    QString name() const { return m_name; }

    // True while some instance of this process sends the file that path names.
    static bool isBeingSent(const QString &localPath);

private:
    OutgoingDocument();
    bool checkUpTo(qint64 limit, QString *reason);

    QString m_name;
    QFile m_file;
    qint64 m_size = 0;
    qint64 m_sent = 0;
    QList<qint64> m_pageOffsets;
    bool m_firstPageFine = false;
    // The check, while it runs: its own reading of the file.
    QFile m_checkFile;
    std::unique_ptr<sff::StreamReader> m_checker;
    bool m_checked = false;
};

// The file a received fax goes to, written as the data arrives so that a dropped line leaves
// the pages that came. Its records are followed as they arrive to count the pages.
class IncomingDocument
{
public:
    ~IncomingDocument();

    // Creates (or empties) the file that `name` names; on failure returns null and says why
    // in *reason. Only a regular file (or none yet) in a folder that exists is taken.
    static std::unique_ptr<IncomingDocument> create(const QString &name, QString *reason);
    // Why a fax could not be received into `name`, said as soon as the name is given; empty
    // when nothing stands in the way yet.
    static QString problemWith(const QString &name);

    // Writes a block and hands it to the SFF reader. False with a reason on a write error,
    // or when the file has been deleted (its folder removed) while the fax arrives.
    bool write(const QByteArray &block, QString *error);
    void close();
    // The file still has its name on disk: nobody deleted it while the fax arrived.
    bool stillThere() const;

    qint64 bytes() const { return m_bytes; }
    // Pages begun so far.
    int pages() const;
    qint64 currentPageOffset() const;
    // The data ended with the document's end record and read without a fault.
    bool complete() const;
    // The reader's first fault, if any, in words.
    QString fault() const;
    // The data read so far holds a fault (a line that does not decode, a broken record): the
    // document cannot come out whole.
    bool faulty() const;
    QString path() const { return m_file.fileName(); }
    QString name() const { return m_name; }
    // The page arriving (or the last one), drawn from the lines of it in the file so far.
    PageImage currentPage() const;

private:
    IncomingDocument();

    QString m_name;
    QFile m_file;
    qint64 m_bytes = 0;
    bool m_unlinked = false;
    std::unique_ptr<sff::StreamReader> m_reader;
};

} // namespace quillon::component
