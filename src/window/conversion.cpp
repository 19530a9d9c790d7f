// The window's side of a batch: the output folder, the checks before a batch starts, the
// jobs of each movie, the progress dialog and the message that ends it. The batch itself
// runs in Batch (batch.cpp).
#include "batch.h"
#include "desktopnotification.h"
#include "globals.h"
#include "mainwindow.h"
#include "outputs.h"

#include <QDir>
#include <QFileDialog>
#include <QSettings>

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
    if (!get_destination() || refusedBeforeStart(outputs::folderProblem(CONF_g.outputDirectory)) ||
        refusedBeforeStart(outputs::overwriteProblem(nBlocks_g, CONF_g))) {
        batch->dropChoice();
        return;
    }
    outputs::removeLeftovers(nBlocks_g, CONF_g);
    progressDialog.setMinimum(0);
    progressDialog.setMaximum(Batch::initialSteps(nBlocks_g, CONF_g));
    progressDialog.setLabelText(processingText(nBlocks_g));
    progressDialog.setWindowModality(Qt::WindowModal);
    // A batch of hours can be stopped without closing the program.
    progressDialog.setCancelButtonText(tr("Cancel"));
    progressDialog.setValue(1);

    batch->start(nBlocks_g, CONF_g);
    if (batch->phase() == Batch::Phase::Idle)
        progressDialog.reset(); // nothing to convert
    bringToFront();
}

// A batch that must not start is refused with a warning: true.
bool MainWindow::refusedBeforeStart(const QString &problem)
{
    if (problem.isEmpty())
        return false;
    showWarning(problem);
    return true;
}

// Has the batch queue the movie's front and rear jobs; false, after a warning, when it
// can get none.
bool MainWindow::convertMovie(int i)
{
    const QString refusal = batch->makeMovieJobs(i);
    if (refusal.isEmpty())
        return true;
    showWarning(refusal);
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

// Each finished job sets the dialog to the number of jobs finished so far (and trips'
// steps done).
void MainWindow::jobFinished()
{
    progressDialog.setValue(batch->stepsDone());
}

QString MainWindow::processingText(int movies)
{
    return QString("Processing %1 %2...").arg(movies).arg(movies == 1 ? "movie" : "movies");
}

// Which movie is being converted and, once one has finished, how long the rest may take;
// then the trips.
void MainWindow::showBatchProgress()
{
    QString text = processingText(batch->movieCount());
    if (!batch->stepText().isEmpty())
        text += '\n' + batch->stepText();
    if (!batch->timeLeft().isEmpty())
        text += '\n' + tr("About %1 left").arg(batch->timeLeft());
    progressDialog.setLabelText(text);
    if (batch->preparingTrips() || batch->joiningTrips())
        progressDialog.setValue(batch->stepsDone());
}

// The progress dialog's Cancel button or Escape: the batch ends as closing ends it, and
// the window stays.
void MainWindow::cancelConversion()
{
    if (!conversionRunning())
        return; // the dialog was closed with the window, or the batch had ended
    endBatchNow();
    showInformation(batch->cancelledText());
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
