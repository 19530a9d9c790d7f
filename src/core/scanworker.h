#pragma once

#include "ffmpegcommand.h"
#include "tripjoin.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <optional>

struct s_BLOCK;
struct s_CONF;

// What reading one movie's telemetry and writing its track file needs, taken on the GUI
// thread when the movie is handed out. The batch's scan and the telemetry and track file
// methods of the window both go this way.
struct MovieScan
{
    int block = 0;
    QString moviePath;
    QString trackPath;
    QString gpxPath;    // empty: no GPX track
    long dateShift = 0; // the tracks are dated this many seconds after the last record
    bool placeWanted = false;

    // Block k of the table with the configuration's output folder, options and UTC offset.
    static MovieScan of(int k, const s_CONF &conf);
    bool readTelemetry(const std::atomic<bool> *cancelled = nullptr,
                       const std::function<bool(const s_BLOCK &)> &firstRecords = {}) const;
    // The ".gps" and, where wanted, the ".gpx": the reason one could not be written, or an
    // empty string.
    QString writeTrack() const;
    // What the outputs say of the drive, from its first records; complete once nothing
    // later can add to it.
    MovieMetadata metadataOf(const s_BLOCK &records) const;
    bool complete(const MovieMetadata &metadata) const;
};

// What moving a finished job's output into place needs, taken on the GUI thread once the
// job and its movie's scan have both ended.
struct OutputMove
{
    QString partial;
    QString output;
    std::optional<qint64> modificationTime;

    // The reason it failed, or an empty string (safefile::moveIntoPlace).
    QString run() const;
};

// Scans a movie's telemetry and writes its track file on the scan thread, so that
// reading a multi-gigabyte movie from a slow card never stalls the window; and moves
// finished outputs into place there, as flushing hundreds of megabytes to a slow disk
// takes seconds; and prepares the trips' joins, which wait for ffprobe.
//
// Why this is safe: the batch hands out one block at a time and touches none of its
// records until `scanned` for it arrives, a queued signal whose delivery orders the
// worker's writes before the batch's reads. Trips are prepared only once every scan has
// ended, and the worker then only reads the records. The worker gets everything else by
// value and touches no widget, setting or counter; what it tells early (metadataRead) is
// a copy.
class ScanWorker : public QObject
{
    Q_OBJECT

public:
    explicit ScanWorker(const std::atomic<bool> &cancelled) : cancelled(cancelled) {}

    // Tells the movie's metadata as soon as its first records settle it (often from the
    // first megabytes), then reads on and writes its track files.
    void scan(int generation, const MovieScan &movie);
    // Outputs are moved, and answered, in the order they are handed over.
    void settle(int generation, const OutputMove &move);
    // Writes what the trips' joins need and the trips' tracks (TripJoin::prepare).
    void prepareTrips(int generation, QList<TripJoin> trips, const EncodeSettings &settings,
                      long dateShift, bool gpx);

    // Drops a file from the page cache (a movie that has been converted); false if the
    // kernel could not be asked to.
    static bool releaseFromPageCache(const QString &path);

signals:
    void metadataRead(int generation, int block, const MovieMetadata &metadata);
    void scanned(int generation, int block, const QString &trackError);
    void settled(int generation, const QString &trouble);
    // One error (or an empty string) per trip.
    void tripsPrepared(int generation, const QList<TripJoin> &trips, const QStringList &errors);

private:
    const std::atomic<bool> &cancelled;
};
