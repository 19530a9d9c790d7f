#include "joblog.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace joblog {

static QString failure(const QString &path, const QString &reason)
{
    return QString("%1: %2").arg(QDir::toNativeSeparators(path), reason);
}

// Opens a log for writing, made if missing, without following a link: one planted at a
// log's name would otherwise have the log written over whatever file it points at. Only a
// regular file is a log: a named pipe there would block the window (hence O_NONBLOCK,
// which a regular file ignores). The reason it could not, or an empty string.
static QString openLog(QFile &log, const QString &path, int flags, QIODevice::OpenMode mode)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | flags, 0666);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return QString("not a regular file");
    }
    if (log.open(fd, mode, QFileDevice::AutoCloseHandle))
        return {};
    ::close(fd);
    return log.errorString();
}

QString truncate(const QString &path)
{
    QFile log;
    const QString trouble = openLog(log, path, O_TRUNC, QIODevice::WriteOnly);
    return trouble.isEmpty() ? trouble : failure(path, trouble);
}

QString append(const QString &path, const QByteArray &entry)
{
    QFile log;
    const QString trouble = openLog(
        log, path, O_APPEND, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    if (!trouble.isEmpty())
        return failure(path, trouble);
    const qint64 before = log.size();
    if (log.write(entry) == entry.size())
        return {};
    const QString reason = failure(path, log.errorString());
    log.resize(before);
    return reason;
}

QByteArray entry(const QString &movie, const QByteArray &errorOutput, const QString &result)
{
    QByteArray text = QString("===== %1 =====\n").arg(movie).toUtf8() + errorOutput;
    if (!errorOutput.isEmpty() && !errorOutput.endsWith('\n'))
        text += '\n';
    return text + QString("===== %1: %2 =====\n\n").arg(movie, result).toUtf8();
}

} // namespace joblog
