#include "scanworker.h"

#include "configuration.h"
#include "globals.h"
#include "gpxtrack.h"
#include "manifest.h"
#include "movienames.h"
#include "mp4file.h"
#include "telemetry.h"
#include "trackfile.h"
#include "tripjoin.h"

#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

MovieScan MovieScan::of(int k, const s_CONF &conf)
{
    const QString track = trackfile::pathFor(conf.outputDirectory, BLOCKS_g[k].movieFile);
    return {k,
            BLOCKS_g[k].movieFile.absoluteFilePath(),
            track,
            conf.gpxTrack ? movienames::gpxPathBeside(track) : QString(),
            timezoneShiftSeconds(conf.timezoneOffset),
            conf.placeInMovies};
}

bool MovieScan::readTelemetry(const std::atomic<bool> *cancelled,
                              const std::function<bool(const s_BLOCK &)> &firstRecords) const
{
    return telemetry::read(moviePath, BLOCKS_g[block], cancelled, firstRecords);
}

QList<safefile::PartialFile> MovieScan::writeTrackPartials(QString &error) const
{
    const s_BLOCK &records = BLOCKS_g[block];
    QList<safefile::PartialFile> written{
        trackfile::writePartial(records, trackPath, dateShift, error)};
    if (error.isEmpty() && !gpxPath.isEmpty() && gpx::hasPoints(records))
        written << trackfile::writeGpxPartial(records, gpxPath, dateShift, error);
    written.removeIf([](const safefile::PartialFile &file) { return file.partial.isEmpty(); });
    return written;
}

QString MovieScan::writeTrack() const
{
    QString error;
    for (const safefile::PartialFile &file : writeTrackPartials(error)) {
        const QString trouble = safefile::rename(file);
        if (!trouble.isEmpty()) {
            QFile::remove(file.partial);
            error = error.isEmpty() ? trouble : error;
        }
    }
    return error;
}

MovieMetadata MovieScan::metadataOf(const s_BLOCK &records) const
{
    MovieMetadata metadata;
    if (recordCount(records) == 0)
        return metadata;
    metadata.dated = true;
    metadata.start = records.recTime[0];
    const int place = placeWanted ? gpx::firstFix(records) : -1;
    if (place >= 0) {
        metadata.placed = true;
        metadata.latitude = records.latitude[place];
        metadata.longitude = records.longitude[place];
    }
    return metadata;
}

bool MovieScan::complete(const MovieMetadata &metadata) const
{
    return metadata.dated && (metadata.placed || !placeWanted);
}

void ScanWorker::scan(int generation, const MovieScan &movie)
{
    bool told = false;
    const auto tellOnceComplete = [&](const s_BLOCK &records) {
        const MovieMetadata metadata = movie.metadataOf(records);
        told = movie.complete(metadata);
        if (told)
            emit metadataRead(generation, movie.block, metadata);
        return told;
    };
    const bool read = movie.readTelemetry(&cancelled, tellOnceComplete);
    if (!told)
        emit metadataRead(generation, movie.block, movie.metadataOf(BLOCKS_g[movie.block]));
    // Something that is no movie file gets no track file; its jobs report it.
    QString trackError;
    const QList<safefile::PartialFile> tracks =
        read && !cancelled ? movie.writeTrackPartials(trackError) : QList<safefile::PartialFile>{};
    emit scanned(generation, movie.block, tracks, trackError);
}

// A file a program wrote is dated and flushed here; the identity and duration of a movie
// are read through the very file that gets the name.
static MovedOutput seal(const OutputMove &move, const std::atomic<bool> &stop)
{
    MovedOutput result;
    if (move.sealed) {
        result.identity = move.file.identity;
        return result;
    }
    result.trouble = safefile::seal(
        move.file.partial, move.modificationTime,
        [&result](int fd) {
            result.identity = safefile::identityOf(fd);
            result.seconds = mp4file::durationSeconds(fd);
        },
        &stop);
    return result;
}

// All of a trip's files get their names, or none: what was put in place when a later one
// could not be is taken away again, and each file is given the first trouble.
static void putAllInPlace(const QList<OutputMove> &moves, QList<MovedOutput> &results)
{
    QString trouble;
    for (const MovedOutput &result : std::as_const(results))
        if (trouble.isEmpty())
            trouble = result.trouble;
    QStringList placed;
    for (const OutputMove &move : moves) {
        if (!trouble.isEmpty())
            break;
        trouble = safefile::rename(move.file);
        if (trouble.isEmpty())
            placed << move.file.path;
    }
    if (trouble.isEmpty())
        return;
    for (const QString &path : std::as_const(placed))
        QFile::remove(path);
    for (MovedOutput &result : results)
        result.trouble = trouble;
}

void ScanWorker::settle(int generation, int unit, const QList<OutputMove> &moves, bool allOrNone)
{
    QList<MovedOutput> results;
    for (const OutputMove &move : moves)
        results << seal(move, cancelled);
    // A batch that ends meanwhile gets the whole unit or nothing of it: not a movie's track
    // without its movies.
    if (allOrNone || cancelled) {
        putAllInPlace(moves, results);
    } else {
        for (qsizetype i = 0; i < moves.size(); ++i)
            if (results[i].trouble.isEmpty())
                results[i].trouble = safefile::rename(moves[i].file);
    }
    for (qsizetype i = 0; i < moves.size(); ++i)
        if (!results[i].trouble.isEmpty())
            QFile::remove(moves[i].file.partial);
    emit settled(generation, unit, results);
}

void ScanWorker::writeTripTracks(int generation, int trip, const TripJoin &join, long dateShift,
                                 bool gpx)
{
    QString error;
    const QList<safefile::PartialFile> tracks = join.writeTrackPartials(dateShift, gpx, error);
    emit tripTracksWritten(generation, trip, tracks, error);
}

void ScanWorker::writeRecord(int generation, const Manifest &record)
{
    QElapsedTimer timer;
    timer.start();
    record.write(); // one that cannot be written now is written again at the batch's end
    emit recordWritten(generation, timer.elapsed());
}

bool ScanWorker::releaseFromPageCache(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    // Dirty pages cannot be dropped: they are written first.
    const bool dropped = ::fdatasync(fd) == 0 && posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    ::close(fd);
    return dropped;
}
