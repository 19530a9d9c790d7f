#pragma once

// The joining step after a batch's split jobs: which trips the batch's clips make, what
// each trip's joins read and the trip's tracks. A join reads only what the batch itself
// wrote and knows: the clips' outputs as it put them in place (checked to be those very
// files when the join starts), their durations as it read them then, and tracks written
// from the records in memory.

#include "ffmpegcommand.h"
#include "safefile.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <vector>

// One camera's output of a clip, as the batch put it in place.
struct PlacedOutput
{
    QString path;
    safefile::FileIdentity identity;
    double seconds = 0; // its duration (MP4), where its chapter in a trip ends
};

struct TripJoin
{
    QString name;                 // TRIP_YYYYMMDD_HHMMSS
    QList<int> movies;            // the clips' blocks, in trip order
    qint32 lastRecord = 0;        // the trip's files are dated with it
    MovieMetadata metadata;       // the trip's start and place, as its movies carry them
    QString folder;               // the output folder, ending with a separator
    QList<PlacedOutput> clips[2]; // per camera, the clips' outputs
    QStringList titles;           // the clips' movie names, their chapters' titles

    // The trips of a batch's first `movies` blocks; a clip joins only if it is `joinable`
    // (both its outputs written, still in place), `placed` holding its outputs per camera.
    static QList<TripJoin> plan(int movies, const std::vector<bool> &joinable,
                                const std::vector<std::array<PlacedOutput, 2>> &placed,
                                const std::vector<MovieMetadata> &metadata, long dateShift,
                                const QString &folder);
    QString output(const EncodeSettings &settings, Camera camera) const;
    // Where a camera's clips are in the array above.
    static int side(Camera camera) { return camera == Camera::Front ? 0 : 1; }
    QString track(const char *suffix) const { return folder + name + suffix; }
    // Every file the trip puts in the output folder.
    QStringList files(const EncodeSettings &settings, bool gpx) const;
    // The trip's ".gps" (its clips' tracks one after the other) and, where wanted and
    // possible, ".gpx", complete under partial names; the reason one could not be written
    // goes to `error`. Reads the block table: call it once every scan has ended.
    QList<safefile::PartialFile> writeTrackPartials(long dateShift, bool gpx, QString &error) const;
};

Q_DECLARE_METATYPE(TripJoin)

// What one join reads, handed to ffmpeg as open files ("/dev/fd/N"): the clips, opened
// only if each is still the very file the batch put in place, and the concat list and
// chapters, which live in memory. Whoever may write the output folder can redirect none
// of it. The files are closed with the object.
class JoinInputs
{
public:
    // `error` names a clip that was replaced since it was put in place, or what could not
    // be opened.
    JoinInputs(const QList<PlacedOutput> &clips, const QStringList &titles, bool chapters,
               QString &error);
    ~JoinInputs();
    JoinInputs(const JoinInputs &) = delete;
    JoinInputs &operator=(const JoinInputs &) = delete;

    QString list() const;
    QString chapters() const; // empty without chapters
    // Lets the child process started next inherit the files. Only the GUI thread starts
    // processes, and the files are closed right after the start, so no other child
    // inherits them.
    void passToNextChild() const;

private:
    static QString pathOf(int fd);
    std::vector<int> fds;
    int listFd = -1;
    int chaptersFd = -1;
};
