#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <span>
#include <vector>

// Modified Huffman (T.4 one-dimensional) coding of fax lines as SFF stores them: bits least
// significant first in each byte, no EOL codes, zero bits up to the byte boundary.
//
// A line is a list of runs alternating from white; a line that starts black starts with a
// white run of 0. A row of pixels is packed like QImage::Format_Mono: 8 pixels a byte, the
// leftmost in the most significant bit, a set bit black.
namespace sff::mh {

using Runs = std::vector<int>;

enum class Status {
    Ok,
    InvalidCode,   // bits that are no code of the current colour
    TooManyPixels, // the runs pass the line length
    TooFewPixels,  // the data ends before the line length is reached
    TrailingData,  // bits other than fill or EOL after the line is complete
};

struct DecodeResult
{
    Status status = Status::Ok;
    int pixels = 0;    // pixels decoded (at most the line length)
    qint64 bitPos = 0; // bit where decoding stopped (the fault, or the end of the line)

    bool ok() const { return status == Status::Ok; }
    // A readable description, e.g. "no white code at bit 17 (after 64 of 1728 pixels)".
    QString message(int lineLength) const;
};

// Decodes one coded line of lineLength pixels (1 to 65535). When runs is not null it is
// cleared and receives the runs; on a fault it holds the runs decoded up to the fault,
// clipped to the line length. Never reads outside [data, data + size).
DecodeResult decodeLine(const uchar *data, qsizetype size, int lineLength, Runs *runs = nullptr);

// Decodes one coded line like decodeLine() straight into a packed row of lineLength pixels,
// writing exactly (lineLength + 7) / 8 bytes. On a fault the row holds what decoded up to the
// fault (as the runs would), the rest white.
DecodeResult decodeRow(const uchar *data, qsizetype size, int lineLength, uchar *row);

// Appends the codes of a line with these runs (white first, each >= 0), padded to a byte.
// Runs of any length are coded with repeated make-up codes where needed.
void encodeRuns(std::span<const int> runs, QByteArray &out);
QByteArray encodeRuns(std::span<const int> runs);

// The runs of a packed row of width pixels.
void rowToRuns(const uchar *row, int width, Runs &runs);
// Writes runs into a packed row of width pixels; pixels past the runs stay white, runs past
// the width are cut.
void runsToRow(std::span<const int> runs, uchar *row, int width);

// Encodes a packed row of width pixels, appending to out; the same codes as encodeRuns() of
// the row's runs, found and coded in one pass.
void encodeRow(const uchar *row, int width, QByteArray &out);

// True when the first width pixels of a packed row are all white.
bool isWhiteRow(const uchar *row, int width);

} // namespace sff::mh
