#include "tripjoin.h"

#include "globals.h"
#include "gpxtrack.h"
#include "safefile.h"
#include "trackfile.h"
#include "trip.h"

#include <QFile>
#include <QTemporaryFile>

// The trip's start, and the first place one of its clips carries.
static MovieMetadata tripMetadata(const QList<int> &movies,
                                  const std::vector<MovieMetadata> &metadata)
{
    MovieMetadata trip = metadata[size_t(movies.first())];
    for (const int movie : movies) {
        const MovieMetadata &clip = metadata[size_t(movie)];
        if (clip.placed) {
            trip.placed = true;
            trip.latitude = clip.latitude;
            trip.longitude = clip.longitude;
            break;
        }
    }
    return trip;
}

QList<TripJoin> TripJoin::plan(int movies, const std::vector<bool> &outputsWritten,
                               const std::vector<MovieMetadata> &metadata, long dateShift,
                               const QString &folder)
{
    QList<trip::ClipSpan> clips;
    for (int movie = 0; movie < movies; ++movie)
        clips << trip::clipSpan(movie, BLOCKS_g[movie], outputsWritten[size_t(movie)]);
    QList<TripJoin> trips;
    for (const QList<int> &movieList : trip::planTrips(clips)) {
        const s_BLOCK &first = BLOCKS_g[movieList.first()];
        const s_BLOCK &last = BLOCKS_g[movieList.last()];
        TripJoin join;
        join.name = trip::baseName(first.recTime[0], dateShift);
        join.movies = movieList;
        join.lastRecord = last.recTime[recordCount(last) - 1];
        join.metadata = tripMetadata(movieList, metadata);
        join.folder = folder;
        for (const int movie : movieList) {
            join.clips[0] << BLOCKS_g[movie].frontFileName;
            join.clips[1] << BLOCKS_g[movie].rearFileName;
            join.tracks << trackfile::pathFor(folder, BLOCKS_g[movie].movieFile);
            join.titles << BLOCKS_g[movie].movieFile.fileName();
        }
        trips << join;
    }
    return trips;
}

QString TripJoin::output(const EncodeSettings &settings, Camera camera) const
{
    return folder + name + splitSuffix(settings, camera);
}

// A hidden file of our own in the output folder, made with a name nobody could foresee.
static QString writeTemporary(const QString &folder, const QString &pattern,
                              const QByteArray &content, QString &error)
{
    QTemporaryFile file(folder + pattern);
    file.setAutoRemove(false);
    if (!file.open() || file.write(content) != content.size() || !file.flush()) {
        error = file.errorString();
        file.remove();
        return {};
    }
    return file.fileName();
}

static QByteArray chapterText(const QStringList &clips, const QStringList &titles)
{
    QList<trip::Chapter> chapters;
    for (int i = 0; i < clips.size(); ++i)
        chapters << trip::Chapter{titles[i], mediaDurationSeconds(clips[i]).value_or(0)};
    return trip::chapterMetadata(chapters);
}

QString TripJoin::prepare(const EncodeSettings &settings, long dateShift, bool gpx)
{
    QString error;
    for (const Camera camera : {Camera::Front, Camera::Rear}) {
        const int i = side(camera);
        const QString stem = '.' + name + splitSuffix(settings, camera);
        lists[i] =
            writeTemporary(folder, stem + "-XXXXXX.concat", trip::concatList(clips[i]), error);
        if (settings.mp4 && error.isEmpty())
            chapters[i] = writeTemporary(folder, stem + "-XXXXXX.chapters",
                                         chapterText(clips[i], titles), error);
    }
    if (!error.isEmpty())
        return error;
    QByteArray joined;
    error = trip::readJoinedTrack(tracks, joined);
    if (error.isEmpty())
        error = safefile::write(
            track(".gps"),
            [&joined](QIODevice &file) { return file.write(joined) == joined.size(); },
            lastRecord + qint64(dateShift));
    QList<const s_BLOCK *> blocks;
    for (const int movie : movies)
        if (gpx::hasPoints(BLOCKS_g[movie]))
            blocks << &BLOCKS_g[movie];
    if (!error.isEmpty() || !gpx || blocks.isEmpty())
        return error;
    return safefile::write(
        track(".gpx"), [&](QIODevice &file) { return gpx::writeTrack(blocks, name, file); },
        lastRecord + qint64(dateShift));
}

void TripJoin::removeTemporaryFiles() const
{
    for (const QString &file : {lists[0], lists[1], chapters[0], chapters[1]})
        if (!file.isEmpty())
            QFile::remove(file);
}
