#include "globals.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QSettings>

s_CONF CONF_g;

void MainWindow::loadConf()
{
    restoreWindowPos();

    QSettings settings(APP_COMPANY_g, QSETTINGS_APP_NAME_g);
    readConfiguration(settings, CONF_g);
}

void MainWindow::saveConf()
{
    retrieveData();

    QSettings settings(APP_COMPANY_g, QSETTINGS_APP_NAME_g);
    writeConfiguration(settings, CONF_g);
}

void MainWindow::retrieveData()
{
    CONF_g.autoBitrate = ui->autoRadio->isChecked();
    CONF_g.bitrate = ui->bitrateEdit->text().toFloat();
    CONF_g.timezoneOffset = ui->timezoneOffset->text().toFloat();
    CONF_g.movieFormat = ui->aviRadio->isChecked() ? 1 : 0;
    CONF_g.gpxTrack = ui->gpxTrackCheck->isChecked();
    CONF_g.placeInMovies = ui->placeInMoviesCheck->isChecked();
    CONF_g.videoCodec = ui->h264Radio->isChecked() ? "h264" : "mpeg4";
    CONF_g.joinTrips = ui->joinTripsCheck->isChecked();
    CONF_g.driveMovie = ui->driveMovieCheck->isChecked();
    CONF_g.skipConverted = ui->skipConvertedCheck->isChecked();
}

int MainWindow::getTimeZoneOffset()
{
    return localUtcOffsetSeconds();
}

void MainWindow::restoreWindowPos()
{
    QSettings settings(APP_COMPANY_g, QSETTINGS_APP_NAME_g);
    settings.beginGroup("mainWindow");
    resize(settings.value("size", QSize(528, 325)).toSize());
    move(settings.value("pos", QPoint(2, 24)).toPoint());
    settings.endGroup();
}

void MainWindow::saveWindowPos()
{
    QSettings settings(APP_COMPANY_g, QSETTINGS_APP_NAME_g);
    settings.beginGroup("mainWindow");
    settings.setValue("size", size());
    settings.setValue("pos", pos());
    settings.endGroup();
}

void MainWindow::mp4_radio_slot()
{
    ui->mp4Radio->setChecked(true);
    ui->aviRadio->setChecked(false);
}

void MainWindow::avi_radio_slot()
{
    ui->mp4Radio->setChecked(false);
    ui->aviRadio->setChecked(true);
}

void MainWindow::auto_radio_slot()
{
    ui->autoRadio->setChecked(true);
    ui->manualRadio->setChecked(false);
}

void MainWindow::manual_radio_slot()
{
    ui->autoRadio->setChecked(false);
    ui->manualRadio->setChecked(true);
}
