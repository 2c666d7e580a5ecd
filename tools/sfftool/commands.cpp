#include "commands.h"

#include "pages.h"

#include "platform/drivepath.h"
#include "sff/reader.h"
#include "sff/render.h"
#include "sff/imagewriter.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QSaveFile>

#include <cmath>

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
            return fail(io, m_parser.errorText());
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
    QString m_name;
    QCommandLineParser m_parser;
};

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
            io.out << ", " << p.illegalLines << " illegal lines";
        if (p.badLines)
            io.out << ", " << p.badLines << " bad lines";
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
        "Check, render and make SFF fax files.\n"
        "\n"
        "Commands:\n"
        "  info FILE              pages, resolution, size, illegal lines and faults of a file;\n"
        "                         exit status 1 when the file is no valid SFF document\n"
        "  render FILE DIR        each page to a PNG file in DIR (page-001.png, ...)\n"
        "  make OUT.sff IMAGE...  a fax with one page per image\n"
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
    const sff::DocumentInfo found = sff::checkFile(local);
    io.out << "file: " << shownPath(given, local) << "\n";
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

int render(const QStringList &args, Streams io)
{
    Command cmd(QStringLiteral("render"),
                QStringLiteral("Draws each page of an SFF file into a PNG file in DIR "
                               "(page-001.png, page-002.png, ...).\nDIR is created when "
                               "missing. 98-lpi pages get each line twice, so pages keep\ntheir "
                               "proportions, unless --coded is given."));
    cmd.parser().addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The SFF file."));
    cmd.parser().addPositionalArgument(QStringLiteral("DIR"),
                                       QStringLiteral("The folder for the PNG files."));
    cmd.parser().addOption(
        {QStringLiteral("coded"), QStringLiteral("One image row per fax line, also at 98 lpi.")});
    if (const int r = cmd.parse(args, io, 2, 2); r >= 0)
        return r;
    const QStringList pos = cmd.parser().positionalArguments();
    const QString file = platform::localPath(pos.at(0));
    const QString dir = platform::localPathForWriting(pos.at(1));
    if (!QFileInfo(file).isFile()) {
        io.err << "sfftool render: no such file: " << shownPath(pos.at(0), file) << "\n";
        return Invalid;
    }
    if (!QDir().mkpath(dir)) {
        io.err << "sfftool render: cannot create the folder " << dir << "\n";
        return Invalid;
    }

    sff::RenderOptions options;
    options.aspect =
        cmd.parser().isSet(QStringLiteral("coded")) ? sff::Aspect::AsCoded : sff::Aspect::Square;
    options.maxLines = 32768;
    sff::PageRenderer renderer(options);
    bool writeFailed = false;
    renderer.onPage = [&](int index, const QImage &page) {
        const QString name = QDir(dir).filePath(
            QStringLiteral("page-%1.png").arg(index + 1, 3, 10, QLatin1Char('0')));
        if (page.save(name, "PNG")) {
            io.out << name << " (" << page.width() << " x " << page.height() << ")\n";
        } else {
            io.err << "sfftool render: cannot write " << name << "\n";
            writeFailed = true;
        }
    };
    const sff::DocumentInfo found = sff::checkFile(file, &renderer);
    for (qsizetype i = 0; i < found.pages.size(); ++i) {
        const sff::PageInfo &page = found.pages[i];
        const qint64 kept =
            std::min<qint64>(options.maxLines, options.maxBytes / ((page.lineLength + 7) / 8));
        if (page.lines > kept)
            io.err << "sfftool render: page " << i + 1 << ": only the first " << kept << " of "
                   << page.lines << " lines drawn\n";
    }
    if (!found.isValid()) {
        io.err << "sfftool render: " << pos.at(0) << ": "
               << (found.error ? found.error->toString() : QStringLiteral("no pages")) << "\n";
        return Invalid;
    }
    return writeFailed ? Invalid : Done;
}

namespace {

int makeDocument(const QString &commandName, const QStringList &args, Streams io, bool chartOnly)
{
    Command cmd(
        commandName,
        chartOnly
            ? QStringLiteral("Makes the sample fax: one A4 page with the test chart.")
            : QStringLiteral("Makes an SFF fax file: one page per image (scaled to the fax width "
                             "of 1728\npixels), or a text on A4 pages, or the test chart."));
    QCommandLineParser &p = cmd.parser();
    p.addPositionalArgument(QStringLiteral("OUT"), QStringLiteral("The SFF file to write."));
    if (!chartOnly) {
        p.addPositionalArgument(QStringLiteral("IMAGE"),
                                QStringLiteral("Images (PNG, JPEG, BMP, ...), one page each."),
                                QStringLiteral("[IMAGE...]"));
        p.addOption({QStringLiteral("text"), QStringLiteral("A text for A4 pages."),
                     QStringLiteral("TEXT")});
        p.addOption({QStringLiteral("text-file"), QStringLiteral("A UTF-8 text file for A4 pages."),
                     QStringLiteral("FILE")});
        p.addOption({QStringLiteral("chart"), QStringLiteral("The test chart (the sample fax).")});
        p.addOption({QStringLiteral("raw"),
                     QStringLiteral("Images as they are: each image row one fax line, the image "
                                    "width the line length.")});
    }
    p.addOption({QStringLiteral("fine"), QStringLiteral("196 lines per inch (default 98).")});
    p.addOption(
        {QStringLiteral("if-missing"), QStringLiteral("Do nothing when OUT exists already.")});
    if (const int r = cmd.parse(args, io, 1, chartOnly ? 1 : -1); r >= 0)
        return r;

    const QStringList pos = p.positionalArguments();
    const QString given = pos.at(0);
    const QString out = platform::localPathForWriting(given);
    const QStringList images = pos.mid(1);
    const bool chart = chartOnly || p.isSet(QStringLiteral("chart"));
    const bool text = !chartOnly && p.isSet(QStringLiteral("text"));
    const bool textFile = !chartOnly && p.isSet(QStringLiteral("text-file"));
    const int sources = int(!images.isEmpty()) + int(chart) + int(text) + int(textFile);
    if (sources != 1)
        return cmd.fail(io, sources == 0
                                ? QStringLiteral("nothing to make: give images, --text, "
                                                 "--text-file or --chart")
                                : QStringLiteral("give only one of images, --text, --text-file "
                                                 "and --chart"));
    if (!given.endsWith(QStringLiteral(".sff"), Qt::CaseInsensitive) && QFileInfo(out).isDir())
        return cmd.fail(io, QStringLiteral("%1 is a folder").arg(given));

    if (p.isSet(QStringLiteral("if-missing")) && QFileInfo::exists(out)) {
        io.out << shownPath(given, out) << " exists; left as it is\n";
        return Done;
    }

    const sff::Resolution resolution =
        p.isSet(QStringLiteral("fine")) ? sff::Resolution::Fine : sff::Resolution::Standard;
    QList<QImage> pages;
    if (chart) {
        pages.append(chartPage(resolution));
    } else if (text || textFile) {
        QString body = p.value(QStringLiteral("text"));
        if (textFile) {
            const QString name = platform::localPath(p.value(QStringLiteral("text-file")));
            QFile f(name);
            if (!f.open(QIODevice::ReadOnly)) {
                io.err << "sfftool " << commandName << ": cannot read " << name << ": "
                       << f.errorString() << "\n";
                return Invalid;
            }
            body = QString::fromUtf8(f.readAll());
        }
        pages = textPages(body, resolution);
    } else {
        const bool raw = p.isSet(QStringLiteral("raw"));
        for (const QString &name : images) {
            QImageReader reader(platform::localPath(name));
            const QImage image = reader.read();
            if (image.isNull()) {
                io.err << "sfftool " << commandName << ": cannot read the image " << name << ": "
                       << reader.errorString() << "\n";
                return Invalid;
            }
            if (raw && image.width() > 65535) {
                io.err << "sfftool " << commandName << ": " << name
                       << " is wider than 65535 pixels\n";
                return Invalid;
            }
            pages.append(raw ? sff::toMono(image) : fitImage(image, resolution));
        }
    }

    const QByteArray data = sff::writeDocument(pages, resolution);
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
    io.out << "wrote " << shownPath(given, out) << ": " << pages.size()
           << (pages.size() == 1 ? " page, " : " pages, ") << resolutionText(resolution) << ", "
           << data.size() << " bytes\n";
    return Done;
}

} // namespace

int make(const QStringList &args, Streams io)
{
    return makeDocument(QStringLiteral("make"), args, io, false);
}

int sample(const QStringList &args, Streams io)
{
    return makeDocument(QStringLiteral("sample"), args, io, true);
}

} // namespace sfftool
