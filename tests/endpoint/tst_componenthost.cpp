#include "endpoint/componenthost.h"

#include "common/testenv.h"
#include "endpoint/endpoint.h"
#include "platform/failure.h"
#include "testcontrol.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QWidget>

using quillon::ComponentHost;

namespace {

// Copies a built plugin into a folder under a name of its own.
void copyPlugin(const QString &from, const QString &folder, const QString &name)
{
    QDir().mkpath(folder);
    QVERIFY(QFile::copy(from, folder + u'/' + name));
}

platform::Failure factoryFailure(ComponentHost &host)
{
    try {
        host.factory();
    } catch (const platform::Failure &failure) {
        return failure;
    }
    return platform::Failure(0, QString());
}

} // namespace

class TestComponentHost : public QObject
{
    Q_OBJECT

private slots:
    void findsThePluginByItsClassNameInEachSearchFolder_data()
    {
        QTest::addColumn<QString>("subfolder");
        QTest::newRow("beside the executable") << QString();
        QTest::newRow("plugins folder") << QStringLiteral("/plugins");
    }
    void findsThePluginByItsClassNameInEachSearchFolder()
    {
        QFETCH(QString, subfolder);
        QTemporaryDir dir;
        // Files that are no plugin of ours must be passed over.
        QFile junk(dir.path() + QStringLiteral("/libjunk.so"));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("not a library");
        junk.close();
        copyPlugin(QStringLiteral(QUILLON_TESTCOMPONENT_FILE), dir.path() + subfolder,
                   QStringLiteral("libfaxcomponent.so"));

        ComponentHost host({dir.path(), dir.path() + QStringLiteral("/plugins")});
        QCOMPARE(host.findLibraries(),
                 QStringList{dir.path() + subfolder + QStringLiteral("/libfaxcomponent.so")});
        quillon::ComponentFactory &first = host.factory();
        QCOMPARE(&host.factory(), &first); // loaded once
        QCOMPARE(host.libraryPath(), host.findLibraries().first());
    }

    void missingComponentNamesTheClassAndTheFolders()
    {
        QTemporaryDir dir;
        ComponentHost host({dir.path()});
        const platform::Failure failure = factoryFailure(host);
        QCOMPARE(failure.number(), platform::kErrCannotCreateObject);
        QVERIFY2(failure.text().contains(QLatin1String("Morvane.Quillon")), qPrintable(failure.text()));
        QVERIFY2(failure.text().contains(dir.path()), qPrintable(failure.text()));
    }

    void pluginWithoutTheFactoryInterfaceNamesTheLibraryAndTheReason()
    {
        QTemporaryDir dir;
        copyPlugin(QStringLiteral(QUILLON_WRONGCOMPONENT_FILE), dir.path(),
                   QStringLiteral("libwrong.so"));
        ComponentHost host({dir.path()});
        const platform::Failure failure = factoryFailure(host);
        QCOMPARE(failure.number(), platform::kErrCannotCreateObject);
        QVERIFY2(failure.text().contains(dir.path() + QStringLiteral("/libwrong.so")),
                 qPrintable(failure.text()));
        QVERIFY2(failure.text().contains(QLatin1String(QUILLON_COMPONENT_FACTORY_IID)),
                 qPrintable(failure.text()));
        QVERIFY(host.libraryPath().isEmpty());
    }

    void instancesGetTheSavedExtentAndTheirParent()
    {
        ComponentHost host({QStringLiteral(QUILLON_TESTCOMPONENT_DIR)});
        QWidget parent;
        quillon::Endpoint first(host.factory(), &parent);
        quillon::Endpoint second(host.factory(), &parent);
        auto *one = qobject_cast<quillon::test::TestControl *>(first.widget());
        auto *two = qobject_cast<quillon::test::TestControl *>(second.widget());
        QVERIFY(one && two);
        QCOMPARE(two->serial(), one->serial() + 1);
        QCOMPARE(first.widget()->parentWidget(), &parent);
        for (auto *control : {one, two}) {
            const QVariantMap saved = control->savedProperties();
            QCOMPARE(saved.size(), 2);
            QCOMPARE(saved.value(QStringLiteral("_extentx")).metaType(), QMetaType::fromType<qint32>());
            QCOMPARE(saved.value(QStringLiteral("_extentx")).toInt(), 1296);
            QCOMPARE(saved.value(QStringLiteral("_extenty")).toInt(), 1349);
        }
    }
};

QUILLON_TEST_MAIN(TestComponentHost)
#include "tst_componenthost.moc"
