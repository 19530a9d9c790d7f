#pragma once

#include <QObject>
#include <QString>

#include <atomic>

// What reading one movie's telemetry and writing its track file needs, taken on the GUI
// thread when the movie is handed out. The batch's scan and the telemetry and track file
// methods of the window both go this way.
struct MovieScan
{
    int block = 0;
    QString moviePath;
    QString trackPath;
    long dateShift = 0; // the track is dated this many seconds after the last record

    // Block k of the table with the configuration's output folder and UTC offset.
    static MovieScan of(int k);
    bool readTelemetry(const std::atomic<bool> *cancelled = nullptr) const;
    // The reason the track file could not be written, or an empty string.
    QString writeTrack() const;
    // Both: the track file's failure (none when the movie is no file it could read).
    QString run(const std::atomic<bool> &cancelled) const;
};

// Scans a movie's telemetry and writes its track file on the scan thread, so that
// reading a multi-gigabyte movie from a slow card never stalls the window.
//
// Why this is safe: the batch hands out one block at a time and touches none of its
// records until `scanned` for it arrives, a queued signal whose delivery orders the
// worker's writes before the batch's reads. The worker gets everything else by value and
// touches no widget, setting or counter.
class ScanWorker : public QObject
{
    Q_OBJECT

public:
    explicit ScanWorker(const std::atomic<bool> &cancelled) : cancelled(cancelled) {}

    void scan(int generation, const MovieScan &movie);

    // Drops a file from the page cache (a movie that has been converted); false if the
    // kernel could not be asked to.
    static bool releaseFromPageCache(const QString &path);

signals:
    void scanned(int generation, int block, const QString &trackError);

private:
    const std::atomic<bool> &cancelled;
};
