#pragma once

// The GPX 1.1 track of a movie, written beside its NMEA track for programs that read
// GPX only. The functions read their arguments and the constant version string only:
// any thread may call them.

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

// Writes the GPX 1.1 document of the block's records with a fix, one track named
// trackName, into the open device. False when the device fails to take it.
bool writeTrack(const s_BLOCK &block, const QString &trackName, QIODevice &device);
// The same for a drive of several movies, one after the other in one track segment.
bool writeTrack(const QList<const s_BLOCK *> &blocks, const QString &trackName, QIODevice &device);

} // namespace gpx
