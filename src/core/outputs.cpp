#include "outputs.h"

#include "configuration.h"
#include "ffmpegcommand.h"
#include "globals.h"
#include "movienames.h"
#include "safefile.h"
#include "trackfile.h"
#include "translation.h"
#include "trip.h"

#include <QDir>
#include <QSet>
#include <QTemporaryFile>

namespace outputs {

QStringList moviePaths(const QFileInfo &movie, const s_CONF &conf)
{
    const QString base = conf.outputDirectory + movie.fileName();
    if (!movienames::hasAviExtension(base))
        return {};
    const EncodeSettings settings = encodeSettingsOf(conf);
    const QString stem = movienames::splitStem(base);
    QStringList paths;
    for (const Camera camera : settings.cameras())
        paths << stem + outputSuffix(settings, camera);
    return paths;
}

QString shapingSettings(const s_CONF &conf)
{
    const EncodeSettings settings = encodeSettingsOf(conf);
    return QString("format=%1 rate=%2 codec=%3 shift=%4 gpx=%5 place=%6 drive=%7")
        .arg(settings.mp4 ? "mp4" : "avi")
        .arg(settings.rateMbits, 0, 'g', 6)
        .arg(settings.codec == VideoCodec::H264 ? "h264" : "mpeg4")
        .arg(timezoneShiftSeconds(conf.timezoneOffset))
        .arg(conf.gpxTrack)
        .arg(settings.placeInMovies)
        .arg(settings.driveMovie);
}

QStringList ofMovie(const QFileInfo &movie, const s_CONF &conf)
{
    const QString track = trackfile::pathFor(conf.outputDirectory, movie);
    QStringList paths{track};
    if (conf.gpxTrack)
        paths << movienames::gpxPathBeside(track);
    return paths + moviePaths(movie, conf);
}

QString folderProblem(const QString &folder)
{
    QTemporaryFile probe(folder + ".write-test-XXXXXX");
    if (probe.open())
        return {};
    return translated("The output folder cannot be written: %1\n%2")
        .arg(QDir::toNativeSeparators(folder), probe.errorString());
}

// The path a file has or would have, with the folder's links resolved, so that
// two names of one file compare equal.
static QString resolvedPath(const QString &path)
{
    const QFileInfo info(path);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? info.absoluteFilePath() : folder + '/' + info.fileName();
}

QString overwriteProblem(int movies, const s_CONF &conf)
{
    QSet<QString> moviePaths;
    for (int i = 0; i < movies; ++i)
        moviePaths.insert(resolvedPath(BLOCKS_g[i].movieFile.filePath()));
    QSet<QString> outputPaths;
    for (int i = 0; i < movies; ++i) {
        for (const QString &output : ofMovie(BLOCKS_g[i].movieFile, conf)) {
            const QString resolved = resolvedPath(output);
            const QString shown = QDir::toNativeSeparators(resolved);
            if (moviePaths.contains(resolved))
                return translated("An output file would overwrite a movie of this batch: %1")
                    .arg(shown);
            if (outputPaths.contains(resolved))
                return translated("Two movies of this batch would write the same output file: %1")
                    .arg(shown);
            outputPaths.insert(resolved);
        }
    }
    return {};
}

QSet<QString> resolvedBatchFiles(int movies, const s_CONF &conf)
{
    QSet<QString> files;
    for (int i = 0; i < movies; ++i) {
        files.insert(resolvedPath(BLOCKS_g[i].movieFile.filePath()));
        for (const QString &output : ofMovie(BLOCKS_g[i].movieFile, conf))
            files.insert(resolvedPath(output));
    }
    return files;
}

QString collision(const QStringList &files, const QSet<QString> &batchFiles)
{
    for (const QString &file : files)
        if (batchFiles.contains(resolvedPath(file)))
            return translated("%1 would overwrite a file of this batch")
                .arg(QDir::toNativeSeparators(resolvedPath(file)));
    return {};
}

void removeLeftovers(int movies, const s_CONF &conf)
{
    QStringList paths;
    for (int i = 0; i < movies; ++i)
        paths << ofMovie(BLOCKS_g[i].movieFile, conf);
    safefile::removeLeftovers(paths, trip::isTripFileName);
}

} // namespace outputs
