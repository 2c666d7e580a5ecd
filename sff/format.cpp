#include "sff/format.h"

namespace sff {

int linesPerInch(Resolution resolution)
{
    return resolution == Resolution::Fine ? 196 : 98;
}

QString Fault::toString() const
{
    if (offset < 0)
        return message;
    return QStringLiteral("at byte %1 (0x%2): %3").arg(offset).arg(offset, 0, 16).arg(message);
}

} // namespace sff
