#pragma once

// Raw SFF bytes for tests, field by field, so that tests can build documents the writer
// would never make.

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
    quint32 id = 0x66666653;
    quint8 version = 1;
    quint16 pageCount = 0;
    quint16 firstPage = 20;
    quint32 lastPage = 0;
    quint32 end = 0;

    QByteArray bytes() const
    {
        return le32(id) + char(version) + '\0' + le16(0) + le16(pageCount) + le16(firstPage) +
               le32(lastPage) + le32(end);
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
        QByteArray b = QByteArray(1, char(254)) + char(length) + char(vres) + char(hres) +
                       char(coding) + '\0' + le16(lineLength) + le16(pageLength) + le32(prev) +
                       le32(next) + extra;
        return b;
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
