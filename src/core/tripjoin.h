#pragma once

// The joining step after a batch's split jobs: which trips the batch's clips make, what
// each trip's joins read and the trip's tracks. A join reads only what the batch itself
// wrote and knows: the clips' outputs as it put them in place (checked to be those very
// files when the join starts), their durations as it read them then, and tracks written
// from the records in memory.

#include "ffmpegcommand.h"
#include "safefile.h"
#include "trip.h"

class ChildFiles;

#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <vector>

// One output of a movie, as the batch put it in place.
struct PlacedOutput
{
    QString path;
    safefile::FileIdentity identity;
    double seconds = 0; // a movie's duration (MP4), where its chapter in a trip ends
};

// A movie's files as the batch put them in place, or found them converted before.
struct MovieOutputs
{
    std::array<PlacedOutput, CameraCount> movies; // by camera
    PlacedOutput track;
    PlacedOutput gpx; // no path: none
};

// A clip of a trip: its movie's outputs, and where its tracks come from.
struct TripClip
{
    int movie = 0; // the block's index
    QString title; // the movie's file name, its chapter's title
    MovieOutputs outputs;
    bool recordsInMemory = true; // else, converted before, its track files are read
};

struct TripJoin
{
    QString name;           // TRIP_YYYYMMDD_HHMMSS
    QList<TripClip> clips;  // in trip order
    qint32 lastRecord = 0;  // the trip's files are dated with it
    MovieMetadata metadata; // the trip's start and place, as its movies carry them
    QString folder;         // the output folder, ending with a separator

    // The trips of a batch's movies: `spans` in batch order, each joinable where all its
    // outputs are written and still in place; `clips` and `metadata` by movie.
    static QList<TripJoin> plan(const QList<trip::ClipSpan> &spans,
                                const std::vector<TripClip> &clips,
                                const std::vector<MovieMetadata> &metadata, long dateShift,
                                const QString &folder);
    QList<int> movies() const;
    QString output(const EncodeSettings &settings, Camera camera) const;
    QString track(const char *suffix) const { return folder + name + suffix; }
    // Opens what the join of a camera reads (ChildFiles): its clips, checked to be the very
    // files the batch put in place, their concat list and, to an MP4 movie, their chapters.
    // The paths of the list and the chapters (empty without), or the reason in `error`.
    std::pair<QString, QString> openInputs(Camera camera, bool chapters, ChildFiles &files,
                                           QString &error) const;
    // Every file the trip puts in the output folder.
    QStringList files(const EncodeSettings &settings, bool gpx) const;
    // The trip's ".gps" (its clips' tracks one after the other) and, where wanted and
    // possible, ".gpx", complete under partial names; the reason one could not be written
    // goes to `error`. Reads the block table (call it once every scan has ended) and the
    // track files of clips converted before, if they are still as they were made.
    QList<safefile::PartialFile> writeTrackPartials(long dateShift, bool gpx, QString &error) const;
};
