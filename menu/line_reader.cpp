#include "line_reader.h"

QList<QByteArray> LineReader::Feed(const QByteArray& chunk) {
    QList<QByteArray> lines;
    qsizetype start = 0;
    for (qsizetype lf = chunk.indexOf('\n'); lf >= 0; lf = chunk.indexOf('\n', start)) {
        if (!discarding_)
            lines.append(pending_ + chunk.sliced(start, lf - start));
        pending_.clear();
        discarding_ = false;
        start = lf + 1;
    }
    if (!discarding_) {
        pending_ += chunk.sliced(start);
        if (pending_.size() > kMaxLine) {
            pending_.clear();
            discarding_ = true;
        }
    }
    return lines;
}

QList<QByteArray> LineReader::Finish() {
    QList<QByteArray> lines;
    if (!discarding_ && !pending_.isEmpty())
        lines.append(pending_);
    pending_.clear();
    discarding_ = false;
    return lines;
}
