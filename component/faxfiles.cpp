#include "component/faxfiles.h"

#include "platform/drivepath.h"
#include "platform/fileinuse.h"
#include "sff/reader.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace quillon::component {

namespace {

// The files that instances of this process are sending now.
QStringList &filesBeingSent()
{
    static QStringList files;
    return files;
}

} // namespace

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

std::unique_ptr<OutgoingDocument> OutgoingDocument::open(const QString &localPath,
                                                         QString *reason)
{
    if (localPath.isEmpty()) {
        *reason = QStringLiteral("no file named");
        return nullptr;
    }
    const QFileInfo fi(localPath);
    if (fi.exists() && fi.isFile() && fi.size() == 0) {
        *reason = QStringLiteral("%1 is empty").arg(localPath);
        return nullptr;
    }
    // Framing, headers and line counts only: the lines' codes are the receiver's to check,
    // which decodes every line once as it arrives. Decoding here as well would double the
    // cost of a fax and keep SendFax waiting for it.
    const sff::DocumentInfo info = sff::checkFile(localPath, nullptr, sff::ReadDepth::Records);
    if (!info.isValid()) {
        *reason = info.error ? info.error->toString()
                             : QStringLiteral("%1 holds no page").arg(localPath);
        if (info.error && info.error->offset >= 0)
            *reason = QStringLiteral("%1 is no valid SFF fax: %2").arg(localPath, *reason);
        return nullptr;
    }
    std::unique_ptr<OutgoingDocument> doc(new OutgoingDocument);
    doc->m_file.setFileName(localPath);
    if (!doc->m_file.open(QIODevice::ReadOnly)) {
        *reason = QStringLiteral("cannot read %1: %2").arg(localPath, doc->m_file.errorString());
        return nullptr;
    }
    doc->m_size = doc->m_file.size();
    filesBeingSent().append(localPath);
    doc->m_firstPageFine = info.pages.first().resolution == sff::Resolution::Fine;
    for (const sff::PageInfo &page : info.pages)
        doc->m_pageOffsets.append(page.offset);
    return doc;
}

QByteArray OutgoingDocument::nextBlock(int maxBytes, QString *error)
{
    QByteArray block = m_file.read(std::min<qint64>(maxBytes, m_size - m_sent));
    if (block.isEmpty() && m_sent < m_size) {
        *error = QStringLiteral("cannot read %1: %2")
                     .arg(m_file.fileName(),
                          m_file.error() != QFileDevice::NoError
                              ? m_file.errorString()
                              : QStringLiteral("the file became shorter while it was sent"));
        return {};
    }
    m_sent += block.size();
    return block;
}

IncomingDocument::IncomingDocument() : m_reader(std::make_unique<sff::StreamReader>()) {}

IncomingDocument::~IncomingDocument() = default;

std::unique_ptr<IncomingDocument> IncomingDocument::create(const QString &localPath,
                                                           QString *reason)
{
    std::unique_ptr<IncomingDocument> doc(new IncomingDocument);
    if (localPath.isEmpty()) {
        *reason = QStringLiteral("no receive file named");
        return nullptr;
    }
    const QFileInfo fi(localPath);
    if (!fi.absoluteDir().exists()) {
        *reason = QStringLiteral("cannot create %1: the folder %2 does not exist")
                      .arg(localPath, fi.absolutePath());
        return nullptr;
    }
    // Emptying the file that is being sent would destroy the fax on its way.
    if (OutgoingDocument::isBeingSent(localPath)) {
        *reason = QStringLiteral("%1 is the file being sent; it is not overwritten").arg(localPath);
        return nullptr;
    }
    doc->m_file.setFileName(localPath);
    if (!doc->m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *reason = QStringLiteral("cannot create %1: %2").arg(localPath, doc->m_file.errorString());
        return nullptr;
    }
    // A fax that is arriving is not deleted under the receiver's feet.
    platform::markInUse(doc->m_file);
    return doc;
}

bool IncomingDocument::write(const QByteArray &block, QString *error)
{
    if (m_file.write(block) != block.size() || !m_file.flush()) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_file.fileName(), m_file.errorString());
        return false;
    }
    m_bytes += block.size();
    m_reader->feed(block);
    return true;
}

void IncomingDocument::close()
{
    m_file.close();
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
    return info.endRecord && !info.error && !info.pages.isEmpty();
}

bool IncomingDocument::faulty() const
{
    return m_reader->info().error.has_value();
}

QString IncomingDocument::fault() const
{
    const sff::DocumentInfo &info = m_reader->info();
    if (info.error)
        return info.error->toString();
    if (!info.endRecord)
        return QStringLiteral("the document's end record did not arrive");
    return {};
}

} // namespace quillon::component
