#pragma once

#include "ffmpegcommand.h"
#include "safefile.h"

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <optional>

class Manifest;
struct s_BLOCK;
struct s_CONF;
struct TripJoin;

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
    // The ".gps" and, where wanted, the ".gpx", complete under partial names; the reason one
    // could not be written goes to `error`.
    QList<safefile::PartialFile> writeTrackPartials(QString &error) const;
    // The same, put in place at once: the reason one could not be written, or an empty
    // string.
    QString writeTrack() const;
    // What the outputs say of the drive, from its first records; complete once nothing
    // later can add to it.
    MovieMetadata metadataOf(const s_BLOCK &records) const;
    bool complete(const MovieMetadata &metadata) const;
};

// One complete file of a finished movie or trip, to be put in place.
struct OutputMove
{
    safefile::PartialFile file;
    bool sealed = false; // written, dated and flushed by the converter itself (a track)
    std::optional<qint64> modificationTime; // for a file a program wrote
};

// What became of it: the reason it could not be put in place, or which file now has the
// name and, for an MP4 movie, its duration.
struct MovedOutput
{
    QString trouble;
    safefile::FileIdentity identity;
    std::optional<double> seconds;
};

Q_DECLARE_METATYPE(QList<safefile::PartialFile>)
Q_DECLARE_METATYPE(QList<MovedOutput>)

// Scans a movie's telemetry and writes its track files on the scan thread, so that
// reading a multi-gigabyte movie from a slow card never stalls the window; and moves
// finished outputs into place there, as flushing hundreds of megabytes to a slow disk
// takes seconds; and writes the trips' tracks.
//
// Why this is safe: the batch hands out one block at a time and touches none of its
// records until `scanned` for it arrives, a queued signal whose delivery orders the
// worker's writes before the batch's reads. Trips' tracks are written only once every scan
// has ended, and the worker then only reads the records. The worker gets everything else
// by value and touches no setting or counter; what it tells early (metadataRead) is a
// copy, and so is the record of conversions it writes. Every answer names the batch (its
// generation) it was asked for: an answer to an ended batch only has its partial files removed.
class ScanWorker : public QObject
{
    Q_OBJECT

public:
    explicit ScanWorker(const std::atomic<bool> &cancelled) : cancelled(cancelled) {}

    // Tells the movie's metadata as soon as its first records settle it (often from the
    // first megabytes), then reads on and writes its track files under partial names.
    void scan(int generation, const MovieScan &movie);
    // Puts a finished movie's or trip's files in place. With allOrNone (a trip), none is
    // put in place unless all can be.
    void settle(int generation, int unit, const QList<OutputMove> &moves, bool allOrNone);
    // Writes a trip's tracks under partial names.
    void writeTripTracks(int generation, int trip, const TripJoin &join, long dateShift, bool gpx);
    // Puts the output folder's record of conversions in place, and tells how long it took.
    void writeRecord(int generation, const Manifest &record);

    // Drops a file from the page cache (a movie that has been converted); false if the
    // kernel could not be asked to.
    static bool releaseFromPageCache(const QString &path);

signals:
    void metadataRead(int generation, int block, const MovieMetadata &metadata);
    void scanned(int generation, int block, const QList<safefile::PartialFile> &tracks,
                 const QString &trackError);
    void settled(int generation, int unit, const QList<MovedOutput> &results);
    void tripTracksWritten(int generation, int trip, const QList<safefile::PartialFile> &tracks,
                           const QString &error);
    void recordWritten(int generation, qint64 milliseconds);

private:
    const std::atomic<bool> &cancelled;
};
