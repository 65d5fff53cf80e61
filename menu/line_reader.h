// Cuts a child's output into lines however the pipe splits it. The unfinished end of
// one chunk waits for the next; a line that grows past kMaxLine without a line feed is
// no status line, so it is dropped up to its line feed rather than kept without bound.
#pragma once

#include <QByteArray>
#include <QList>

class LineReader {
public:
    static constexpr qsizetype kMaxLine = 64 * 1024;

    // Complete lines in this chunk (without their line feeds), in order.
    QList<QByteArray> Feed(const QByteArray& chunk);
    // The end of the output: the unterminated last line, if there is one; the reader
    // is empty again afterwards.
    QList<QByteArray> Finish();

private:
    QByteArray pending_;
    bool discarding_ = false;
};
