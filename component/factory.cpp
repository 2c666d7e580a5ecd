#include "component/factory.h"

#include "component/faxinstance.h"
#include "component/lineprovider.h"

namespace quillon::component {

QuillonFactory::QuillonFactory() : QuillonFactory(std::make_shared<ProcessLines>()) {}

QuillonFactory::QuillonFactory(std::shared_ptr<LineProvider> lines) : m_lines(std::move(lines)) {}

QuillonFactory::~QuillonFactory() = default;

std::unique_ptr<ComponentInstance> QuillonFactory::create(QWidget *parent,
                                                          const QVariantMap &savedProperties)
{
    return std::make_unique<FaxInstance>(parent, savedProperties, m_lines);
}

} // namespace quillon::component
