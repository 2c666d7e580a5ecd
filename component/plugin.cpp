#include "component/plugin.h"

#include "component/faxinstance.h"

namespace quillon::component {

std::unique_ptr<ComponentInstance> QuillonFactory::create(QWidget *parent,
                                                          const QVariantMap &savedProperties)
{
    return std::make_unique<FaxInstance>(parent, savedProperties);
}

} // namespace quillon::component
