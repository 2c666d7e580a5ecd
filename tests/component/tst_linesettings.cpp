// The settings file that chooses the line: what each key accepts, and that every value the
// component cannot use is refused with the file, the key and the value named.

#include "common/testenv.h"
#include "component/linesettings.h"

#include <QTemporaryDir>

using quillon::component::LineSettings;
using quillon::component::readLineSettings;

Q_DECLARE_METATYPE(LineSettings)

class TestLineSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void missingFileMeansTheSimulatedLine();
    void answerNumbers();
    void defaultPathFollowsXdgConfigHome();

private:
    QString write(const QByteArray &text);
    QTemporaryDir m_dir;
    int m_files = 0;
};

void TestLineSettings::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QDir(m_dir.path()).mkpath(QStringLiteral("recordings"));
    QFile plan(m_dir.filePath(QStringLiteral("plan.txt")));
    QVERIFY(plan.open(QIODevice::WriteOnly));
}

QString TestLineSettings::write(const QByteArray &text)
{
    const QString path = m_dir.filePath(QStringLiteral("quillon%1.conf").arg(++m_files));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    QByteArray content = text;
    content.replace("$DIR", QFile::encodeName(m_dir.path()));
    file.write(content);
    return path;
}

void TestLineSettings::accepted_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<LineSettings>("expected");

    LineSettings remote;
    remote.type = LineSettings::Type::Capi20;
    remote.driver = QStringLiteral("rcapi");
    remote.host = QStringLiteral("127.0.0.1");
    remote.port = 2662;
    remote.controller = 2;
    QTest::newRow("remote CAPI") << QByteArray("[line]\ntype=capi20\ncontroller=2\ndriver=rcapi\n"
                                               "host=127.0.0.1\nport=2662\n")
                                 << remote;

    LineSettings kernel;
    kernel.type = LineSettings::Type::Capi20;
    QTest::newRow("libcapi20's own configuration")
        << QByteArray("[line]\ntype=capi20\ndriver=\nhost=\nport=\n") << kernel;

    // Copied from the documentation, comments and all.
    LineSettings commented;
    commented.answerNumbers = QStringList{QStringLiteral("123"), QStringLiteral("456")};
    commented.speed = 0;
    QTest::newRow("trailing comments")
        << QByteArray("[line]\ntype=simulated   ; or capi20\ncontroller=1\n"
                      "driver=          ; capi20 only: empty uses libcapi20's own configuration\n"
                      "[answer]\nnumbers=123,456 ; the numbers, comma-separated\n"
                      "[simulated]\nspeed=0          ; 1 paces the line, 0 runs as fast as it can\n"
                      "numbers=\nrecord=\n")
        << commented;

    LineSettings simulated;
    simulated.speed = 2.5;
    simulated.numberPlan = m_dir.filePath(QStringLiteral("plan.txt"));
    simulated.recordFolder = m_dir.filePath(QStringLiteral("recordings"));
    QTest::newRow("simulated with plan and recordings")
        << QByteArray("[simulated]\nspeed=2.5\nnumbers=$DIR/plan.txt\nrecord=$DIR/recordings\n")
        << simulated;

    QTest::newRow("empty file") << QByteArray() << LineSettings();
}

void TestLineSettings::accepted()
{
    QFETCH(QByteArray, text);
    QFETCH(LineSettings, expected);
    QString error;
    const std::optional<LineSettings> settings = readLineSettings(write(text), &error);
    QVERIFY2(settings, qPrintable(error));
    QCOMPARE(settings->type, expected.type);
    QCOMPARE(settings->controller, expected.controller);
    QCOMPARE(settings->driver, expected.driver);
    QCOMPARE(settings->host, expected.host);
    QCOMPARE(settings->port, expected.port);
    QCOMPARE(settings->answerNumbers, expected.answerNumbers);
    QCOMPARE(settings->speed, expected.speed);
    QCOMPARE(settings->numberPlan, expected.numberPlan);
    QCOMPARE(settings->recordFolder, expected.recordFolder);
}

void TestLineSettings::refused_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("located"); // "[group] key=value" as the error must name it

    QTest::newRow("unknown type") << QByteArray("[line]\ntype=isdn\n") << "[line] type=isdn";
    QTest::newRow("port not a number")
        << QByteArray("[line]\ntype=capi20\ndriver=rcapi\nhost=h\nport=abc\n") << "[line] port=abc";
    QTest::newRow("port too large")
        << QByteArray("[line]\ntype=capi20\ndriver=rcapi\nhost=h\nport=70000\n")
        << "[line] port=70000";
    QTest::newRow("port negative")
        << QByteArray("[line]\ntype=capi20\ndriver=rcapi\nhost=h\nport=-1\n") << "[line] port=-1";
    QTest::newRow("controller 0") << QByteArray("[line]\ncontroller=0\n") << "[line] controller=0";
    QTest::newRow("controller text") << QByteArray("[line]\ncontroller=one\n")
                                     << "[line] controller=one";
    QTest::newRow("unknown driver") << QByteArray("[line]\ntype=capi20\ndriver=tcp\nhost=h\n")
                                    << "[line] driver=tcp";
    QTest::newRow("driver without host") << QByteArray("[line]\ntype=capi20\ndriver=rcapi\n")
                                         << "[line] host=";
    QTest::newRow("host without driver") << QByteArray("[line]\ntype=capi20\nhost=10.0.0.1\n")
                                         << "[line] driver=";
    QTest::newRow("host with a space") << QByteArray("[line]\nhost=a b\n") << "[line] host=a b";
    QTest::newRow("misspelt key") << QByteArray("[line]\ntyp=capi20\n") << "[line] typ=capi20";
    QTest::newRow("key outside a section") << QByteArray("type=capi20\n")
                                           << "[General] type=capi20";
    QTest::newRow("answer number with letters") << QByteArray("[answer]\nnumbers=123,4x5\n")
                                                << "[answer] numbers=123,4x5";
    QTest::newRow("empty answer number") << QByteArray("[answer]\nnumbers=123,,456\n")
                                         << "[answer] numbers=123,,456";
    QTest::newRow("negative speed") << QByteArray("[simulated]\nspeed=-1\n")
                                    << "[simulated] speed=-1";
    QTest::newRow("speed not a number") << QByteArray("[simulated]\nspeed=fast\n")
                                        << "[simulated] speed=fast";
    QTest::newRow("missing plan file") << QByteArray("[simulated]\nnumbers=$DIR/none.txt\n")
                                       << "[simulated] numbers=" + m_dir.path() + "/none.txt";
    QTest::newRow("plan is a folder") << QByteArray("[simulated]\nnumbers=$DIR/recordings\n")
                                      << "[simulated] numbers=" + m_dir.path() + "/recordings";
    QTest::newRow("missing record folder") << QByteArray("[simulated]\nrecord=$DIR/nowhere\n")
                                           << "[simulated] record=" + m_dir.path() + "/nowhere";
    QTest::newRow("record is a file") << QByteArray("[simulated]\nrecord=$DIR/plan.txt\n")
                                      << "[simulated] record=" + m_dir.path() + "/plan.txt";
}

void TestLineSettings::refused()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, located);
    const QString path = write(text);
    QString error;
    QVERIFY(!readLineSettings(path, &error));
    QVERIFY2(error.startsWith(path + QStringLiteral(": ")), qPrintable(error));
    QVERIFY2(error.contains(located + QStringLiteral(": ")), qPrintable(error));
}

void TestLineSettings::missingFileMeansTheSimulatedLine()
{
    QString error;
    const std::optional<LineSettings> settings =
        readLineSettings(m_dir.filePath(QStringLiteral("absent.conf")), &error);
    QVERIFY(settings);
    QCOMPARE(settings->type, LineSettings::Type::Simulated);
    QVERIFY(!settings->speed); // the line keeps its pace
    QVERIFY(error.isEmpty());
}

void TestLineSettings::answerNumbers()
{
    LineSettings all;
    QVERIFY(all.answers(QStringLiteral("999")));
    LineSettings some;
    some.answerNumbers = QStringList{QStringLiteral("12"), QStringLiteral("345")};
    QVERIFY(some.answers(QStringLiteral("345")));
    QVERIFY(!some.answers(QStringLiteral("34")));
    QVERIFY(!some.answers(QStringLiteral("3456")));
    QVERIFY(!some.answers(QString()));
}

void TestLineSettings::defaultPathFollowsXdgConfigHome()
{
    QCOMPARE(quillon::component::lineSettingsPath(),
             qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/quillon/quillon.conf"));
}

QUILLON_TEST_GUILESS_MAIN(TestLineSettings)
#include "tst_linesettings.moc"
