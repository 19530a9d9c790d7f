#include "scanworker.h"

#include "globals.h"
#include "mainwindow.h"

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
