#pragma once

// Trips: the recorder cuts a drive into clips of a few minutes; after a batch's split
// jobs, the clips that continue each other are joined per camera into one movie, with
// one track. These are the grouping rule and the texts the joining job needs; the
// ffmpeg arguments are built in ffmpegcommand.h.
//
// A trip's files are named after its base name (see baseName): the movies as the split
// outputs are, baseName + outputSuffix(settings, camera), and the track baseName + ".gps".

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

struct s_BLOCK;

namespace trip {

// A clip continues the one before it when its first record comes this many seconds or
// fewer after that one's last record (and not before it).
constexpr qint64 MaxGapSeconds = 10;

// What the grouping needs to know of one movie of a batch.
struct ClipSpan
{
    int movie = 0; // the block's index
    bool hasRecords = false;
    qint32 firstRecord = 0; // seconds since 1970 UTC; meaningless without records
    qint32 lastRecord = 0;
    bool outputsWritten = false; // both camera outputs were written without failure
};

// The span of block `movie` of a batch.
ClipSpan clipSpan(int movie, const s_BLOCK &block, bool outputsWritten);

// The trips among the clips of a batch (given in batch order): lists of two or more
// movies, each continuing the one before it, in the order of their first records (batch
// order among equal ones). A clip without records has no place in that order: it is in
// no trip. A clip whose outputs failed is in no trip either and ends the one it would
// have continued, so that no trip is joined across a hole.
QList<QList<int>> planTrips(const QList<ClipSpan> &clips);

// "TRIP_20120714_110605": the trip's first record shifted by the user's offset from UTC.
QString baseName(qint32 firstRecord, qint64 offsetSeconds);

// Whether a file name is one of a trip's files ("TRIP_20120714_110605F.mp4", "...gps"), so
// that what a killed run left of its trips can be found without knowing its drives.
bool isTripFileName(const QString &name);

// The concat demuxer's list of the clips' outputs, in trip order. The paths are absolute,
// which ffmpeg accepts with "-safe 0". Empty when a path holds a line break, which the
// list cannot carry.
QByteArray concatList(const QStringList &outputs);

// One clip as a chapter of the joined MP4 movie.
struct Chapter
{
    QString title;      // the clip's movie file name, "FILE0002.AVI"
    double seconds = 0; // the duration of the clip's output (mp4file::durationSeconds)
};

// An FFMETADATA file with one chapter per clip, each starting where the clips before it
// end, in milliseconds.
QByteArray chapterMetadata(const QList<Chapter> &chapters);

} // namespace trip
