#include "scanworker.h"

#include "globals.h"
#include "mainwindow.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

MovieScan MovieScan::of(int k)
{
    return {k, BLOCKS_g[k].movieFile.absoluteFilePath(),
            MainWindow::trackFilePath(BLOCKS_g[k].movieFile),
            MainWindow::timezoneShiftSeconds(CONF_g.timezoneOffset)};
}

bool MovieScan::readTelemetry(const std::atomic<bool> *cancelled) const
{
    return MainWindow::readTelemetry(moviePath, BLOCKS_g[block], cancelled);
}

QString MovieScan::writeTrack() const
{
    return MainWindow::writeTrackFile(BLOCKS_g[block], trackPath, dateShift);
}

QString MovieScan::run(const std::atomic<bool> &cancelled) const
{
    // Something that is no movie file gets no track file; its jobs report it.
    if (readTelemetry(&cancelled) && !cancelled)
        return writeTrack();
    return {};
}

void ScanWorker::scan(int generation, const MovieScan &movie)
{
    const QString trackError = movie.run(cancelled);
    emit scanned(generation, movie.block, trackError);
}

bool ScanWorker::releaseFromPageCache(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    // Dirty pages cannot be dropped: they are written first.
    const bool dropped = ::fdatasync(fd) == 0 && posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    ::close(fd);
    return dropped;
}
