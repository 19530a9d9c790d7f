#include "mainwindow.h"

#include "globals.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QDir>
#include <QDoubleValidator>
#include <QFileInfo>
#include <QMessageBox>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui_MainWindow)
{
    // A progress dialog arms its show timer when it is constructed; without a
    // reset it would pop up empty a few seconds after start-up.
    progressDialog.reset();

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

    connect(ui->mp4Radio, &QRadioButton::clicked, this, &MainWindow::mp4_radio_slot);
    connect(ui->aviRadio, &QRadioButton::clicked, this, &MainWindow::avi_radio_slot);
    connect(ui->autoRadio, &QRadioButton::clicked, this, &MainWindow::auto_radio_slot);
    connect(ui->manualRadio, &QRadioButton::clicked, this, &MainWindow::manual_radio_slot);
    connect(ui->openFolderAction, &QAction::triggered, this, &MainWindow::open_folder_slot);
    connect(ui->openFileAction, &QAction::triggered, this, &MainWindow::open_file_slot);
    connect(ui->quitAction, &QAction::triggered, this, &MainWindow::file_close_slot);
    connect(ui->quitButton, &QPushButton::clicked, this, &MainWindow::file_close_slot);
    connect(ui->aboutAction, &QAction::triggered, this, &MainWindow::showAbout);
}

MainWindow::~MainWindow()
{
    // Jobs still running are ended with the window; their ends must not call back
    // into a window that is half destroyed.
    for (QProcess *job : findChildren<QProcess *>(Qt::FindDirectChildrenOnly))
        job->disconnect(this);
    delete ui;
}

void MainWindow::file_close_slot()
{
    saveConf();
    saveWindowPos();
    close();
}

void MainWindow::closeEvent(QCloseEvent *)
{
    saveConf();
    saveWindowPos();
    // The progress window has no parent: left open, it would keep the program
    // running after its main window has closed.
    progressDialog.reset();
}

void MainWindow::bringToFront()
{
    activateWindow();
    raise();
}

// Every warning hands the focus back to the window once it is closed.
void MainWindow::showWarning(const QString &text)
{
    QMessageBox::warning(this, tr("Converter"), text, QMessageBox::Ok, QMessageBox::NoButton);
    bringToFront();
}

void MainWindow::showAbout()
{
    const QString ffmpeg = QDir::toNativeSeparators(ffmpegPath());
    const QString found = QFileInfo(ffmpeg).isExecutable() ? tr("found") : tr("not found");
    QMessageBox::about(
        this, tr("About"),
        tr("<b>BRIGHTQUILL 4400 Converter</b> %1<br><br>"
           "Splits the movies of the dual-camera recorder into a front and a "
           "rear movie and writes each drive's GPS track.<br><br>"
           "Qt %2<br>ffmpeg expected at: %3 (%4)")
            .arg(VERSION_g, QString::fromLatin1(qVersion()), ffmpeg.toHtmlEscaped(), found));
}
