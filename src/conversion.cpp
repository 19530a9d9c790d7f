#include "globals.h"
#include "mainwindow.h"
#include "scanworker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QSet>
#include <QSettings>
#include <QTemporaryFile>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

QString MainWindow::ffmpegPath() const
{
    return QCoreApplication::applicationDirPath() + QDir::separator() + "ffmpeg";
}

int MainWindow::maxParallelJobs()
{
    return std::max(2, QThread::idealThreadCount());
}

bool MainWindow::get_destination()
{
    QSettings settings;
    const QString start = settings.value("outputDirectory", QDir::currentPath()).toString();
    QString folder = QFileDialog::getExistingDirectory(this, tr("Open Movie Directory"), start,
                                                       QFileDialog::ShowDirsOnly |
                                                           QFileDialog::DontResolveSymlinks);
    if (folder.isEmpty()) {
        bringToFront();
        return false;
    }
    settings.setValue("outputDirectory", folder);
    if (!folder.endsWith(QDir::separator()))
        folder += QDir::separator();
    CONF_g.outputDirectory = folder;
    bringToFront();
    return true;
}

bool MainWindow::refuseWhileConverting()
{
    if (!conversionActive)
        return false;
    showWarning(tr("A conversion is still running. Please wait until it has finished."));
    return true;
}

// Resets the counters, sets up the progress dialog and hands the first movie to the
// scan thread; the rest of the batch runs from the event loop, so this returns while
// movies are still being scanned.
void MainWindow::startConversion()
{
    conversionActive = true;
    if (!get_destination() || !outputFolderWritable() || outputsOverwriteMovies()) {
        conversionActive = false;
        unreadableNames.clear();
        return;
    }
    resetBatch();
    progressDialog.setMinimum(0);
    progressDialog.setMaximum(batchJobs);
    progressDialog.setLabelText(
        QString("Processing %1 %2...").arg(nBlocks_g).arg(nBlocks_g == 1 ? "movie" : "movies"));
    progressDialog.setWindowModality(Qt::WindowModal);
    progressDialog.setCancelButton(nullptr);
    progressDialog.setValue(progressCount);

    if (batchJobs == 0) {
        conversionActive = false; // an empty batch: nothing to wait for, nothing to report
        progressDialog.reset();
    } else {
        scanNextMovie();
    }
    bringToFront();
}

void MainWindow::resetBatch()
{
    ++batchNumber;
    progressCount = 1;
    completionShown = false;
    failedJobs = 0;
    failedTracks = 0;
    batchJobs = 2 * nBlocks_g;
    startedMovies = 0;
    nextScan = 0;
    frontLogOpened = false;
    rearLogOpened = false;
    logWritten = false;
    firstFailure.clear();
    logFailure.clear();
}

// One movie is scanned at a time, and the next one only once no scanned movie waits for
// the job pool: the scan brings a movie into the page cache just before ffmpeg reads
// it, and a movie's track file is complete before its jobs start.
void MainWindow::scanNextMovie()
{
    // startedMovies < nextScan: the last scanned movie has no jobs yet, or could not get
    // any and stopped the batch; later movies are not touched then.
    if (!conversionActive || scanning || nextScan >= nBlocks_g || startedMovies < nextScan ||
        !queuedJobs.empty())
        return;
    if (!scanWorker) {
        scanWorker = std::make_unique<ScanWorker>(scanCancelled);
        scanWorker->moveToThread(&scanThread);
        connect(scanWorker.get(), &ScanWorker::scanned, this, &MainWindow::movieScanned);
    }
    if (!scanThread.isRunning())
        scanThread.start();
    const int k = nextScan++;
    scanning = true;
    const QString movie = BLOCKS_g[k].movieFile.absoluteFilePath();
    const QString track = trackFilePath(BLOCKS_g[k].movieFile);
    const long dateShift = timezoneShiftSeconds(CONF_g.timezoneOffset);
    ScanWorker *worker = scanWorker.get();
    QMetaObject::invokeMethod(
        worker,
        [worker, batch = batchNumber, k, movie, track, dateShift] {
            worker->scan(batch, k, movie, track, dateShift);
        },
        Qt::QueuedConnection);
}

void MainWindow::movieScanned(int batch, int k, const QString &trackError)
{
    if (batch != batchNumber)
        return; // the batch was ended while the movie was read
    scanning = false;
    if (!trackError.isEmpty()) {
        ++failedTracks;
        noteFailure(k, tr("track file"), trackError);
    }
    if (!convertMovie(k)) {
        abandonUnstartedJobs();
        return;
    }
    scanNextMovie();
}

// Tried by making a file, which also finds read-only mounts and full disks.
bool MainWindow::outputFolderWritable()
{
    QTemporaryFile probe(CONF_g.outputDirectory + ".write-test-XXXXXX");
    if (probe.open())
        return true;
    showWarning(tr("The output folder cannot be written: %1\n%2")
                    .arg(QDir::toNativeSeparators(CONF_g.outputDirectory), probe.errorString()));
    return false;
}

bool MainWindow::splitOutputPaths(const QFileInfo &movie, QString &front, QString &rear) const
{
    const QString base = CONF_g.outputDirectory + movie.fileName();
    if (!base.endsWith(".avi") && !base.endsWith(".AVI"))
        return false;
    const bool mp4 = CONF_g.movieFormat == 0;
    const QString stem = base.left(base.lastIndexOf(".avi", -1, Qt::CaseInsensitive));
    front = stem + (mp4 ? "F.mp4" : "F.avi");
    rear = stem + (mp4 ? "R.mp4" : "R.avi");
    return true;
}

// The path a file has or would have, with the folder's links resolved, so that
// two names of one file compare equal.
static QString resolvedPath(const QString &path)
{
    const QFileInfo info(path);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? info.absoluteFilePath() : folder + '/' + info.fileName();
}

// A batch whose outputs would replace one of its own movies, or in which two movies
// would write the same output (equal names from two folders), is refused.
bool MainWindow::outputsOverwriteMovies()
{
    QSet<QString> movies;
    for (int i = 0; i < nBlocks_g; ++i)
        movies.insert(resolvedPath(BLOCKS_g[i].movieFile.filePath()));
    QSet<QString> outputs;
    for (int i = 0; i < nBlocks_g; ++i) {
        QStringList paths{trackFilePath(BLOCKS_g[i].movieFile)};
        QString front, rear;
        if (splitOutputPaths(BLOCKS_g[i].movieFile, front, rear))
            paths << front << rear;
        for (const QString &output : paths) {
            const QString resolved = resolvedPath(output);
            const QString shown = QDir::toNativeSeparators(resolved);
            if (movies.contains(resolved)) {
                showWarning(
                    tr("An output file would overwrite a movie of this batch: %1").arg(shown));
                return true;
            }
            if (outputs.contains(resolved)) {
                showWarning(
                    tr("Two movies of this batch would write the same output file: %1").arg(shown));
                return true;
            }
            outputs.insert(resolved);
        }
    }
    return false;
}

bool MainWindow::convertMovie(int i)
{
    const QString program = ffmpegPath();
    if (!QFile::exists(program)) {
        const QString text = QString("Could not find ffmpeg here: %1").arg(program);
        noteFailure(i, tr("jobs"), text);
        showWarning(text);
        return false;
    }
    const double rate = CONF_g.autoBitrate ? 7.0 : double(CONF_g.bitrate);
    const QString rateArgument = QString::number(rate, 'g', 6) + "M";
    const QString codec = CONF_g.movieFormat == 0 ? "mpeg4" : "copy";
    const QString input = BLOCKS_g[i].movieFile.filePath();

    QString front, rear;
    if (!splitOutputPaths(BLOCKS_g[i].movieFile, front, rear)) {
        const QString text = tr("Could not find AVI file extension");
        noteFailure(i, tr("jobs"), text);
        showWarning(text);
        return false;
    }
    BLOCKS_g[i].frontFileName = front;
    BLOCKS_g[i].rearFileName = rear;

    // ffmpeg probes the telemetry's bytes and may take the text stream for mp3 audio, which
    // "0:a:0" would then pick; the forced subtitle decoder keeps it a text stream.
    const auto job = [&](Side side, const QString &videoStream, const QString &output,
                         const char *log) {
        const QString partial = partialPath(output);
        const QStringList arguments{
            "-c:s", "text", "-i",         input,  "-y",        "-vcodec", codec,   "-strict",
            "-2",   "-b:v", rateArgument, "-map", videoStream, "-map",    "0:a:0", partial};
        return SplitJob{i, side, program, arguments, CONF_g.outputDirectory + log, output, partial};
    };
    queuedJobs.push_back(job(Side::Front, "0:v:0", front, "front_log.txt"));
    queuedJobs.push_back(job(Side::Rear, "0:v:1", rear, "rear_log.txt"));
    ++startedMovies; // before any job can end, so that the batch knows the movie started
    startQueuedJobs();
    return true;
}

void MainWindow::startQueuedJobs()
{
    // A job that fails to start ends at once and calls back in here; the outer
    // call keeps going, so the stack stays flat however many jobs fail.
    if (startingJobs)
        return;
    startingJobs = true;
    while (int(runningJobs.size()) < maxParallelJobs() && !queuedJobs.empty()) {
        const SplitJob job = queuedJobs.front();
        queuedJobs.pop_front();
        startJob(job);
    }
    startingJobs = false;
    scanNextMovie();
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

void MainWindow::startJob(const SplitJob &job)
{
    truncateLogOnce(job);
    const QString unusable = notAMovieFile(BLOCKS_g[job.block].movieFile.filePath());
    if (!unusable.isEmpty()) {
        concludeJob(job, unusable, {}, -1, QProcess::CrashExit);
        return;
    }
    auto *process = new QProcess(this);
    // Conversions run in the background: at a lower priority the window, the scan and
    // the rest of the desktop stay responsive while every core encodes.
    process->setChildProcessModifier([] {
        const int niceness = ::nice(10);
        (void)niceness; // without it the job only runs at the usual priority
    });
    runningJobs.emplace(process, job);
    connect(process, &QProcess::finished, this,
            [this, process](int exitCode, QProcess::ExitStatus exitStatus) {
                endJob(process, exitCode, exitStatus);
            });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            endJob(process, -1, QProcess::CrashExit);
    });
    process->start(job.program, job.arguments, QIODevice::ReadWrite);
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

static QString jobFailure(const QProcess *process, int exitCode, QProcess::ExitStatus exitStatus,
                          const QByteArray &errorOutput)
{
    if (process->error() == QProcess::FailedToStart)
        return QString("could not be started: %1").arg(process->errorString());
    if (exitStatus == QProcess::CrashExit)
        return QString("crashed");
    if (exitCode != 0)
        return QString("exit code %1: %2").arg(exitCode).arg(failureReason(errorOutput));
    return {};
}

void MainWindow::endJob(QProcess *process, int exitCode, QProcess::ExitStatus exitStatus)
{
    const auto running = runningJobs.find(process);
    if (running == runningJobs.end())
        return; // FailedToStart is followed by no finish, but be sure
    const SplitJob job = running->second;
    runningJobs.erase(running);
    process->disconnect(this);
    process->deleteLater();
    const QByteArray errorOutput = process->readAllStandardError();
    concludeJob(job, jobFailure(process, exitCode, exitStatus, errorOutput), errorOutput, exitCode,
                exitStatus);
}

// A movie whose jobs have ended is of no more use in the page cache. Dropping it keeps
// room for the movie scanned next, which would otherwise go first (pages read twice
// outrank pages read once) and be read from the card a second time. It is done on the
// scan thread: dropping gigabytes takes a noticeable part of a second.
void MainWindow::releaseMovie(int k)
{
    ScanWorker *worker = scanWorker.get();
    const QString movie = BLOCKS_g[k].movieFile.absoluteFilePath();
    QMetaObject::invokeMethod(
        worker, [worker, movie] { worker->releaseFromPageCache(movie); }, Qt::QueuedConnection);
}

bool MainWindow::movieHasJobs(int k) const
{
    const auto ofMovie = [k](const SplitJob &job) { return job.block == k; };
    return std::any_of(queuedJobs.begin(), queuedJobs.end(), ofMovie) ||
           std::any_of(runningJobs.begin(), runningJobs.end(),
                       [&](const auto &running) { return ofMovie(running.second); });
}

// Keeps a complete output under its final name, dated like the drive; a failed one is
// removed, so that an earlier complete output of the same name survives.
void MainWindow::concludeJob(const SplitJob &job, const QString &failure,
                             const QByteArray &errorOutput, int exitCode,
                             QProcess::ExitStatus exitStatus)
{
    const QString reason = failure.isEmpty() ? keepOutput(job) : failure;
    if (!reason.isEmpty()) {
        QFile::remove(job.partial);
        ++failedJobs;
        noteFailure(job.block, job.side == Side::Front ? tr("front") : tr("rear"), reason);
    }
    const QString movie = QDir::toNativeSeparators(BLOCKS_g[job.block].movieFile.filePath());
    QByteArray entry = QString("===== %1 =====\n").arg(movie).toUtf8() + errorOutput;
    if (!errorOutput.isEmpty() && !errorOutput.endsWith('\n'))
        entry += '\n';
    const QString result = reason.isEmpty() ? QString("exit code 0") : reason;
    entry += QString("===== %1: %2 =====\n\n").arg(movie, result).toUtf8();
    appendToLog(job.logPath, entry);
    if (!movieHasJobs(job.block))
        releaseMovie(job.block);

    startQueuedJobs();
    if (job.side == Side::Front)
        front_process_finished_slot(exitCode, exitStatus);
    else
        rear_process_finished_slot(exitCode, exitStatus);
}

QString MainWindow::keepOutput(const SplitJob &job) const
{
    if (QFileInfo(job.partial).size() <= 0)
        return QString("ffmpeg wrote no output");
    const QString reason = moveIntoPlace(job.partial, job.output, BLOCKS_g[job.block],
                                         timezoneShiftSeconds(CONF_g.timezoneOffset));
    if (reason.isEmpty())
        return reason;
    return QString("could not be renamed to %1: %2")
        .arg(QDir::toNativeSeparators(job.output), reason);
}

// Each log is emptied when the batch's first job of its side starts.
void MainWindow::truncateLogOnce(const SplitJob &job)
{
    bool &opened = job.side == Side::Front ? frontLogOpened : rearLogOpened;
    if (opened)
        return;
    opened = true;
    QFile log(job.logPath);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Truncate) && logFailure.isEmpty())
        logFailure =
            QString("%1: %2").arg(QDir::toNativeSeparators(job.logPath), log.errorString());
}

// An entry is written whole or not at all: one cut by a full disk is taken back.
void MainWindow::appendToLog(const QString &logPath, const QByteArray &entry)
{
    QFile log(logPath);
    QString error;
    if (log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        const qint64 before = log.size();
        if (log.write(entry) == entry.size()) {
            logWritten = true;
            return;
        }
        error = log.errorString();
        log.resize(before);
    } else {
        error = log.errorString();
    }
    if (logFailure.isEmpty())
        logFailure = QString("%1: %2").arg(QDir::toNativeSeparators(logPath), error);
}

// The first failure of a batch is named in its final message.
void MainWindow::noteFailure(int k, const QString &what, const QString &reason)
{
    if (firstFailure.isEmpty())
        firstFailure = QString("%1 (%2): %3").arg(BLOCKS_g[k].movieFile.fileName(), what, reason);
}

void MainWindow::front_process_finished_slot(int, QProcess::ExitStatus)
{
    jobFinished();
}

void MainWindow::rear_process_finished_slot(int, QProcess::ExitStatus)
{
    jobFinished();
}

void MainWindow::jobFinished()
{
    // The counter moves before the dialog, whose update may run other finishes.
    const int finishedBefore = progressCount;
    progressCount = finishedBefore + 1;
    progressDialog.setValue(finishedBefore);
    concludeBatchIfDone();
}

void MainWindow::concludeBatchIfDone()
{
    // A batch ended by closing the window (which a message box or the progress dialog
    // may have allowed in the middle of this) has nothing left to report.
    if (conversionActive && progressCount == batchJobs + 1 && !completionShown) {
        completionShown = true;
        finishBatch();
    }
}

void MainWindow::abandonUnstartedJobs()
{
    // Jobs of the movies the batch never reached count as failed and finished,
    // so the batch ends honestly once the started ones are done.
    const int unstarted = batchJobs - 2 * startedMovies;
    failedJobs += unstarted;
    progressCount += unstarted;
    if (runningJobs.empty() && queuedJobs.empty())
        concludeBatchIfDone();
}

void MainWindow::finishBatch()
{
    conversionActive = false;
    progressDialog.reset();
    const bool complete =
        failedJobs == 0 && failedTracks == 0 && logFailure.isEmpty() && unreadableNames.isEmpty();
    const QString summary = complete ? QString() : errorSummary();
    unreadableNames.clear(); // they belonged to this batch's selection
    if (complete) {
        QMessageBox::information(this, tr("Converter"), tr("Conversion Complete!"), QMessageBox::Ok,
                                 QMessageBox::NoButton);
        return;
    }
    showWarning(summary);
}

// Counts what failed and names the first failure, so the message stands on its own
// also when the logs could not be written.
QString MainWindow::errorSummary() const
{
    QString text =
        tr("Conversion finished with errors: %1 of %2 jobs failed.").arg(failedJobs).arg(batchJobs);
    if (failedTracks > 0)
        text +=
            ' ' + tr("%1 of %2 track files could not be written.").arg(failedTracks).arg(nBlocks_g);
    if (unreadableNames.size() == 1)
        text += ' ' + tr("1 movie was left out: its name is not valid UTF-8 (%1).")
                          .arg(unreadableNames.first());
    else if (unreadableNames.size() > 1)
        text += ' ' + tr("%1 movies were left out: their names are not valid UTF-8 (%2).")
                          .arg(unreadableNames.size())
                          .arg(unreadableNames.join(", "));
    if (!firstFailure.isEmpty())
        text += "\n" + tr("First failure: %1").arg(firstFailure);
    if (!logFailure.isEmpty())
        text += "\n" + tr("The logs could not be written: %1").arg(logFailure);
    else if (logWritten)
        text += "\n" + tr("See front_log.txt and rear_log.txt in the output folder.");
    return text;
}

// Ends the batch at once, as closing the window does: the scan is stopped, running jobs
// are killed and their partial outputs removed, so that no ffmpeg outlives the program
// and no incomplete file is left.
void MainWindow::abortBatch()
{
    ++batchNumber;
    stopScanThread();
    scanning = false;
    queuedJobs.clear();
    for (const auto &[process, job] : runningJobs) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(5000);
        QFile::remove(job.partial);
    }
    runningJobs.clear();
    conversionActive = false;
    progressDialog.reset();
}

void MainWindow::stopScanThread()
{
    scanCancelled = true;
    scanThread.quit();
    scanThread.wait();
    scanCancelled = false;
}
