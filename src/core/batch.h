#pragma once

// One conversion batch from the moment its output folder is asked for until its message:
// its phase, its movies' scans on the scan thread, its queue of ffmpeg jobs and its report.
//
//   Idle --chooseOutput--> ChoosingOutput --start--> Converting --all done--> Ending --> Idle
//                                     (Converting joins the trips after the split jobs)
//                          ChoosingOutput --dropChoice--> Idle (no folder, or one refused)
//   any phase --abort--> Idle (closing, Cancel: nothing reported)
//
// While Converting, movies are handed out in batch order, one at a time: the movie's scan
// (telemetry and track files) starts on the scan thread, and as soon as its first records
// tell what the outputs say of the drive (its start and place; usually after the first
// megabytes, at the latest when the scan ends), the front end has the movie's jobs made,
// which start as soon as a slot is free. Scan and jobs read the same pages, so the movie is
// read from the disk once. The next movie is handed out once the scan has ended and no job
// waits for a slot, so the scan brings each movie into the page cache just before its jobs
// read it.
//
// Each movie, and later each trip, is a unit whose files all get their final names at once,
// on the scan thread (which flushes them to the disk first), when its jobs have ended: so a
// batch ended early leaves a movie with all its files or none of them. A trip keeps its
// files only if all of them were written.

#include "batchreport.h"
#include "configuration.h"
#include "ffmpegcommand.h"
#include "manifest.h"
#include "safefile.h"
#include "tripjoin.h"

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QSet>
#include <QStringList>
#include <QThread>

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class ChildFiles;
class ScanWorker;
struct MovedOutput;

// One ffmpeg run of a batch. The camera says which of the window's finished slots hears of
// it (the drive movie, Both, none).
struct Job
{
    Camera camera;
    int movie; // the block's index
    QString program;
    QStringList arguments; // a join's are made when it starts, from the files it then opens
    QString logPath;
    QString output;  // the final name, which only a complete output gets
    QString partial; // what ffmpeg writes: made with the job, under a name nobody can foresee
    int trip = -1;   // a trip's join (then movie is -1): the trip's index in the batch
    QStringList environment; // NAME=value, added to the program's own
};

class Batch : public QObject
{
    Q_OBJECT

public:
    enum class Phase { Idle, ChoosingOutput, Converting, Ending };
    // Has the jobs of a movie made (makeMovieJobs) and tells the user if it could not;
    // false stops the batch at that movie.
    using JobMaker = std::function<bool(int movie)>;

    // The jobs' processes are children of `processParent` (the window's, in the window).
    Batch(QObject *processParent, JobMaker makeJobs);
    ~Batch() override;

    Phase phase() const { return current; }
    // The steps a batch of `movies` starts with: one per split job, and one for planning
    // the trips when they are joined. Planned trips add theirs (stepsAdded).
    static int initialSteps(int movies, const s_CONF &conf);
    // Steps of this batch done so far: jobs ended and trips prepared.
    int stepsDone() const { return steps; }
    int movieCount() const { return movies; }
    // The movies the batch converts: all but those converted before.
    int moviesToConvert() const { return movies - int(skipped.size()); }
    // The latest movie whose jobs have started, from 0; -1 before the first.
    int movieInProgress() const { return latestStarted; }
    // Movies whose jobs have all ended with both outputs written.
    int convertedMovies() const { return moviesConverted; }
    // Once the split jobs have ended, with trips: planning and writing their tracks
    // (preparing), then joining them.
    bool preparingTrips() const;
    bool joiningTrips() const;
    int tripCount() const { return int(trips.size()); }
    int joinedTrips() const { return tripsJoined; }
    // From the pace of the movies finished so far; -1 before the first has finished.
    qint64 secondsLeft() const;
    // What the batch does now: "Movie 3 of 40: FILE0003.AVI", "Preparing trips...",
    // "Joining 2 trips..."; empty before the first movie's jobs start.
    QString stepText() const;
    // "12 min", while movies are converted and once one has finished; else empty.
    QString timeLeft() const;
    // Jobs started at the same time, at most.
    static int maxParallelJobs();

    // Movies of the next selection whose names could not be decoded: named in its report.
    void leaveOut(const QStringList &unreadable);
    void chooseOutput();
    void dropChoice();
    // The movies are blocks 0 to movies - 1, converted as `conf` says into its output
    // folder; with joinTrips, the clips of each trip are joined once the split jobs have
    // ended. A batch without movies ends at once, without a report.
    void start(int movies, const s_CONF &conf);
    // Queues the movie's front and rear jobs; the reason it can get none, or an empty
    // string.
    QString makeMovieJobs(int movie);
    // What a movie's outputs say of the drive, known when its jobs are made.
    const MovieMetadata &metadataOf(int movie) const { return metadata[size_t(movie)]; }
    // Ends the batch at once: the scan is stopped, running jobs are killed and every file
    // of a movie or trip that has not got its final names is removed, so that no ffmpeg
    // outlives it and no broken or partial unit is left. An output being flushed is first
    // moved into place whole.
    void abort();
    // What an aborted batch did: "Conversion cancelled: 3 of 40 movies converted."
    QString cancelledText() const;

signals:
    // A movie's jobs have started, or all of them have ended; trips were planned or one
    // was prepared.
    void progressed();
    void jobFinished(const Job &job, int exitCode, QProcess::ExitStatus exitStatus);
    // A movie or trip has all its files in place, or what failed first (its tracks' trouble
    // or a job's).
    void unitEnded(const QString &name, const QString &failure);
    // Trips were planned: preparing and joining them are steps of the batch too.
    void stepsAdded(int steps);
    // Every job and scan has ended; the phase is Ending until the connected slots return.
    void ended(const BatchReport &report);

private:
    struct EndedJob
    {
        Job job;
        QString failure; // empty when ffmpeg succeeded
        QByteArray errorOutput;
        int exitCode;
        QProcess::ExitStatus exitStatus;
    };
    // A movie (units 0 to movies - 1) or a trip (movies + its index): its files get their
    // final names together, once it is ready and its jobs have ended.
    struct Unit
    {
        bool ready = false;    // a movie's scan has ended; a trip's tracks are written
        bool jobsMade = false; // or refused
        int jobsLeft = 0;
        bool settling = false; // handed to the scan thread to be put in place
        bool done = false;
        std::vector<EndedJob> ended;         // its jobs that have ended, in order
        QList<safefile::PartialFile> tracks; // its track files, complete
        QString trouble;                     // why a track file could not be written
        std::optional<Job> driveJob;         // a movie's drive job, queued once it is scanned
    };

    void advance();
    bool mayHandOutMovie() const;
    void startScan(int movie);
    ScanWorker *worker();
    void metadataRead(int generation, int movie, const MovieMetadata &movieMetadata);
    void movieScanned(int generation, int movie, const QList<safefile::PartialFile> &tracks,
                      const QString &trackError);
    void enqueue(const Job &job);
    void startQueuedJobs();
    void startJob(Job job);
    void processEnded(QProcess *process, int exitCode, QProcess::ExitStatus exitStatus);
    void jobEnded(const EndedJob &ended);
    int unitOf(const Job &job) const { return job.trip >= 0 ? movies + job.trip : job.movie; }
    void settleIfDone(int unit);
    void discard(Unit &unit);
    void unitSettled(int generation, int unit, const QList<MovedOutput> &results);
    void finishUnit(int unit, const QStringList &jobFailures);
    void countSettledWhileEnding(int unit, const QList<MovedOutput> &results);
    void recordJobEnd(const Job &job, const QByteArray &errorOutput, const QString &reason);
    void trackFailed(int movie, const QString &reason);
    void movieFinished(int movie, bool written);
    void tripJoined(int trip);
    std::optional<qint64> dateOf(const Job &job) const;
    void skipConvertedBefore();
    int nextToConvert(int movie) const;
    void recordConversions();
    void recordMovie(int movie);
    void recordTrip(int trip);
    void writeRecordIfDue();
    void writeRecord();
    void recordWritten(int generation, qint64 milliseconds);
    void writeRecordLast();
    bool joinedBefore(const TripJoin &trip) const;
    QString tripSettings() const;
    void planTrips();
    QString replacedOutput(int movie) const;
    void tripTracksWritten(int generation, int trip, const QList<safefile::PartialFile> &tracks,
                           const QString &error);
    void failTrip(int trip, const QString &reason);
    QString makeJoins(int trip);
    void enqueueDriveJobOnceScanned(int movie);
    int jobsPerMovie() const;
    int stepsPerTrip() const;
    QString prepareJoin(Job &job, ChildFiles &files) const;
    QString prepareMovieJob(Job &job, ChildFiles &files) const;
    bool writeLog(const Job &job, const QByteArray &errorOutput, const QString &result);
    void releaseIfDone(int movie);
    bool allDone() const;
    void endIfDone();
    void stopScanThread();

    QObject *const processParent;
    const JobMaker makeJobs;
    s_CONF conf{};
    Phase current = Phase::Idle;
    int generation = 0;        // tells a late answer of the scan thread to an ended batch
    int endingGeneration = -1; // while abort() takes the answers of the batch it ends
    int movies = 0;
    long dateShift = 0;
    QStringList unreadable;
    BatchReport report;

    int nextMovie = 0;     // the next movie to hand out
    int metadataKnown = 0; // movies whose metadata came, from the first on
    int nextJobs = 0;      // the next movie whose jobs are made
    bool stopped = false;  // a movie's jobs could not be made: no later movie is handed out
    bool scanning = false;
    bool advancing = false;
    std::vector<MovieMetadata> metadata;
    std::vector<Unit> units;
    int settlingUnits = 0;
    std::vector<bool> outputsWritten; // per movie: both outputs written
    std::vector<MovieOutputs> placed; // per movie: its files in place

    // Movies converted before (with the option on): the output folder's record of them.
    Manifest manifest;
    QMap<int, Manifest::Movie> skipped;     // by movie
    std::vector<Manifest::Movie> movieKeys; // each movie's size and time as the batch began
    bool recordWriting = false;             // a write of it is queued on the scan thread
    QElapsedTimer sinceRecordWrite;
    qint64 recordWriteMs = 0; // how long the last write took
    int latestStarted = -1;
    int moviesFinished = 0;
    int moviesConverted = 0;
    QElapsedTimer clock;
    int unfinishedJobs = 0;
    int steps = 0;
    std::deque<Job> queue;
    std::map<QProcess *, Job> running;
    QSet<QString> truncatedLogs;

    // The trips, once the split jobs have ended.
    enum class TripStep { Unplanned, Preparing, Joining };
    TripStep tripStep = TripStep::Unplanned;
    QList<TripJoin> trips;
    std::vector<QList<PlacedOutput>> tripFiles; // per joined trip, as put in place
    int tripsPreparing = 0;
    int tripsJoined = 0;

    // Movies are scanned, their track files written and finished units put in place on
    // scanThread (see ScanWorker).
    QThread scanThread;
    std::unique_ptr<ScanWorker> scanWorker;
    std::atomic<bool> scanCancelled{false};
};
