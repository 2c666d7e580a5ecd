#pragma once

// Small SFF documents for relaying over the line: a document header, pages of all-white
// coded lines and white-line records, and the end record. `everyRecord` adds user data
// before the first page, escaped lines, user information and illegal lines, each holding
// bytes that look like a page header.

#include "capi/message.h"

#include <QByteArray>

inline QByteArray sffSample(int pages, int linesPerPage = 200, bool withEnd = true,
                            bool everyRecord = false)
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
    word(everyRecord ? 0x20 : 0x14); // first page header
    doc.append(QByteArray(8, '\0'));
    if (everyRecord)
        doc.append(QByteArray(12, char(254))); // user data between header and first page
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
        if (everyRecord) {
            doc.append(char(0)); // escaped line of 300 bytes
            word(300);
            doc.append(QByteArray(300, char(254)));
            doc.append(char(255)); // user information, 4 bytes
            doc.append(char(4));
            doc.append("\xFE\x10\xFE\x00", 4);
            doc.append(char(255)); // an illegal line
            doc.append(char(0));
            doc.append(char(2)); // a coded line holding 0xFE bytes
            doc.append("\xFE\xFE", 2);
        }
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

// The B protocols of a G3 fax whose SFF bytes the line relays as they are: B3 protocol 5.
// (With B3 protocol 4 the line runs a T.30 call.)
inline capi::BProtocol relayedFax(const capi::FaxB3Configuration &config = {
                                      0, 0, QStringLiteral("+49 6 PEER"), {}})
{
    capi::BProtocol b = capi::BProtocol::faxG3(config);
    b.b3 = capi::bproto::B3T30Extended;
    return b;
}
