#pragma once

// The files a batch writes in its output folder, and the checks made before it starts:
// each rule once, for the window and the command line.

#include <QSet>
#include <QString>
#include <QStringList>

class QFileInfo;
struct s_CONF;

namespace outputs {

// A movie's output movies in the configuration's output folder, in the order of
// EncodeSettings::cameras(); none when the movie's name does not end in ".avi" or ".AVI".
QStringList moviePaths(const QFileInfo &movie, const s_CONF &conf);

// The settings that shape a movie's outputs, as one text: equal texts, equal outputs.
QString shapingSettings(const s_CONF &conf);

// Every file a movie's conversion writes in the output folder but the logs.
QStringList ofMovie(const QFileInfo &movie, const s_CONF &conf);

// Why the folder cannot be written (tried by making a file, which also finds read-only
// mounts and full disks), or an empty string.
QString folderProblem(const QString &folder);

// Why the batch of blocks 0 to movies - 1 must not start: an output would replace one of
// its own movies, or two movies would write the same output (equal names from two
// folders); an empty string when neither.
QString overwriteProblem(int movies, const s_CONF &conf);

// The batch's movies and every file they write, with the folders' links resolved (see
// collision).
QSet<QString> resolvedBatchFiles(int movies, const s_CONF &conf);
// Why writing `files` would overwrite one of those, or an empty string.
QString collision(const QStringList &files, const QSet<QString> &batchFiles);

// Removes what a run that did not end (killed, crashed, power cut) left of this batch's
// outputs, and of any trip.
void removeLeftovers(int movies, const s_CONF &conf);

} // namespace outputs
