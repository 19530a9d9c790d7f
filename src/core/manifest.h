#pragma once

// What an output folder holds of earlier conversions, so that a movie converted before
// with the same settings, whose outputs are all still as they were made, is not converted
// again. Kept in a hidden file of the folder, written whole or not at all; a file that is
// damaged, edited, made for another folder or unreadable counts as empty, and is replaced.

#include "ffmpegcommand.h"
#include "trip.h"
#include "tripjoin.h"

#include <QFileInfo>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

class Manifest
{
public:
    // A movie as it was converted: the movie itself, the settings that shaped its outputs,
    // what trips need of it, and its outputs as they were put in place.
    struct Movie
    {
        qint64 size = 0;
        qint64 modified = 0; // milliseconds since 1970
        QString settings;
        trip::ClipSpan span;
        MovieMetadata metadata;
        MovieOutputs outputs;
    };
    // A trip as it was joined: its clips (the movies' names) and its files.
    struct Trip
    {
        QStringList clips;
        QString settings;
        QList<PlacedOutput> files;
    };

    // The manifest of an output folder (ending with a separator); empty when there is none
    // that is whole and made for this folder.
    static Manifest read(const QString &folder);
    // Puts it in place in its folder; the reason it could not, or an empty string.
    QString write() const;

    // The earlier conversion of a movie with these settings, if every one of its outputs is
    // still in the folder as it was made (with the files' identities of now); else nothing.
    std::optional<Movie> convertedBefore(const QFileInfo &movie, const QString &settings) const;
    // Whether a trip of these clips was joined before with these settings and its files
    // are all still as they were made.
    bool joinedBefore(const QString &name, const QStringList &clips, const QString &settings) const;

    void record(const QString &movieName, const Movie &movie);
    void forget(const QString &movieName);
    void record(const QString &tripName, const Trip &trip);

    // A movie's size and modification time as the manifest keys it.
    static Movie keyOf(const QFileInfo &movie);

private:
    QByteArray content() const;
    bool unchanged(PlacedOutput &output) const;

    QString folder;
    QMap<QString, Movie> movies;
    QMap<QString, Trip> trips;
};
