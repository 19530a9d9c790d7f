#include "tripjoin.h"

#include "childfiles.h"
#include "globals.h"
#include "gpxtrack.h"
#include "trackfile.h"
#include "trip.h"

#include <QBuffer>
#include <QFile>
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

QList<TripJoin> TripJoin::plan(const QList<trip::ClipSpan> &spans,
                               const std::vector<TripClip> &clips,
                               const std::vector<MovieMetadata> &metadata, long dateShift,
                               const QString &folder)
{
    QList<TripJoin> trips;
    for (const QList<int> &movieList : trip::planTrips(spans)) {
        TripJoin join;
        join.name = trip::baseName(spans[movieList.first()].firstRecord, dateShift);
        join.lastRecord = spans[movieList.last()].lastRecord;
        join.metadata = tripMetadata(movieList, metadata);
        join.folder = folder;
        for (const int movie : movieList)
            join.clips << clips[size_t(movie)];
        trips << join;
    }
    return trips;
}

QList<int> TripJoin::movies() const
{
    QList<int> list;
    for (const TripClip &clip : clips)
        list << clip.movie;
    return list;
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

// A file of the output folder that the batch found as it was made, read if it still is.
static QByteArray readUnchanged(const PlacedOutput &output, QString &error)
{
    ChildFiles files;
    QFile file(files.openUnchanged(output.path, output.identity, error));
    return error.isEmpty() && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A clip's track lines and GPX points: from its records, or from its track files.
static void readTracks(const TripClip &clip, QByteArray &text, QList<gpx::TrackPoint> &points,
                       QString &error)
{
    if (clip.recordsInMemory) {
        text += trackfile::text(BLOCKS_g[clip.movie]);
        points += gpx::points(BLOCKS_g[clip.movie]);
        return;
    }
    text += readUnchanged(clip.outputs.track, error);
    if (clip.outputs.gpx.path.isEmpty() || !error.isEmpty())
        return;
    QByteArray document = readUnchanged(clip.outputs.gpx, error);
    QBuffer buffer(&document);
    bool wellFormed = false;
    if (buffer.open(QIODevice::ReadOnly))
        points += gpx::readPoints(buffer, wellFormed);
    if (!wellFormed && error.isEmpty())
        error = QFileInfo(clip.outputs.gpx.path).fileName() + ": not a GPX track";
}

QList<safefile::PartialFile> TripJoin::writeTrackPartials(long dateShift, bool gpx,
                                                          QString &error) const
{
    QByteArray text;
    QList<gpx::TrackPoint> points;
    for (const TripClip &clip : clips)
        readTracks(clip, text, points, error);
    if (!error.isEmpty())
        return {};
    const qint64 date = lastRecord + qint64(dateShift);
    QList<safefile::PartialFile> written{safefile::writePartial(
        track(".gps"), [&text](QIODevice &file) { return file.write(text) == text.size(); }, date,
        error)};
    if (error.isEmpty() && gpx && !points.isEmpty())
        written << safefile::writePartial(
            track(".gpx"), [&](QIODevice &file) { return gpx::writeTrack(points, name, file); },
            date, error);
    written.removeIf([](const safefile::PartialFile &file) { return file.partial.isEmpty(); });
    return written;
}

std::pair<QString, QString> TripJoin::openInputs(Camera camera, bool chapters, ChildFiles &files,
                                                 QString &error) const
{
    QStringList paths;
    QList<trip::Chapter> chapterList;
    for (const TripClip &clip : clips) {
        const PlacedOutput &output = clip.outputs.movies[indexOf(camera)];
        paths << files.openUnchanged(output.path, output.identity, error);
        chapterList << trip::Chapter{clip.title, output.seconds};
        if (!error.isEmpty())
            break;
    }
    const QString list =
        error.isEmpty() ? files.inMemory("trip-list", trip::concatList(paths), error) : QString();
    const QString chapterFile =
        chapters && error.isEmpty()
            ? files.inMemory("trip-chapters", trip::chapterMetadata(chapterList), error)
            : QString();
    return {list, chapterFile};
}
