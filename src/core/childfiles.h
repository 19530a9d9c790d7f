#pragma once

// Files handed to an ffmpeg run as open files ("/dev/fd/N"), so that nothing in the output
// folder can redirect what it reads: files of the folder, opened only if each is still the
// very file the batch put in place, and texts that live in memory only. The files are
// closed with the object, right after the run has started.

#include "safefile.h"

#include <QByteArray>
#include <QString>

#include <vector>

class ChildFiles
{
public:
    ChildFiles() = default;
    ~ChildFiles();
    ChildFiles(const ChildFiles &) = delete;
    ChildFiles &operator=(const ChildFiles &) = delete;

    // The path the run opens the file by, or an empty string with the reason in `error`.
    QString openUnchanged(const QString &path, const safefile::FileIdentity &identity,
                          QString &error);
    QString inMemory(const char *name, const QByteArray &content, QString &error);

    // Lets the process started next inherit the files. Only the GUI thread starts
    // processes, and the files are closed right after the start, so no other child
    // inherits them.
    void passToNextChild() const;

private:
    QString add(int fd);
    std::vector<int> fds;
};
