#include "scanworker.h"

#include "configuration.h"
#include "globals.h"
#include "gpxtrack.h"
#include "movienames.h"
#include "safefile.h"
#include "telemetry.h"
#include "trackfile.h"

#include <QFile>

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

QString MovieScan::writeTrack() const
{
    const s_BLOCK &records = BLOCKS_g[block];
    const QString error = trackfile::write(records, trackPath, dateShift);
    if (!error.isEmpty() || gpxPath.isEmpty() || !gpx::hasPoints(records))
        return error;
    return trackfile::writeGpx(records, gpxPath, dateShift);
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
    const QString trackError = read && !cancelled ? movie.writeTrack() : QString();
    emit scanned(generation, movie.block, trackError);
}

QString OutputMove::run() const
{
    return safefile::moveIntoPlace(partial, output, modificationTime);
}

void ScanWorker::settle(int generation, const OutputMove &move)
{
    emit settled(generation, move.run());
}

void ScanWorker::prepareTrips(int generation, QList<TripJoin> trips, const EncodeSettings &settings,
                              long dateShift, bool gpx)
{
    QStringList errors;
    for (TripJoin &trip : trips)
        errors << trip.prepare(settings, dateShift, gpx);
    emit tripsPrepared(generation, trips, errors);
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
