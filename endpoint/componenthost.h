#pragma once

#include "endpoint/quillonboundary.h"

#include <QPluginLoader>
#include <QString>
#include <QStringList>

#include <memory>

namespace quillon {

// Finds the component library by the class name in its plugin metadata, loads it once and
// hands out its factory. The library stays loaded for the life of the host; every instance
// made by the factory must be destroyed before the host.
class ComponentHost
{
public:
    // The folders searched by default: the executable's folder, "plugins" beside it, then
    // the folder an installation puts the component in (lib/quillon beside bin).
    static QStringList defaultSearchFolders();

    explicit ComponentHost(QStringList folders = defaultSearchFolders());
    ~ComponentHost();
    ComponentHost(const ComponentHost &) = delete;
    ComponentHost &operator=(const ComponentHost &) = delete;

    // Loads the library on the first call. Throws platform::Failure (kErrCannotCreateObject)
    // naming the library and the loader's reason when it cannot be found, loaded or cast.
    ComponentFactory &factory();

    // The path of the library found, empty before a successful factory() call.
    QString libraryPath() const;

    // The plugin libraries in the folders whose metadata names kClassName, in search order.
    QStringList findLibraries() const;

private:
    QStringList m_folders;
    std::unique_ptr<QPluginLoader> m_loader;
    ComponentFactory *m_factory = nullptr;
};

} // namespace quillon
