#include "batch.h"
#include "globals.h"
#include "mainwindow.h"
#include "movienames.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QSettings>
#include <QUrl>

#include <dirent.h>

void MainWindow::open_file_slot()
{
    if (refuseWhileConverting())
        return;
    const QString path = QFileDialog::getOpenFileName(this, tr("Open AVI"), QDir::currentPath(),
                                                      tr("AVI Files (*.avi)"));
    if (path.isEmpty()) {
        bringToFront();
        return;
    }
    BLOCKS_g[0].movieFile = QFileInfo(path);
    nBlocks_g = 1;
    bringToFront();
    retrieveData();
    startConversion();
}

void MainWindow::open_folder_slot()
{
    if (refuseWhileConverting())
        return;
    QSettings settings;
    const QString start = settings.value("movieDirectory", QDir::currentPath()).toString();
    const QString folder = QFileDialog::getExistingDirectory(
        this, tr("Open Movie Directory"), start,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (folder.isEmpty()) {
        bringToFront();
        return;
    }
    retrieveData();
    settings.setValue("movieDirectory", folder);
    settings.sync();

    Selection selection;
    if (takeMovieFolder(folder, selection))
        convertSelection(selection);
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    if (refuseWhileConverting())
        return;
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();

    Selection selection;
    for (const QUrl &url : event->mimeData()->urls()) {
        const QString path = url.path();
        if (movienames::hasAviExtension(path)) {
            takeMovie(QFileInfo(path), selection);
        } else if (path.endsWith(QDir::separator()) && !takeMovieFolder(path, selection)) {
            return;
        }
    }
    retrieveData();
    convertSelection(selection);
}

// False, after a warning, for a folder without movies.
bool MainWindow::takeMovieFolder(const QString &folder, Selection &selection)
{
    QStringList unreadable;
    const QFileInfoList movies = listMovieFolder(folder, unreadable);
    if (movies.isEmpty()) {
        showNoMoviesWarning(unreadable);
        return false;
    }
    for (const QFileInfo &movie : movies)
        takeMovie(movie, selection);
    selection.unreadable += unreadable;
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

// The folder's own entries named *.avi in any letter case, hidden ones left out,
// oldest first; equal times come by name, descending. Names that cannot be decoded
// go to `unreadable`.
QFileInfoList MainWindow::listMovieFolder(const QString &folder, QStringList &unreadable) const
{
    QDir dir(folder);
    dir.setNameFilters({movienames::FolderPattern});
    dir.setSorting(QDir::Time | QDir::Reversed);
    unreadable = undecodableMovieNames(folder);
    return dir.entryInfoList(dir.nameFilters(), QDir::NoFilter, QDir::NoSort);
}

// The block table holds MAX_BLOCKS movies; the rest of a selection is counted, not taken.
void MainWindow::takeMovie(const QFileInfo &movie, Selection &selection)
{
    if (selection.count == MAX_BLOCKS) {
        ++selection.leftOut;
        return;
    }
    BLOCKS_g[selection.count++].movieFile = movie;
}

void MainWindow::showNoMoviesWarning(const QStringList &unreadable)
{
    if (unreadable.isEmpty()) {
        showWarning(tr("No AVI movie files found in this directory."));
        return;
    }
    showWarning(tr("The AVI movie files of this directory cannot be converted: their names are "
                   "not valid UTF-8 (%1). Rename them and try again.")
                    .arg(unreadable.join(", ")));
}

void MainWindow::convertSelection(const Selection &selection)
{
    nBlocks_g = selection.count;
    batch->leaveOut(selection.unreadable);
    if (selection.leftOut > 0)
        showWarning(tr("A batch holds at most %1 movies: the first %1 are converted now, %2 "
                       "were left out. Convert them in another batch.")
                        .arg(MAX_BLOCKS)
                        .arg(selection.leftOut));
    bringToFront();
    startConversion();
}
