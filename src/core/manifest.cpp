#include "manifest.h"

#include "safefile.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdlib>
#include <unistd.h>

namespace {

const QString FileName = QStringLiteral(".bq4400-converted.json");
const QString Kind = QStringLiteral("bq4400-converted 1");
constexpr qint64 MaxBytes = qint64(64) << 20; // a thousand movies take well under a megabyte

// Numbers beyond a double's 53 bits go as text.
QJsonValue wide(quint64 number)
{
    return QString::number(number);
}

QJsonObject toJson(const QString &folder, const PlacedOutput &output)
{
    return {{"name", output.path.mid(folder.size())},
            {"device", wide(output.identity.device)},
            {"inode", wide(output.identity.inode)},
            {"size", output.identity.size},
            {"modified", wide(quint64(output.identity.modified))},
            {"seconds", output.seconds}};
}

PlacedOutput outputFromJson(const QString &folder, const QJsonValue &value)
{
    const QJsonObject o = value.toObject();
    const QString name = o.value("name").toString();
    if (name.isEmpty() || name.contains('/')) // only files of the folder itself
        return {};
    return {folder + name,
            {o.value("device").toString().toULongLong(), o.value("inode").toString().toULongLong(),
             qint64(o.value("size").toDouble()), o.value("modified").toString().toLongLong()},
            o.value("seconds").toDouble()};
}

const char *const CameraKeys[CameraCount] = {"front", "rear", "drive"};

QJsonObject toJson(const QString &folder, const Manifest::Movie &movie)
{
    QJsonObject outputs;
    for (size_t camera = 0; camera < CameraCount; ++camera)
        if (!movie.outputs.movies[camera].path.isEmpty())
            outputs[CameraKeys[camera]] = toJson(folder, movie.outputs.movies[camera]);
    outputs["track"] = toJson(folder, movie.outputs.track);
    if (!movie.outputs.gpx.path.isEmpty())
        outputs["gpx"] = toJson(folder, movie.outputs.gpx);
    QJsonObject o{{"size", movie.size},
                  {"modified", movie.modified},
                  {"settings", movie.settings},
                  {"outputs", outputs}};
    if (movie.span.hasRecords)
        o["records"] = QJsonArray{movie.span.firstRecord, movie.span.lastRecord};
    if (movie.metadata.placed)
        o["place"] = QJsonArray{movie.metadata.latitude, movie.metadata.longitude};
    return o;
}

Manifest::Movie movieFromJson(const QString &folder, const QJsonObject &o)
{
    Manifest::Movie movie;
    movie.size = qint64(o.value("size").toDouble());
    movie.modified = qint64(o.value("modified").toDouble());
    movie.settings = o.value("settings").toString();
    const QJsonArray records = o.value("records").toArray();
    if (records.size() == 2) {
        movie.span = {0, true, records[0].toInt(), records[1].toInt(), true};
        movie.metadata.dated = true;
        movie.metadata.start = movie.span.firstRecord;
    }
    const QJsonArray place = o.value("place").toArray();
    if (place.size() == 2) {
        movie.metadata.placed = true;
        movie.metadata.latitude = place[0].toDouble();
        movie.metadata.longitude = place[1].toDouble();
    }
    const QJsonObject outputs = o.value("outputs").toObject();
    for (size_t camera = 0; camera < CameraCount; ++camera)
        movie.outputs.movies[camera] = outputFromJson(folder, outputs.value(CameraKeys[camera]));
    movie.outputs.track = outputFromJson(folder, outputs.value("track"));
    movie.outputs.gpx = outputFromJson(folder, outputs.value("gpx"));
    return movie;
}

QByteArray checksum(const QJsonObject &content)
{
    return QCryptographicHash::hash(QJsonDocument(content).toJson(QJsonDocument::Compact),
                                    QCryptographicHash::Sha256)
        .toHex();
}

// The manifest's bytes: a regular file, not behind a link, of a sane size; else nothing.
QByteArray readManifestFile(const QString &path)
{
    const std::optional<safefile::FileIdentity> identity = safefile::identityAt(path);
    QString error;
    const int fd = identity && identity->size <= MaxBytes
                       ? safefile::openUnchanged(path, *identity, error)
                       : -1;
    if (fd < 0)
        return {};
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return {};
    }
    return file.readAll();
}

} // namespace

Manifest Manifest::read(const QString &folder)
{
    Manifest manifest;
    manifest.folder = folder;
    const QJsonObject document =
        QJsonDocument::fromJson(readManifestFile(folder + FileName)).object();
    QJsonObject content = document.value("content").toObject();
    if (content.value("kind").toString() != Kind || content.value("folder").toString() != folder ||
        document.value("checksum").toString().toLatin1() != checksum(content))
        return manifest;
    const QJsonObject movies = content.value("movies").toObject();
    for (auto movie = movies.begin(); movie != movies.end(); ++movie)
        manifest.movies.insert(movie.key(), movieFromJson(folder, movie.value().toObject()));
    const QJsonObject trips = content.value("trips").toObject();
    for (auto trip = trips.begin(); trip != trips.end(); ++trip) {
        const QJsonObject o = trip.value().toObject();
        Trip joined;
        for (const QJsonValue &clip : o.value("clips").toArray())
            joined.clips << clip.toString();
        joined.settings = o.value("settings").toString();
        for (const QJsonValue &file : o.value("files").toArray())
            joined.files << outputFromJson(folder, file);
        manifest.trips.insert(trip.key(), joined);
    }
    return manifest;
}

QByteArray Manifest::content() const
{
    QJsonObject movieList;
    for (auto movie = movies.cbegin(); movie != movies.cend(); ++movie)
        movieList[movie.key()] = toJson(folder, movie.value());
    QJsonObject tripList;
    for (auto trip = trips.cbegin(); trip != trips.cend(); ++trip) {
        QJsonArray files;
        for (const PlacedOutput &file : trip.value().files)
            files << toJson(folder, file);
        tripList[trip.key()] =
            QJsonObject{{"clips", QJsonArray::fromStringList(trip.value().clips)},
                        {"settings", trip.value().settings},
                        {"files", files}};
    }
    const QJsonObject content{
        {"kind", Kind}, {"folder", folder}, {"movies", movieList}, {"trips", tripList}};
    return QJsonDocument(
               QJsonObject{{"content", content}, {"checksum", QString(checksum(content))}})
        .toJson(QJsonDocument::Compact);
}

QString Manifest::write() const
{
    const QByteArray bytes = content();
    return safefile::write(
        folder + FileName, [&bytes](QIODevice &file) { return file.write(bytes) == bytes.size(); },
        std::nullopt);
}

// Still a regular file (not a link) of the size and time it was made with. Its device and
// inode are not compared: a USB disk's FAT or exFAT numbers its files anew at each mount. Its
// time may differ by the 2 s that FAT keeps times in; any change to a file gives it the
// time of the change, which is far from the drive's that it was made with. The identity it
// has now goes to `output`, for the checks of this batch.
bool Manifest::unchanged(PlacedOutput &output) const
{
    constexpr qint64 FatResolution = 2'000'000'000; // nanoseconds
    const std::optional<safefile::FileIdentity> now = safefile::identityAt(output.path);
    if (!now || now->size != output.identity.size ||
        std::abs(now->modified - output.identity.modified) > FatResolution)
        return false;
    output.identity = *now;
    return true;
}

std::optional<Manifest::Movie> Manifest::convertedBefore(const QFileInfo &movie,
                                                         const QString &settings) const
{
    const auto found = movies.constFind(movie.fileName());
    const Movie key = keyOf(movie);
    if (found == movies.cend() || found->size != key.size || found->modified != key.modified ||
        found->settings != settings)
        return std::nullopt;
    Movie converted = *found;
    QList<PlacedOutput *> outputs{&converted.outputs.track};
    for (PlacedOutput &output : converted.outputs.movies)
        if (!output.path.isEmpty())
            outputs << &output;
    if (!converted.outputs.gpx.path.isEmpty())
        outputs << &converted.outputs.gpx;
    for (PlacedOutput *output : outputs)
        if (!unchanged(*output))
            return std::nullopt;
    return converted;
}

bool Manifest::joinedBefore(const QString &name, const QStringList &clips,
                            const QString &settings) const
{
    const auto found = trips.constFind(name);
    if (found == trips.cend() || found->clips != clips || found->settings != settings)
        return false;
    QList<PlacedOutput> files = found->files;
    return std::all_of(files.begin(), files.end(),
                       [this](PlacedOutput &file) { return unchanged(file); });
}

void Manifest::record(const QString &movieName, const Movie &movie)
{
    movies.insert(movieName, movie);
}

void Manifest::forget(const QString &movieName)
{
    movies.remove(movieName);
}

void Manifest::record(const QString &tripName, const Trip &trip)
{
    trips.insert(tripName, trip);
}

Manifest::Movie Manifest::keyOf(const QFileInfo &movie)
{
    Movie key;
    key.size = movie.size();
    key.modified = movie.lastModified().toMSecsSinceEpoch();
    return key;
}
