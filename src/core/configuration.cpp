#include "configuration.h"

#include <QDateTime>
#include <QSettings>

#include <algorithm>
#include <cmath>

s_CONF firstStartConfiguration()
{
    s_CONF conf{};
    conf.confVersion = 1;
    conf.autoBitrate = true;
    conf.bitrate = 7.0f;
    conf.timezoneOffset = float(localUtcOffsetSeconds() / 3600); // truncates toward zero
    conf.movieFormat = 0;
    conf.gpxTrack = true;
    conf.placeInMovies = true;
    conf.videoCodec = "mpeg4";
    conf.joinTrips = false;
    conf.driveMovie = false;
    conf.skipConverted = false;
    return conf;
}

void readConfiguration(QSettings &settings, s_CONF &conf)
{
    const s_CONF first = firstStartConfiguration();
    settings.beginGroup("configuration");
    conf.confVersion = settings.value("confVersion", first.confVersion).toInt();
    conf.autoBitrate = settings.value("autoBitrate", first.autoBitrate).toBool();
    conf.bitrate = settings.value("bitrate", first.bitrate).toFloat();
    conf.timezoneOffset = settings.value("timezoneOffset", first.timezoneOffset).toFloat();
    conf.movieFormat = settings.value("movieFormat", first.movieFormat).toInt();
    conf.gpxTrack = settings.value("gpxTrack", first.gpxTrack).toBool();
    conf.placeInMovies = settings.value("placeInMovies", first.placeInMovies).toBool();
    conf.videoCodec = settings.value("videoCodec", first.videoCodec).toString();
    conf.joinTrips = settings.value("joinTrips", first.joinTrips).toBool();
    conf.driveMovie = settings.value("driveMovie", first.driveMovie).toBool();
    conf.skipConverted = settings.value("skipConverted", first.skipConverted).toBool();
    settings.endGroup();
}

void writeConfiguration(QSettings &settings, const s_CONF &conf)
{
    settings.beginGroup("configuration");
    settings.setValue("confVersion", conf.confVersion);
    settings.setValue("autoBitrate", conf.autoBitrate);
    settings.setValue("bitrate", conf.bitrate);
    settings.setValue("timezoneOffset", conf.timezoneOffset);
    settings.setValue("movieFormat", conf.movieFormat);
    settings.setValue("gpxTrack", conf.gpxTrack);
    settings.setValue("placeInMovies", conf.placeInMovies);
    settings.setValue("videoCodec", conf.videoCodec);
    settings.setValue("joinTrips", conf.joinTrips);
    settings.setValue("driveMovie", conf.driveMovie);
    settings.setValue("skipConverted", conf.skipConverted);
    settings.endGroup();
}

int localUtcOffsetSeconds()
{
    const QDateTime local = QDateTime::currentDateTime();
    const QDateTime utc = local.toUTC();
    QDateTime relabelled = local;
    relabelled.setTimeSpec(Qt::UTC);
    return int(utc.secsTo(relabelled));
}

long timezoneShiftSeconds(float offsetHours)
{
    // The form accepts any float; converting 1e30 or NaN to an integer is undefined.
    constexpr float maxHours = 24.0f;
    if (std::isnan(offsetHours))
        return 0;
    const float bounded = std::clamp(offsetHours, -maxHours, maxHours);
    return long(bounded * 3600.0f);
}
