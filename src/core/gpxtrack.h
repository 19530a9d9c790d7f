#pragma once

// The GPX 1.1 track of a movie, written beside its NMEA track for programs that read
// GPX only, and a trip's, made of its clips' points. The functions read their arguments and
// the constant version string only: any thread may call them.

#include <QList>
#include <QString>

class QIODevice;
struct s_BLOCK;

namespace gpx {

// Whether record i gives a track point: the recorder writes exactly 0,0 while it has no
// fix, and a damaged record's position may be no number or off the globe.
bool hasFix(const s_BLOCK &block, int i);

// The first record with a fix, or -1.
int firstFix(const s_BLOCK &block);

// Whether the movie's GPX would hold any point; without one no GPX is written.
bool hasPoints(const s_BLOCK &block);

// One point of a track as GPX writes it, already in text.
struct TrackPoint
{
    QString latitude;
    QString longitude;
    QString time;
    QString speed; // m/s; empty where the record's speed is no speed
};

// The points of the block's records with a fix.
QList<TrackPoint> points(const s_BLOCK &block);
// The points of a GPX track this program wrote, in order, as they stand in it; `wellFormed`
// tells whether the device held a whole XML document.
QList<TrackPoint> readPoints(QIODevice &device, bool &wellFormed);

// Writes the GPX 1.1 document of the points, one track named trackName in one segment, into
// the open device. False when the device fails to take it.
bool writeTrack(const QList<TrackPoint> &points, const QString &trackName, QIODevice &device);
// The same for the block's records with a fix.
bool writeTrack(const s_BLOCK &block, const QString &trackName, QIODevice &device);

} // namespace gpx
