#include "movieselection.h"

#include "globals.h"
#include "movienames.h"
#include "translation.h"

#include <QDir>
#include <QFile>

#include <dirent.h>

void MovieSelection::take(const QFileInfo &movie)
{
    if (count == MAX_BLOCKS) {
        ++leftOut;
        return;
    }
    BLOCKS_g[count++].movieFile = movie;
}

bool MovieSelection::takeFolder(const QString &folder, QStringList &unreadableInFolder)
{
    const QFileInfoList movies = listMovieFolder(folder, unreadableInFolder);
    if (movies.isEmpty())
        return false;
    for (const QFileInfo &movie : movies)
        take(movie);
    unreadable += unreadableInFolder;
    return true;
}

static bool hiddenOrNotAvi(const QByteArray &name)
{
    return name.startsWith('.') || !movienames::matchesFolderPattern(QString::fromLatin1(name));
}

// Names that are not valid UTF-8 (a Latin-1 name from an old card) have no QString
// that leads back to the file, and the listing below leaves them out silently: they
// are found here, so that the user hears of them. Shown with their odd bytes escaped.
static QStringList undecodableMovieNames(const QString &folder)
{
    QStringList names;
    DIR *dir = opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return names;
    while (const dirent *entry = readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (hiddenOrNotAvi(name) || QFile::encodeName(QFile::decodeName(name)) == name)
            continue;
        QString shown;
        for (const char c : name)
            shown += uchar(c) < 0x80 ? QString(QChar(c))
                                     : QString("\\x%1").arg(uchar(c), 2, 16, QChar('0'));
        names << shown;
    }
    closedir(dir);
    names.sort();
    return names;
}

QFileInfoList listMovieFolder(const QString &folder, QStringList &unreadable)
{
    QDir dir(folder);
    dir.setNameFilters({movienames::FolderPattern});
    dir.setSorting(QDir::Time | QDir::Reversed);
    unreadable = undecodableMovieNames(folder);
    return dir.entryInfoList(dir.nameFilters(), QDir::NoFilter, QDir::NoSort);
}

QString noMoviesText(const QStringList &unreadable)
{
    if (unreadable.isEmpty())
        return translated("No AVI movie files found in this directory.");
    return translated("The AVI movie files of this directory cannot be converted: their names are "
                      "not valid UTF-8 (%1). Rename them and try again.")
        .arg(unreadable.join(", "));
}

QString leftOutText(int leftOut)
{
    return translated("A batch holds at most %1 movies: the first %1 are converted now, %2 "
                      "were left out. Convert them in another batch.")
        .arg(MAX_BLOCKS)
        .arg(leftOut);
}
