#pragma once

// Raw SFF bytes for tests, field by field, so that tests can build documents the writer
// would never make.

#include "sff/format.h"

#include <QByteArray>
#include <QtEndian>

namespace sfftest {

inline QByteArray le16(quint16 v)
{
    QByteArray b(2, '\0');
    qToLittleEndian(v, b.data());
    return b;
}

inline QByteArray le32(quint32 v)
{
    QByteArray b(4, '\0');
    qToLittleEndian(v, b.data());
    return b;
}

struct DocHeader
{
    quint32 id = sff::DocumentId;
    quint8 version = 1;
    quint16 pageCount = 0;
    quint16 firstPage = 20;
    quint32 lastPage = 0;
    quint32 end = 0;

    QByteArray bytes() const
    {
        using namespace sff::docfield;
        QByteArray b(sff::DocumentHeaderSize, '\0');
        qToLittleEndian(id, b.data() + Id);
        b[Version] = char(version);
        qToLittleEndian(pageCount, b.data() + PageCount);
        qToLittleEndian(firstPage, b.data() + FirstPageOffset);
        qToLittleEndian(lastPage, b.data() + LastPageOffset);
        qToLittleEndian(end, b.data() + DocumentEndOffset);
        return b;
    }
};

struct PageHeader
{
    quint8 length = 16;
    quint8 vres = 0;
    quint8 hres = 0;
    quint8 coding = 0;
    quint16 lineLength = 1728;
    quint16 pageLength = 0;
    quint32 prev = 0;
    quint32 next = 0;
    QByteArray extra; // bytes past the 16 known ones, for longer headers

    QByteArray bytes() const
    {
        using namespace sff::pagefield;
        QByteArray b(sff::PageHeaderSize, '\0');
        b[RecordType] = char(sff::PageHeaderRecord);
        b[HeaderLength] = char(length);
        b[VerticalResolution] = char(vres);
        b[HorizontalResolution] = char(hres);
        b[Coding] = char(coding);
        qToLittleEndian(lineLength, b.data() + LineLength);
        qToLittleEndian(pageLength, b.data() + PageLength);
        qToLittleEndian(prev, b.data() + PreviousPageOffset);
        qToLittleEndian(next, b.data() + NextPageOffset);
        return b + extra;
    }
};

template <typename Change> QByteArray docWith(Change change)
{
    DocHeader d;
    change(d);
    return d.bytes();
}

template <typename Change> QByteArray pageWith(Change change)
{
    PageHeader p;
    change(p);
    return p.bytes();
}

inline const QByteArray whiteLine = QByteArray::fromHex("03b25901"); // 1728 white pixels
inline const QByteArray endRecord = QByteArray::fromHex("fe00");

} // namespace sfftest
