#pragma once

#include <QObject>
#include <QString>

#include <atomic>

// Scans a movie's telemetry and writes its track file on the scan thread, so that
// reading a multi-gigabyte movie from a slow card never stalls the window.
//
// Why this is safe: the window hands out one block at a time and touches none of
// its records until `scanned` for it arrives, a queued signal whose delivery orders
// the worker's writes before the window's reads. The worker gets everything else by
// value and touches no widget, setting or counter.
class ScanWorker : public QObject
{
    Q_OBJECT

public:
    explicit ScanWorker(const std::atomic<bool> &cancelled) : cancelled(cancelled) {}

    // Fills the records of block k from the movie and writes its track file, then
    // reports the track file's failure (empty when written or when there is no movie).
    void scan(int batch, int k, const QString &moviePath, const QString &trackPath, long dateShift);

    // Drops a movie that has been converted from the page cache.
    void releaseFromPageCache(const QString &moviePath);

signals:
    void scanned(int batch, int k, const QString &trackError);

private:
    const std::atomic<bool> &cancelled;
};
