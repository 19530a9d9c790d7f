// The window's ways into a batch: the File menu's dialogs and drag and drop.
#include "batch.h"
#include "globals.h"
#include "mainwindow.h"
#include "movienames.h"
#include "movieselection.h"

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

    MovieSelection selection;
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

    MovieSelection selection;
    for (const QUrl &url : event->mimeData()->urls()) {
        const QString path = url.path();
        if (movienames::hasAviExtension(path)) {
            selection.take(QFileInfo(path));
        } else if (path.endsWith(QDir::separator()) && !takeMovieFolder(path, selection)) {
            return;
        }
    }
    retrieveData();
    convertSelection(selection);
}

// False, after a warning, for a folder without movies.
bool MainWindow::takeMovieFolder(const QString &folder, MovieSelection &selection)
{
    QStringList unreadable;
    if (selection.takeFolder(folder, unreadable))
        return true;
    showWarning(noMoviesText(unreadable));
    return false;
}

void MainWindow::convertSelection(const MovieSelection &selection)
{
    nBlocks_g = selection.count;
    batch->leaveOut(selection.unreadable);
    if (selection.leftOut > 0)
        showWarning(leftOutText(selection.leftOut));
    bringToFront();
    startConversion();
}
