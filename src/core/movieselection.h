#pragma once

// How movies enter a batch: one by one, or every AVI movie of a folder, oldest first,
// into the block table from its first entry on.

#include <QFileInfoList>
#include <QString>
#include <QStringList>

struct MovieSelection
{
    int count = 0;
    int leftOut = 0;        // beyond the block table's room
    QStringList unreadable; // names that are not valid UTF-8, shown escaped

    // Takes the movie into the next entry of the block table; a movie beyond its room is
    // counted, not taken.
    void take(const QFileInfo &movie);
    // Takes the folder's movies (listMovieFolder); false when it has none, with
    // `unreadable` holding the names that could not be decoded.
    bool takeFolder(const QString &folder, QStringList &unreadableInFolder);
};

// The folder's own entries named *.avi in any letter case, hidden ones left out, oldest
// first; equal times come by name, descending. Names that cannot be decoded go to
// `unreadable`.
QFileInfoList listMovieFolder(const QString &folder, QStringList &unreadable);

// The messages a selection can end with.
QString noMoviesText(const QStringList &unreadable);
QString leftOutText(int leftOut);
