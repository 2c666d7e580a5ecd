#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

// The records and fields of an SFF fax document, and what a reader found in one.
// All numbers in a file are little-endian.
namespace sff {

inline constexpr quint32 DocumentId = 0x66666653; // bytes 53 66 66 66, "Sfff"
inline constexpr int DocumentHeaderSize = 20;
inline constexpr int PageHeaderSize = 18;      // FE, length 16, then 16 bytes of fields
inline constexpr int MinPageHeaderLength = 16; // the length byte counts the bytes after it
inline constexpr int MaxShortLine = 216;       // longest coded line in the short record form
inline constexpr int MaxEscapedLine = 32767;   // longest coded line in the escape form
inline constexpr int MaxSkip = 37;             // most white lines one skip record stands for
inline constexpr int MaxPages = 65535;         // the document header counts pages in 16 bits
inline constexpr int MaxNotes = 20;            // notes kept in full; later ones are only counted
inline constexpr int A4LineLength = 1728;

// Record bytes that are not the length of a short coded line (1 to 216) or a skip (217-253).
inline constexpr quint8 EscapedLineRecord = 0;  // 00, 16-bit length, coded line
inline constexpr quint8 PageHeaderRecord = 254; // FE, length (0: end of document), fields
inline constexpr quint8 ExtendedRecord = 255;   // FF, length (0: illegal line), user data

// Byte offsets of the document header's fields.
namespace docfield {
inline constexpr int Id = 0;                // dword, DocumentId
inline constexpr int Version = 4;           // byte
inline constexpr int Reserved = 5;          // byte
inline constexpr int UserInfo = 6;          // word
inline constexpr int PageCount = 8;         // word
inline constexpr int FirstPageOffset = 10;  // word
inline constexpr int LastPageOffset = 12;   // dword
inline constexpr int DocumentEndOffset = 16; // dword
} // namespace docfield

// Byte offsets of a page header's fields, from its record byte FE on.
namespace pagefield {
inline constexpr int RecordType = 0;           // byte, PageHeaderRecord
inline constexpr int HeaderLength = 1;         // byte, bytes after this one
inline constexpr int VerticalResolution = 2;   // byte
inline constexpr int HorizontalResolution = 3; // byte
inline constexpr int Coding = 4;               // byte
inline constexpr int Reserved = 5;             // byte
inline constexpr int LineLength = 6;           // word
inline constexpr int PageLength = 8;           // word
inline constexpr int PreviousPageOffset = 10;  // dword
inline constexpr int NextPageOffset = 14;      // dword
} // namespace pagefield

enum class Resolution : quint8 {
    Standard = 0, // 98 lines per inch
    Fine = 1,     // 196 lines per inch
};

// Lines per inch of a vertical resolution (98 or 196).
int linesPerInch(Resolution resolution);

struct DocumentHeader
{
    quint8 version = 1;
    quint16 userInfo = 0;
    quint16 pageCount = 0; // 0 when unknown
    quint16 firstPageOffset = DocumentHeaderSize;
    quint32 lastPageOffset = 0;    // 0 when unknown
    quint32 documentEndOffset = 0; // 0 when unknown
};

struct PageHeader
{
    quint8 headerLength = MinPageHeaderLength;
    quint8 verticalResolution = 0;   // 0 = 98 lpi, 1 = 196 lpi
    quint8 horizontalResolution = 0; // 0 = 203 dpi
    quint8 coding = 0;               // 0 = Modified Huffman
    quint16 lineLength = A4LineLength;
    quint16 pageLength = 0; // lines, 0 when unknown
    quint32 previousPageOffset = 0;
    quint32 nextPageOffset = 0;
};

// A fault in a document: what is wrong and where (byte offset into the file; -1 when the
// fault has no place, as a file that cannot be opened).
struct Fault
{
    qint64 offset = -1;
    QString message;

    // "at byte 1234 (0x4d2): message", or just the message without a place.
    QString toString() const;
};

struct PageInfo
{
    qint64 offset = 0; // of the page header record
    PageHeader header;
    Resolution resolution = Resolution::Standard;
    int lineLength = A4LineLength;
    qint64 lines = 0;        // counted: coded, skipped white and illegal lines
    qint64 illegalLines = 0; // FF 00 records
    qint64 badLines = 0;     // coded lines that do not decode to the line length
    qint64 userInfoRecords = 0;
};

struct DocumentInfo
{
    DocumentHeader header;
    qint64 size = 0; // bytes read
    QList<PageInfo> pages;
    qint64 illegalLines = 0;
    qint64 badLines = 0;
    bool endRecord = false; // the end record FE 00 was found

    // The first fault that makes the document unusable, if any.
    std::optional<Fault> error;
    // Irregularities a reader tolerates: a missing end record, count and offset fields that
    // disagree with the records, bytes after the end record.
    QList<Fault> notes;

    // A readable document with at least one page and no fault.
    bool isValid() const { return !error && !pages.isEmpty(); }
};

} // namespace sff
