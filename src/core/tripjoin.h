#pragma once

// The joining step after a batch's split jobs: which trips the batch's clips make, and
// what each trip's joins need. The trips are planned on the GUI thread from the batch's
// records; prepare() runs on the scan thread, as it waits for ffprobe and writes files.

#include "ffmpegcommand.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <vector>

struct TripJoin
{
    QString name;           // TRIP_YYYYMMDD_HHMMSS
    QList<int> movies;      // the clips' blocks, in trip order
    qint32 lastRecord = 0;  // the trip's files are dated with it
    MovieMetadata metadata; // the trip's start and place, as its movies carry them
    QString folder;         // the output folder, ending with a separator
    QStringList clips[2];   // the clips' front and rear outputs
    QStringList tracks;     // the clips' track files
    QStringList titles;     // the clips' movie names, their chapters' titles
    QString lists[2];       // per camera, the concat list that prepare() writes
    QString chapters[2];    // per camera, the chapters of an MP4 join, from prepare()

    // The trips of a batch's first `movies` blocks; a clip joins only if both its outputs
    // were written.
    static QList<TripJoin> plan(int movies, const std::vector<bool> &outputsWritten,
                                const std::vector<MovieMetadata> &metadata, long dateShift,
                                const QString &folder);
    QString output(const EncodeSettings &settings, Camera camera) const;
    // Where a camera's clips, list and chapters are in the arrays above.
    static int side(Camera camera) { return camera == Camera::Front ? 0 : 1; }
    QString track(const char *suffix) const { return folder + name + suffix; }
    // Writes the concat lists, the chapters (MP4) and the trip's track files; the reason
    // something could not be written, or an empty string.
    QString prepare(const EncodeSettings &settings, long dateShift, bool gpx);
    void removeTemporaryFiles() const;
};

Q_DECLARE_METATYPE(TripJoin)
