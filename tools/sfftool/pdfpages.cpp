#include "pdfpages.h"

#include <poppler-qt6.h>

#include <QFile>

#include <memory>

namespace sfftool {

namespace {

// Poppler reports what it finds wrong through a callback; the first message goes into the
// reason a document is refused, and none of them goes to the terminal.
void collectPopplerMessage(const QString &message, const QVariant &closure)
{
    auto *messages = static_cast<QStringList *>(closure.value<void *>());
    if (messages && messages->size() < 8)
        messages->append(message.trimmed());
}

class PopplerMessages
{
public:
    PopplerMessages() { Poppler::setDebugErrorFunction(collectPopplerMessage, QVariant::fromValue<void *>(&m_list)); }
    ~PopplerMessages() { Poppler::setDebugErrorFunction(collectPopplerMessage, QVariant::fromValue<void *>(nullptr)); }
    PopplerMessages(const PopplerMessages &) = delete;
    PopplerMessages &operator=(const PopplerMessages &) = delete;

    QString first() const { return m_list.isEmpty() ? QString() : m_list.first(); }

private:
    QStringList m_list;
};

// A complete PDF file ends with its "%%EOF" marker, give or take a line end or some bytes a
// mail program appended. Without it the file was cut short, even where Poppler could rebuild
// a page table from what is left.
bool endsWithEofMarker(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const qint64 tail = std::min<qint64>(f.size(), 1024);
    if (!f.seek(f.size() - tail))
        return false;
    return f.read(tail).contains("%%EOF");
}

QString withDetail(const QString &reason, const QString &detail)
{
    return detail.isEmpty() ? reason : QStringLiteral("%1 (%2)").arg(reason, detail);
}

} // namespace

PdfResult readPdf(const QString &path, sff::Resolution resolution, int first, int last,
                  const std::function<void(const QImage &page)> &sink)
{
    PdfResult result;
    const PopplerMessages messages;
    const std::unique_ptr<Poppler::Document> doc = Poppler::Document::load(path);
    if (!doc) {
        result.error = withDetail(QStringLiteral("the PDF is damaged or no PDF"), messages.first());
        return result;
    }
    if (doc->isLocked()) {
        result.error = QStringLiteral("the PDF is encrypted and needs a password to open");
        return result;
    }
    if (!endsWithEofMarker(path)) {
        result.error = QStringLiteral("the PDF is damaged: it ends without its %%EOF marker, so "
                                      "the file was cut short");
        return result;
    }
    result.pageCount = doc->numPages();
    if (result.pageCount <= 0) {
        result.error = QStringLiteral("the PDF has no pages");
        return result;
    }
    if (last == 0)
        last = result.pageCount;
    if (first < 1 || first > last || last > result.pageCount) {
        result.error = QStringLiteral("the PDF has %1 page%2; pages %3 to %4 were asked for")
                           .arg(result.pageCount)
                           .arg(result.pageCount == 1 ? "" : "s")
                           .arg(first)
                           .arg(last);
        return result;
    }

    doc->setRenderHint(Poppler::Document::Antialiasing);
    doc->setRenderHint(Poppler::Document::TextAntialiasing);
    for (int number = first; number <= last; ++number) {
        const std::unique_ptr<Poppler::Page> page = doc->page(number - 1);
        const QSizeF points = page ? page->pageSizeF() : QSizeF();
        if (!page || points.width() < 1 || points.height() < 1) {
            result.error = withDetail(QStringLiteral("page %1 of the PDF is damaged").arg(number),
                                      messages.first());
            return result;
        }
        // A landscape page goes on the fax a quarter turn round, as a printer feeds it.
        const bool turn = points.width() > points.height();
        const double across = turn ? points.height() : points.width(); // points, 1/72 inch
        const double xres = sff::A4LineLength * 72.0 / across;
        // Fax pixels are 1/204 inch wide and 1/98 or 1/196 inch high.
        const double yres = xres * sff::linesPerInch(resolution) / 204.0;
        // The resolutions are those of the image's axes, after the turn.
        QImage image = page->renderToImage(xres, yres, -1, -1, -1, -1,
                                           turn ? Poppler::Page::Rotate90 : Poppler::Page::Rotate0);
        if (image.isNull()) {
            result.error = withDetail(
                QStringLiteral("page %1 of the PDF cannot be rendered").arg(number),
                messages.first());
            return result;
        }
        // Rounding can leave the page a pixel off the line length.
        if (image.width() != sff::A4LineLength)
            image = image.scaled(sff::A4LineLength, image.height(), Qt::IgnoreAspectRatio,
                                 Qt::SmoothTransformation);
        sink(image);
        ++result.pagesRead;
    }
    return result;
}

} // namespace sfftool
