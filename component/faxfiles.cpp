#include "component/faxfiles.h"

#include "platform/drivepath.h"
#include "platform/fileinuse.h"
#include "sff/reader.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace quillon::component {

namespace {

// How deep the file to send is read before it goes out: framing, headers and line counts.
// The lines' codes are the receiver's to check, which decodes every line once as it arrives;
// decoding them here as well would double the cost of a fax.
constexpr sff::ReadDepth kCheckDepth = sff::ReadDepth::Records;
constexpr qint64 kReadBlock = 64 << 10;

// The files that instances of this process are sending now.
QStringList &filesBeingSent()
{
    static QStringList files;
    return files;
}

// "no such file: NAME" or "NAME is a FIFO (named pipe), not a regular file".
QString notRegularText(const QString &name, const QString &problem)
{
    return problem == u"no such file" ? QStringLiteral("no such file: %1").arg(shownPath(name))
                                      : QStringLiteral("%1 is %2").arg(shownPath(name), problem);
}

} // namespace

QString shownPath(const QString &name)
{
    const QString local = platform::localPath(name);
    return local == name ? name : QStringLiteral("%1 (%2)").arg(name, local);
}

OutgoingDocument::OutgoingDocument() = default;

OutgoingDocument::~OutgoingDocument()
{
    filesBeingSent().removeOne(m_file.fileName());
}

bool OutgoingDocument::isBeingSent(const QString &localPath)
{
    for (const QString &sending : filesBeingSent())
        if (platform::isSameFile(sending, localPath))
            return true;
    return false;
}

std::unique_ptr<OutgoingDocument> OutgoingDocument::open(const QString &name, QString *reason)
{
    if (name.isEmpty()) {
        *reason = QStringLiteral("no file named");
        return nullptr;
    }
    const QString localPath = platform::localPath(name);
    // Only the type is looked at first: a FIFO would wait in open(), a device never ends.
    if (const QString problem = sff::notRegularFile(localPath); !problem.isEmpty()) {
        *reason = notRegularText(name, problem);
        return nullptr;
    }
    if (QFileInfo(localPath).size() == 0) {
        *reason = QStringLiteral("%1 is empty").arg(shownPath(name));
        return nullptr;
    }
    std::unique_ptr<OutgoingDocument> doc(new OutgoingDocument);
    doc->m_name = name;
    doc->m_file.setFileName(localPath);
    doc->m_checkFile.setFileName(localPath);
    if (!doc->m_file.open(QIODevice::ReadOnly) || !doc->m_checkFile.open(QIODevice::ReadOnly)) {
        *reason = QStringLiteral("cannot read %1: %2")
                      .arg(shownPath(name), doc->m_file.isOpen() ? doc->m_checkFile.errorString()
                                                                 : doc->m_file.errorString());
        return nullptr;
    }
    doc->m_size = doc->m_file.size();
    doc->m_checker = std::make_unique<sff::StreamReader>(kCheckDepth);
    if (!doc->checkUpTo(kCheckedAtOnce, reason))
        return nullptr;
    filesBeingSent().append(localPath);
    return doc;
}

bool OutgoingDocument::checkMore(QString *reason)
{
    return m_checked || checkUpTo(m_checkFile.pos() + kCheckStep, reason);
}

bool OutgoingDocument::checkUpTo(qint64 limit, QString *reason)
{
    sff::StreamReader &reader = *m_checker;
    QByteArray block(kReadBlock, Qt::Uninitialized);
    bool atEnd = false;
    // Past a fault the reader takes nothing more; past the end record it only counts bytes.
    while (!reader.stopped() || reader.info().endRecord) {
        const qint64 want = std::min(kReadBlock, limit - m_checkFile.pos());
        if (want <= 0)
            break;
        const qint64 got = m_checkFile.read(block.data(), want);
        if (got < 0) {
            *reason = QStringLiteral("cannot read %1: %2")
                          .arg(shownPath(m_name), m_checkFile.errorString());
            return false;
        }
        if (got == 0) {
            atEnd = true;
            break;
        }
        reader.feed(QByteArrayView(block.constData(), got));
    }
    const sff::DocumentInfo &found = reader.info();
    if (!found.pages.isEmpty())
        m_firstPageFine = found.pages.first().resolution == sff::Resolution::Fine;
    if (!atEnd && !(reader.stopped() && !found.endRecord))
        return true; // more to check
    reader.finish();
    const sff::DocumentInfo &info = reader.info();
    if (!info.isValid()) {
        *reason = info.error ? info.error->toString()
                             : QStringLiteral("%1 holds no page").arg(shownPath(m_name));
        if (info.error && info.error->offset >= 0)
            *reason = QStringLiteral("%1 is no valid SFF fax: %2").arg(shownPath(m_name), *reason);
        return false;
    }
    for (const sff::PageInfo &page : info.pages)
        m_pageOffsets.append(page.offset);
    m_checked = true;
    m_checkFile.close();
    m_checker.reset();
    return true;
}

QByteArray OutgoingDocument::nextBlock(int maxBytes, QString *error)
{
    QByteArray block = m_file.read(std::min<qint64>(maxBytes, m_size - m_sent));
    if (block.isEmpty() && m_sent < m_size) {
        *error = QStringLiteral("cannot read %1: %2")
                     .arg(shownPath(m_name),
                          m_file.error() != QFileDevice::NoError
                              ? m_file.errorString()
                              : QStringLiteral("the file became shorter while it was sent"));
        return {};
    }
    m_sent += block.size();
    return block;
}

// Without a sink the reader decodes each line only to check it, producing no runs: the
// page's picture is drawn from the file when the status window asks for it.
IncomingDocument::IncomingDocument() : m_reader(std::make_unique<sff::StreamReader>()) {}

IncomingDocument::~IncomingDocument() = default;

QString IncomingDocument::problemWith(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("no receive file named");
    const QString localPath = platform::localPath(name);
    const QFileInfo fi(localPath);
    if (!fi.absoluteDir().exists())
        return QStringLiteral("cannot create %1: the folder %2 does not exist")
            .arg(shownPath(name), fi.absolutePath());
    // A FIFO would hold the call in open(), a device takes the fax nowhere.
    if (fi.exists() || fi.isSymLink()) {
        if (const QString problem = sff::notRegularFile(localPath);
            !problem.isEmpty() && problem != u"no such file")
            return QStringLiteral("cannot receive into %1: it is %2").arg(shownPath(name), problem);
    }
    return {};
}

std::unique_ptr<IncomingDocument> IncomingDocument::create(const QString &name, QString *reason)
{
    if (const QString problem = problemWith(name); !problem.isEmpty()) {
        *reason = problem;
        return nullptr;
    }
    const QString localPath = platform::localPath(name);
    // Emptying the file that is being sent would destroy the fax on its way.
    if (OutgoingDocument::isBeingSent(localPath)) {
        *reason = QStringLiteral("%1 is the file being sent; it is not overwritten")
                      .arg(shownPath(name));
        return nullptr;
    }
    std::unique_ptr<IncomingDocument> doc(new IncomingDocument);
    doc->m_name = name;
    doc->m_file.setFileName(localPath);
    // Unbuffered: each block goes to the file in one write, with no copy into a buffer that
    // is flushed at once anyway.
    if (!doc->m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        *reason = QStringLiteral("cannot create %1: %2")
                      .arg(shownPath(name), doc->m_file.errorString());
        return nullptr;
    }
    // A fax that is arriving is not deleted under the receiver's feet.
    platform::markInUse(doc->m_file);
    return doc;
}

bool IncomingDocument::write(const QByteArray &block, QString *error)
{
    if (m_file.write(block) != block.size()) {
        *error = QStringLiteral("cannot write %1: %2")
                     .arg(shownPath(m_name), m_file.errorString());
        return false;
    }
    // Writes into a file whose folder was removed succeed, and the fax is lost all the same.
    if (!stillThere()) {
        *error = QStringLiteral("the receive file %1 was deleted while the fax arrived")
                     .arg(shownPath(m_name));
        return false;
    }
    m_bytes += block.size();
    m_reader->feed(block);
    return true;
}

void IncomingDocument::close()
{
    if (m_file.isOpen())
        m_unlinked = platform::isUnlinked(m_file);
    m_file.close();
}

bool IncomingDocument::stillThere() const
{
    return m_file.isOpen() ? !platform::isUnlinked(m_file) : !m_unlinked;
}

int IncomingDocument::pages() const
{
    return m_reader->pageCount();
}

qint64 IncomingDocument::currentPageOffset() const
{
    const auto &pages = m_reader->info().pages;
    return pages.isEmpty() ? 0 : pages.last().offset;
}

bool IncomingDocument::complete() const
{
    const sff::DocumentInfo &info = m_reader->info();
    return info.endRecord && !info.error && !info.pages.isEmpty() && stillThere();
}

bool IncomingDocument::faulty() const
{
    return m_reader->info().error.has_value();
}

QString IncomingDocument::fault() const
{
    const sff::DocumentInfo &info = m_reader->info();
    if (!stillThere())
        return QStringLiteral("the file was deleted while the fax arrived");
    if (info.error)
        return info.error->toString();
    if (!info.endRecord)
        return QStringLiteral("the document's end record did not arrive");
    return {};
}

PageImage IncomingDocument::currentPage() const
{
    if (m_reader->pageCount() == 0)
        return {};
    // Every block is in the file (written unbuffered) before the reader sees it.
    return readPage(m_file.fileName(), currentPageOffset());
}

} // namespace quillon::component
