#include "tripjoin.h"

#include "childfiles.h"
#include "globals.h"
#include "gpxtrack.h"
#include "trackfile.h"
#include "trip.h"

#include <QFileInfo>

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

QList<TripJoin> TripJoin::plan(int movies, const std::vector<bool> &joinable,
                               const std::vector<std::array<PlacedOutput, CameraCount>> &placed,
                               const std::vector<MovieMetadata> &metadata, long dateShift,
                               const QString &folder)
{
    QList<trip::ClipSpan> clips;
    for (int movie = 0; movie < movies; ++movie)
        clips << trip::clipSpan(movie, BLOCKS_g[movie], joinable[size_t(movie)]);
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
            for (size_t camera = 0; camera < CameraCount; ++camera)
                join.clips[camera] << placed[size_t(movie)][camera];
            join.titles << BLOCKS_g[movie].movieFile.fileName();
        }
        trips << join;
    }
    return trips;
}

QString TripJoin::output(const EncodeSettings &settings, Camera camera) const
{
    return folder + name + outputSuffix(settings, camera);
}

QStringList TripJoin::files(const EncodeSettings &settings, bool gpx) const
{
    QStringList paths;
    for (const Camera camera : settings.cameras())
        paths << output(settings, camera);
    paths << track(".gps");
    if (gpx)
        paths << track(".gpx");
    return paths;
}

QList<safefile::PartialFile> TripJoin::writeTrackPartials(long dateShift, bool gpx,
                                                          QString &error) const
{
    QByteArray text;
    QList<const s_BLOCK *> withPoints;
    for (const int movie : movies) {
        text += trackfile::text(BLOCKS_g[movie]);
        if (gpx::hasPoints(BLOCKS_g[movie]))
            withPoints << &BLOCKS_g[movie];
    }
    const qint64 date = lastRecord + qint64(dateShift);
    QList<safefile::PartialFile> written{safefile::writePartial(
        track(".gps"), [&text](QIODevice &file) { return file.write(text) == text.size(); }, date,
        error)};
    if (error.isEmpty() && gpx && !withPoints.isEmpty())
        written << safefile::writePartial(
            track(".gpx"), [&](QIODevice &file) { return gpx::writeTrack(withPoints, name, file); },
            date, error);
    written.removeIf([](const safefile::PartialFile &file) { return file.partial.isEmpty(); });
    return written;
}

std::pair<QString, QString> TripJoin::openInputs(Camera camera, bool chapters, ChildFiles &files,
                                                 QString &error) const
{
    const QList<PlacedOutput> &outputs = clips[indexOf(camera)];
    QStringList paths;
    QList<trip::Chapter> chapterList;
    for (qsizetype i = 0; i < outputs.size() && error.isEmpty(); ++i) {
        paths << files.openUnchanged(outputs[i].path, outputs[i].identity, error);
        chapterList << trip::Chapter{titles[i], outputs[i].seconds};
    }
    const QString list =
        error.isEmpty() ? files.inMemory("trip-list", trip::concatList(paths), error) : QString();
    const QString chapterFile =
        chapters && error.isEmpty()
            ? files.inMemory("trip-chapters", trip::chapterMetadata(chapterList), error)
            : QString();
    return {list, chapterFile};
}
