#pragma once

#include "endpoint/quillonboundary.h"

#include <QObject>

#include <memory>

namespace quillon::component {

class LineProvider;

// Creates the endpoint instances the host places on its window, all on the line of one
// provider: by default the process's own line, or one handed in.
class QuillonFactory : public QObject, public ComponentFactory
{
    Q_OBJECT
    Q_INTERFACES(quillon::ComponentFactory)

public:
    QuillonFactory();
    explicit QuillonFactory(std::shared_ptr<LineProvider> lines);
    ~QuillonFactory() override;

    std::unique_ptr<ComponentInstance> create(QWidget *parent,
                                              const QVariantMap &savedProperties) override;

private:
    std::shared_ptr<LineProvider> m_lines;
};

} // namespace quillon::component
