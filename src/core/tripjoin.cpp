#include "tripjoin.h"

#include "globals.h"
#include "gpxtrack.h"
#include "trackfile.h"
#include "trip.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

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
                               const std::vector<std::array<PlacedOutput, 2>> &placed,
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
            for (const int side : {0, 1})
                join.clips[side] << placed[size_t(movie)][size_t(side)];
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

QStringList TripJoin::files(const EncodeSettings &settings, bool gpx) const
{
    QStringList paths{output(settings, Camera::Front), output(settings, Camera::Rear),
                      track(".gps")};
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

// A file in memory holding `content`, or -1.
static int memoryFile(const char *name, const QByteArray &content)
{
    const int fd = ::memfd_create(name, MFD_CLOEXEC);
    if (fd >= 0 && ::write(fd, content.constData(), size_t(content.size())) == content.size())
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

JoinInputs::JoinInputs(const QList<PlacedOutput> &clips, const QStringList &titles, bool chapters,
                       QString &error)
{
    QStringList paths;
    QList<trip::Chapter> chapterList;
    for (qsizetype i = 0; i < clips.size(); ++i) {
        const int fd = safefile::openUnchanged(clips[i].path, clips[i].identity, error);
        if (fd < 0) {
            error = QString("%1: %2").arg(QFileInfo(clips[i].path).fileName(), error);
            return;
        }
        fds.push_back(fd);
        paths << pathOf(fd);
        chapterList << trip::Chapter{titles[i], clips[i].seconds};
    }
    listFd = memoryFile("trip-list", trip::concatList(paths));
    if (chapters)
        chaptersFd = memoryFile("trip-chapters", trip::chapterMetadata(chapterList));
    if (listFd < 0 || (chapters && chaptersFd < 0))
        error = QString::fromLocal8Bit(std::strerror(errno));
    for (const int fd : {listFd, chaptersFd})
        if (fd >= 0)
            fds.push_back(fd);
}

JoinInputs::~JoinInputs()
{
    for (const int fd : fds)
        ::close(fd);
}

QString JoinInputs::pathOf(int fd)
{
    return QString("/dev/fd/%1").arg(fd);
}

QString JoinInputs::list() const
{
    return pathOf(listFd);
}

QString JoinInputs::chapters() const
{
    return chaptersFd >= 0 ? pathOf(chaptersFd) : QString();
}

void JoinInputs::passToNextChild() const
{
    for (const int fd : fds)
        ::fcntl(fd, F_SETFD, 0);
}
