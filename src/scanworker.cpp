#include "scanworker.h"

#include "globals.h"
#include "mainwindow.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

void ScanWorker::scan(int batch, int k, const QString &moviePath, const QString &trackPath,
                      long dateShift)
{
    s_BLOCK &block = BLOCKS_g[k];
    QString trackError;
    // Something that is no movie file gets no track file; its jobs report it.
    if (MainWindow::readTelemetry(moviePath, block, &cancelled) && !cancelled)
        trackError = MainWindow::writeTrackFile(block, trackPath, dateShift);
    emit scanned(batch, k, trackError);
}

void ScanWorker::releaseFromPageCache(const QString &moviePath)
{
    const int fd =
        ::open(QFile::encodeName(moviePath).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return;
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}
