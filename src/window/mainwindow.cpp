#include "mainwindow.h"

#include "batch.h"
#include "ffmpegcommand.h"
#include "globals.h"
#include "terminationsignals.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QDir>
#include <QDoubleValidator>
#include <QFileInfo>
#include <QMessageBox>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui_MainWindow),
      batch(std::make_unique<Batch>(this, [this](int movie) { return convertMovie(movie); }))
{
    // A progress dialog arms its show timer when it is constructed; without a
    // reset it would pop up empty a few seconds after start-up.
    progressDialog.reset();
    // A window of its own, which the desktop names after the program.
    progressDialog.setWindowTitle(tr("BRIGHTQUILL 4400 Converter"));

    ui->setupUi(this);
    loadConf();
    setWindowTitle(QStringLiteral("BRIGHTQUILL 4400 Converter, ") + VERSION_g);

    ui->bitrateEdit->setValidator(new QDoubleValidator(ui->bitrateEdit));
    ui->timezoneOffset->setValidator(new QDoubleValidator(ui->timezoneOffset));

    ui->mp4Radio->setChecked(CONF_g.movieFormat == 0);
    ui->aviRadio->setChecked(CONF_g.movieFormat == 1);
    ui->autoRadio->setChecked(CONF_g.autoBitrate);
    ui->manualRadio->setChecked(!CONF_g.autoBitrate);
    ui->bitrateEdit->setText(QString::number(double(CONF_g.bitrate), 'g', 6));
    ui->timezoneOffset->setText(QString::number(double(CONF_g.timezoneOffset), 'g', 6));
    ui->gpxTrackCheck->setChecked(CONF_g.gpxTrack);
    ui->placeInMoviesCheck->setChecked(CONF_g.placeInMovies);
    ui->h264Radio->setChecked(CONF_g.videoCodec == "h264");
    ui->mpeg4Radio->setChecked(!ui->h264Radio->isChecked());
    ui->joinTripsCheck->setChecked(CONF_g.joinTrips);
    ui->driveMovieCheck->setChecked(CONF_g.driveMovie);
    ui->skipConvertedCheck->setChecked(CONF_g.skipConverted);

    connect(ui->mp4Radio, &QRadioButton::clicked, this, &MainWindow::mp4_radio_slot);
    connect(ui->aviRadio, &QRadioButton::clicked, this, &MainWindow::avi_radio_slot);
    connect(ui->autoRadio, &QRadioButton::clicked, this, &MainWindow::auto_radio_slot);
    connect(ui->manualRadio, &QRadioButton::clicked, this, &MainWindow::manual_radio_slot);
    connect(ui->openFolderAction, &QAction::triggered, this, &MainWindow::open_folder_slot);
    connect(ui->openFileAction, &QAction::triggered, this, &MainWindow::open_file_slot);
    connect(ui->quitAction, &QAction::triggered, this, &MainWindow::file_close_slot);
    connect(ui->quitButton, &QPushButton::clicked, this, &MainWindow::file_close_slot);
    connect(ui->aboutAction, &QAction::triggered, this, &MainWindow::showAbout);
    connect(batch.get(), &Batch::jobFinished, this,
            [this](const Job &job, int exitCode, QProcess::ExitStatus exitStatus) {
                if (job.trip >= 0 || job.camera == Camera::Both)
                    jobFinished();
                else if (job.camera == Camera::Front)
                    front_process_finished_slot(exitCode, exitStatus);
                else
                    rear_process_finished_slot(exitCode, exitStatus);
            });
    connect(batch.get(), &Batch::stepsAdded, this,
            [this](int steps) { progressDialog.setMaximum(progressDialog.maximum() + steps); });
    connect(batch.get(), &Batch::ended, this, &MainWindow::finishBatch);
    connect(batch.get(), &Batch::progressed, this, &MainWindow::showBatchProgress);
    connect(&progressDialog, &QProgressDialog::canceled, this, &MainWindow::cancelConversion);
    // SIGTERM, SIGINT and SIGHUP close the window as its close control does.
    connect(new TerminationSignals(this), &TerminationSignals::received, this, [this] { close(); });
}

MainWindow::~MainWindow()
{
    // A window destroyed without being closed ends its batch the same way; the jobs'
    // ends must not call back into a window that is half destroyed.
    batch->abort();
    delete ui;
}

// The close event saves the settings, however the window is closed.
void MainWindow::file_close_slot()
{
    close();
}

void MainWindow::closeEvent(QCloseEvent *)
{
    saveConf();
    saveWindowPos();
    // Closing does not wait for a batch: it is ended, and its progress window, which has
    // no parent, is closed so that it cannot keep the program running.
    endBatchNow();
}

void MainWindow::endBatchNow()
{
    batch->abort();
    progressDialog.reset();
}

void MainWindow::bringToFront()
{
    activateWindow();
    raise();
}

void MainWindow::showInformation(const QString &text)
{
    QMessageBox::information(this, tr("Converter"), text, QMessageBox::Ok, QMessageBox::NoButton);
}

// Every warning hands the focus back to the window once it is closed.
void MainWindow::showWarning(const QString &text)
{
    QMessageBox::warning(this, tr("Converter"), text, QMessageBox::Ok, QMessageBox::NoButton);
    bringToFront();
}

void MainWindow::showAbout()
{
    const QString ffmpeg = QDir::toNativeSeparators(ffmpegProgram());
    const QString found = QFileInfo(ffmpeg).isExecutable() ? tr("found") : tr("not found");
    QMessageBox::about(
        this, tr("About"),
        tr("<b>BRIGHTQUILL 4400 Converter</b> %1<br><br>"
           "Splits the movies of the dual-camera recorder into a front and a "
           "rear movie and writes each drive's GPS track.<br><br>"
           "Qt %2<br>ffmpeg expected at: %3 (%4)")
            .arg(VERSION_g, QString::fromLatin1(qVersion()), ffmpeg.toHtmlEscaped(), found));
}
