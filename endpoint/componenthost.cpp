#include "endpoint/componenthost.h"

#include "platform/failure.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QLibrary>

namespace quillon {

namespace {

QString classNameOf(const QString &libraryPath)
{
    const QPluginLoader probe(libraryPath);
    return probe.metaData().value(QStringLiteral("MetaData")).toObject()
        .value(QStringLiteral("className")).toString();
}

[[noreturn]] void fail(const QString &text)
{
    throw platform::Failure(platform::kErrCannotCreateObject, text);
}

} // namespace

QStringList ComponentHost::defaultSearchFolders()
{
    const QString here = QCoreApplication::applicationDirPath();
    QStringList folders{here, here + QStringLiteral("/plugins")};
    // An installed console keeps its component in a folder under the library folder.
    const QString installed =
        QDir::cleanPath(here + QStringLiteral("/" QUILLON_INSTALLED_PLUGIN_RELDIR));
    if (!folders.contains(installed))
        folders << installed;
    return folders;
}

ComponentHost::ComponentHost(QStringList folders) : m_folders(std::move(folders)) {}

// The loader is not unloaded: instances and their widgets may still refer to the library's
// code while the program winds down.
ComponentHost::~ComponentHost() = default;

QStringList ComponentHost::findLibraries() const
{
    QStringList found;
    for (const QString &folder : m_folders) {
        const QFileInfoList entries = QDir(folder).entryInfoList(QDir::Files, QDir::Name);
        for (const QFileInfo &entry : entries) {
            if (!QLibrary::isLibrary(entry.fileName()))
                continue;
            if (classNameOf(entry.absoluteFilePath()) == QLatin1String(kClassName))
                found << entry.absoluteFilePath();
        }
    }
    return found;
}

ComponentFactory &ComponentHost::factory()
{
    if (m_factory)
        return *m_factory;

    const QStringList libraries = findLibraries();
    if (libraries.isEmpty())
        fail(QStringLiteral("Cannot create the component %1: no plugin library with this class "
                            "name in %2")
                 .arg(QLatin1String(kClassName), m_folders.join(QStringLiteral(", "))));

    const QString path = libraries.first();
    auto loader = std::make_unique<QPluginLoader>(path);
    if (!loader->load())
        fail(QStringLiteral("Cannot load the component library %1: %2")
                 .arg(path, loader->errorString()));
    QObject *root = loader->instance();
    if (!root)
        fail(QStringLiteral("Cannot load the component library %1: %2")
                 .arg(path, loader->errorString()));
    auto *factory = qobject_cast<ComponentFactory *>(root);
    if (!factory)
        fail(QStringLiteral("Cannot use the component library %1: its plugin object does not "
                            "implement %2")
                 .arg(path, QLatin1String(QUILLON_COMPONENT_FACTORY_IID)));
    m_loader = std::move(loader);
    m_factory = factory;
    return *m_factory;
}

QString ComponentHost::libraryPath() const
{
    return m_loader ? m_loader->fileName() : QString();
}

} // namespace quillon
