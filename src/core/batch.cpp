#include "batch.h"

#include "childfiles.h"
#include "driveoverlay.h"
#include "globals.h"
#include "joblog.h"
#include "outputs.h"
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

int Batch::initialSteps(int movies, const s_CONF &conf)
{
    return int(encodeSettingsOf(conf).cameras().size()) * movies + (conf.joinTrips ? 1 : 0);
}

int Batch::jobsPerMovie() const
{
    return int(encodeSettingsOf(conf).cameras().size());
}

// A trip's steps: its tracks written, and a join per camera.
int Batch::stepsPerTrip() const
{
    return 1 + jobsPerMovie();
}

bool Batch::preparingTrips() const
{
    return tripStep == TripStep::Preparing;
}

bool Batch::joiningTrips() const
{
    return tripStep == TripStep::Joining && !trips.isEmpty();
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
    tripStep = TripStep::Unplanned;
    trips.clear();
    tripsPreparing = 0;
    tripsJoined = 0;
    nextJobs = 0;
    stopped = false;
    metadata.assign(size_t(movies), MovieMetadata{});
    units.assign(size_t(movies), Unit{});
    settlingUnits = 0;
    outputsWritten.assign(size_t(movies), false);
    placed.assign(size_t(movies), {});
    tripFiles.clear();
    skipConvertedBefore();
    recordWriting = false;
    sinceRecordWrite.invalidate();
    report = BatchReport(moviesToConvert(), jobsPerMovie(), unreadable);
    report.moviesSkipped(int(skipped.size()));
    unreadable.clear();
    nextMovie = nextToConvert(0);
    metadataKnown = nextMovie;
    latestStarted = -1;
    moviesFinished = 0;
    moviesConverted = 0;
    clock.start();
    unfinishedJobs = 0;
    steps = 0;
    truncatedLogs.clear();
    // An empty batch has nothing to wait for and nothing to report.
    current = movies > 0 ? Phase::Converting : Phase::Idle;
    advance();
}

// The logs of a movie's jobs, by camera.
static const char *const LogNames[CameraCount] = {"front_log.txt", "rear_log.txt", "drive_log.txt"};

QString Batch::makeMovieJobs(int movie)
{
    const QString program = ffmpegProgram();
    const QFileInfo &movieFile = BLOCKS_g[movie].movieFile;
    const QStringList outputs = outputs::moviePaths(movieFile, conf);
    QString refusal;
    if (!QFile::exists(program))
        refusal = QString("Could not find ffmpeg here: %1").arg(program);
    else if (outputs.isEmpty())
        refusal = translated("Could not find AVI file extension");
    // ffmpeg writes into files made for it, under names nobody can foresee (safefile.h).
    QStringList partials;
    if (refusal.isEmpty()) {
        QString trouble;
        partials = safefile::createPartials(outputs, trouble);
        if (partials.isEmpty())
            refusal = translated("Could not start writing %1").arg(trouble);
    }
    if (!refusal.isEmpty()) {
        report.movieRefused(movie, refusal);
        return refusal;
    }
    BLOCKS_g[movie].frontFileName = outputs[0];
    BLOCKS_g[movie].rearFileName = outputs[1];
    const EncodeSettings settings = encodeSettingsOf(conf);
    const QList<Camera> cameras = settings.cameras();
    for (qsizetype i = 0; i < cameras.size(); ++i) {
        const Camera camera = cameras[i];
        Job job{
            camera,     movie,       program, {}, conf.outputDirectory + LogNames[indexOf(camera)],
            outputs[i], partials[i], -1,      {}};
        if (camera == Camera::Both) {
            // It shows the movie's records, all of which its scan must have read first.
            units[size_t(movie)].driveJob = job;
            enqueueDriveJobOnceScanned(movie);
            continue;
        }
        job.arguments =
            splitArguments(settings, movieFile.filePath(), camera, job.partial, metadataOf(movie));
        enqueue(job);
    }
    return {};
}

void Batch::enqueueDriveJobOnceScanned(int movie)
{
    Unit &unit = units[size_t(movie)];
    if (!unit.ready || !unit.driveJob)
        return;
    enqueue(*unit.driveJob);
    unit.driveJob.reset();
}

// Queues a trip's joins, one per camera, logged in "trip_log.txt"; their arguments are
// made when they start (startJob).
QString Batch::makeJoins(int trip)
{
    const TripJoin &join = trips[trip];
    const EncodeSettings settings = encodeSettingsOf(conf);
    QStringList outputs;
    for (const Camera camera : settings.cameras())
        outputs << join.output(settings, camera);
    QString trouble;
    const QStringList partials = safefile::createPartials(outputs, trouble);
    if (partials.isEmpty())
        return trouble;
    for (qsizetype i = 0; i < outputs.size(); ++i)
        enqueue(Job{settings.cameras()[i],
                    -1,
                    ffmpegProgram(),
                    {},
                    conf.outputDirectory + "trip_log.txt",
                    outputs[i],
                    partials[i],
                    trip,
                    {}});
    return {};
}

void Batch::enqueue(const Job &job)
{
    queue.push_back(job);
    ++units[size_t(unitOf(job))].jobsLeft;
    ++unfinishedJobs;
}

// With the option on, the movies whose outputs are all still as an earlier conversion with
// these settings made them are not converted again: no scan, no job. What trips need of
// them comes from the record of that conversion.
void Batch::skipConvertedBefore()
{
    skipped.clear();
    manifest = conf.skipConverted ? Manifest::read(conf.outputDirectory) : Manifest{};
    if (!conf.skipConverted)
        return;
    const QString settings = outputs::shapingSettings(conf);
    movieKeys.clear();
    for (int movie = 0; movie < movies; ++movie) {
        // As the movie is now: should it change while it is converted, it is converted again.
        movieKeys.push_back(Manifest::keyOf(BLOCKS_g[movie].movieFile));
        std::optional<Manifest::Movie> before =
            manifest.convertedBefore(BLOCKS_g[movie].movieFile, settings);
        if (!before)
            continue;
        before->span.movie = movie;
        metadata[size_t(movie)] = before->metadata;
        placed[size_t(movie)] = before->outputs;
        outputsWritten[size_t(movie)] = true;
        units[size_t(movie)].done = true;
        skipped.insert(movie, *before);
    }
    const int skippedSteps = jobsPerMovie() * int(skipped.size());
    if (skippedSteps > 0)
        emit stepsAdded(-skippedSteps);
}

// The first movie from `movie` on that is converted (not skipped), or the number of movies.
int Batch::nextToConvert(int movie) const
{
    while (movie < movies && skipped.contains(movie))
        ++movie;
    return movie;
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
            const int movie = nextJobs++;
            if (skipped.contains(movie))
                continue;
            // A movie whose jobs cannot be made (the front end has said why) stops the batch.
            if (!makeJobs(movie))
                stopped = true;
            if (current != Phase::Converting)
                break; // ended while the front end told the user
            units[size_t(movie)].jobsMade = true;
            settleIfDone(movie);
        } else if (mayHandOutMovie()) {
            startScan(nextMovie);
            nextMovie = nextToConvert(nextMovie + 1);
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

ScanWorker *Batch::worker()
{
    if (!scanWorker) {
        scanWorker = std::make_unique<ScanWorker>(scanCancelled);
        scanWorker->moveToThread(&scanThread);
        connect(scanWorker.get(), &ScanWorker::metadataRead, this, &Batch::metadataRead);
        connect(scanWorker.get(), &ScanWorker::scanned, this, &Batch::movieScanned);
        connect(scanWorker.get(), &ScanWorker::settled, this, &Batch::unitSettled);
        connect(scanWorker.get(), &ScanWorker::tripTracksWritten, this, &Batch::tripTracksWritten);
        connect(scanWorker.get(), &ScanWorker::recordWritten, this, &Batch::recordWritten);
    }
    if (!scanThread.isRunning())
        scanThread.start();
    return scanWorker.get();
}

void Batch::startScan(int movie)
{
    scanning = true;
    ScanWorker *scanner = worker();
    QMetaObject::invokeMethod(
        scanner,
        [scanner, generation = generation, scan = MovieScan::of(movie, conf)] {
            scanner->scan(generation, scan);
        },
        Qt::QueuedConnection);
}

void Batch::metadataRead(int scanGeneration, int movie, const MovieMetadata &movieMetadata)
{
    if (scanGeneration != generation)
        return;
    metadata[size_t(movie)] = movieMetadata;
    metadataKnown = nextToConvert(movie + 1);
    advance();
}

static void removePartials(const QList<safefile::PartialFile> &files)
{
    for (const safefile::PartialFile &file : files)
        QFile::remove(file.partial);
}

void Batch::movieScanned(int scanGeneration, int movie, const QList<safefile::PartialFile> &tracks,
                         const QString &trackError)
{
    if (scanGeneration != generation) {
        removePartials(tracks); // the batch was ended while the movie was read
        return;
    }
    scanning = false;
    Unit &unit = units[size_t(movie)];
    unit.ready = true;
    unit.tracks = tracks;
    if (!trackError.isEmpty())
        trackFailed(movie, trackError);
    enqueueDriveJobOnceScanned(movie);
    settleIfDone(movie);
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

void Batch::startJob(Job job)
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
    ChildFiles files; // open until the process has started
    const QString unusable = job.trip >= 0 ? prepareJoin(job, files) : prepareMovieJob(job, files);
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
    if (!job.environment.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString &variable : job.environment)
            environment.insert(variable.section('=', 0, 0), variable.section('=', 1));
        process->setProcessEnvironment(environment);
    }
    running.emplace(process, job);
    connect(process, &QProcess::finished, this,
            [this, process](int exitCode, QProcess::ExitStatus exitStatus) {
                processEnded(process, exitCode, exitStatus);
            });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            processEnded(process, -1, QProcess::CrashExit);
    });
    files.passToNextChild();
    process->start(job.program, job.arguments, QIODevice::ReadOnly);
}

// A join's arguments name what it reads as open files; why it cannot start, or an empty
// string.
QString Batch::prepareJoin(Job &job, ChildFiles &files) const
{
    const TripJoin &join = trips[job.trip];
    const EncodeSettings settings = encodeSettingsOf(conf).of(job.camera);
    QString trouble;
    const auto [list, chapters] = join.openInputs(job.camera, settings.mp4, files, trouble);
    job.arguments = joinArguments(settings, list, chapters, job.partial, join.metadata);
    return trouble;
}

// A drive movie's arguments name its text, from the records, as an open file.
QString Batch::prepareMovieJob(Job &job, ChildFiles &files) const
{
    const QString movie = BLOCKS_g[job.movie].movieFile.filePath();
    QString trouble = notAMovieFile(movie);
    if (!trouble.isEmpty() || job.camera != Camera::Both)
        return trouble;
    const QByteArray text = driveoverlay::subtitles(BLOCKS_g[job.movie], dateShift);
    const QString subtitles =
        text.isEmpty() ? QString() : files.inMemory("drive-text", text, trouble);
    job.arguments = driveArguments(encodeSettingsOf(conf), movie, subtitles, job.partial,
                                   metadataOf(job.movie));
    job.environment = driveEnvironment();
    return trouble;
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
    QString failure = processFailure(process, exitCode, exitStatus, errorOutput);
    if (failure.isEmpty() && QFileInfo(job.partial).size() <= 0)
        failure = QString("ffmpeg wrote no output");
    advance(); // the free slot goes to the next job at once
    jobEnded({job, failure, errorOutput, exitCode, exitStatus});
}

// Whether a job succeeded is decided here, once; a failed output is removed at once, so
// that an earlier complete output of the same name survives. The job is told once its
// unit's files are in place.
void Batch::jobEnded(const EndedJob &ended)
{
    if (!ended.failure.isEmpty())
        QFile::remove(ended.job.partial);
    const int unit = unitOf(ended.job);
    units[size_t(unit)].ended.push_back(ended);
    --units[size_t(unit)].jobsLeft;
    settleIfDone(unit);
}

// A movie or trip whose jobs have all ended gets its files in place on the scan thread,
// which flushes them to the disk first; a trip with a failed join keeps none.
void Batch::settleIfDone(int u)
{
    Unit &unit = units[size_t(u)];
    if (!unit.ready || !unit.jobsMade || unit.jobsLeft > 0 || unit.settling || unit.done)
        return;
    const bool trip = u >= movies;
    const bool failed = std::any_of(unit.ended.cbegin(), unit.ended.cend(),
                                    [](const EndedJob &job) { return !job.failure.isEmpty(); });
    if (trip && failed) {
        discard(unit);
        finishUnit(u, {});
        return;
    }
    QList<OutputMove> moves;
    for (const EndedJob &ended : unit.ended)
        if (ended.failure.isEmpty())
            moves << OutputMove{
                {ended.job.partial, ended.job.output, {}}, false, dateOf(ended.job)};
    for (const safefile::PartialFile &track : std::as_const(unit.tracks))
        moves << OutputMove{track, true, {}};
    if (moves.isEmpty()) {
        finishUnit(u, {});
        return;
    }
    unit.settling = true;
    ++settlingUnits;
    ScanWorker *settler = worker();
    QMetaObject::invokeMethod(
        settler,
        [settler, generation = generation, u, moves, trip] {
            settler->settle(generation, u, moves, trip);
        },
        Qt::QueuedConnection);
}

// Removes the files of a unit that did not get their final names.
void Batch::discard(Unit &unit)
{
    for (const EndedJob &ended : unit.ended)
        QFile::remove(ended.job.partial);
    removePartials(unit.tracks);
    unit.tracks.clear();
}

void Batch::unitSettled(int settledGeneration, int u, const QList<MovedOutput> &results)
{
    if (settledGeneration != generation) {
        // Put in place just before the batch was ended: counted, as its files stay.
        if (endingGeneration == settledGeneration)
            countSettledWhileEnding(u, results);
        return;
    }
    Unit &unit = units[size_t(u)];
    unit.settling = false;
    --settlingUnits;
    // The answers follow the moves: the jobs that succeeded, then the tracks.
    qsizetype answer = 0;
    QStringList failures;
    QList<PlacedOutput> files; // as they were put in place
    for (const EndedJob &ended : unit.ended) {
        if (!ended.failure.isEmpty()) {
            failures << ended.failure;
            continue;
        }
        const MovedOutput &moved = results[answer++];
        failures << (moved.trouble.isEmpty()
                         ? QString()
                         : QString("could not be renamed to %1: %2")
                               .arg(QDir::toNativeSeparators(ended.job.output), moved.trouble));
        files << PlacedOutput{ended.job.output, moved.identity, moved.seconds.value_or(0)};
        if (moved.trouble.isEmpty() && u < movies)
            placed[size_t(u)].movies[indexOf(ended.job.camera)] = files.last();
    }
    for (const safefile::PartialFile &track : std::as_const(unit.tracks)) {
        const MovedOutput &moved = results[answer++];
        files << PlacedOutput{track.path, moved.identity, 0};
        if (u >= movies)
            continue;
        if (!moved.trouble.isEmpty())
            trackFailed(u, moved.trouble);
        else
            (track.path.endsWith(".gpx") ? placed[size_t(u)].gpx : placed[size_t(u)].track) =
                files.last();
    }
    if (u >= movies)
        tripFiles[u - movies] = files;
    finishUnit(u, failures);
}

// The unit's jobs are told, logged and counted, and the movie or trip is done. Everything
// is counted before anyone is told: a slot told may run the event loop, in which the batch
// can be ended.
void Batch::finishUnit(int u, const QStringList &jobFailures)
{
    Unit &unit = units[size_t(u)];
    unit.done = true;
    const std::vector<EndedJob> ended = std::move(unit.ended);
    unit.ended.clear();
    unit.tracks.clear();
    QString failure = unit.trouble;
    for (size_t i = 0; i < ended.size(); ++i) {
        const QString reason = jobFailures.value(qsizetype(i), ended[i].failure);
        recordJobEnd(ended[i].job, ended[i].errorOutput, reason);
        if (failure.isEmpty())
            failure = reason;
    }
    const bool written = failure.isEmpty() && !ended.empty();
    if (u < movies)
        movieFinished(u, written && int(ended.size()) == jobsPerMovie());
    else if (written)
        tripJoined(u - movies);
    else
        tripFiles[size_t(u - movies)].clear();
    const int thisBatch = generation;
    for (const EndedJob &job : ended) {
        ++steps; // one at a time: each job's end shows the jobs ended so far
        emit jobFinished(job.job, job.exitCode, job.exitStatus);
        if (generation != thisBatch)
            return;
    }
    emit unitEnded(u < movies ? BLOCKS_g[u].movieFile.fileName() : trips[u - movies].name, failure);
    if (generation != thisBatch)
        return;
    emit progressed();
    if (generation == thisBatch)
        advance();
}

void Batch::recordJobEnd(const Job &job, const QByteArray &errorOutput, const QString &reason)
{
    const bool logged =
        writeLog(job, errorOutput, reason.isEmpty() ? QString("exit code 0") : reason);
    const QString log = logged ? QFileInfo(job.logPath).fileName() : QString();
    static const BatchReport::Step steps[CameraCount] = {
        BatchReport::Step::Front, BatchReport::Step::Rear, BatchReport::Step::Drive};
    const BatchReport::Step step = steps[indexOf(job.camera)];
    if (job.trip >= 0)
        report.jobEnded(movies + job.trip, trips[job.trip].name, step, reason, log);
    else
        report.jobEnded(job.movie, BLOCKS_g[job.movie].movieFile.fileName(), step, reason, log);
    --unfinishedJobs;
}

void Batch::countSettledWhileEnding(int u, const QList<MovedOutput> &results)
{
    Unit &unit = units[size_t(u)];
    unit.done = true;
    const bool written =
        std::none_of(unit.ended.cbegin(), unit.ended.cend(),
                     [](const EndedJob &job) { return !job.failure.isEmpty(); }) &&
        std::none_of(results.cbegin(), results.cend(),
                     [](const MovedOutput &moved) { return !moved.trouble.isEmpty(); });
    if (u < movies)
        moviesConverted += written && int(unit.ended.size()) == jobsPerMovie();
    else
        tripsJoined += written;
}

void Batch::trackFailed(int movie, const QString &reason)
{
    report.trackFailed(movie, reason);
    units[size_t(movie)].trouble = reason;
}

void Batch::movieFinished(int movie, bool written)
{
    ++moviesFinished;
    outputsWritten[size_t(movie)] = written;
    moviesConverted += written;
    if (written && conf.skipConverted) {
        recordMovie(movie);
        writeRecordIfDue();
    }
    releaseIfDone(movie);
}

void Batch::tripJoined(int trip)
{
    ++tripsJoined;
    report.tripJoined();
    if (conf.skipConverted) {
        recordTrip(trip);
        writeRecordIfDue();
    }
}

// A movie's outputs are dated with its drive's last second, a trip's with the trip's.
std::optional<qint64> Batch::dateOf(const Job &job) const
{
    if (job.trip >= 0)
        return trips[job.trip].lastRecord + qint64(dateShift);
    return trackfile::driveDate(BLOCKS_g[job.movie], dateShift);
}

// The clips that continue each other, from the split jobs' results. A clip whose outputs
// were replaced since they were put in place is left out (and named), and the trips form
// around it.
void Batch::planTrips()
{
    // Every movie is done: the record gets the last of them before the joins, which take
    // long enough to be killed in.
    if (conf.skipConverted)
        writeRecord();
    std::vector<bool> joinable = outputsWritten;
    std::vector<TripClip> clips;
    for (int movie = 0; movie < movies; ++movie)
        clips.push_back({movie, BLOCKS_g[movie].movieFile.fileName(), placed[size_t(movie)],
                         !skipped.contains(movie)});
    const auto plan = [&] {
        QList<trip::ClipSpan> spans;
        for (int movie = 0; movie < movies; ++movie) {
            spans << (skipped.contains(movie) ? skipped[movie].span
                                              : trip::clipSpan(movie, BLOCKS_g[movie], true));
            spans.last().outputsWritten = joinable[size_t(movie)];
        }
        return TripJoin::plan(spans, clips, metadata, dateShift, conf.outputDirectory);
    };
    trips = plan();
    bool leftOut = false;
    for (const TripJoin &trip : std::as_const(trips))
        for (const int movie : trip.movies()) {
            const QString change = replacedOutput(movie);
            if (change.isEmpty())
                continue;
            joinable[size_t(movie)] = false;
            leftOut = true;
            report.clipLeftOut(movie, change);
        }
    if (leftOut)
        trips = plan();
    // A trip of movies that were all converted before, whose files are still as that batch
    // made them, is not joined again.
    trips.removeIf([this](const TripJoin &trip) { return joinedBefore(trip); });
    units.resize(size_t(movies + trips.size()));
    tripFiles.assign(size_t(trips.size()), {});
    report.tripsPlanned(int(trips.size()));
    tripStep = trips.isEmpty() ? TripStep::Joining : TripStep::Preparing;
    tripsPreparing = int(trips.size());
    ++steps; // planning
    const QSet<QString> batchFiles = outputs::resolvedBatchFiles(movies, conf);
    for (int trip = 0; trip < trips.size(); ++trip) {
        const QString collision = outputs::collision(
            trips[trip].files(encodeSettingsOf(conf), conf.gpxTrack), batchFiles);
        if (!collision.isEmpty()) {
            failTrip(trip, collision);
            continue;
        }
        ScanWorker *writer = worker();
        QMetaObject::invokeMethod(
            writer,
            [writer, generation = generation, trip, join = trips[trip], shift = dateShift,
             gpx = conf.gpxTrack] { writer->writeTripTracks(generation, trip, join, shift, gpx); },
            Qt::QueuedConnection);
    }
    emit stepsAdded(stepsPerTrip() * int(trips.size()));
}

bool Batch::joinedBefore(const TripJoin &trip) const
{
    QStringList clips;
    for (const TripClip &clip : trip.clips) {
        if (!skipped.contains(clip.movie))
            return false;
        clips << clip.title;
    }
    return manifest.joinedBefore(trip.name, clips, tripSettings());
}

QString Batch::tripSettings() const
{
    return outputs::shapingSettings(conf) + " trips";
}

// Puts the output folder's record of conversions in place a last time (with the option on),
// the movies and trips of this batch being on record since they finished: the next batch
// skips them. A movie that failed or was not finished is forgotten. The record is put in
// place whole; if it cannot be, the next batch converts these movies again, which costs
// time but nothing else.
void Batch::recordConversions()
{
    if (!conf.skipConverted)
        return;
    for (int movie = 0; movie < movies; ++movie)
        if (!skipped.contains(movie) && !outputsWritten[size_t(movie)])
            manifest.forget(BLOCKS_g[movie].movieFile.fileName());
    writeRecordLast();
}

void Batch::recordTrip(int trip)
{
    QStringList clips;
    for (const TripClip &clip : trips[trip].clips)
        clips << clip.title;
    manifest.record(trips[trip].name, {clips, tripSettings(), tripFiles[size_t(trip)]});
}

void Batch::recordMovie(int movie)
{
    Manifest::Movie converted = movieKeys[size_t(movie)];
    converted.settings = outputs::shapingSettings(conf);
    converted.span = trip::clipSpan(movie, BLOCKS_g[movie], true);
    converted.metadata = metadata[size_t(movie)];
    converted.outputs = placed[size_t(movie)];
    manifest.record(BLOCKS_g[movie].movieFile.fileName(), converted);
}

// The record is brought up to date as movies and trips finish, not only at the batch's end: a batch
// that is killed, or a computer that loses power, leaves the next batch only what was not
// finished. A write starts once a hundred times the last one's time has passed, so that the
// record, written whole each time, never costs the batch more than a hundredth of its time;
// it goes to the scan thread, as a slow disk can take long to flush it.
void Batch::writeRecordIfDue()
{
    if (recordWriting ||
        (sinceRecordWrite.isValid() && sinceRecordWrite.elapsed() < 100 * recordWriteMs))
        return;
    writeRecord();
}

void Batch::writeRecord()
{
    recordWriting = true;
    sinceRecordWrite.start();
    ScanWorker *writer = worker();
    QMetaObject::invokeMethod(
        writer,
        [writer, generation = generation, record = manifest] {
            writer->writeRecord(generation, record);
        },
        Qt::QueuedConnection);
}

void Batch::recordWritten(int writtenGeneration, qint64 milliseconds)
{
    if (writtenGeneration != generation)
        return;
    recordWriting = false;
    recordWriteMs = milliseconds;
}

// The last write of the record must land after those queued on the scan thread, when it
// runs: it joins their queue, and the batch waits for it as it did when it wrote the record
// itself. The scan thread reads the record while the batch waits, and only then.
void Batch::writeRecordLast()
{
    if (scanThread.isRunning())
        QMetaObject::invokeMethod(
            scanWorker.get(), [this] { manifest.write(); }, Qt::BlockingQueuedConnection);
    else
        manifest.write();
}

// Why a movie's outputs are no longer those the batch put in place, or an empty string.
QString Batch::replacedOutput(int movie) const
{
    for (const Camera camera : encodeSettingsOf(conf).cameras()) {
        const PlacedOutput &output = placed[size_t(movie)].movies[indexOf(camera)];
        QString error;
        const int fd = safefile::openUnchanged(output.path, output.identity, error);
        if (fd < 0)
            return QString("%1: %2").arg(QFileInfo(output.path).fileName(), error);
        ::close(fd);
    }
    return {};
}

void Batch::tripTracksWritten(int writtenGeneration, int trip,
                              const QList<safefile::PartialFile> &tracks, const QString &error)
{
    if (writtenGeneration != generation) {
        removePartials(tracks);
        return;
    }
    Unit &unit = units[size_t(movies + trip)];
    unit.tracks = tracks;
    const QString trouble = error.isEmpty() ? makeJoins(trip) : error;
    if (trouble.isEmpty()) {
        unit.ready = true;
        unit.jobsMade = true;
        ++steps;
        --tripsPreparing;
    } else {
        failTrip(trip, trouble);
    }
    if (tripsPreparing == 0)
        tripStep = TripStep::Joining;
    const int thisBatch = generation;
    emit progressed();
    if (generation == thisBatch)
        advance();
}

// A trip that cannot be joined: none of its files are kept, and its steps are done.
void Batch::failTrip(int trip, const QString &reason)
{
    Unit &unit = units[size_t(movies + trip)];
    discard(unit);
    unit.done = true;
    --tripsPreparing;
    steps += stepsPerTrip();
    report.joinsFailed(movies + trip, trips[trip].name, reason);
}

bool Batch::writeLog(const Job &job, const QByteArray &errorOutput, const QString &result)
{
    const QString title = job.trip >= 0
                              ? job.output
                              : QDir::toNativeSeparators(BLOCKS_g[job.movie].movieFile.filePath());
    const QString trouble = joblog::append(job.logPath, joblog::entry(title, errorOutput, result));
    if (!trouble.isEmpty()) {
        report.logFailed(trouble);
        return false;
    }
    report.logWritten();
    return true;
}

qint64 Batch::secondsLeft() const
{
    if (moviesFinished == 0)
        return -1;
    return clock.elapsed() / 1000 * (moviesToConvert() - moviesFinished) / moviesFinished;
}

QString Batch::stepText() const
{
    if (preparingTrips())
        return translated("Preparing trips...");
    if (joiningTrips())
        return translated("Joining %1 %2...")
            .arg(trips.size())
            .arg(trips.size() == 1 ? "trip" : "trips");
    if (latestStarted < 0)
        return {};
    return translated("Movie %1 of %2: %3")
        .arg(latestStarted + 1)
        .arg(movies)
        .arg(BLOCKS_g[latestStarted].movieFile.fileName());
}

QString Batch::timeLeft() const
{
    const qint64 seconds = secondsLeft();
    if (seconds < 0 || tripStep != TripStep::Unplanned)
        return {};
    if (seconds < 60)
        return translated("less than a minute");
    const qint64 minutes = (seconds + 59) / 60;
    if (minutes < 60)
        return translated("%1 min").arg(minutes);
    return translated("%1 h %2 min").arg(minutes / 60).arg(minutes % 60);
}

// A movie whose scan and jobs have ended is of no more use in the page cache. Dropping it
// keeps room for the movie handed out next, which would otherwise go first (pages read
// twice outrank pages read once) and be read from the card a second time. It is done on
// the scan thread: dropping gigabytes takes a noticeable part of a second.
void Batch::releaseIfDone(int movie)
{
    const Unit &unit = units[size_t(movie)];
    if (!unit.ready || !unit.jobsMade || unit.jobsLeft > 0)
        return;
    QMetaObject::invokeMethod(
        worker(),
        [path = BLOCKS_g[movie].movieFile.absoluteFilePath()] {
            ScanWorker::releaseFromPageCache(path);
        },
        Qt::QueuedConnection);
}

bool Batch::allDone() const
{
    return (nextMovie == movies || stopped) && nextJobs == metadataKnown && !scanning &&
           unfinishedJobs == 0 && settlingUnits == 0 && tripsPreparing == 0;
}

void Batch::endIfDone()
{
    // A batch ended by closing the window (which a message box or the progress dialog
    // may have allowed in the middle of this) has nothing left to report.
    if (current != Phase::Converting || advancing || !allDone())
        return;
    if (conf.joinTrips && tripStep == TripStep::Unplanned) {
        planTrips();
        const int thisBatch = generation;
        emit progressed();
        if (generation != thisBatch || !allDone())
            return;
    }
    current = Phase::Ending;
    recordConversions();
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
    // Partial files are made with the jobs. The scan thread has stopped: a unit it put in
    // place left no partial file, any other unit still has its own.
    for (const Job &job : queue)
        QFile::remove(job.partial);
    queue.clear();
    for (const auto &[process, job] : running) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(5000);
        QFile::remove(job.partial);
    }
    running.clear();
    // What the scan thread answered before it stopped is delivered now, to the ended batch:
    // the partial files an answer names are removed, a unit it put in place is counted.
    endingGeneration = generation - 1;
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    endingGeneration = -1;
    if (current == Phase::Converting)
        recordConversions();
    for (Unit &unit : units)
        if (!unit.done)
            discard(unit);
    units.clear();
    settlingUnits = 0;
    tripsPreparing = 0;
    current = Phase::Idle;
}

QString Batch::cancelledText() const
{
    QString text = translated("Conversion cancelled: %1 of %2 movies converted.")
                       .arg(moviesConverted)
                       .arg(moviesToConvert());
    if (!trips.isEmpty())
        text += ' ' + translated("%1 of %2 trips joined.").arg(tripsJoined).arg(trips.size());
    return text + report.skippedText();
}

void Batch::stopScanThread()
{
    scanCancelled = true;
    scanThread.quit();
    scanThread.wait();
    // What the thread has not taken yet (scans, putting units in place, dropping movies
    // from the page cache) belongs to the ended batch: the thread started again for the
    // next batch must not do it.
    if (scanWorker)
        QCoreApplication::removePostedEvents(scanWorker.get());
    scanCancelled = false;
}
