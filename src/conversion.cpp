// The window's side of a batch: the output folder, the checks before a batch starts, the
// jobs of each movie, the progress dialog and the message that ends it. The batch itself
// runs in Batch (batch.cpp).
#include "batch.h"
#include "desktopnotification.h"
#include "globals.h"
#include "mainwindow.h"
#include "movienames.h"
#include "safefile.h"
#include "tripjoin.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QSet>
#include <QSettings>
#include <QTemporaryFile>

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

bool MainWindow::conversionRunning() const
{
    return batch->phase() == Batch::Phase::ChoosingOutput ||
           batch->phase() == Batch::Phase::Converting;
}

bool MainWindow::refuseWhileConverting()
{
    if (!conversionRunning())
        return false;
    showWarning(tr("A conversion is still running. Please wait until it has finished."));
    return true;
}

// Asks for the output folder, sets up the progress dialog and starts the batch, which
// runs from the event loop: this returns while movies are still being scanned.
void MainWindow::startConversion()
{
    batch->chooseOutput(); // selections are refused while the folder dialog is open
    if (!get_destination() || !outputFolderWritable() || outputsOverwriteMovies()) {
        batch->dropChoice();
        return;
    }
    removeLeftoverPartials();
    progressDialog.setMinimum(0);
    progressDialog.setMaximum(2 * nBlocks_g);
    progressDialog.setLabelText(processingText(nBlocks_g));
    progressDialog.setWindowModality(Qt::WindowModal);
    // A batch of hours can be stopped without closing the program.
    progressDialog.setCancelButtonText(tr("Cancel"));
    progressDialog.setValue(1);

    batch->start(nBlocks_g, timezoneShiftSeconds(CONF_g.timezoneOffset), CONF_g.joinTrips);
    if (batch->phase() == Batch::Phase::Idle)
        progressDialog.reset(); // nothing to convert
    bringToFront();
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

// Every file a movie's conversion writes in the output folder but the logs.
QStringList MainWindow::outputPaths(const QFileInfo &movie) const
{
    const QString track = trackFilePath(movie);
    QStringList paths{track};
    if (CONF_g.gpxTrack)
        paths << movienames::gpxPathBeside(track);
    QString front, rear;
    if (splitOutputPaths(movie, front, rear))
        paths << front << rear;
    return paths;
}

// What a run that did not end (killed, crashed, power cut) left of this batch's outputs.
void MainWindow::removeLeftoverPartials() const
{
    QStringList outputs;
    for (int i = 0; i < nBlocks_g; ++i)
        outputs << outputPaths(BLOCKS_g[i].movieFile);
    safefile::removeLeftovers(outputs);
}

bool MainWindow::splitOutputPaths(const QFileInfo &movie, QString &front, QString &rear) const
{
    const QString base = CONF_g.outputDirectory + movie.fileName();
    if (!movienames::hasAviExtension(base))
        return false;
    const EncodeSettings settings = encodeSettingsFromConfiguration();
    const QString stem = movienames::splitStem(base);
    front = stem + splitSuffix(settings, Camera::Front);
    rear = stem + splitSuffix(settings, Camera::Rear);
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
        for (const QString &output : outputPaths(BLOCKS_g[i].movieFile)) {
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

// Queues the movie's front and rear jobs; false, after a warning, when it can get none.
bool MainWindow::convertMovie(int i)
{
    const QString program = ffmpegProgram();
    if (!QFile::exists(program))
        return refuseMovie(i, QString("Could not find ffmpeg here: %1").arg(program));
    QString front, rear;
    if (!splitOutputPaths(BLOCKS_g[i].movieFile, front, rear))
        return refuseMovie(i, tr("Could not find AVI file extension"));
    // ffmpeg writes into files made for it, under names nobody can foresee (safefile.h).
    QString trouble;
    const QStringList partials = safefile::createPartials({front, rear}, trouble);
    if (partials.isEmpty())
        return refuseMovie(i, tr("Could not start writing %1").arg(trouble));
    BLOCKS_g[i].frontFileName = front;
    BLOCKS_g[i].rearFileName = rear;

    const EncodeSettings settings = encodeSettingsFromConfiguration();
    const QString input = BLOCKS_g[i].movieFile.filePath();
    const auto job = [&](Camera camera, const QString &output, const QString &partial,
                         const char *log) {
        return Job{camera,
                   i,
                   program,
                   splitArguments(settings, input, camera, partial, batch->metadataOf(i)),
                   CONF_g.outputDirectory + log,
                   output,
                   partial};
    };
    batch->enqueue(job(Camera::Front, front, partials[0], "front_log.txt"));
    batch->enqueue(job(Camera::Rear, rear, partials[1], "rear_log.txt"));
    return true;
}

// Queues the front and rear joins of a trip, logged in "trip_log.txt".
QString MainWindow::joinTrip(int trip, const TripJoin &join)
{
    const EncodeSettings settings = encodeSettingsFromConfiguration();
    const QString front = join.output(settings, Camera::Front);
    const QString rear = join.output(settings, Camera::Rear);
    QString trouble;
    const QStringList partials = safefile::createPartials({front, rear}, trouble);
    if (partials.isEmpty())
        return trouble;
    for (const Camera camera : {Camera::Front, Camera::Rear}) {
        const int side = TripJoin::side(camera);
        batch->enqueue(Job{camera, -1, ffmpegProgram(),
                           joinArguments(settings, join.lists[side], join.chapters[side],
                                         partials[side], join.metadata),
                           CONF_g.outputDirectory + "trip_log.txt", QStringList{front, rear}[side],
                           partials[side], trip});
    }
    return {};
}

// Names why a movie gets no jobs, which stops the batch there: false.
bool MainWindow::refuseMovie(int i, const QString &text)
{
    batch->reportRefusedMovie(i, text);
    showWarning(text);
    return false;
}

void MainWindow::front_process_finished_slot(int, QProcess::ExitStatus)
{
    jobFinished();
}

void MainWindow::rear_process_finished_slot(int, QProcess::ExitStatus)
{
    jobFinished();
}

// Each finished job sets the dialog to the number of jobs finished so far.
void MainWindow::jobFinished()
{
    progressDialog.setValue(batch->finishedJobs());
}

QString MainWindow::processingText(int movies)
{
    return QString("Processing %1 %2...").arg(movies).arg(movies == 1 ? "movie" : "movies");
}

static QString durationText(qint64 seconds)
{
    if (seconds < 60)
        return MainWindow::tr("less than a minute");
    const qint64 minutes = (seconds + 59) / 60;
    if (minutes < 60)
        return MainWindow::tr("%1 min").arg(minutes);
    return MainWindow::tr("%1 h %2 min").arg(minutes / 60).arg(minutes % 60);
}

// Which movie is being converted and, once one has finished, how long the rest may take.
void MainWindow::showBatchProgress()
{
    const int movies = batch->movieCount();
    QString text = processingText(movies);
    if (batch->movieInProgress() >= 0)
        text += '\n' + tr("Movie %1 of %2: %3")
                           .arg(batch->movieInProgress() + 1)
                           .arg(movies)
                           .arg(BLOCKS_g[batch->movieInProgress()].movieFile.fileName());
    if (batch->secondsLeft() >= 0)
        text += '\n' + tr("About %1 left").arg(durationText(batch->secondsLeft()));
    progressDialog.setLabelText(text);
}

// The progress dialog's Cancel button or Escape: the batch ends as closing ends it, and
// the window stays.
void MainWindow::cancelConversion()
{
    if (!conversionRunning())
        return; // the dialog was closed with the window, or the batch had ended
    endBatchNow();
    showInformation(tr("Conversion cancelled: %1 of %2 movies converted.")
                        .arg(batch->convertedMovies())
                        .arg(batch->movieCount()));
    bringToFront();
}

void MainWindow::finishBatch(const BatchReport &report)
{
    progressDialog.reset();
    // Hours of work may end while the user is elsewhere.
    if (!isActiveWindow())
        notifyDesktop(tr("Converter"), report.text());
    if (report.complete())
        showInformation(report.text());
    else
        showWarning(report.text());
}
