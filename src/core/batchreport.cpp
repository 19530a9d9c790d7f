#include "batchreport.h"

#include "globals.h"
#include "translation.h"

BatchReport::BatchReport(int movies, int jobsPerMovie, const QStringList &unreadable)
    : movies(movies), jobsPerMovie(jobsPerMovie), jobs(jobsPerMovie * movies),
      unreadable(unreadable)
{
}

void BatchReport::jobEnded(int order, const QString &name, Step step, const QString &reason,
                           const QString &log)
{
    ++endedJobs;
    if (reason.isEmpty())
        return;
    ++failedJobs;
    if (!log.isEmpty() && !logsWithFailures.contains(log))
        logsWithFailures << log;
    noteFailure(order, name, step, reason);
}

void BatchReport::tripsPlanned(int count)
{
    trips += count;
    jobs += jobsPerMovie * count;
}

void BatchReport::joinsFailed(int order, const QString &tripName, const QString &reason)
{
    endedJobs += jobsPerMovie;
    failedJobs += jobsPerMovie;
    noteFailure(order, tripName, Step::Front, reason);
}

void BatchReport::clipLeftOut(int movie, const QString &reason)
{
    ++clipsLeftOut;
    noteFailure(movie, Step::Trip, reason);
}

void BatchReport::countUnstartedJobsAsFailed()
{
    failedJobs += jobs - endedJobs;
    endedJobs = jobs;
}

void BatchReport::trackFailed(int movie, const QString &reason)
{
    ++failedTracks;
    noteFailure(movie, Step::Track, reason);
}

void BatchReport::movieRefused(int movie, const QString &reason)
{
    noteFailure(movie, Step::Jobs, reason);
}

void BatchReport::logWritten()
{
    logsWritten = true;
}

void BatchReport::logFailed(const QString &reason)
{
    if (logFailure.isEmpty())
        logFailure = reason;
}

static QString stepName(BatchReport::Step step)
{
    switch (step) {
    case BatchReport::Step::Track:
        return translated("track file");
    case BatchReport::Step::Jobs:
        return translated("jobs");
    case BatchReport::Step::Front:
        return translated("front");
    case BatchReport::Step::Rear:
        return translated("rear");
    case BatchReport::Step::Drive:
        return translated("drive movie");
    case BatchReport::Step::Trip:
        return translated("trip");
    }
    return {};
}

void BatchReport::noteFailure(int movie, Step step, const QString &reason)
{
    noteFailure(movie, BLOCKS_g[movie].movieFile.fileName(), step, reason);
}

void BatchReport::noteFailure(int order, const QString &name, Step step, const QString &reason)
{
    const std::pair at{order, step};
    if (!firstFailure.isEmpty() && firstFailureAt <= at)
        return;
    firstFailureAt = at;
    firstFailure = QString("%1 (%2): %3").arg(name, stepName(step), reason);
}

bool BatchReport::complete() const
{
    return failedJobs == 0 && failedTracks == 0 && clipsLeftOut == 0 && logFailure.isEmpty() &&
           unreadable.isEmpty();
}

QString BatchReport::skippedText() const
{
    if (skippedMovies == 0)
        return {};
    return '\n' + (skippedMovies == 1
                       ? translated("1 movie converted before was skipped.")
                       : translated("%1 movies converted before were skipped.").arg(skippedMovies));
}

QString BatchReport::tripsText() const
{
    if (trips == 0)
        return {};
    if (joinedTrips < trips)
        return '\n' + translated("%1 of %2 trips joined.").arg(joinedTrips).arg(trips);
    return '\n' +
           (trips == 1 ? translated("1 trip joined.") : translated("%1 trips joined.").arg(trips));
}

// "front_log.txt and rear_log.txt", "front_log.txt, rear_log.txt and trip_log.txt".
static QString listed(const QStringList &names)
{
    if (names.size() < 2)
        return names.value(0);
    return names.mid(0, names.size() - 1).join(", ") + ' ' + translated("and") + ' ' + names.last();
}

QString BatchReport::logsText() const
{
    if (!logFailure.isEmpty())
        return "\n" + translated("The logs could not be written: %1").arg(logFailure);
    if (!logsWithFailures.isEmpty()) {
        QStringList logs = logsWithFailures; // front, rear, trip: in the order of the steps
        logs.sort();
        return "\n" + translated("See %1 in the output folder.").arg(listed(logs));
    }
    if (logsWritten)
        return "\n" + translated("See front_log.txt and rear_log.txt in the output folder.");
    return {};
}

// Counts what failed and names the first failure, so the message stands on its own
// also when the logs could not be written.
QString BatchReport::text() const
{
    if (complete())
        return translated("Conversion Complete!") + skippedText() + tripsText();
    QStringList troubles;
    if (failedJobs > 0)
        troubles << translated("%1 of %2 jobs failed.").arg(failedJobs).arg(jobs);
    if (failedTracks > 0)
        troubles << translated("%1 of %2 track files could not be written.")
                        .arg(failedTracks)
                        .arg(movies);
    if (clipsLeftOut == 1)
        troubles << translated("1 clip was left out of its trip.");
    else if (clipsLeftOut > 1)
        troubles << translated("%1 clips were left out of their trips.").arg(clipsLeftOut);
    if (unreadable.size() == 1)
        troubles << translated("1 movie was left out: its name is not valid UTF-8 (%1).")
                        .arg(unreadable.first());
    else if (unreadable.size() > 1)
        troubles << translated("%1 movies were left out: their names are not valid UTF-8 (%2).")
                        .arg(unreadable.size())
                        .arg(unreadable.join(", "));
    QString text = troubles.isEmpty()
                       ? translated("Conversion finished with errors.")
                       : translated("Conversion finished with errors: %1").arg(troubles.join(' '));
    text += skippedText();
    if (!firstFailure.isEmpty())
        text += "\n" + translated("First failure: %1").arg(firstFailure);
    return text + tripsText() + logsText();
}
