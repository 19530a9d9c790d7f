#pragma once

// A cgroup for the benchmark's measured runs: the benchmark process and the children it
// starts get a memory limit, which bounds their page cache, and a read throttle on the
// disk that holds the movies. Version 2 (memory and io controllers) is used when the
// unified hierarchy offers both, else version 1 (memory and blkio). Needs root.

#include <QList>
#include <QString>
#include <QStringList>

#include <sys/types.h>

class ThrottledCgroup
{
public:
    ThrottledCgroup() = default;
    // Moves the process back and removes the cgroup.
    ~ThrottledCgroup();
    ThrottledCgroup(const ThrottledCgroup &) = delete;
    ThrottledCgroup &operator=(const ThrottledCgroup &) = delete;

    // Makes the cgroup, throttling reads from the disk that holds folder. False, with the
    // reasons in error, if neither cgroup version can be used here.
    bool create(const QString &folder, qint64 memoryLimit, qint64 readBytesPerSecond,
                QString &error);
    // Moves this process (all its threads) in, so the children it starts from then on are
    // in as well; leave() moves it back where it was.
    bool enter(QString &error);
    void leave();

    // Bytes the cgroup's tasks had the throttled disk read: page-cache misses only.
    qint64 bytesRead() const;
    QList<pid_t> processes() const;
    // The version, the cgroup folders and what was written to which file.
    QStringList description() const;

private:
    struct Placement
    {
        QString origin; // the cgroup this process was in, to return to
        QString folder; // the cgroup made for the runs
    };

    bool createV1(QString &error);
    bool createV2(QString &error);
    // Makes the folders and writes the limit and the throttle into the files named.
    bool setUp(const QList<Placement> &made, QString &error);
    void remove();

    qint64 memoryLimit = 0;
    qint64 readBytesPerSecond = 0;
    QString disk; // "major:minor" of the whole disk
    QString version;
    QList<Placement> placements; // one per hierarchy; the first holds the memory controller
    QString limitFile, throttleFile, statFile;
    QByteArray throttleRule;
    bool entered = false;
};
