#pragma once

#include "endpoint/quillonboundary.h"

#include <QObject>

namespace quillon::component {

// The plugin's root object: creates the endpoint instances the host places on its window.
class QuillonFactory : public QObject, public ComponentFactory
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QUILLON_COMPONENT_FACTORY_IID FILE "quillon.json")
    Q_INTERFACES(quillon::ComponentFactory)

public:
    std::unique_ptr<ComponentInstance> create(QWidget *parent,
                                              const QVariantMap &savedProperties) override;
};

} // namespace quillon::component
