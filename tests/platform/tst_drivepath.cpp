#include "platform/drivepath.h"

#include "platform/fileinuse.h"

#include "common/testenv.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

class TestDrivePath : public QObject
{
    Q_OBJECT

private:
    static QString dataRoot()
    {
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
               QStringLiteral("/quillon-console/drives");
    }
    static void touch(const QString &localFile, const QByteArray &bytes = "x")
    {
        QDir().mkpath(QFileInfo(localFile).absolutePath());
        QFile f(localFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

private slots:
    void mapping_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected"); // relative to the drives folder, or absolute
        QTest::newRow("backslashes") << "C:\\tmp\\testfax.sff" << "c/tmp/testfax.sff";
        QTest::newRow("forward slashes") << "C:/tmp/a.sff" << "c/tmp/a.sff";
        QTest::newRow("lower-case drive") << "d:\\x" << "d/x";
        QTest::newRow("drive root") << "C:\\" << "c/";
        QTest::newRow("non-ASCII name") << QString::fromUtf8("C:\\tmp\\fäx ü.sff")
                                        << QString::fromUtf8("c/tmp/fäx ü.sff");
        QTest::newRow("wildcards stay") << "C:\\tmp\\*.sff" << "c/tmp/*.sff";
        QTest::newRow("relative path unchanged") << "tmp\\a.sff" << "=tmp\\a.sff";
        QTest::newRow("absolute unix path unchanged") << "/tmp/a.sff" << "=/tmp/a.sff";
        QTest::newRow("drive without separator unchanged") << "C:a.sff" << "=C:a.sff";
        QTest::newRow("digit is no drive") << "1:\\a" << "=1:\\a";
        QTest::newRow("empty") << "" << "=";
    }
    void mapping()
    {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        const QString want =
            expected.startsWith(u'=') ? expected.mid(1) : dataRoot() + u'/' + expected;
        QCOMPARE(platform::localPath(path), want);
    }

    void driveFolderIsCreatedOnFirstWrite()
    {
        QDir(dataRoot() + QStringLiteral("/q")).removeRecursively();
        QVERIFY(!QFileInfo::exists(dataRoot() + QStringLiteral("/q")));
        // Mapping, comparing and deleting touch nothing on disk.
        const QString mapped = platform::localPath(QStringLiteral("Q:\\sub\\file"));
        QVERIFY(!platform::isSameFile(QStringLiteral("Q:\\sub\\file"), QStringLiteral("Q:\\x")));
        QVERIFY(!platform::deleteFile(QStringLiteral("Q:\\sub\\file")));
        QVERIFY(!QFileInfo::exists(dataRoot() + QStringLiteral("/q")));
        QCOMPARE(platform::localPathForWriting(QStringLiteral("Q:\\sub\\file")), mapped);
        QVERIFY(QFileInfo(dataRoot() + QStringLiteral("/q")).isDir());
        // Only the drive folder: the file's own folders are the caller's business.
        QVERIFY(!QFileInfo::exists(dataRoot() + QStringLiteral("/q/sub")));
    }

    void deleteRemovesOnlyTheNamedFile()
    {
        const QString dir = platform::localPath(QStringLiteral("C:\\del"));
        QDir(dir).removeRecursively();
        touch(dir + QStringLiteral("/a.sff"));
        touch(dir + QStringLiteral("/b.sff"));
        touch(dir + QStringLiteral("/*.sff"));

        QString error;
        QVERIFY(platform::deleteFile(QStringLiteral("C:\\del\\*.sff"), &error));
        QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/*.sff")));
        QVERIFY(QFileInfo::exists(dir + QStringLiteral("/a.sff")));
        QVERIFY(QFileInfo::exists(dir + QStringLiteral("/b.sff")));

        // With no file of that literal name, a pattern deletes nothing.
        QVERIFY(!platform::deleteFile(QStringLiteral("C:\\del\\?.sff"), &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(QFileInfo::exists(dir + QStringLiteral("/a.sff")));
    }

    void deleteFailures_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("missing file") << "C:\\del2\\none.sff";
        QTest::newRow("missing folder") << "C:\\no\\such\\folder\\x.sff";
        QTest::newRow("a folder") << "C:\\del2";
        QTest::newRow("empty") << "";
    }
    void deleteFailures()
    {
        QFETCH(QString, path);
        QDir().mkpath(platform::localPath(QStringLiteral("C:\\del2")));
        QString error;
        QVERIFY(!platform::deleteFile(path, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(QFileInfo(platform::localPath(QStringLiteral("C:\\del2"))).isDir());
    }

    void fileInUseIsNotDeleted()
    {
        const QString path = QStringLiteral("C:\\inuse\\rx.sff");
        const QString local = platform::localPath(path);
        touch(local);
        {
            QFile writer(local);
            QVERIFY(writer.open(QIODevice::WriteOnly | QIODevice::Append));
            QVERIFY(!platform::isInUse(local));
            platform::markInUse(writer);
            QVERIFY(platform::isInUse(local));
            QString error;
            QVERIFY(!platform::deleteFile(path, &error));
            QVERIFY2(error.contains(QStringLiteral("in use")), qPrintable(error));
            QVERIFY(QFileInfo::exists(local));
        }
        // Closed, the file is an ordinary file again.
        QVERIFY(!platform::isInUse(local));
        QVERIFY(platform::deleteFile(path));
        QVERIFY(!QFileInfo::exists(local));
    }

    void sameFile()
    {
        const QString local = platform::localPath(QStringLiteral("C:\\same\\fax.sff"));
        touch(local);
        QVERIFY(platform::isSameFile(QStringLiteral("C:\\same\\fax.sff"),
                                     QStringLiteral("c:/same/../same/./fax.sff")));
        QVERIFY(platform::isSameFile(QStringLiteral("C:\\same\\fax.sff"), local));
        const QString link = local + QStringLiteral(".lnk");
        QFile::remove(link);
        QVERIFY(QFile::link(local, link));
        QVERIFY(platform::isSameFile(link, QStringLiteral("C:\\same\\fax.sff")));

        touch(platform::localPath(QStringLiteral("C:\\same\\other.sff")));
        QVERIFY(!platform::isSameFile(QStringLiteral("C:\\same\\fax.sff"),
                                      QStringLiteral("C:\\same\\other.sff")));
        QVERIFY(!platform::isSameFile(QStringLiteral("C:\\same\\missing"),
                                      QStringLiteral("C:\\same\\missing")));
    }
};

QUILLON_TEST_GUILESS_MAIN(TestDrivePath)
#include "tst_drivepath.moc"
