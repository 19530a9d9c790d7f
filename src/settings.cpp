#include "globals.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QDateTime>
#include <QSettings>

#include <algorithm>
#include <cmath>

void MainWindow::loadConf()
{
    restoreWindowPos();

    QSettings settings(APP_COMPANY_g, QSETTINGS_APP_NAME_g);
    settings.beginGroup("configuration");
    CONF_g.confVersion = settings.value("confVersion", 1).toInt();
    CONF_g.autoBitrate = settings.value("autoBitrate", true).toBool();
    CONF_g.bitrate = settings.value("bitrate", 7.0).toFloat();
    const int defaultOffsetHours = getTimeZoneOffset() / 3600; // truncates toward zero
    CONF_g.timezoneOffset = settings.value("timezoneOffset", defaultOffsetHours).toFloat();
    CONF_g.movieFormat = settings.value("movieFormat", 0).toInt();
    CONF_g.gpxTrack = settings.value("gpxTrack", true).toBool();
    CONF_g.placeInMovies = settings.value("placeInMovies", true).toBool();
    CONF_g.videoCodec = settings.value("videoCodec", "mpeg4").toString();
    CONF_g.joinTrips = settings.value("joinTrips", false).toBool();
    settings.endGroup();
}

void MainWindow::saveConf()
{
    retrieveData();

    QSettings settings(APP_COMPANY_g, QSETTINGS_APP_NAME_g);
    settings.beginGroup("configuration");
    settings.setValue("confVersion", CONF_g.confVersion);
    settings.setValue("autoBitrate", CONF_g.autoBitrate);
    settings.setValue("bitrate", CONF_g.bitrate);
    settings.setValue("timezoneOffset", CONF_g.timezoneOffset);
    settings.setValue("movieFormat", CONF_g.movieFormat);
    settings.setValue("gpxTrack", CONF_g.gpxTrack);
    settings.setValue("placeInMovies", CONF_g.placeInMovies);
    settings.setValue("videoCodec", CONF_g.videoCodec);
    settings.setValue("joinTrips", CONF_g.joinTrips);
    settings.endGroup();
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
}

int MainWindow::getTimeZoneOffset()
{
    const QDateTime local = QDateTime::currentDateTime();
    const QDateTime utc = local.toUTC();
    QDateTime relabelled = local;
    relabelled.setTimeSpec(Qt::UTC);
    return int(utc.secsTo(relabelled));
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

long MainWindow::timezoneShiftSeconds(float offsetHours)
{
    // The form accepts any float; converting 1e30 or NaN to an integer is undefined.
    constexpr float maxHours = 24.0f;
    if (std::isnan(offsetHours))
        return 0;
    const float bounded = std::clamp(offsetHours, -maxHours, maxHours);
    return long(bounded * 3600.0f);
}
