#include "globals.h"
#include "mainwindow.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QSettings>
#include <QUrl>

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

    const QFileInfoList movies = listMovieFolder(folder);
    if (movies.isEmpty()) {
        showNoMoviesWarning();
        return;
    }
    int count = 0;
    int leftOut = 0;
    for (const QFileInfo &movie : movies)
        takeMovie(movie, count, leftOut);
    convertSelection(count, leftOut);
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

    int count = 0;
    int leftOut = 0;
    for (const QUrl &url : event->mimeData()->urls()) {
        const QString path = url.path();
        if (path.endsWith(".avi") || path.endsWith(".AVI")) {
            takeMovie(QFileInfo(path), count, leftOut);
        } else if (path.endsWith(QDir::separator())) {
            const QFileInfoList movies = listMovieFolder(path);
            if (movies.isEmpty()) {
                showNoMoviesWarning();
                return;
            }
            for (const QFileInfo &movie : movies)
                takeMovie(movie, count, leftOut);
        }
    }
    retrieveData();
    convertSelection(count, leftOut);
}

// The folder's own entries named *.avi in any letter case, hidden ones left out,
// oldest first; equal times come by name, descending.
QFileInfoList MainWindow::listMovieFolder(const QString &folder) const
{
    QDir dir(folder);
    dir.setNameFilters({"*.avi"});
    dir.setSorting(QDir::Time | QDir::Reversed);
    return dir.entryInfoList(dir.nameFilters(), QDir::NoFilter, QDir::NoSort);
}

// The block table holds MAX_BLOCKS movies; the rest of a selection is counted, not taken.
void MainWindow::takeMovie(const QFileInfo &movie, int &count, int &leftOut)
{
    if (count == MAX_BLOCKS) {
        ++leftOut;
        return;
    }
    BLOCKS_g[count++].movieFile = movie;
}

void MainWindow::showNoMoviesWarning()
{
    showWarning(tr("No AVI movie files found in this directory."));
}

void MainWindow::convertSelection(int count, int leftOut)
{
    nBlocks_g = count;
    if (leftOut > 0)
        showWarning(tr("A batch holds at most %1 movies: the first %1 are converted now, %2 "
                       "were left out. Convert them in another batch.")
                        .arg(MAX_BLOCKS)
                        .arg(leftOut));
    bringToFront();
    startConversion();
}
