#include "globals.h"
#include "mainwindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QSet>
#include <QSettings>
#include <QThread>

#include <algorithm>

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

void MainWindow::startConversion()
{
    conversionActive = true;
    if (!get_destination() || outputsOverwriteMovies()) {
        conversionActive = false;
        return;
    }

    progressCount = 1;
    completionShown = false;
    failedJobs = 0;
    batchJobs = 2 * nBlocks_g;
    startedMovies = 0;
    frontLogOpened = false;
    rearLogOpened = false;

    progressDialog.setMinimum(0);
    progressDialog.setMaximum(batchJobs);
    progressDialog.setLabelText(
        QString("Processing %1 %2...").arg(nBlocks_g).arg(nBlocks_g == 1 ? "movie" : "movies"));
    progressDialog.setWindowModality(Qt::WindowModal);
    progressDialog.setCancelButton(nullptr);
    progressDialog.setValue(progressCount);
    QCoreApplication::processEvents();

    for (int i = 0; i < nBlocks_g; ++i) {
        QCoreApplication::processEvents();
        load_gps_and_gforce_data_brightquill4300(i);
        save_gps_and_gforce_data_nmea(i);
        if (!convertMovie(i))
            break;
    }
    if (batchJobs == 0) {
        conversionActive = false; // an empty batch: nothing to wait for, nothing to report
        progressDialog.reset();
    } else if (startedMovies < nBlocks_g) {
        abandonUnstartedJobs();
    }
    bringToFront();
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

bool MainWindow::outputsOverwriteMovies()
{
    QSet<QString> movies;
    for (int i = 0; i < nBlocks_g; ++i)
        movies.insert(resolvedPath(BLOCKS_g[i].movieFile.filePath()));
    for (int i = 0; i < nBlocks_g; ++i) {
        QStringList outputs{trackFilePath(BLOCKS_g[i].movieFile)};
        QString front, rear;
        if (splitOutputPaths(BLOCKS_g[i].movieFile, front, rear))
            outputs << front << rear;
        for (const QString &output : outputs) {
            const QString resolved = resolvedPath(output);
            if (movies.contains(resolved)) {
                showWarning(tr("An output file would overwrite a movie of this batch: %1")
                                .arg(QDir::toNativeSeparators(resolved)));
                return true;
            }
        }
    }
    return false;
}

bool MainWindow::convertMovie(int i)
{
    const QString program = ffmpegPath();
    if (!QFile::exists(program)) {
        showWarning(QString("Could not find ffmpeg here: %1").arg(program));
        return false;
    }
    const double rate = CONF_g.autoBitrate ? 7.0 : double(CONF_g.bitrate);
    const QString rateArgument = QString::number(rate, 'g', 6) + "M";
    const QString codec = CONF_g.movieFormat == 0 ? "mpeg4" : "copy";
    const QString input = BLOCKS_g[i].movieFile.filePath();

    QString front, rear;
    if (!splitOutputPaths(BLOCKS_g[i].movieFile, front, rear)) {
        showWarning(tr("Could not find AVI file extension"));
        return false;
    }
    BLOCKS_g[i].frontFileName = front;
    BLOCKS_g[i].rearFileName = rear;

    // ffmpeg probes the telemetry's bytes and may take the text stream for mp3 audio, which
    // "0:a:0" would then pick; the forced subtitle decoder keeps it a text stream.
    const auto arguments = [&](const QString &videoStream, const QString &output) {
        return QStringList{"-c:s",      "text",    "-i",    input,  "-y",         "-vcodec",
                           codec,       "-strict", "-2",    "-b:v", rateArgument, "-map",
                           videoStream, "-map",    "0:a:0", output};
    };
    const QString logFolder = CONF_g.outputDirectory;
    queuedJobs.push_back(
        {i, Side::Front, program, arguments("0:v:0", front), logFolder + "front_log.txt"});
    queuedJobs.push_back(
        {i, Side::Rear, program, arguments("0:v:1", rear), logFolder + "rear_log.txt"});
    ++startedMovies; // before any job can end, so that its movie is dated with the batch
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
    while (runningJobs < maxParallelJobs() && !queuedJobs.empty()) {
        const SplitJob job = queuedJobs.front();
        queuedJobs.pop_front();
        startJob(job);
    }
    startingJobs = false;
}

void MainWindow::startJob(const SplitJob &job)
{
    bool &logOpened = job.side == Side::Front ? frontLogOpened : rearLogOpened;
    if (!logOpened) {
        QFile log(job.logPath);
        log.open(QIODevice::WriteOnly | QIODevice::Truncate);
        logOpened = true;
    }

    auto *process = new QProcess(this);
    ++runningJobs;
    connect(process, &QProcess::finished, this,
            [this, process, job](int exitCode, QProcess::ExitStatus exitStatus) {
                endJob(process, job, exitCode, exitStatus);
            });
    connect(process, &QProcess::errorOccurred, this,
            [this, process, job](QProcess::ProcessError error) {
                if (error == QProcess::FailedToStart)
                    endJob(process, job, -1, QProcess::CrashExit);
            });
    process->start(job.program, job.arguments, QIODevice::ReadWrite);
}

static QString jobResult(const QProcess *process, int exitCode, QProcess::ExitStatus exitStatus)
{
    if (process->error() == QProcess::FailedToStart)
        return QString("could not be started: %1").arg(process->errorString());
    if (exitStatus == QProcess::CrashExit)
        return QString("crashed");
    return QString("exit code %1").arg(exitCode);
}

void MainWindow::endJob(QProcess *process, const SplitJob &job, int exitCode,
                        QProcess::ExitStatus exitStatus)
{
    appendToLog(job, process->readAllStandardError(), jobResult(process, exitCode, exitStatus));
    process->disconnect(this);
    process->deleteLater();
    --runningJobs;
    startQueuedJobs();
    if (job.side == Side::Front)
        front_process_finished_slot(exitCode, exitStatus);
    else
        rear_process_finished_slot(exitCode, exitStatus);
}

void MainWindow::appendToLog(const SplitJob &job, const QByteArray &errorOutput,
                             const QString &result)
{
    QFile log(job.logPath);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    const QString movie = QDir::toNativeSeparators(BLOCKS_g[job.block].movieFile.filePath());
    log.write(QString("===== %1 =====\n").arg(movie).toUtf8());
    log.write(errorOutput);
    if (!errorOutput.isEmpty() && !errorOutput.endsWith('\n'))
        log.write("\n");
    log.write(QString("===== %1: %2 =====\n\n").arg(movie, result).toUtf8());
}

void MainWindow::front_process_finished_slot(int exitCode, QProcess::ExitStatus exitStatus)
{
    jobFinished(exitCode, exitStatus);
}

void MainWindow::rear_process_finished_slot(int exitCode, QProcess::ExitStatus exitStatus)
{
    jobFinished(exitCode, exitStatus);
}

void MainWindow::jobFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (exitStatus != QProcess::NormalExit || exitCode != 0)
        ++failedJobs;
    // The counter moves before the dialog, whose update may run other finishes.
    const int finishedBefore = progressCount;
    progressCount = finishedBefore + 1;
    progressDialog.setValue(finishedBefore);
    concludeBatchIfDone();
}

void MainWindow::concludeBatchIfDone()
{
    const int n = nBlocks_g;
    if (n > 0 && (progressCount == 2 * n || progressCount == 2 * n + 1))
        dateBatchOutputs();
    if (progressCount == 2 * n + 1 && !completionShown) {
        completionShown = true;
        finishBatch();
    }
}

void MainWindow::dateBatchOutputs()
{
    // Only movies whose jobs were queued in this batch have outputs to date, and
    // a movie without telemetry has no time to give them.
    for (int k = 0; k < startedMovies; ++k) {
        const s_BLOCK &block = BLOCKS_g[k];
        if (block.nRecords <= 0)
            continue;
        const long time = block.recTime[block.nRecords - 1];
        setFileModificationDate(block.frontFileName, time);
        setFileModificationDate(block.rearFileName, time);
    }
}

void MainWindow::abandonUnstartedJobs()
{
    // Jobs of the movies the batch never reached count as failed and finished,
    // so the batch ends honestly once the started ones are done.
    const int unstarted = batchJobs - 2 * startedMovies;
    failedJobs += unstarted;
    progressCount += unstarted;
    if (runningJobs == 0 && queuedJobs.empty())
        concludeBatchIfDone();
}

void MainWindow::finishBatch()
{
    conversionActive = false;
    progressDialog.reset();
    if (failedJobs == 0) {
        QMessageBox::information(this, tr("Converter"), tr("Conversion Complete!"), QMessageBox::Ok,
                                 QMessageBox::NoButton);
        return;
    }
    showWarning(tr("Conversion finished with errors: %1 of %2 jobs failed. See front_log.txt and "
                   "rear_log.txt in the output folder.")
                    .arg(failedJobs)
                    .arg(batchJobs));
}
