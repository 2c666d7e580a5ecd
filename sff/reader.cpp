#include "sff/reader.h"

#include <QFile>
#include <QtEndian>

#include <sys/stat.h>

namespace sff {

void ReaderSink::pageStarted(int, const PageInfo &) {}
void ReaderSink::line(LineKind, std::span<const int>) {}
void ReaderSink::codedLine(QByteArrayView) {}
void ReaderSink::whiteLines(int) {}
void ReaderSink::pageFinished(int, const PageInfo &) {}

namespace {

inline quint16 word(const uchar *p)
{
    return qFromLittleEndian<quint16>(p);
}
inline quint32 dword(const uchar *p)
{
    return qFromLittleEndian<quint32>(p);
}

QString hex(qint64 v)
{
    return QStringLiteral("0x%1").arg(v, 0, 16);
}

} // namespace

struct StreamReader::Private
{
    enum class State { DocumentHeader, BeforeFirstPage, Records, Stopped };

    explicit Private(ReadDepth d) : depth(d) {}

    const ReadDepth depth;
    ReaderSink *sink = nullptr;
    DocumentInfo info;
    State state = State::DocumentHeader;
    QByteArray pending; // the start of a record that is not complete yet
    qint64 offset = 0;  // file offset of the next byte to process
    qint64 endRecordOffset = -1;
    qint64 afterEnd = 0; // bytes after the end record
    bool pageOpen = false;
    bool finished = false;
    int pagesFinished = 0;
    qint64 notesDropped = 0; // notes past MaxNotes, counted only
    mh::Runs runs;

    void fault(qint64 at, const QString &message)
    {
        if (!info.error)
            info.error = Fault{at, message};
    }
    // A damaged file of millions of pages would otherwise hold a note for each.
    void note(qint64 at, const QString &message)
    {
        if (info.notes.size() < MaxNotes)
            info.notes.append(Fault{at, message});
        else
            ++notesDropped;
    }
    void fatal(qint64 at, const QString &message)
    {
        fault(at, message);
        closePage();
        state = State::Stopped;
    }

    PageInfo &page() { return info.pages.last(); }

    void closePage()
    {
        if (!pageOpen)
            return;
        pageOpen = false;
        ++pagesFinished;
        const PageInfo &p = page();
        if (p.header.pageLength != 0 && p.header.pageLength != p.lines)
            note(p.offset + pagefield::PageLength, QStringLiteral("page %1 declares %2 lines but has %3")
                                   .arg(info.pages.size())
                                   .arg(p.header.pageLength)
                                   .arg(p.lines));
        if (sink)
            sink->pageFinished(int(info.pages.size()) - 1, p);
    }

    // Reads as many complete records as the bytes hold; returns the bytes used.
    qsizetype process(const uchar *data, qsizetype n);
    bool readDocumentHeader(const uchar *data);
    bool readPageHeader(const uchar *data, int length);
    void readLine(const uchar *data, int size);
    Q_DECL_COLD_FUNCTION void badLine(const mh::DecodeResult &r);
};

bool StreamReader::Private::readDocumentHeader(const uchar *h)
{
    DocumentHeader &doc = info.header;
    const quint32 id = dword(h + docfield::Id);
    if (id != DocumentId) {
        fatal(0, QStringLiteral("not an SFF document: id %1, expected 0x66666653 (\"Sfff\")")
                     .arg(hex(id)));
        return false;
    }
    doc.version = h[docfield::Version];
    doc.userInfo = word(h + docfield::UserInfo);
    doc.pageCount = word(h + docfield::PageCount);
    doc.firstPageOffset = word(h + docfield::FirstPageOffset);
    doc.lastPageOffset = dword(h + docfield::LastPageOffset);
    doc.documentEndOffset = dword(h + docfield::DocumentEndOffset);
    if (doc.version > 1) {
        fatal(docfield::Version,
              QStringLiteral("SFF version %1 is not supported (only version 1)").arg(doc.version));
        return false;
    }
    if (doc.firstPageOffset < DocumentHeaderSize) {
        fatal(docfield::FirstPageOffset,
              QStringLiteral("offset of the first page header %1 lies inside the document "
                                 "header (at least 20)")
                      .arg(doc.firstPageOffset));
        return false;
    }
    return true;
}

bool StreamReader::Private::readPageHeader(const uchar *h, int length)
{
    const qint64 at = offset;
    if (length < MinPageHeaderLength) {
        fatal(at + pagefield::HeaderLength, QStringLiteral("page header length %1 is under 16").arg(length));
        return false;
    }
    PageHeader ph;
    ph.headerLength = quint8(length);
    ph.verticalResolution = h[pagefield::VerticalResolution];
    ph.horizontalResolution = h[pagefield::HorizontalResolution];
    ph.coding = h[pagefield::Coding];
    ph.lineLength = word(h + pagefield::LineLength);
    ph.pageLength = word(h + pagefield::PageLength);
    ph.previousPageOffset = dword(h + pagefield::PreviousPageOffset);
    ph.nextPageOffset = dword(h + pagefield::NextPageOffset);
    if (ph.verticalResolution > 1) {
        fatal(at + pagefield::VerticalResolution, QStringLiteral("vertical resolution %1 is unknown (0 = 98 lpi, 1 = 196 lpi)")
                          .arg(ph.verticalResolution));
        return false;
    }
    if (ph.horizontalResolution != 0) {
        fatal(at + pagefield::HorizontalResolution, QStringLiteral("horizontal resolution %1 is unknown (0 = 203 dpi)")
                          .arg(ph.horizontalResolution));
        return false;
    }
    if (ph.coding != 0) {
        fatal(
            at + pagefield::Coding,
            QStringLiteral("coding %1 is not supported (only 0, Modified Huffman)").arg(ph.coding));
        return false;
    }
    if (ph.lineLength == 0) {
        fatal(at + pagefield::LineLength, QStringLiteral("line length 0"));
        return false;
    }
    if (info.pages.size() >= MaxPages) {
        fatal(at, QStringLiteral("more than %1 pages: an SFF document counts its pages in 16 bits")
                      .arg(MaxPages));
        return false;
    }
    closePage();
    PageInfo p;
    p.offset = at;
    p.header = ph;
    p.resolution = Resolution(ph.verticalResolution);
    p.lineLength = ph.lineLength;
    info.pages.append(p);
    pageOpen = true;
    if (sink)
        sink->pageStarted(int(info.pages.size()) - 1, p);
    return true;
}

// Inline, with the fault's words apart: this runs for every line of a document.
inline void StreamReader::Private::readLine(const uchar *data, int size)
{
    PageInfo &p = page();
    ++p.lines;
    if (depth == ReadDepth::Records) {
        if (sink)
            sink->codedLine(QByteArrayView(data, size));
        return;
    }
    const mh::DecodeResult r = mh::decodeLine(data, size, p.lineLength, sink ? &runs : nullptr);
    if (!r.ok()) [[unlikely]]
        badLine(r);
    if (sink)
        sink->line(r.ok() ? LineKind::Coded : LineKind::Bad, runs);
}

void StreamReader::Private::badLine(const mh::DecodeResult &r)
{
    PageInfo &p = page();
    ++p.badLines;
    ++info.badLines;
    fault(offset, QStringLiteral("page %1, line %2: %3")
                      .arg(info.pages.size())
                      .arg(p.lines)
                      .arg(r.message(p.lineLength)));
}

qsizetype StreamReader::Private::process(const uchar *data, qsizetype n)
{
    qsizetype i = 0;
    while (i < n) {
        const uchar *r = data + i;
        const qsizetype avail = n - i;
        qsizetype need = 0; // bytes of the record at r
        switch (state) {
        case State::Stopped:
            return i;
        case State::DocumentHeader:
            if (avail < DocumentHeaderSize)
                return i;
            if (!readDocumentHeader(r))
                return i;
            need = DocumentHeaderSize;
            state = State::BeforeFirstPage;
            break;
        case State::BeforeFirstPage:
            // Bytes between the document header and the first page are user data.
            need = std::min<qint64>(avail, info.header.firstPageOffset - offset);
            if (offset + need == info.header.firstPageOffset)
                state = State::Records;
            break;
        case State::Records: {
            const uchar b = r[0];
            if (b != PageHeaderRecord && !pageOpen) {
                fatal(offset,
                      QStringLiteral("expected a page header (byte 254), found byte %1").arg(b));
                return i;
            }
            if (b >= 1 && b <= MaxShortLine) {
                need = 1 + b;
                if (avail < need)
                    return i;
                readLine(r + 1, b);
            } else if (b == EscapedLineRecord) {
                if (avail < 3)
                    return i;
                const int length = word(r + 1);
                need = 3 + length;
                if (avail < need)
                    return i;
                if (length == 0 || length > MaxEscapedLine) {
                    ++page().lines;
                    ++page().badLines;
                    ++info.badLines;
                    fault(offset, QStringLiteral("escaped line of %1 bytes (1 to 32767 allowed)")
                                      .arg(length));
                    if (sink)
                        sink->line(LineKind::Bad, {});
                } else {
                    readLine(r + 3, length);
                }
            } else if (b < PageHeaderRecord) {
                need = 1;
                page().lines += b - MaxShortLine;
                if (sink)
                    sink->whiteLines(b - MaxShortLine);
            } else if (b == PageHeaderRecord) {
                if (avail < 2)
                    return i;
                const int length = r[1];
                if (length == 0) {
                    closePage();
                    info.endRecord = true;
                    endRecordOffset = offset;
                    state = State::Stopped;
                    afterEnd = avail - 2;
                    offset += 2;
                    return n;
                }
                need = 2 + length;
                if (length >= MinPageHeaderLength && avail < need)
                    return i;
                if (!readPageHeader(r, length))
                    return i;
            } else { // ExtendedRecord
                if (avail < 2)
                    return i;
                const int length = r[1];
                need = 2 + length;
                if (avail < need)
                    return i;
                if (length == 0) {
                    ++page().lines;
                    ++page().illegalLines;
                    ++info.illegalLines;
                    if (sink)
                        sink->line(LineKind::Illegal, {});
                } else {
                    ++page().userInfoRecords;
                }
            }
            break;
        }
        }
        i += need;
        offset += need;
    }
    return i;
}

StreamReader::StreamReader(ReadDepth depth) : d(std::make_unique<Private>(depth)) {}

StreamReader::~StreamReader() = default;

ReadDepth StreamReader::depth() const
{
    return d->depth;
}

void StreamReader::setSink(ReaderSink *sink)
{
    d->sink = sink;
}

void StreamReader::feed(QByteArrayView data)
{
    if (d->finished)
        return;
    d->info.size += data.size();
    if (d->state == Private::State::Stopped) {
        if (d->info.endRecord)
            d->afterEnd += data.size();
        return;
    }
    if (d->pending.isEmpty()) {
        const auto *bytes = reinterpret_cast<const uchar *>(data.data());
        const qsizetype used = d->process(bytes, data.size());
        if (d->state != Private::State::Stopped && used < data.size())
            d->pending = QByteArray(data.data() + used, data.size() - used);
    } else {
        d->pending.append(data.data(), data.size());
        const qsizetype used =
            d->process(reinterpret_cast<const uchar *>(d->pending.constData()), d->pending.size());
        if (d->state == Private::State::Stopped)
            d->pending.clear();
        else
            d->pending.remove(0, used);
    }
}

void StreamReader::finish()
{
    if (d->finished)
        return;
    Private &p = *d;
    DocumentInfo &info = p.info;
    const qint64 size = info.size;
    switch (p.state) {
    case Private::State::DocumentHeader:
        p.fault(0, size == 0 ? QStringLiteral("empty file")
                             : QStringLiteral("file too short for an SFF document header "
                                              "(%1 of 20 bytes)")
                                   .arg(size));
        break;
    case Private::State::BeforeFirstPage:
        p.fault(docfield::FirstPageOffset, QStringLiteral("offset of the first page header %1 lies past the end of the "
                                   "file (%2 bytes)")
                        .arg(info.header.firstPageOffset)
                        .arg(size));
        break;
    case Private::State::Records:
        if (!p.pending.isEmpty())
            p.fault(p.offset,
                    QStringLiteral("last record truncated: the file ends %1 bytes into it")
                        .arg(p.pending.size()));
        p.closePage();
        p.note(size, QStringLiteral("no end record (FE 00)"));
        break;
    case Private::State::Stopped:
        break;
    }
    p.pending.clear();
    p.state = Private::State::Stopped;
    p.finished = true;

    if (!info.error && info.pages.isEmpty())
        p.fault(size, QStringLiteral("the document has no pages"));

    // The count and offset fields, checked against what the records said.
    if (info.error && info.error->offset < DocumentHeaderSize && info.pages.isEmpty())
        return; // no usable document header
    const DocumentHeader &h = info.header;
    const qint64 pages = info.pages.size();
    if (h.pageCount != 0 && h.pageCount != pages)
        p.note(docfield::PageCount, QStringLiteral("header declares %1 pages but the document has %2")
                      .arg(h.pageCount)
                      .arg(pages));
    if (h.lastPageOffset >= size && h.lastPageOffset != 0)
        p.fault(docfield::LastPageOffset, QStringLiteral("offset of the last page header %1 lies past the end of the "
                                   "file (%2 bytes)")
                        .arg(h.lastPageOffset)
                        .arg(size));
    else if (h.lastPageOffset != 0 && pages > 0 && h.lastPageOffset != info.pages.last().offset)
        p.note(docfield::LastPageOffset, QStringLiteral("offset of the last page header %1 does not point at the last "
                                  "page (%2)")
                       .arg(h.lastPageOffset)
                       .arg(info.pages.last().offset));
    if (h.documentEndOffset > size)
        p.fault(docfield::DocumentEndOffset, QStringLiteral("offset of the document end %1 lies past the end of the file "
                                   "(%2 bytes)")
                        .arg(h.documentEndOffset)
                        .arg(size));
    for (qsizetype i = 0; i < info.pages.size(); ++i) {
        const PageInfo &pg = info.pages.at(i);
        const qint64 links[2] = {pg.header.previousPageOffset, pg.header.nextPageOffset};
        for (int k = 0; k < 2; ++k) {
            if (links[k] >= size && links[k] != 0)
                p.fault(pg.offset + (k ? pagefield::NextPageOffset : pagefield::PreviousPageOffset),
                        QStringLiteral("page %1: offset of the %2 page %3 lies past the end of "
                                       "the file (%4 bytes)")
                            .arg(i + 1)
                            .arg(k ? QStringLiteral("next") : QStringLiteral("previous"))
                            .arg(links[k])
                            .arg(size));
        }
    }
    if (p.afterEnd > 0)
        p.note(p.endRecordOffset + 2,
               QStringLiteral("%1 bytes after the end record are ignored").arg(p.afterEnd));
    if (p.notesDropped > 0)
        info.notes.append(Fault{-1, QStringLiteral("%1 more irregularities not listed")
                                        .arg(p.notesDropped)});
}

const DocumentInfo &StreamReader::info() const
{
    return d->info;
}

int StreamReader::pageCount() const
{
    return int(d->info.pages.size());
}

bool StreamReader::stopped() const
{
    return d->state == Private::State::Stopped;
}

int StreamReader::pagesFinished() const
{
    return d->pagesFinished;
}

bool StreamReader::atRecordBoundary() const
{
    switch (d->state) {
    case Private::State::DocumentHeader:
        return false;
    case Private::State::BeforeFirstPage:
        return d->offset == d->info.header.firstPageOffset;
    case Private::State::Records:
        return d->pending.isEmpty();
    case Private::State::Stopped: // at the end record, or where a fault stopped reading
        return d->info.endRecord || !d->info.error;
    }
    return false;
}

DocumentInfo checkData(QByteArrayView data, ReaderSink *sink, ReadDepth depth)
{
    StreamReader reader(depth);
    reader.setSink(sink);
    reader.feed(data);
    reader.finish();
    return reader.info();
}

QString notRegularFile(const QString &path)
{
    struct stat st{};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("no such file");
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("a folder, not a file");
    if (S_ISFIFO(st.st_mode))
        return QStringLiteral("a FIFO (named pipe), not a regular file");
    if (S_ISSOCK(st.st_mode))
        return QStringLiteral("a socket, not a regular file");
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return QStringLiteral("a device, not a regular file");
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("not a regular file");
    return {};
}

DocumentInfo checkFile(const QString &path, ReaderSink *sink, ReadDepth depth)
{
    auto failed = [](const QString &message) {
        DocumentInfo info;
        info.error = Fault{-1, message};
        return info;
    };
    if (path.isEmpty())
        return failed(QStringLiteral("no file named"));
    if (const QString problem = notRegularFile(path); !problem.isEmpty())
        return failed(problem == u"no such file" ? QStringLiteral("no such file: %1").arg(path)
                                                 : QStringLiteral("%1 is %2").arg(path, problem));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failed(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    StreamReader reader(depth);
    reader.setSink(sink);
    QByteArray block(64 * 1024, Qt::Uninitialized);
    // Past a fault the reader takes nothing more; past the end record it only counts bytes.
    while (!reader.stopped() || reader.info().endRecord) {
        const qint64 got = file.read(block.data(), block.size());
        if (got < 0)
            return failed(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        if (got == 0)
            break;
        reader.feed(QByteArrayView(block.constData(), got));
    }
    reader.finish();
    return reader.info();
}

} // namespace sff
