#pragma once

// One conversion batch from the moment its output folder is asked for until its message:
// its phase, its movies' scans on the scan thread, its queue of ffmpeg jobs and its report.
//
//   Idle --chooseOutput--> ChoosingOutput --start--> Converting --all done--> Ending --> Idle
//                                     (Converting joins the trips after the split jobs)
//                          ChoosingOutput --dropChoice--> Idle (no folder, or one refused)
//   any phase --abort--> Idle (closing: nothing reported)
//
// While Converting, movies are handed out in batch order, one at a time: the movie's scan
// (telemetry and track files) starts on the scan thread, and as soon as its first records
// tell what the outputs say of the drive (its start and place; usually after the first
// megabytes, at the latest when the scan ends), the window makes the movie's jobs, which
// start as soon as a slot is free. Scan and jobs read the same pages, so the movie is read
// from the disk once. The next movie is handed out once the scan has
// ended and no job waits for a slot, so the scan brings each movie into the page cache just
// before its jobs read it. A job's output gets its final name and date once the job and its
// movie's scan have both ended, on the scan thread, which flushes it to the disk first.

#include "batchreport.h"
#include "configuration.h"
#include "ffmpegcommand.h"
#include "tripjoin.h"

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QSet>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class ScanWorker;

// One ffmpeg run of a batch. The kind says which of the window's finished slots hears of it.
struct Job
{
    Camera camera;
    int movie; // the block's index
    QString program;
    QStringList arguments;
    QString logPath;
    QString output;  // the final name, which only a complete output gets
    QString partial; // what ffmpeg writes: made with the job, under a name nobody can foresee
    int trip = -1;   // a trip's join (then movie is -1): the trip's index in the batch
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
    // Jobs of this batch that have ended, counted before jobFinished is emitted.
    int finishedJobs() const { return finished; }
    int movieCount() const { return movies; }
    // The latest movie whose jobs have started, from 0; -1 before the first.
    int movieInProgress() const { return latestStarted; }
    // Movies whose jobs have all ended with both outputs written.
    int convertedMovies() const { return moviesConverted; }
    // From the pace of the movies finished so far; -1 before the first has finished.
    qint64 secondsLeft() const;
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
    // Ends the batch at once: the scan is stopped, running jobs are killed and all partial
    // outputs removed, so that no ffmpeg outlives it and no broken file is left. An output
    // being flushed is first moved into place whole.
    void abort();

signals:
    // A movie's jobs have started, or all of them have ended.
    void progressed();
    void jobFinished(const Job &job, int exitCode, QProcess::ExitStatus exitStatus);
    // Trips were planned: their joins are steps of the batch too.
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

    void enqueue(const Job &job);
    QString makeJoins(int trip);
    void advance();
    bool mayHandOutMovie() const;
    void handOutMovie();
    void startScan(int movie);
    void metadataRead(int generation, int movie, const MovieMetadata &movieMetadata);
    void movieScanned(int generation, int movie, const QString &trackError);
    void startQueuedJobs();
    void startJob(const Job &job);
    void processEnded(QProcess *process, int exitCode, QProcess::ExitStatus exitStatus);
    void jobEnded(const EndedJob &ended);
    void conclude(const EndedJob &ended);
    void settle(const EndedJob &ended);
    void outputSettled(int generation, const QString &trouble);
    void finish(const EndedJob &ended, const QString &reason);
    void movieJobEnded(int movie, bool written);
    std::optional<qint64> dateOf(const Job &job) const;
    void planTrips();
    void tripsPrepared(int generation, const QList<TripJoin> &prepared, const QStringList &errors);
    void joinEnded(int trip);
    void writeLog(const Job &job, const QByteArray &errorOutput, const QString &result);
    void releaseIfDone(int movie);
    bool allDone() const;
    void endIfDone();
    void stopScanThread();

    QObject *const processParent;
    const JobMaker makeJobs;
    s_CONF conf{};
    Phase current = Phase::Idle;
    int generation = 0; // tells a late scan result of an ended batch from a current one
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
    std::vector<bool> scanned;
    std::vector<MovieMetadata> metadata;
    std::vector<int> jobsLeft;        // per movie: jobs not yet finished (see finish)
    std::vector<bool> jobFailed;      // per movie: one of its jobs failed
    std::vector<bool> outputsWritten; // per movie: both outputs written
    int latestStarted = -1;
    int moviesFinished = 0;
    int moviesConverted = 0;
    QElapsedTimer clock;
    int unfinishedJobs = 0;
    int finished = 0;
    std::deque<Job> queue;
    std::map<QProcess *, Job> running;
    std::vector<EndedJob> waitingForScan; // of the movie being scanned
    std::deque<EndedJob> settling;        // outputs being moved into place, in hand-over order
    QSet<QString> truncatedLogs;

    // The trips, once the split jobs have ended.
    enum class TripStep { Unplanned, Preparing, Joining };
    bool joinTrips = false;
    TripStep tripStep = TripStep::Unplanned;
    QList<TripJoin> trips;
    std::vector<int> joinsLeft; // per trip

    // Movies are scanned, their track files written and finished outputs moved into place
    // on scanThread (see ScanWorker).
    QThread scanThread;
    std::unique_ptr<ScanWorker> scanWorker;
    std::atomic<bool> scanCancelled{false};
};
