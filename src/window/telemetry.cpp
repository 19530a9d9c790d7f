// The window's telemetry and track file methods: calls into the core's scan and writers
// with the window's configuration.
#include "configuration.h"
#include "globals.h"
#include "mainwindow.h"
#include "scanworker.h"
#include "trackfile.h"

void MainWindow::load_gps_and_gforce_data_brightquill4300(int k)
{
    MovieScan::of(k, CONF_g).readTelemetry();
}

void MainWindow::save_gps_and_gforce_data_nmea(int k)
{
    MovieScan::of(k, CONF_g).writeTrack();
}

int MainWindow::checkSum(const char *s)
{
    return trackfile::checkSum(s);
}

bool MainWindow::setFileModificationDate(QString path, long time)
{
    return trackfile::setModificationTime(path, time + timezoneShiftSeconds(CONF_g.timezoneOffset));
}
