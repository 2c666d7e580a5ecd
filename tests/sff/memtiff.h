#pragma once

// A TIFF file in memory through libtiff's client I/O, and the tags of a page coded as SFF
// codes its lines (one-dimensional Modified Huffman, each line from a byte boundary, bits
// least significant first), so that libtiff's CCITT codec can be set against ours.

#include <QByteArray>

#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace memtiff {

struct File
{
    QByteArray bytes;
    qint64 pos = 0;

    // Opens the file for reading ("r") or writing from empty ("w"); close with TIFFClose.
    TIFF *open(const char *mode)
    {
        pos = 0;
        if (mode[0] == 'w')
            bytes.resize(0);
        return TIFFClientOpen("memory", mode, this, read, write, seek, close, size, map, unmap);
    }

private:
    static File *of(thandle_t h) { return static_cast<File *>(h); }
    static tsize_t read(thandle_t h, tdata_t buf, tsize_t n)
    {
        File *f = of(h);
        const qint64 got = std::clamp<qint64>(f->bytes.size() - f->pos, 0, n);
        std::memcpy(buf, f->bytes.constData() + f->pos, size_t(got));
        f->pos += got;
        return tsize_t(got);
    }
    static tsize_t write(thandle_t h, tdata_t buf, tsize_t n)
    {
        File *f = of(h);
        if (f->pos + n > f->bytes.size())
            f->bytes.resize(f->pos + n);
        std::memcpy(f->bytes.data() + f->pos, buf, size_t(n));
        f->pos += n;
        return n;
    }
    static toff_t seek(thandle_t h, toff_t off, int whence)
    {
        File *f = of(h);
        const qint64 base = whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->bytes.size() : 0;
        f->pos = base + qint64(off);
        return toff_t(f->pos);
    }
    static int close(thandle_t) { return 0; }
    static toff_t size(thandle_t h) { return toff_t(of(h)->bytes.size()); }
    static int map(thandle_t, tdata_t *, toff_t *) { return 0; }
    static void unmap(thandle_t, tdata_t, toff_t) {}
};

// A page of strips strips of lines lines each, width pixels a line.
inline void setFaxTags(TIFF *tif, int width, int lines, int strips = 1)
{
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, lines * strips);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, lines);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTRLE);
    TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
}

} // namespace memtiff
