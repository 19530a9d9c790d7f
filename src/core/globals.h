#pragma once

// The program's names and version, and the block table: the movies of the current batch
// with their telemetry.

#include <QFileInfo>
#include <QString>

#include <cstdint>

// Names that select the per-user settings store.
extern char QSETTINGS_APP_NAME_g[];
extern char APP_COMPANY_g[];
extern char APP_DOMAIN_g[];

extern QString VERSION_g;

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
