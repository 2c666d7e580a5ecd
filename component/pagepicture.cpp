#include "component/pagepicture.h"

namespace quillon::component {

QImage renderPagePicture(const QString &, qint64, const QSize &)
{
    return {};
}

} // namespace quillon::component
