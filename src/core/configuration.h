#pragma once

// The user's conversion settings: what the window's "Settings" and "Extras" boxes show and
// the command line's options set. The core reads them only from the value it is given.

#include <QString>

class QSettings;

struct s_CONF
{
    int confVersion;
    bool autoBitrate;
    float bitrate;           // Mbit/s
    float timezoneOffset;    // hours added to recording times when files are dated
    int movieFormat;         // 0 = MP4 (re-encoded), otherwise AVI (streams copied)
    QString outputDirectory; // ends with the directory separator once set
    // The "Extras" box
    bool gpxTrack;      // a GPX track beside each .gps
    bool placeInMovies; // the drive's first position in MP4 movies
    QString videoCodec; // of MP4 movies: "mpeg4" or "h264"
    bool joinTrips;     // consecutive clips joined into one movie per camera
    bool driveMovie;    // a third movie: both cameras with the time, speed and place
    bool skipConverted; // movies converted before with these settings are not converted again
};

// What a first start has: MP4 at the automatic bitrate, MPEG-4, the computer's own offset
// from UTC in whole hours, GPX and place on, trips, drive movies and skipping off; no
// output folder.
s_CONF firstStartConfiguration();

// Reads the group "configuration" of a settings store into `conf`, each value missing
// taking its first-start default; the output folder is left as it is.
void readConfiguration(QSettings &settings, s_CONF &conf);
void writeConfiguration(QSettings &settings, const s_CONF &conf);

// The computer's offset from UTC now, in seconds east.
int localUtcOffsetSeconds();

// The file-date shift for an offset in hours, bounded to a day either way.
long timezoneShiftSeconds(float offsetHours);
