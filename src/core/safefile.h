#pragma once

// Files the converter writes into an output folder that others may be able to write too.
// A file is written under a fresh hidden name that nobody can foresee
// (".FILE0001F.partial-Ab3xYz.mp4"), made by the converter itself, exclusively and without
// following a link; only once it is complete and flushed to the disk does it get its final
// name, by a rename, which replaces whatever entry has that name (a link itself, never the
// file behind it). The functions use only their arguments: any thread may call them.

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <atomic>
#include <functional>
#include <optional>

class QIODevice;

namespace safefile {

// Which file a name stands for, and as it was made: a file put in place keeps it until it is
// replaced or changed.
struct FileIdentity
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1;
    qint64 modified = 0; // nanoseconds since 1970
    bool operator==(const FileIdentity &other) const
    {
        return device == other.device && inode == other.inode && size == other.size &&
               modified == other.modified;
    }
};

// A complete file waiting under its partial name to be moved into place at `path`.
struct PartialFile
{
    QString partial;
    QString path;
    FileIdentity identity; // of one the converter wrote itself
};

// Makes an empty partial file for each path, for a program that writes them by name
// (ffmpeg keeps the file it is given and picks the container from its extension): all of
// them, or none with the reason ("path: reason") in `error`.
QStringList createPartials(const QStringList &paths, QString &error);

// Dates a complete partial file that a program wrote by name (its modification time; the
// access time stays) and flushes it to the disk, opened anew by name without following a
// link: a link put in its place is refused. `inspect`, if given, is shown the open file.
// The reason it failed, or an empty string. Once `stop` is set, flushing a large file ends
// within about a second and the seal fails.
QString seal(const QString &partial, std::optional<qint64> modificationTime,
             const std::function<void(int fd)> &inspect = {},
             const std::atomic<bool> *stop = nullptr);

// Gives a sealed or written partial file its final name and flushes the folder, so that
// neither a link nor a power cut can undo it. The reason it failed, or an empty string.
QString rename(const PartialFile &file);

// Writes a whole file into a fresh partial file beside `path`: `fill` writes it (false when
// the device failed), then it is dated and flushed. The partial file, or an empty partial
// name with the reason in `error`.
PartialFile writePartial(const QString &path, const std::function<bool(QIODevice &)> &fill,
                         std::optional<qint64> modificationTime, QString &error);

// writePartial, then rename. The reason it failed, or an empty string.
QString write(const QString &path, const std::function<bool(QIODevice &)> &fill,
              std::optional<qint64> modificationTime);

// The identity of an open file.
FileIdentity identityOf(int fd);
// The identity of the file at `path` if it is a regular file, not a link; else none.
std::optional<FileIdentity> identityAt(const QString &path);

// Opens for reading a file that was put in place as `identity`, if the name still stands
// for it: a regular file, not a link, not replaced since. The descriptor (close-on-exec), or
// -1 with the reason in `error`.
int openUnchanged(const QString &path, const FileIdentity &identity, QString &error);

// Removes what a run that was killed, crashed or lost its power left of these paths, and
// in their folders of the files whose final names `alsoOurs` recognises (a batch's trips,
// named after drives it has not read yet): regular files and links named as partial files
// of them, today's names and the ".FILE0001F.partial.mp4" of earlier versions. Nothing
// else is touched.
void removeLeftovers(const QStringList &paths,
                     const std::function<bool(const QString &name)> &alsoOurs = {});

// For the batch benchmark only, which measures what flushing costs: false leaves every
// file to the kernel's own write-back. The program never switches it.
void setFlushing(bool on);

} // namespace safefile
