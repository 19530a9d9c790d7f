#pragma once

// The text a drive movie shows at the bottom of its picture: for each second of the
// records, the local date and time, the speed and the position, as an ASS subtitle file
// that ffmpeg burns into the picture in the same encode. The functions use only their
// arguments: any thread may call them.

#include <QByteArray>
#include <QString>

struct s_BLOCK;

namespace driveoverlay {

// What record i says: "2012-07-14 11:06:05   52 km/h   33.87500° S  151.20000° E", the time
// shifted by dateShift seconds. A field whose value no recorder gives (a speed above
// 400 km/h, a position off the globe, no number) shows "--"; a position of exactly 0, 0,
// which the recorder writes without a fix, "no GPS fix".
QString recordText(const s_BLOCK &block, int record, long dateShift);

// The subtitle file: record i from second i to second i + 1 of the movie, the movie's
// first record being its first second. Empty for a movie without records.
QByteArray subtitles(const s_BLOCK &block, long dateShift);

} // namespace driveoverlay
