#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

// Frames of the tick stream read straight from their text: a batch of tens of
// megabytes becomes tick lines without a JSON document of it (which would hold
// several times its size) beside the frame itself.

struct StreamFrame
{
    // The top-level "type" when it is a string, else empty.
    QString type;
    // The text of the top-level "records" value; empty when there is none.
    QStringView records;
};

// Nesting deeper than this makes a frame unreadable, as for Qt's JSON parser.
inline constexpr int MaxFrameNesting = 1024;

// False when the text is not one JSON object (the frame is then ignored); a
// member given twice counts with its last value.
bool readStreamFrame(QStringView text, StreamFrame *frame);

// The tick lines of the records text of a readable frame, in order, by the
// record rules; a value that is not an array has no records. *records receives
// how many elements there were, *kept how many lines were made.
QByteArray tickLinesFromRecordsText(QStringView records, int *recordCount = nullptr, int *kept = nullptr);
