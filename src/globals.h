#pragma once

#include <QFileInfo>
#include <QString>

#include <cstdint>

// Names that select the per-user settings store.
extern char QSETTINGS_APP_NAME_g[];
extern char APP_COMPANY_g[];
extern char APP_DOMAIN_g[];

extern QString VERSION_g;

// The user's conversion settings; mirrored by the window's "Settings" box.
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
};
extern s_CONF CONF_g;

constexpr int MAX_BLOCKS = 1000;  // movies in one batch
constexpr int MAX_RECORDS = 1000; // per-second telemetry records of one movie
constexpr int MAX_SAMPLES = 3000; // telemetry chunks read from one movie

// One movie of a batch: its file, its outputs and its telemetry, one record a second.
struct s_BLOCK
{
    s_BLOCK() : frontFileName(""), rearFileName("") {}

    QFileInfo movieFile;
    QString frontFileName;
    QString rearFileName;
    int32_t recTime[MAX_RECORDS];  // seconds since 1970-01-01 00:00:00 UTC
    double latitude[MAX_RECORDS];  // decimal degrees, north positive
    double longitude[MAX_RECORDS]; // decimal degrees, east positive
    float speedKmh[MAX_RECORDS];
    float gForceX[MAX_RECORDS];
    float gForceY[MAX_RECORDS];
    float gForceZ[MAX_RECORDS];
    int32_t nRecords;
};

// The records that belong to a block's movie: nRecords, within the arrays' room.
inline int recordCount(const s_BLOCK &block)
{
    return block.nRecords < MAX_RECORDS ? block.nRecords : MAX_RECORDS;
}

// Zero-filled static storage: the numeric members start at 0.
extern s_BLOCK BLOCKS_g[MAX_BLOCKS];
extern int nBlocks_g;
