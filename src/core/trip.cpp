#include "trip.h"

#include "globals.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace trip {

ClipSpan clipSpan(int movie, const s_BLOCK &block, bool outputsWritten)
{
    const int records = recordCount(block);
    if (records <= 0)
        return {movie, false, 0, 0, outputsWritten};
    return {movie, true, block.recTime[0], block.recTime[records - 1], outputsWritten};
}

// 64 bits: the times of a corrupt movie may lie anywhere in 32.
static bool continues(const ClipSpan &earlier, const ClipSpan &later)
{
    const qint64 gap = qint64(later.firstRecord) - earlier.lastRecord;
    return earlier.outputsWritten && later.outputsWritten && gap >= 0 && gap <= MaxGapSeconds;
}

static QList<ClipSpan> inRecordOrder(const QList<ClipSpan> &clips)
{
    QList<ClipSpan> timed;
    std::copy_if(clips.begin(), clips.end(), std::back_inserter(timed),
                 [](const ClipSpan &clip) { return clip.hasRecords; });
    std::stable_sort(timed.begin(), timed.end(), [](const ClipSpan &a, const ClipSpan &b) {
        return a.firstRecord < b.firstRecord;
    });
    return timed;
}

QList<QList<int>> planTrips(const QList<ClipSpan> &clips)
{
    const QList<ClipSpan> timed = inRecordOrder(clips);
    QList<QList<int>> trips;
    QList<int> run; // the clips since the last break; a failed clip stays alone in its run
    const auto endRun = [&] {
        if (run.size() >= 2)
            trips << run;
        run.clear();
    };
    for (qsizetype i = 0; i < timed.size(); ++i) {
        if (i > 0 && !continues(timed[i - 1], timed[i]))
            endRun();
        run << timed[i].movie;
    }
    endRun();
    return trips;
}

QString baseName(qint32 firstRecord, qint64 offsetSeconds)
{
    const QDateTime start = QDateTime::fromSecsSinceEpoch(firstRecord + offsetSeconds, Qt::UTC);
    return "TRIP_" + start.toString("yyyyMMdd_HHmmss");
}

bool isTripFileName(const QString &name)
{
    static const QRegularExpression tripFile(
        QStringLiteral("^TRIP_[0-9]{8}_[0-9]{6}(?:F|R)?\\.(?:mp4|avi|gps|gpx)$"));
    return tripFile.match(name).hasMatch();
}

// Inside single quotes everything is literal but the quote itself, which closes them:
// close, put an escaped quote, open again.
static QByteArray quoted(const QString &path)
{
    return '\'' + QFile::encodeName(path).replace('\'', "'\\''") + '\'';
}

QByteArray concatList(const QStringList &outputs)
{
    QByteArray list;
    for (const QString &output : outputs) {
        if (output.contains('\n') || output.contains('\r'))
            return {};
        // "inpoint 0" makes the demuxer seek each clip to its start, which drops the AAC
        // encoder's priming packet ahead of it: that packet would overlap the end of the
        // clip before, and the muxer would move its timestamp. (A clip of B-frame video,
        // H.264, starts decoding before its start: there the seek keeps the packet.)
        list += "file " + quoted(output) + "\ninpoint 0\n";
    }
    return list;
}

// FFMETADATA's special characters, each escaped with a backslash.
static QByteArray metadataValue(const QString &text)
{
    QByteArray escaped;
    for (const char c : text.toUtf8()) {
        if (QByteArrayView("=;#\\\n").contains(c))
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

QByteArray chapterMetadata(const QList<Chapter> &chapters)
{
    QByteArray text = ";FFMETADATA1\n";
    double end = 0;
    for (const Chapter &chapter : chapters) {
        // Both ends rounded from the running sum, so that no rounding error adds up.
        const double start = end;
        end += chapter.seconds;
        text += "[CHAPTER]\nTIMEBASE=1/1000\n";
        text += "START=" + QByteArray::number(std::llround(start * 1000)) + '\n';
        text += "END=" + QByteArray::number(std::llround(end * 1000)) + '\n';
        text += "title=" + metadataValue(chapter.title) + '\n';
    }
    return text;
}

} // namespace trip
