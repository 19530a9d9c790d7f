#pragma once

// The batch's logs in the output folder ("front_log.txt", "rear_log.txt"): ffmpeg's report
// of each job, headed by the movie's name and ending with the job's result.

#include <QByteArray>
#include <QString>

namespace joblog {

// Empties a log at the start of a batch; the reason it could not, or an empty string.
QString truncate(const QString &path);

// Appends one job's entry, whole or not at all: one cut by a full disk is taken back.
// The reason it could not, or an empty string.
QString append(const QString &path, const QByteArray &entry);

// "===== movie =====", ffmpeg's output, "===== movie: result =====".
QByteArray entry(const QString &movie, const QByteArray &errorOutput, const QString &result);

} // namespace joblog
