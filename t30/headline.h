#pragma once

#include "sff/format.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// The head line a sending fax controller prints at the top of each page: date and time, the
// station id, the head line text and "page n of m", in the top 4 mm of the page.
namespace t30 {

struct HeadLine
{
    QString stationId;
    QString text;
    QDateTime time;
};

// Rows the head line takes: 16 at standard resolution, 32 at fine (4 mm).
int headLineRows(sff::Resolution resolution);

// The text of the head line of page (from 1) of pages, as it is printed.
QString headLineText(const HeadLine &head, int page, int pages, int columns);

// The head line as packed rows (see sff/mh.h) of lineLength pixels.
QList<QByteArray> renderHeadLine(const HeadLine &head, int page, int pages, int lineLength,
                                 sff::Resolution resolution);

} // namespace t30
