#pragma once

// The NMEA track file of a movie ("$GPRMC" sentences, each followed by a "$GSENSOR" line)
// and the dates of a movie's files. The functions use only their arguments: any thread
// may call them.

#include "safefile.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

class QFileInfo;
struct s_BLOCK;

namespace trackfile {

// Where a movie's track file goes in an output folder (which ends with a separator).
QString pathFor(const QString &folder, const QFileInfo &movie);

// The track's text: two lines for each of the block's records.
QByteArray text(const s_BLOCK &block);

// Writes the track, dated dateShift seconds after its last record, complete under a
// partial name beside `path` (safefile.h); the reason it failed goes to `error`.
safefile::PartialFile writePartial(const s_BLOCK &block, const QString &path, long dateShift,
                                   QString &error);
// The same for the GPX track of the block's records with a position.
safefile::PartialFile writeGpxPartial(const s_BLOCK &block, const QString &path, long dateShift,
                                      QString &error);

// The date of a movie's output files: dateShift seconds after the block's last record;
// none for a movie without records, whose files keep the time they were written.
std::optional<qint64> driveDate(const s_BLOCK &block, long dateShift);

// XOR of the bytes, as a signed byte widened to int: the sentence checksum.
int checkSum(const char *s);

// Sets a file's modification time and keeps its access time; false if the file's status
// cannot be read or its times set.
bool setModificationTime(const QString &path, long time);

} // namespace trackfile
