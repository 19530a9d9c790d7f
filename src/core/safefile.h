#pragma once

// Files the converter writes into an output folder that others may be able to write too.
// A file is written under a fresh hidden name that nobody can foresee
// (".FILE0001F.partial-Ab3xYz.mp4"), made by the converter itself, exclusively and without
// following a link; only once it is complete and flushed to the disk does it get its final
// name, by a rename, which replaces whatever entry has that name (a link itself, never the
// file behind it). The functions use only their arguments: any thread may call them.

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QIODevice;

namespace safefile {

// Makes an empty partial file for each path, for a program that writes them by name
// (ffmpeg keeps the file it is given and picks the container from its extension): all of
// them, or none with the reason ("path: reason") in `error`.
QStringList createPartials(const QStringList &paths, QString &error);

// Flushes a complete partial file to the disk, dates it (its modification time; the access
// time stays), renames it to `path` and flushes the folder, so that neither a link nor a
// power cut can undo it. The reason it failed, with the partial removed, or an empty string.
QString moveIntoPlace(const QString &partial, const QString &path,
                      std::optional<qint64> modificationTime);

// Writes a whole file: `fill` writes into a fresh partial file (false when the device
// failed), which is then moved into place. The reason it failed, or an empty string.
QString write(const QString &path, const std::function<bool(QIODevice &)> &fill,
              std::optional<qint64> modificationTime);

// Removes what a run that was killed, crashed or lost its power left of these paths:
// regular files and links named as partial files of them, today's names and the
// ".FILE0001F.partial.mp4" of earlier versions. Nothing else is touched.
void removeLeftovers(const QStringList &paths);

// For the batch benchmark only, which measures what flushing costs: false leaves every
// file to the kernel's own write-back. The program never switches it.
void setFlushing(bool on);

} // namespace safefile
