#include "commands.h"

#include "boundedrender.h"
#include "faxpdf.h"
#include "filekind.h"
#include "pages.h"
#include "pdfpages.h"
#include "tiffpages.h"

#include "faxtiff/faxtiff.h"

#include "platform/drivepath.h"
#include "sff/mh.h"
#include "sff/reader.h"
#include "sff/writer.h"
#include "sff/gui/imagewriter.h"
#include "sff/gui/render.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryFile>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace sfftool {

namespace {

enum Exit { Done = 0, Invalid = 1, Usage = 2 };

// A parser for one subcommand with --help; parse() reports errors and help itself.
class Command
{
public:
    Command(const QString &name, const QString &description) : m_name(name)
    {
        m_parser.setApplicationDescription(description);
        m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        m_parser.addOption(
            {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help.")});
    }

    QCommandLineParser &parser() { return m_parser; }

    // Returns -1 to go on, or the exit status when help was shown or the arguments are wrong.
    int parse(const QStringList &args, Streams io, int minPositional, int maxPositional)
    {
        if (!m_parser.parse(QStringList{QStringLiteral("sfftool ") + m_name} + args))
            return fail(io, errorText(args));
        if (m_parser.isSet(QStringLiteral("help"))) {
            // The parser names the program by its path; the command reads better.
            QString help = m_parser.helpText();
            const qsizetype usage = help.indexOf(QStringLiteral("Usage: "));
            const qsizetype options = help.indexOf(QStringLiteral(" [options]"));
            if (usage >= 0 && options > usage)
                help.replace(usage + 7, options - usage - 7, QStringLiteral("sfftool ") + m_name);
            io.out << help;
            return Done;
        }
        const qsizetype n = m_parser.positionalArguments().size();
        if (n < minPositional)
            return fail(io, QStringLiteral("missing arguments"));
        if (maxPositional >= 0 && n > maxPositional)
            return fail(io, QStringLiteral("too many arguments: %1")
                                .arg(m_parser.positionalArguments().mid(maxPositional).join(u' ')));
        return -1;
    }

    int fail(Streams io, const QString &message) const
    {
        io.err << "sfftool " << m_name << ": " << message << "\n"
               << "Try 'sfftool " << m_name << " --help'.\n";
        return Usage;
    }

private:
    // The parser names an unknown option without its dashes; the operator typed them.
    QString errorText(const QStringList &args) const
    {
        QString text = m_parser.errorText();
        for (const QString &name : m_parser.unknownOptionNames()) {
            for (const QString &arg : args) {
                if (!arg.startsWith(u'-'))
                    continue;
                const QString bare = arg.section(u'=', 0, 0);
                qsizetype dashes = 0;
                while (dashes < bare.size() && bare[dashes] == u'-')
                    ++dashes;
                if (bare.mid(dashes) == name) {
                    text.replace(QStringLiteral("'%1'").arg(name), QStringLiteral("'%1'").arg(bare));
                    break;
                }
            }
        }
        return text;
    }

    QString m_name;
    QCommandLineParser m_parser;
};

// "1 page", "2 pages".
QString counted(qint64 n, const char *singular, const char *plural)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? singular : plural));
}

QString resolutionText(sff::Resolution r)
{
    return r == sff::Resolution::Fine ? QStringLiteral("fine (196 lpi)")
                                      : QStringLiteral("standard (98 lpi)");
}

// Millimetres of a page: 203 pixels per inch across, 98 or 196 lines per inch down.
QString pageSize(const sff::PageInfo &p)
{
    const double w = p.lineLength * 25.4 / 203.0;
    const double h = double(p.lines) * 25.4 / sff::linesPerInch(p.resolution);
    return QStringLiteral("%1 x %2 mm").arg(std::lround(w)).arg(std::lround(h));
}

QString shownPath(const QString &given, const QString &local)
{
    return given == local ? given : QStringLiteral("%1 (%2)").arg(given, local);
}

void printInfo(const sff::DocumentInfo &info, Streams io)
{
    io.out << "size: " << info.size << " bytes\n";
    io.out << "version: " << info.header.version << ", pages declared: "
           << (info.header.pageCount ? QString::number(info.header.pageCount)
                                     : QStringLiteral("unknown (0)"))
           << "\n";
    io.out << "pages: " << info.pages.size() << "\n";
    for (qsizetype i = 0; i < info.pages.size(); ++i) {
        const sff::PageInfo &p = info.pages[i];
        io.out << "page " << i + 1 << ": " << resolutionText(p.resolution) << ", " << p.lineLength
               << " pixels a line, " << p.lines << " lines, " << pageSize(p) << ", at byte "
               << p.offset;
        if (p.illegalLines)
            io.out << ", " << counted(p.illegalLines, "illegal line", "illegal lines");
        if (p.badLines)
            io.out << ", " << counted(p.badLines, "bad line", "bad lines");
        io.out << "\n";
    }
    io.out << "illegal lines: " << info.illegalLines << "\n";
    io.out << "bad lines: " << info.badLines << "\n";
    io.out << "end record: " << (info.endRecord ? "yes" : "no") << "\n";
    for (const sff::Fault &n : info.notes)
        io.out << "note: " << n.toString() << "\n";
    if (info.isValid())
        io.out << "valid: yes\n";
    else
        io.out << "valid: no: " << (info.error ? info.error->toString() : QString()) << "\n";
}

// Writes a document to a drive-letter or ordinary path, creating the parent folder.
bool writeOut(const QString &local, const QByteArray &data, QString *error)
{
    const QFileInfo fi(local);
    if (!QDir().mkpath(fi.absolutePath())) {
        *error = QStringLiteral("cannot create the folder %1").arg(fi.absolutePath());
        return false;
    }
    QSaveFile file(local);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(local, file.errorString());
        return false;
    }
    return true;
}

} // namespace

QString usage()
{
    return QStringLiteral(
        "Usage: sfftool COMMAND [options] [arguments]\n"
        "Check, render, make and convert SFF fax files.\n"
        "\n"
        "Commands:\n"
        "  info FILE              pages, resolution, size, illegal lines and faults of a file;\n"
        "                         exit status 1 when the file is no valid SFF document\n"
        "  render FILE DIR        each page to a PNG file in DIR (page-001.png, ...)\n"
        "  convert IN.sff OUT.pdf the fax as a PDF file, one page per fax page\n"
        "  convert IN.sff OUT.tiff\n"
        "                         the fax as a TIFF Class F file (MH, the fax's resolution)\n"
        "  make OUT.sff FILE...   a fax from PDF and TIFF files and pictures (PNG, JPEG, ...);\n"
        "                         fax TIFFs as they are, grey levels dithered unless\n"
        "                         --threshold; --pages N-M of PDFs and TIFFs\n"
        "  make OUT.sff --text TEXT | --text-file FILE | --chart\n"
        "                         a fax of a text on A4 pages, or the test chart\n"
        "  sample OUT.sff         the sample fax (the test chart); same as make --chart\n"
        "\n"
        "Paths may have a drive letter (C:\\tmp\\testfax.sff); on Linux drive C: is the folder\n"
        "$XDG_DATA_HOME/quillon-console/drives/c.\n"
        "'sfftool COMMAND --help' describes each command.\n");
}

int info(const QStringList &args, Streams io)
{
    Command cmd(QStringLiteral("info"),
                QStringLiteral("Reads an SFF file record by record and reports its pages, "
                               "resolution, size,\nillegal lines and faults. Exit status 0 for a "
                               "valid document, 1 otherwise."));
    cmd.parser().addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The SFF file."));
    if (const int r = cmd.parse(args, io, 1, 1); r >= 0)
        return r;
    const QString given = cmd.parser().positionalArguments().at(0);
    const QString local = platform::localPath(given);
    io.out << "file: " << shownPath(given, local) << "\n";
    const FileKind kind = fileKind(local);
    if (!kind.problem.isEmpty()) {
        io.err << "sfftool info: " << given << ": " << kind.problem << "\n";
        return Invalid;
    }
    // Another kind of file has no SFF counters to show: say what it appears to be.
    if (kind.kind != Kind::Sff) {
        io.out << "kind: " << kind.description << ", not an SFF document\n";
        io.err << "sfftool info: " << given << ": not an SFF document; it appears to be "
               << kind.description << "\n";
        return Invalid;
    }
    const sff::DocumentInfo found = sff::checkFile(local);
    if (found.error && found.error->offset < 0) {
        io.err << "sfftool info: " << found.error->message << "\n";
        return Invalid;
    }
    printInfo(found, io);
    if (!found.isValid()) {
        io.err << "sfftool info: " << given << ": "
               << (found.error ? found.error->toString() : QStringLiteral("no pages")) << "\n";
        return Invalid;
    }
    return Done;
}

namespace {

// A whole number option; false with a usage message when it is not one of at least min.
bool numberOption(const QCommandLineParser &p, const QString &name, qint64 min, qint64 *value,
                  QString *error)
{
    if (!p.isSet(name))
        return true;
    bool ok = false;
    const qint64 v = p.value(name).toLongLong(&ok);
    if (!ok || v < min) {
        *error = QStringLiteral("--%1 takes a whole number from %2: '%3'")
                     .arg(name)
                     .arg(min)
                     .arg(p.value(name));
        return false;
    }
    *value = v;
    return true;
}

QString pageFileName(int number)
{
    return QStringLiteral("page-%1.png").arg(number, 3, 10, QLatin1Char('0'));
}

// Removes the page files of an earlier render beyond the pages just written, so the folder
// shows this document alone. Only files named as render names them are touched.
int removeStalePages(const QString &dir, int written)
{
    static const QRegularExpression pattern(QStringLiteral("^page-(\\d{3,})\\.png$"));
    int removed = 0;
    const QStringList names =
        QDir(dir).entryList({QStringLiteral("page-*.png")}, QDir::Files | QDir::System);
    for (const QString &name : names) {
        const QRegularExpressionMatch m = pattern.match(name);
        if (m.hasMatch() && m.captured(1).toLongLong() > written &&
            QFile::remove(QDir(dir).filePath(name)))
            ++removed;
    }
    return removed;
}

// Why a path is no SFF file to read, or empty when it is one.
QString sffInputProblem(const QString &path)
{
    const FileKind kind = fileKind(path);
    if (!kind.problem.isEmpty())
        return kind.problem;
    if (kind.kind != Kind::Sff)
        return QStringLiteral("not an SFF document; it appears to be ") + kind.description;
    return {};
}

// The bound on the pages and pixels that render and convert draw.
struct Bound
{
    static constexpr qint64 defaultPages = 500;
    static constexpr qint64 defaultPixels = 2'000'000'000; // about 500 fine A4 pages
    qint64 pages = defaultPages;
    qint64 pixels = defaultPixels;
};

// Parses a command of two arguments with the bound options; -1 to go on, as Command::parse.
int parseWithBound(Command &cmd, const QStringList &args, Streams io, Bound *bound)
{
    QCommandLineParser &p = cmd.parser();
    p.addOption({QStringLiteral("max-pages"),
                 QStringLiteral("Pages drawn at most (default %1).").arg(Bound::defaultPages),
                 QStringLiteral("N")});
    p.addOption({QStringLiteral("max-pixels"),
                 QStringLiteral("Pixels of all pages together at most (default %1).")
                     .arg(Bound::defaultPixels),
                 QStringLiteral("N")});
    if (const int r = cmd.parse(args, io, 2, 2); r >= 0)
        return r;
    QString error;
    if (!numberOption(p, QStringLiteral("max-pages"), 1, &bound->pages, &error) ||
        !numberOption(p, QStringLiteral("max-pixels"), 1, &bound->pixels, &error))
        return cmd.fail(io, error);
    bound->pages = std::min<qint64>(bound->pages, 65535); // no document has more
    return -1;
}

// Says when the bound left pages out or cut one short.
void reportBound(const QString &command, const Bound &bound, const BoundedRenderer &renderer,
                 const sff::DocumentInfo &found, Streams io)
{
    if (renderer.pagesSkipped() == 0 && renderer.pagesCut() == 0)
        return;
    io.err << "sfftool " << command << ": the bound of " << counted(bound.pages, "page", "pages")
           << " and " << bound.pixels << " pixels cut the output: "
           << counted(renderer.pagesDrawn(), "page", "pages") << " of " << found.pages.size()
           << " drawn"
           << (renderer.pagesCut() ? QStringLiteral(", the last one in part") : QString())
           << "; --max-pages and --max-pixels raise the bound\n";
}

} // namespace

int render(const QStringList &args, Streams io)
{
    constexpr qint64 defaultMaxPages = Bound::defaultPages;
    constexpr qint64 defaultMaxPixels = Bound::defaultPixels;
    Command cmd(QStringLiteral("render"),
                QStringLiteral("Draws each page of an SFF file into a PNG file in DIR "
                               "(page-001.png, page-002.png, ...).\nDIR is created when "
                               "missing; page files of an earlier render beyond the pages\n"
                               "drawn are removed. 98-lpi pages get each line twice, so pages "
                               "keep their\nproportions, unless --coded is given. At most %1 "
                               "pages and %2 million pixels\nare drawn unless --max-pages or "
                               "--max-pixels allow more.")
                    .arg(defaultMaxPages)
                    .arg(defaultMaxPixels / 1'000'000));
    QCommandLineParser &p = cmd.parser();
    p.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The SFF file."));
    p.addPositionalArgument(QStringLiteral("DIR"), QStringLiteral("The folder for the PNG files."));
    p.addOption(
        {QStringLiteral("coded"), QStringLiteral("One image row per fax line, also at 98 lpi.")});
    Bound bound;
    if (const int r = parseWithBound(cmd, args, io, &bound); r >= 0)
        return r;

    const QStringList pos = p.positionalArguments();
    const QString file = platform::localPath(pos.at(0));
    const QString dir = platform::localPathForWriting(pos.at(1));
    if (const QString problem = sffInputProblem(file); !problem.isEmpty()) {
        io.err << "sfftool render: " << shownPath(pos.at(0), file) << ": " << problem << "\n";
        return Invalid;
    }

    sff::RenderOptions options;
    options.aspect = p.isSet(QStringLiteral("coded")) ? sff::Aspect::AsCoded : sff::Aspect::Square;
    options.maxLines = 32768;
    BoundedRenderer renderer(options, int(bound.pages), bound.pixels);
    bool folderMade = false;
    bool writeFailed = false;
    renderer.onPage = [&](int index, const QImage &page, const sff::PageInfo &) {
        // The folder is made for the first page, so a file without pages leaves none behind.
        if (!folderMade && !writeFailed) {
            folderMade = QDir().mkpath(dir);
            if (!folderMade) {
                io.err << "sfftool render: cannot create the folder " << dir << "\n";
                writeFailed = true;
            }
        }
        if (!folderMade)
            return;
        const QString name = QDir(dir).filePath(pageFileName(index + 1));
        if (page.save(name, "PNG")) {
            io.out << name << " (" << page.width() << " x " << page.height() << ")\n";
        } else {
            io.err << "sfftool render: cannot write " << name << "\n";
            writeFailed = true;
        }
    };
    const sff::DocumentInfo found = sff::checkFile(file, &renderer);
    if (folderMade && !writeFailed)
        removeStalePages(dir, renderer.pagesDrawn());
    for (qsizetype i = 0; i < found.pages.size() && i < renderer.pagesDrawn(); ++i) {
        const sff::PageInfo &page = found.pages[i];
        const qint64 kept =
            std::min<qint64>(options.maxLines, options.maxBytes / ((page.lineLength + 7) / 8));
        if (page.lines > kept)
            io.err << "sfftool render: page " << i + 1 << ": only the first " << kept << " of "
                   << counted(page.lines, "line", "lines") << " drawn\n";
    }
    reportBound(QStringLiteral("render"), bound, renderer, found, io);
    if (!found.isValid()) {
        io.err << "sfftool render: " << pos.at(0) << ": "
               << (found.error ? found.error->toString() : QStringLiteral("no pages")) << "\n";
        return Invalid;
    }
    return writeFailed ? Invalid : Done;
}

namespace {

// A page range from --pages: "3", "2-5" or "2-" (to the last page).
bool parsePages(const QString &text, int *first, int *last)
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*(\\d+)\\s*(-\\s*(\\d*))?\\s*$"));
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch())
        return false;
    bool ok = false;
    *first = m.captured(1).toInt(&ok);
    if (!ok || *first < 1)
        return false;
    if (!m.hasCaptured(2) || m.captured(2).isEmpty()) {
        *last = *first;
    } else if (m.captured(3).isEmpty()) {
        *last = 0;
    } else {
        *last = m.captured(3).toInt(&ok);
        if (!ok || *last < *first)
            return false;
    }
    return true;
}

// The widest picture taken: some 16 fax lines; wider ones are no page anyone faxes and
// would cost memory out of proportion when scaled.
constexpr int MaxImageWidth = 32768;

int makeDocument(const QString &commandName, const QStringList &args, Streams io, bool chartOnly)
{
    Command cmd(
        commandName,
        chartOnly
            ? QStringLiteral("Makes the sample fax: one A4 page with the test chart.")
            : QStringLiteral("Makes an SFF fax file: one page per picture and per page of a PDF "
                             "or TIFF\nfile, scaled to the fax width of 1728 pixels, or a text "
                             "on A4 pages, or the test\nchart. Grey levels are dithered by error "
                             "diffusion unless --threshold is given.\nFax TIFF pages are taken "
                             "pixel for pixel at their own resolution."));
    QCommandLineParser &p = cmd.parser();
    p.addPositionalArgument(QStringLiteral("OUT"), QStringLiteral("The SFF file to write."));
    if (!chartOnly) {
        p.addPositionalArgument(
            QStringLiteral("FILE"),
            QStringLiteral("PDF and TIFF files, and pictures (PNG, JPEG, BMP, ...), one page "
                           "each."),
            QStringLiteral("[FILE...]"));
        p.addOption({QStringLiteral("text"), QStringLiteral("A text for A4 pages."),
                     QStringLiteral("TEXT")});
        p.addOption({QStringLiteral("text-file"), QStringLiteral("A UTF-8 text file for A4 pages."),
                     QStringLiteral("FILE")});
        p.addOption({QStringLiteral("chart"), QStringLiteral("The test chart (the sample fax).")});
        p.addOption({QStringLiteral("raw"),
                     QStringLiteral("Pictures as they are: each picture row one fax line, the "
                                    "picture width the line length.")});
        p.addOption({QStringLiteral("threshold"),
                     QStringLiteral("A hard cut at mid grey instead of dithering.")});
        p.addOption({QStringLiteral("pages"),
                     QStringLiteral("The pages of each PDF and TIFF file: N, N-M or N- (to the "
                                    "last)."),
                     QStringLiteral("RANGE")});
    }
    p.addOption({QStringLiteral("fine"), QStringLiteral("196 lines per inch (default 98).")});
    p.addOption(
        {QStringLiteral("if-missing"), QStringLiteral("Do nothing when OUT exists already.")});
    if (const int r = cmd.parse(args, io, 1, chartOnly ? 1 : -1); r >= 0)
        return r;

    const QStringList pos = p.positionalArguments();
    const QString given = pos.at(0);
    const QString out = platform::localPathForWriting(given);
    const QStringList inputs = pos.mid(1);
    const bool chart = chartOnly || p.isSet(QStringLiteral("chart"));
    const bool text = !chartOnly && p.isSet(QStringLiteral("text"));
    const bool textFile = !chartOnly && p.isSet(QStringLiteral("text-file"));
    const int sources = int(!inputs.isEmpty()) + int(chart) + int(text) + int(textFile);
    if (sources != 1)
        return cmd.fail(io, sources == 0
                                ? QStringLiteral("nothing to make: give files, --text, "
                                                 "--text-file or --chart")
                                : QStringLiteral("give only one of files, --text, --text-file "
                                                 "and --chart"));
    if (!given.endsWith(QStringLiteral(".sff"), Qt::CaseInsensitive) && QFileInfo(out).isDir())
        return cmd.fail(io, QStringLiteral("%1 is a folder").arg(given));
    int first = 1;
    int last = 0;
    const bool pageRange = !chartOnly && p.isSet(QStringLiteral("pages"));
    if (pageRange && !parsePages(p.value(QStringLiteral("pages")), &first, &last))
        return cmd.fail(io, QStringLiteral("--pages takes N, N-M or N- with pages from 1: '%1'")
                                .arg(p.value(QStringLiteral("pages"))));

    // Every input is looked at before anything is made.
    QList<FileKind> kinds;
    for (const QString &name : inputs) {
        const FileKind kind = fileKind(platform::localPath(name));
        if (!kind.problem.isEmpty()) {
            io.err << "sfftool " << commandName << ": " << name << ": " << kind.problem << "\n";
            return Invalid;
        }
        kinds.append(kind);
    }
    if (pageRange && std::none_of(kinds.begin(), kinds.end(), [](const FileKind &k) {
            return k.kind == Kind::Pdf || k.kind == Kind::Tiff;
        }))
        return cmd.fail(io,
                        QStringLiteral("--pages picks pages of PDF files and of TIFF files; none "
                                       "is given"));

    if (p.isSet(QStringLiteral("if-missing")) && QFileInfo::exists(out)) {
        io.out << shownPath(given, out) << " exists; left as it is\n";
        return Done;
    }

    const sff::Resolution resolution =
        p.isSet(QStringLiteral("fine")) ? sff::Resolution::Fine : sff::Resolution::Standard;
    const Tone tone =
        !chartOnly && p.isSet(QStringLiteral("threshold")) ? Tone::Threshold : Tone::Dither;
    sff::Writer writer;
    bool fine = false;
    bool standard = false;
    auto addPage = [&](const QImage &page, sff::Resolution r) {
        sff::addPage(writer, page, r);
        (r == sff::Resolution::Fine ? fine : standard) = true;
    };
    auto refuse = [&](const QString &name, const QString &reason) {
        io.err << "sfftool " << commandName << ": " << name << ": " << reason << "\n";
        return Invalid;
    };

    if (chart) {
        addPage(chartPage(resolution), resolution);
    } else if (text || textFile) {
        QString body = p.value(QStringLiteral("text"));
        if (textFile) {
            const QString name = platform::localPath(p.value(QStringLiteral("text-file")));
            const FileKind kind = fileKind(name);
            QFile f(name);
            if (!kind.problem.isEmpty())
                return refuse(name, kind.problem);
            if (!f.open(QIODevice::ReadOnly))
                return refuse(name, QStringLiteral("cannot read it: ") + f.errorString());
            body = QString::fromUtf8(f.readAll());
        }
        // A page without a word on it is no text fax: most likely a variable came out empty.
        if (body.trimmed().isEmpty())
            return cmd.fail(io, textFile ? QStringLiteral("the text file is empty")
                                         : QStringLiteral("the text is empty"));
        for (const QImage &page : textPages(body, resolution))
            addPage(page, resolution);
    } else {
        const bool raw = p.isSet(QStringLiteral("raw"));
        for (qsizetype i = 0; i < inputs.size(); ++i) {
            const QString &name = inputs[i];
            const QString local = platform::localPath(name);
            if (kinds[i].kind == Kind::Pdf) {
                const PdfResult pdf =
                    readPdf(local, resolution, first, last, [&](const QImage &page) {
                        addPage(blackAndWhite(page, tone), resolution);
                    });
                if (!pdf.ok())
                    return refuse(name, pdf.error);
                continue;
            }
            if (kinds[i].kind == Kind::Tiff) {
                TiffOptions options;
                options.resolution = resolution;
                options.tone = tone;
                options.raw = raw;
                options.maxWidth = raw ? 65535 : MaxImageWidth;
                options.first = first;
                options.last = last;
                const TiffInput tiff = readTiff(local, options, addPage);
                if (!tiff.ok())
                    return refuse(name, tiff.error);
                continue;
            }
            if (kinds[i].kind == Kind::Sff)
                return refuse(name, QStringLiteral("an SFF document already"));
            QImageReader reader(local);
            const QSize size = reader.size();
            const int widest = raw ? 65535 : MaxImageWidth;
            if (size.width() > widest)
                return refuse(name, QStringLiteral("the picture is %1 pixels wide; at most %2 "
                                                   "are taken")
                                        .arg(size.width())
                                        .arg(widest));
            const QImage image = reader.read();
            if (image.isNull())
                return refuse(name, QStringLiteral("cannot read the image: ") +
                                        reader.errorString());
            if (image.width() > widest)
                return refuse(name, QStringLiteral("the picture is %1 pixels wide; at most %2 "
                                                   "are taken")
                                        .arg(image.width())
                                        .arg(widest));
            addPage(raw ? blackAndWhite(image, tone) : fitImage(image, resolution, tone),
                    resolution);
        }
    }

    const int pageCount = writer.pageCount();
    if (pageCount > 65535)
        return refuse(given, QStringLiteral("%1 pages; an SFF document holds at most 65535")
                                 .arg(pageCount));
    const QByteArray data = writer.finish();
    const sff::DocumentInfo check = sff::checkData(data);
    if (!check.isValid()) { // the writer's own output must read back
        io.err << "sfftool " << commandName << ": internal error: the document made does not "
               << "read back: " << (check.error ? check.error->toString() : QString()) << "\n";
        return Invalid;
    }
    QString error;
    if (!writeOut(out, data, &error)) {
        io.err << "sfftool " << commandName << ": " << error << "\n";
        return Invalid;
    }
    const QString resolutions =
        fine && standard ? QStringLiteral("standard and fine")
                         : resolutionText(fine ? sff::Resolution::Fine : sff::Resolution::Standard);
    io.out << "wrote " << shownPath(given, out) << ": " << counted(pageCount, "page", "pages")
           << ", " << resolutions << ", " << counted(data.size(), "byte", "bytes") << "\n";
    return Done;
}

} // namespace

namespace {

// What the reader could read of a document with faults, written anew as a valid one: every
// page and line it found, a line that does not decode as far as it decoded (the rest white),
// a page cut short as far as it goes.
class Salvage : public sff::ReaderSink
{
public:
    QByteArray finish() { return m_writer.finish(); }

    void pageStarted(int, const sff::PageInfo &page) override
    {
        m_writer.beginPage(page.resolution, page.lineLength);
        m_row.resize((page.lineLength + 7) / 8);
        m_width = page.lineLength;
    }
    void line(sff::LineKind kind, std::span<const int> runs) override
    {
        if (kind == sff::LineKind::Illegal) {
            m_writer.addIllegalLine();
            return;
        }
        auto *row = reinterpret_cast<uchar *>(m_row.data());
        sff::mh::runsToRow(runs, row, m_width);
        m_writer.addRow(row);
    }
    void whiteLines(int count) override { m_writer.addWhiteLines(count); }

private:
    sff::Writer m_writer;
    QByteArray m_row;
    int m_width = 0;
};

// The fax as TIFF Class F: code lines copied as they stand, so no pixel changes; of a document
// with faults, what could be read, and exit status 1 as for PDF. libtiff writes to a path, so
// the file is made beside OUT and renamed over it once complete.
int convertToTiff(const QString &givenIn, const QString &in, const QString &givenOut,
                  const QString &out, const Bound &bound, Streams io)
{
    QFile file(in);
    if (!file.open(QIODevice::ReadOnly)) {
        io.err << "sfftool convert: cannot read " << in << ": " << file.errorString() << "\n";
        return Invalid;
    }
    QByteArray data = file.readAll();
    const sff::DocumentInfo found = sff::checkData(data);
    if (found.pages.isEmpty()) {
        io.err << "sfftool convert: " << givenIn << ": "
               << (found.error ? found.error->toString() : QStringLiteral("no pages")) << "\n";
        return Invalid;
    }
    qint64 pixels = 0;
    for (const sff::PageInfo &page : found.pages)
        pixels += qint64(page.lineLength) * page.lines;
    if (found.pages.size() > bound.pages || pixels > bound.pixels) {
        io.err << "sfftool convert: " << givenIn << ": "
               << counted(found.pages.size(), "page", "pages") << " and " << pixels << " pixels are past the bound of "
               << counted(bound.pages, "page", "pages") << " and " << bound.pixels
               << " pixels; --max-pages and --max-pixels raise the bound\n";
        return Invalid;
    }
    QTemporaryFile part(out + QStringLiteral(".XXXXXX"));
    if (!part.open()) {
        io.err << "sfftool convert: cannot write " << out << ": " << part.errorString() << "\n";
        return Invalid;
    }
    part.close();
    if (!found.isValid()) {
        Salvage salvage;
        sff::checkData(data, &salvage);
        data = salvage.finish();
    }
    faxtiff::WriteOptions options;
    options.coding = faxtiff::TiffCoding::T4OneDim;
    QString error;
    if (!faxtiff::sffToTiff(data, part.fileName(), options, &error)) {
        io.err << "sfftool convert: " << error << "\n";
        return Invalid;
    }
    // The finished file takes OUT's place in one step: an earlier OUT stays until then.
    QFile::setPermissions(part.fileName(), QFile::ReadOwner | QFile::WriteOwner |
                                               QFile::ReadGroup | QFile::ReadOther);
    if (std::rename(QFile::encodeName(part.fileName()).constData(),
                    QFile::encodeName(out).constData()) != 0) {
        io.err << "sfftool convert: cannot write " << out << ": "
               << QString::fromLocal8Bit(std::strerror(errno)) << "\n";
        return Invalid;
    }
    part.setAutoRemove(false);
    io.out << "wrote " << shownPath(givenOut, out) << ": "
           << counted(found.pages.size(), "page", "pages") << ", TIFF Class F\n";
    if (!found.isValid()) {
        io.err << "sfftool convert: " << givenIn << ": only what could be read was converted: "
               << (found.error ? found.error->toString() : QString()) << "\n";
        return Invalid;
    }
    return Done;
}

} // namespace

int convert(const QStringList &args, Streams io)
{
    Command cmd(QStringLiteral("convert"),
                QStringLiteral("Converts an SFF fax into a PDF file, one PDF page per fax page at "
                               "the fax's\nphysical size (215 mm wide for A4 lines), or into a "
                               "TIFF Class F file: one\nimage per fax page, CCITT G3 1-D "
                               "(Modified Huffman) with the fax's resolution.\nThe kind "
                               "follows OUT's extension (.pdf, .tiff or .tif)."));
    QCommandLineParser &p = cmd.parser();
    p.addPositionalArgument(QStringLiteral("IN"), QStringLiteral("The SFF file."));
    p.addPositionalArgument(QStringLiteral("OUT"),
                            QStringLiteral("The file to write: OUT.pdf or OUT.tiff."));
    Bound bound;
    if (const int r = parseWithBound(cmd, args, io, &bound); r >= 0)
        return r;
    const QStringList pos = p.positionalArguments();
    const QString in = platform::localPath(pos.at(0));
    const QString out = platform::localPathForWriting(pos.at(1));
    const QString suffix = QFileInfo(out).suffix().toLower();
    const bool tiff = suffix == u"tiff" || suffix == u"tif";
    if (suffix != u"pdf" && !tiff)
        return cmd.fail(io, QStringLiteral("%1: give OUT as a .pdf or .tiff file").arg(pos.at(1)));
    if (const QString problem = sffInputProblem(in); !problem.isEmpty()) {
        io.err << "sfftool convert: " << shownPath(pos.at(0), in) << ": " << problem << "\n";
        return Invalid;
    }
    if (!QDir().mkpath(QFileInfo(out).absolutePath())) {
        io.err << "sfftool convert: cannot create the folder " << QFileInfo(out).absolutePath()
               << "\n";
        return Invalid;
    }
    if (tiff)
        return convertToTiff(pos.at(0), in, pos.at(1), out, bound, io);

    QSaveFile file(out);
    if (!file.open(QIODevice::WriteOnly)) {
        io.err << "sfftool convert: cannot write " << out << ": " << file.errorString() << "\n";
        return Invalid;
    }
    sff::RenderOptions options;
    options.aspect = sff::Aspect::AsCoded;
    options.maxLines = 65535; // the longest page a page header can declare
    BoundedRenderer renderer(options, int(bound.pages), bound.pixels);
    FaxPdf pdf(&file);
    renderer.onPage = [&](int, const QImage &page, const sff::PageInfo &header) {
        pdf.addPage(page, header.resolution);
    };
    const sff::DocumentInfo found = sff::checkFile(in, &renderer);
    reportBound(QStringLiteral("convert"), bound, renderer, found, io);
    if (pdf.pageCount() == 0) {
        file.cancelWriting();
        io.err << "sfftool convert: " << pos.at(0) << ": "
               << (found.error ? found.error->toString() : QStringLiteral("no pages")) << "\n";
        return Invalid;
    }
    if (!pdf.finish() || !file.commit()) {
        io.err << "sfftool convert: cannot write " << out << ": " << file.errorString() << "\n";
        return Invalid;
    }
    io.out << "wrote " << shownPath(pos.at(1), out) << ": "
           << counted(pdf.pageCount(), "page", "pages") << "\n";
    if (!found.isValid()) {
        io.err << "sfftool convert: " << pos.at(0) << ": only what could be read was converted: "
               << (found.error ? found.error->toString() : QString()) << "\n";
        return Invalid;
    }
    return Done;
}

int make(const QStringList &args, Streams io)
{
    return makeDocument(QStringLiteral("make"), args, io, false);
}

int sample(const QStringList &args, Streams io)
{
    return makeDocument(QStringLiteral("sample"), args, io, true);
}

} // namespace sfftool
