// The arrows between the project's folders: every #include "..." of every source file is
// read, and an include that the layout forbids fails the test with the file, the line and the
// rule. A folder of sources that the rules do not know fails too, so a new library states
// its place before it lands. docs/ARCHITECTURE.md draws the same arrows.

#include "common/testenv.h"

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>

namespace {

// One area of the project, by path prefix (the longest prefix decides), and the areas its
// files may include besides their own. Tests and benchmarks may include anything.
struct Area
{
    const char *prefix;
    QStringList mayInclude;
    // Files of another area that this one may include although that area is not allowed
    // as a whole (the component sees only the boundary header of endpoint/).
    QStringList singleFiles = {};
};

const QList<Area> &areas()
{
    static const QList<Area> list = {
        {"app/journal", {}},
        {"app", {"app/journal", "endpoint", "log", "platform"}},
        {"endpoint", {"platform"}},
        {"log", {"platform"}},
        {"platform", {}},
        {"component", {"capi", "capi20", "simline", "sff", "sff/gui", "platform", "t30report"},
         {"endpoint/quillonboundary.h"}},
        {"capi", {}},
        {"capi20", {"capi"}},
        {"simline", {"capi", "sff", "t30", "t30report", "faxtiff"}},
        {"exchange", {"simline", "capi", "sff", "t30", "t30report", "faxtiff"}},
        {"t30", {"faxtiff", "sff", "t30report"}},
        // T.30 frames and the reports of them, without the fax modems.
        {"t30report", {}},
        {"faxtiff", {"sff"}},
        // SFF's Qt Gui layer: rendering pages, pages from images.
        {"sff/gui", {"sff"}},
        {"sff", {}},
        {"tools", {"sff", "sff/gui", "faxtiff", "platform"}},
        {"tests", {"*"}},
        {"bench", {"*"}},
    };
    return list;
}

const Area *areaOf(const QString &relativePath)
{
    const Area *best = nullptr;
    qsizetype bestLength = -1;
    for (const Area &a : areas()) {
        const QString prefix = QLatin1String(a.prefix);
        // A prefix names a folder ("sff") or the files of one name in it ("sff/render").
        const bool matches = relativePath == prefix || relativePath.startsWith(prefix + u'/')
                             || relativePath.startsWith(prefix + u'.');
        if (matches && prefix.size() > bestLength) {
            best = &a;
            bestLength = prefix.size();
        }
    }
    return best;
}

QString sourceRoot()
{
    return QStringLiteral(QUILLON_SOURCE_DIR);
}

bool isSource(const QString &path)
{
    return path.endsWith(QLatin1String(".cpp")) || path.endsWith(QLatin1String(".h"));
}

// Every C++ source of the project, relative to its root; build folders left out.
QStringList projectSources()
{
    QStringList out;
    const QDir root(sourceRoot());
    QDirIterator it(sourceRoot(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString rel = root.relativeFilePath(it.next());
        if (!isSource(rel) || rel.startsWith(QLatin1String("build")) || rel.startsWith(u'.'))
            continue;
        out << rel;
    }
    out.sort();
    return out;
}

struct Violation
{
    QString file;
    int line;
    QString included;
};

// What the rules say of `included` in `file`; empty when allowed.
QString check(const QString &file, const QString &included)
{
    const Area *from = areaOf(file);
    if (!from)
        return QStringLiteral("%1 is in no known area").arg(file);
    if (from->mayInclude.contains(QStringLiteral("*")))
        return {}; // tests and benchmarks also include their own headers by shorter paths
    const Area *to = areaOf(included);
    if (!to) {
        // Includes relative to the file's own folder ("x.h") stay inside its area.
        return included.contains(u'/') ? QStringLiteral("%1 is in no known area").arg(included)
                                       : QString();
    }
    if (to == from)
        return {};
    if (from->mayInclude.contains(QLatin1String(to->prefix))
        || from->singleFiles.contains(included))
        return {};
    return QStringLiteral("%1 may not include %2").arg(QLatin1String(from->prefix),
                                                        QLatin1String(to->prefix));
}

QList<Violation> violationsIn(const QString &file, const QByteArray &text)
{
    static const QRegularExpression include(QStringLiteral("^\\s*#\\s*include\\s*\"([^\"]+)\""));
    QList<Violation> out;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch m = include.match(QString::fromUtf8(lines[i]));
        if (!m.hasMatch())
            continue;
        const QString included = m.captured(1);
        // moc output and test-local headers are found beside the file.
        if (included.endsWith(QLatin1String(".moc")) || included.startsWith(QLatin1String("moc_")))
            continue;
        const QString why = check(file, included);
        if (!why.isEmpty())
            out << Violation{file, i + 1, included + QStringLiteral(": ") + why};
    }
    return out;
}

} // namespace

class TestDependencies : public QObject
{
    Q_OBJECT

private slots:
    void theRulesCatchAForbiddenArrow_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("included");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("window uses the binding") << "app/frmtestprog.cpp" << "endpoint/endpoint.h" << true;
        QTest::newRow("window reaches into the component") << "app/frmtestprog.cpp" << "component/faxinstance.h" << false;
        QTest::newRow("window reaches the codec") << "app/frmtestprog.cpp" << "capi/message.h" << false;
        QTest::newRow("window reaches SFF") << "app/console.cpp" << "sff/reader.h" << false;
        QTest::newRow("window reaches the line") << "app/console.cpp" << "simline/simulatedline.h" << false;
        QTest::newRow("component sees the boundary") << "component/plugin.h" << "endpoint/quillonboundary.h" << true;
        QTest::newRow("component sees the host") << "component/plugin.h" << "endpoint/componenthost.h" << false;
        QTest::newRow("codec sees the SFF reader") << "capi/message.cpp" << "sff/reader.h" << false;
        QTest::newRow("codec sees itself") << "capi/trace.cpp" << "capi/message.h" << true;
        QTest::newRow("SFF core sees its drawing") << "sff/reader.cpp" << "sff/gui/render.h" << false;
        QTest::newRow("SFF core sees images") << "sff/writer.cpp" << "sff/gui/imagewriter.h" << false;
        QTest::newRow("SFF drawing sees the core") << "sff/gui/render.cpp" << "sff/reader.h" << true;
        QTest::newRow("T.30 sees the component") << "t30/call.cpp" << "component/faxcall.h" << false;
        QTest::newRow("libcapi20 line sees the simulated one") << "capi20/transport.cpp" << "simline/simulatedline.h" << false;
        QTest::newRow("SFF sees the platform") << "sff/writer.cpp" << "platform/drivepath.h" << false;
        QTest::newRow("platform sees the log") << "platform/drivepath.cpp" << "log/debuglog.h" << false;
        QTest::newRow("line sees the component") << "simline/line.cpp" << "component/faxcall.h" << false;
        QTest::newRow("tests see everything") << "tests/app/tst_window.cpp" << "component/faxcall.h" << true;
        QTest::newRow("unknown folder") << "newthing/x.cpp" << "capi/message.h" << false;
        QTest::newRow("own folder, short form") << "sff/writer.cpp" << "mhtables.h" << true;
    }
    void theRulesCatchAForbiddenArrow()
    {
        QFETCH(QString, file);
        QFETCH(QString, included);
        QFETCH(bool, allowed);
        const QString why = check(file, included);
        QVERIFY2(why.isEmpty() == allowed, qPrintable(why.isEmpty() ? QStringLiteral("allowed") : why));
    }

    void everyIncludeFollowsTheLayout()
    {
        const QStringList files = projectSources();
        QVERIFY2(files.size() > 50, qPrintable(QStringLiteral("only %1 sources under %2")
                                                   .arg(files.size())
                                                   .arg(sourceRoot())));
        QStringList problems;
        for (const QString &file : files) {
            QFile f(sourceRoot() + u'/' + file);
            QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(file));
            for (const Violation &v : violationsIn(file, f.readAll()))
                problems << QStringLiteral("%1:%2: %3").arg(v.file).arg(v.line).arg(v.included);
        }
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
    }
};

QUILLON_TEST_GUILESS_MAIN(TestDependencies)
#include "tst_dependencies.moc"
