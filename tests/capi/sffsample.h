#pragma once

// Small SFF documents for relaying over the line: a document header, pages of all-white
// coded lines and white-line records, and the end record.

#include <QByteArray>

inline QByteArray sffSample(int pages, int linesPerPage = 200, bool withEnd = true)
{
    QByteArray doc;
    auto word = [&doc](int v) {
        doc.append(char(v & 0xFF));
        doc.append(char((v >> 8) & 0xFF));
    };
    doc.append("Sfff", 4);
    doc.append(char(1));
    doc.append(char(0));
    word(0);     // user info
    word(pages); // page count
    word(0x14);  // first page header
    doc.append(QByteArray(8, '\0'));
    for (int p = 0; p < pages; ++p) {
        doc.append(char(254));
        doc.append(char(16));
        doc.append(char(0));         // 98 lpi
        doc.append(char(0));         // 203 dpi
        doc.append(char(0));         // Modified Huffman
        doc.append(char(0));
        word(1728);
        word(linesPerPage);
        doc.append(QByteArray(8, '\0'));
        for (int l = 0; l < linesPerPage; ++l) {
            if (l % 10 == 9) {
                doc.append(char(216 + 5)); // five white lines
            } else {
                doc.append(char(3));
                doc.append("\xB2\x59\x01", 3); // an all-white 1728-pixel line
            }
        }
    }
    if (withEnd) {
        doc.append(char(254));
        doc.append(char(0));
    }
    return doc;
}
