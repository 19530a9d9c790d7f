#include "batch.h"

#include "globals.h"
#include "joblog.h"
#include "outputs.h"
#include "safefile.h"
#include "scanworker.h"
#include "trackfile.h"
#include "translation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

Batch::Batch(QObject *processParent, JobMaker makeJobs)
    : processParent(processParent), makeJobs(std::move(makeJobs))
{
}

Batch::~Batch()
{
    abort();
}

int Batch::maxParallelJobs()
{
    return std::max(2, QThread::idealThreadCount());
}

void Batch::leaveOut(const QStringList &names)
{
    unreadable = names;
}

void Batch::chooseOutput()
{
    current = Phase::ChoosingOutput;
}

void Batch::dropChoice()
{
    unreadable.clear(); // they belonged to this selection
    current = Phase::Idle;
}

void Batch::start(int movieCount, const s_CONF &configuration)
{
    ++generation;
    movies = movieCount;
    conf = configuration;
    dateShift = timezoneShiftSeconds(conf.timezoneOffset);
    joinTrips = conf.joinTrips;
    tripStep = TripStep::Unplanned;
    trips.clear();
    outputsWritten.assign(size_t(movies), false);
    report = BatchReport(movies, unreadable);
    unreadable.clear();
    nextMovie = 0;
    metadataKnown = 0;
    nextJobs = 0;
    stopped = false;
    scanned.assign(size_t(movies), false);
    metadata.assign(size_t(movies), MovieMetadata{});
    jobsLeft.assign(size_t(movies), 0);
    jobFailed.assign(size_t(movies), false);
    latestStarted = -1;
    moviesFinished = 0;
    moviesConverted = 0;
    clock.start();
    unfinishedJobs = 0;
    finished = 0;
    truncatedLogs.clear();
    // An empty batch has nothing to wait for and nothing to report.
    current = movies > 0 ? Phase::Converting : Phase::Idle;
    advance();
}

void Batch::enqueue(const Job &job)
{
    queue.push_back(job);
    if (job.trip >= 0)
        ++joinsLeft[size_t(job.trip)];
    else
        ++jobsLeft[size_t(job.movie)];
    ++unfinishedJobs;
}

QString Batch::makeMovieJobs(int movie)
{
    const QString program = ffmpegProgram();
    const QFileInfo &movieFile = BLOCKS_g[movie].movieFile;
    QString front, rear, refusal;
    if (!QFile::exists(program))
        refusal = QString("Could not find ffmpeg here: %1").arg(program);
    else if (!outputs::splitPaths(movieFile, conf, front, rear))
        refusal = translated("Could not find AVI file extension");
    // ffmpeg writes into files made for it, under names nobody can foresee (safefile.h).
    QStringList partials;
    if (refusal.isEmpty()) {
        QString trouble;
        partials = safefile::createPartials({front, rear}, trouble);
        if (partials.isEmpty())
            refusal = translated("Could not start writing %1").arg(trouble);
    }
    if (!refusal.isEmpty()) {
        report.movieRefused(movie, refusal);
        return refusal;
    }
    BLOCKS_g[movie].frontFileName = front;
    BLOCKS_g[movie].rearFileName = rear;
    const EncodeSettings settings = encodeSettingsOf(conf);
    const auto job = [&](Camera camera, const QString &output, const QString &partial,
                         const char *log) {
        return Job{
            camera,
            movie,
            program,
            splitArguments(settings, movieFile.filePath(), camera, partial, metadataOf(movie)),
            conf.outputDirectory + log,
            output,
            partial};
    };
    enqueue(job(Camera::Front, front, partials[0], "front_log.txt"));
    enqueue(job(Camera::Rear, rear, partials[1], "rear_log.txt"));
    return {};
}

// Queues the front and rear joins of a trip, logged in "trip_log.txt".
QString Batch::makeJoins(int trip)
{
    const TripJoin &join = trips[trip];
    const EncodeSettings settings = encodeSettingsOf(conf);
    const QString front = join.output(settings, Camera::Front);
    const QString rear = join.output(settings, Camera::Rear);
    QString trouble;
    const QStringList partials = safefile::createPartials({front, rear}, trouble);
    if (partials.isEmpty())
        return trouble;
    for (const Camera camera : {Camera::Front, Camera::Rear}) {
        const int side = TripJoin::side(camera);
        enqueue(Job{camera, -1, ffmpegProgram(),
                    joinArguments(settings, join.lists[side], join.chapters[side], partials[side],
                                  join.metadata),
                    conf.outputDirectory + "trip_log.txt", QStringList{front, rear}[side],
                    partials[side], trip});
    }
    return {};
}

// Makes the jobs of movies whose metadata came, hands out movies and starts jobs while
// there is room, then ends the batch if all is done. A job that cannot start ends at once,
// and the message box of a movie whose jobs cannot be made runs the event loop: both call
// back in here, and the outer call goes on with the loop, so the stack stays flat and no
// movie is handed out before the one before it has its jobs (or has stopped the batch).
void Batch::advance()
{
    if (advancing)
        return;
    advancing = true;
    while (current == Phase::Converting) {
        if (nextJobs < metadataKnown) {
            // A movie whose jobs cannot be made (the window has said why) stops the batch.
            if (!makeJobs(nextJobs++))
                stopped = true;
        } else if (mayHandOutMovie()) {
            handOutMovie();
        } else {
            break;
        }
    }
    if (current == Phase::Converting)
        startQueuedJobs();
    advancing = false;
    endIfDone();
}

bool Batch::mayHandOutMovie() const
{
    return nextMovie < movies && !stopped && !scanning && queue.empty();
}

void Batch::handOutMovie()
{
    startScan(nextMovie++);
}

void Batch::startScan(int movie)
{
    if (!scanWorker) {
        scanWorker = std::make_unique<ScanWorker>(scanCancelled);
        scanWorker->moveToThread(&scanThread);
        connect(scanWorker.get(), &ScanWorker::metadataRead, this, &Batch::metadataRead);
        connect(scanWorker.get(), &ScanWorker::scanned, this, &Batch::movieScanned);
        connect(scanWorker.get(), &ScanWorker::settled, this, &Batch::outputSettled);
        connect(scanWorker.get(), &ScanWorker::tripsPrepared, this, &Batch::tripsPrepared);
    }
    if (!scanThread.isRunning())
        scanThread.start();
    scanning = true;
    ScanWorker *worker = scanWorker.get();
    QMetaObject::invokeMethod(
        worker,
        [worker, generation = generation, scan = MovieScan::of(movie, conf)] {
            worker->scan(generation, scan);
        },
        Qt::QueuedConnection);
}

void Batch::metadataRead(int scanGeneration, int movie, const MovieMetadata &movieMetadata)
{
    if (scanGeneration != generation)
        return;
    metadata[size_t(movie)] = movieMetadata;
    metadataKnown = movie + 1;
    advance();
}

void Batch::movieScanned(int scanGeneration, int movie, const QString &trackError)
{
    if (scanGeneration != generation)
        return; // the batch was ended while the movie was read
    scanning = false;
    scanned[size_t(movie)] = true;
    if (!trackError.isEmpty())
        report.trackFailed(movie, trackError);
    std::vector<EndedJob> waiting;
    waiting.swap(waitingForScan);
    for (const EndedJob &ended : waiting)
        conclude(ended);
    releaseIfDone(movie);
    advance();
}

void Batch::startQueuedJobs()
{
    while (int(running.size()) < maxParallelJobs() && !queue.empty()) {
        const Job job = queue.front();
        queue.pop_front();
        startJob(job);
    }
}

// Why a path cannot go to ffmpeg: only a regular file can (a named pipe would block it
// for ever, a folder is no movie); empty when it can.
static QString notAMovieFile(const QString &path)
{
    struct stat status;
    if (stat(QFile::encodeName(path).constData(), &status) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (S_ISREG(status.st_mode))
        return {};
    if (S_ISDIR(status.st_mode))
        return QString("a folder, not a movie file");
    if (S_ISFIFO(status.st_mode))
        return QString("a named pipe, not a movie file");
    return QString("not a regular file");
}

void Batch::startJob(const Job &job)
{
    // Each log is emptied when the batch's first job that writes to it starts.
    if (!truncatedLogs.contains(job.logPath)) {
        truncatedLogs.insert(job.logPath);
        const QString trouble = joblog::truncate(job.logPath);
        if (!trouble.isEmpty())
            report.logFailed(trouble);
    }
    if (job.movie > latestStarted) {
        latestStarted = job.movie;
        emit progressed();
    }
    const QString unusable =
        job.trip >= 0 ? QString() : notAMovieFile(BLOCKS_g[job.movie].movieFile.filePath());
    if (!unusable.isEmpty()) {
        jobEnded({job, unusable, {}, -1, QProcess::CrashExit});
        return;
    }
    auto *process = new QProcess(processParent);
    // Conversions run in the background: at a lower priority the window, the scan and
    // the rest of the desktop stay responsive while every core encodes.
    process->setChildProcessModifier([] {
        const int niceness = ::nice(10);
        (void)niceness; // without it the job only runs at the usual priority
    });
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    running.emplace(process, job);
    connect(process, &QProcess::finished, this,
            [this, process](int exitCode, QProcess::ExitStatus exitStatus) {
                processEnded(process, exitCode, exitStatus);
            });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            processEnded(process, -1, QProcess::CrashExit);
    });
    process->start(job.program, job.arguments, QIODevice::ReadOnly);
}

// Lines ffmpeg prints after the reason it failed: progress, statistics, a codec's
// closing figures ("[aac @ 0x...] Qavg: 109.568") and its general last words.
static bool afterTheReason(const QByteArray &line)
{
    for (const char *prefix :
         {"frame=", "size=", "video:", "Last message repeated", "Conversion failed!"})
        if (line.startsWith(prefix))
            return true;
    return line.startsWith('[') && !line.contains("rror") && !line.contains("nvalid") &&
           !line.contains("ailed");
}

// The reason ffmpeg gives last, e.g. "Error closing file ...: No space left on device".
static QString failureReason(const QByteArray &errorOutput)
{
    const QList<QByteArray> lines = errorOutput.split('\n');
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        const QByteArray text = line->split('\r').last().trimmed();
        if (!text.isEmpty() && !afterTheReason(text))
            return QString::fromUtf8(text);
    }
    return {};
}

static QString processFailure(const QProcess *process, int exitCode,
                              QProcess::ExitStatus exitStatus, const QByteArray &errorOutput)
{
    if (process->error() == QProcess::FailedToStart)
        return QString("could not be started: %1").arg(process->errorString());
    if (exitStatus == QProcess::CrashExit)
        return QString("crashed");
    if (exitCode != 0)
        return QString("exit code %1: %2").arg(exitCode).arg(failureReason(errorOutput));
    return {};
}

void Batch::processEnded(QProcess *process, int exitCode, QProcess::ExitStatus exitStatus)
{
    const auto found = running.find(process);
    if (found == running.end())
        return; // FailedToStart is followed by no finish, but be sure
    const Job job = found->second;
    running.erase(found);
    process->disconnect(this);
    process->deleteLater();
    const QByteArray errorOutput = process->readAllStandardError();
    const QString failure = processFailure(process, exitCode, exitStatus, errorOutput);
    advance(); // the free slot goes to the next job at once
    jobEnded({job, failure, errorOutput, exitCode, exitStatus});
}

// A job's output gets its name and date once its movie's scan has ended too.
void Batch::jobEnded(const EndedJob &ended)
{
    if (ended.job.trip >= 0 || scanned[size_t(ended.job.movie)])
        conclude(ended);
    else
        waitingForScan.push_back(ended);
}

// Keeps a complete output under its final name, dated like the drive; a failed one is
// removed, so that an earlier complete output of the same name survives.
void Batch::conclude(const EndedJob &ended)
{
    if (!ended.failure.isEmpty())
        finish(ended, ended.failure);
    else if (QFileInfo(ended.job.partial).size() <= 0)
        finish(ended, QString("ffmpeg wrote no output"));
    else
        settle(ended);
}

// The output is flushed to the disk before it gets its name, which can take seconds: the
// scan thread moves it into place, and the job ends when the answer comes back.
void Batch::settle(const EndedJob &ended)
{
    settling.push_back(ended);
    ScanWorker *worker = scanWorker.get();
    QMetaObject::invokeMethod(
        worker,
        [worker, generation = generation,
         move = OutputMove{ended.job.partial, ended.job.output, dateOf(ended.job)}] {
            worker->settle(generation, move);
        },
        Qt::QueuedConnection);
}

void Batch::outputSettled(int settledGeneration, const QString &trouble)
{
    // The batch was ended meanwhile: abort() removed the partial files it knew of.
    if (settledGeneration != generation)
        return;
    // One worker, queued both ways: the answers come in the order the outputs were handed over.
    const EndedJob ended = settling.front();
    settling.pop_front();
    if (trouble.isEmpty())
        finish(ended, trouble);
    else
        finish(ended, QString("could not be renamed to %1: %2")
                          .arg(QDir::toNativeSeparators(ended.job.output), trouble));
}

void Batch::finish(const EndedJob &ended, const QString &reason)
{
    const Job &job = ended.job;
    if (!reason.isEmpty())
        QFile::remove(job.partial);
    const auto step =
        job.camera == Camera::Front ? BatchReport::Step::Front : BatchReport::Step::Rear;
    writeLog(job, ended.errorOutput, reason.isEmpty() ? QString("exit code 0") : reason);
    --unfinishedJobs;
    ++finished;
    if (job.trip >= 0) {
        report.jobEnded(movies + job.trip, trips[job.trip].name, step, reason);
        joinEnded(job.trip);
    } else {
        report.jobEnded(job.movie, BLOCKS_g[job.movie].movieFile.fileName(), step, reason);
        movieJobEnded(job.movie, reason.isEmpty());
    }
    emit jobFinished(job, ended.exitCode, ended.exitStatus);
    advance();
}

// A movie's outputs are dated with its drive's last second, a trip's with the trip's.
std::optional<qint64> Batch::dateOf(const Job &job) const
{
    if (job.trip >= 0)
        return trips[job.trip].lastRecord + qint64(dateShift);
    return trackfile::driveDate(BLOCKS_g[job.movie], dateShift);
}

// The clips that continue each other, from the split jobs' results; their joins are made
// once the scan thread has prepared them (ffprobe for the chapters, the trip's tracks).
void Batch::planTrips()
{
    trips = TripJoin::plan(movies, outputsWritten, metadata, dateShift, conf.outputDirectory);
    joinsLeft.assign(size_t(trips.size()), 0);
    if (trips.isEmpty()) {
        tripStep = TripStep::Joining;
        return;
    }
    tripStep = TripStep::Preparing;
    ScanWorker *worker = scanWorker.get();
    QMetaObject::invokeMethod(
        worker,
        [worker, generation = generation, trips = trips, settings = encodeSettingsOf(conf),
         shift = dateShift,
         gpx = conf.gpxTrack] { worker->prepareTrips(generation, trips, settings, shift, gpx); },
        Qt::QueuedConnection);
}

void Batch::tripsPrepared(int preparedGeneration, const QList<TripJoin> &prepared,
                          const QStringList &errors)
{
    if (preparedGeneration != generation)
        return; // abort() removes what the prepared trips wrote
    trips = prepared;
    tripStep = TripStep::Joining;
    int joins = 0;
    for (int trip = 0; trip < trips.size(); ++trip) {
        report.addJobs(2);
        const QString trouble = errors[trip].isEmpty() ? makeJoins(trip) : errors[trip];
        if (trouble.isEmpty()) {
            joins += 2;
            continue;
        }
        report.joinsFailed(movies + trip, trips[trip].name, trouble);
        trips[trip].removeTemporaryFiles();
    }
    emit stepsAdded(joins);
    advance();
}

void Batch::joinEnded(int trip)
{
    if (--joinsLeft[size_t(trip)] == 0)
        trips[trip].removeTemporaryFiles();
}

void Batch::movieJobEnded(int movie, bool written)
{
    if (!written)
        jobFailed[size_t(movie)] = true;
    if (--jobsLeft[size_t(movie)] > 0)
        return;
    ++moviesFinished;
    outputsWritten[size_t(movie)] = !jobFailed[size_t(movie)];
    moviesConverted += outputsWritten[size_t(movie)];
    releaseIfDone(movie);
    emit progressed();
}

qint64 Batch::secondsLeft() const
{
    if (moviesFinished == 0)
        return -1;
    return clock.elapsed() / 1000 * (movies - moviesFinished) / moviesFinished;
}

void Batch::writeLog(const Job &job, const QByteArray &errorOutput, const QString &result)
{
    const QString title = job.trip >= 0
                              ? job.output
                              : QDir::toNativeSeparators(BLOCKS_g[job.movie].movieFile.filePath());
    const QString trouble = joblog::append(job.logPath, joblog::entry(title, errorOutput, result));
    if (trouble.isEmpty())
        report.logWritten();
    else
        report.logFailed(trouble);
}

// A movie whose scan and jobs have ended is of no more use in the page cache. Dropping it
// keeps room for the movie handed out next, which would otherwise go first (pages read
// twice outrank pages read once) and be read from the card a second time. It is done on
// the scan thread: dropping gigabytes takes a noticeable part of a second.
void Batch::releaseIfDone(int movie)
{
    if (!scanned[size_t(movie)] || jobsLeft[size_t(movie)] > 0)
        return;
    QMetaObject::invokeMethod(
        scanWorker.get(),
        [path = BLOCKS_g[movie].movieFile.absoluteFilePath()] {
            ScanWorker::releaseFromPageCache(path);
        },
        Qt::QueuedConnection);
}

bool Batch::allDone() const
{
    return (nextMovie == movies || stopped) && nextJobs == metadataKnown && !scanning &&
           unfinishedJobs == 0 && tripStep != TripStep::Preparing;
}

void Batch::endIfDone()
{
    // A batch ended by closing the window (which a message box or the progress dialog
    // may have allowed in the middle of this) has nothing left to report.
    if (current != Phase::Converting || advancing || !allDone())
        return;
    if (joinTrips && tripStep == TripStep::Unplanned) {
        planTrips();
        if (!allDone())
            return;
    }
    current = Phase::Ending;
    report.countUnstartedJobsAsFailed();
    emit ended(report);
    if (current == Phase::Ending)
        current = Phase::Idle;
}

void Batch::abort()
{
    ++generation;
    stopScanThread();
    scanning = false;
    // Partial files are made with the jobs. The scan thread has stopped: an output it moved
    // into place left no partial file, any other output still has its own.
    for (const Job &job : queue)
        QFile::remove(job.partial);
    queue.clear();
    for (const EndedJob &ended : waitingForScan)
        QFile::remove(ended.job.partial);
    waitingForScan.clear();
    for (const EndedJob &ended : settling)
        QFile::remove(ended.job.partial);
    settling.clear();
    for (const TripJoin &trip : std::as_const(trips))
        trip.removeTemporaryFiles();
    trips.clear();
    for (const auto &[process, job] : running) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(5000);
        QFile::remove(job.partial);
    }
    running.clear();
    current = Phase::Idle;
}

void Batch::stopScanThread()
{
    scanCancelled = true;
    scanThread.quit();
    scanThread.wait();
    // What the thread has not taken yet (moving outputs into place, dropping movies from
    // the page cache) belongs to the ended batch: the thread started again for the next
    // batch must not do it.
    if (scanWorker)
        QCoreApplication::removePostedEvents(scanWorker.get());
    scanCancelled = false;
}
