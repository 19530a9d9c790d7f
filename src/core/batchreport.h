#pragma once

// What a batch did, counted while it runs, and the one message that ends it.

#include <QString>
#include <QStringList>

#include <utility>

class BatchReport
{
public:
    // A movie has jobsPerMovie jobs: front, rear and, where wanted, the drive movie.
    explicit BatchReport(int movies = 0, int jobsPerMovie = 2, const QStringList &unreadable = {});

    // What of a movie failed, in the order the report names a movie's failures.
    enum class Step { Track, Jobs, Front, Rear, Drive, Trip };

    // A job ended; `reason` is empty when its output was written, else `log` names the log
    // that holds its entry (empty when none could be written). Failures are named in
    // `order`: a movie's index, or for a trip's join the number of movies plus the trip's.
    void jobEnded(int order, const QString &name, Step step, const QString &reason,
                  const QString &log = {});
    // Trips were planned: their joins (one per camera, as many as a movie's jobs) are jobs
    // of the batch too.
    void tripsPlanned(int count);
    void tripJoined() { ++joinedTrips; }
    // A trip that could not be prepared: all its joins fail.
    void joinsFailed(int order, const QString &tripName, const QString &reason);
    // A clip whose outputs changed after they were put in place is left out of its trip.
    void clipLeftOut(int movie, const QString &reason);
    // Jobs the batch never started (it stopped at a movie whose jobs could not be made)
    // count as failed.
    void countUnstartedJobsAsFailed();
    void trackFailed(int movie, const QString &reason);
    // A batch that stops at a movie names why.
    void movieRefused(int movie, const QString &reason);
    // Movies converted before, not converted again.
    void moviesSkipped(int count) { skippedMovies = count; }
    void logWritten();
    void logFailed(const QString &reason);

    // Every movie, track file, trip and log written, and no movie of the selection left out.
    bool complete() const;
    // "Conversion Complete!", or what failed, counted, with the first failure named.
    QString text() const;
    // The line that says how many movies were skipped; empty if none.
    QString skippedText() const;

private:
    // The first failure in batch order (not in the order they happened: jobs of a movie
    // end in any order) is named in the message.
    void noteFailure(int movie, Step step, const QString &reason);
    void noteFailure(int order, const QString &name, Step step, const QString &reason);
    QString tripsText() const;
    QString logsText() const;

    int movies = 0;
    int jobsPerMovie = 2; // and per trip
    int jobs = 0;
    int endedJobs = 0;
    int failedJobs = 0;
    int failedTracks = 0;
    int trips = 0;
    int joinedTrips = 0;
    int clipsLeftOut = 0;
    int skippedMovies = 0;
    bool logsWritten = false;
    QStringList logsWithFailures; // the logs that hold a failed job's entry
    QString firstFailure;
    std::pair<int, Step> firstFailureAt{0, Step::Track};
    QString logFailure;
    QStringList unreadable; // movies of the selection whose names could not be decoded
};
