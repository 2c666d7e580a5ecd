#pragma once

#include "component/factory.h"

namespace quillon::component {

// The plugin's root object: the factory on the process's own line.
class QuillonPlugin : public QuillonFactory
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QUILLON_COMPONENT_FACTORY_IID FILE "quillon.json")
    Q_INTERFACES(quillon::ComponentFactory)
};

} // namespace quillon::component
