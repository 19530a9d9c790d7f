#include "safefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace safefile {

namespace {

std::atomic<bool> flushing{true};

// The letters of mkstemp's names.
const QString NameLetters =
    QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789");
constexpr int RandomLetters = 6;
constexpr int CreateAttempts = 100; // a name taken that often is a folder filled on purpose

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

// ".FILE0001F.partial<tag>.mp4" beside "FILE0001F.mp4".
QString partialPath(const QFileInfo &info, const QString &tag)
{
    const QString suffix = info.suffix().isEmpty() ? QString() : '.' + info.suffix();
    return info.path() + "/." + info.completeBaseName() + ".partial" + tag + suffix;
}

// The name of the file that `name` is the partial file of, under today's naming or the
// earlier one without a tag; empty for any other name.
QString finalNameOf(const QString &name)
{
    static const QRegularExpression partial(
        QStringLiteral("^\\.(.+)\\.partial(?:-[A-Za-z0-9]{%1})?((?:\\.[^.]*)?)$")
            .arg(RandomLetters));
    const QRegularExpressionMatch match = partial.match(name);
    return match.hasMatch() ? match.captured(1) + match.captured(2) : QString();
}

QString randomTag()
{
    QString tag = "-";
    for (int i = 0; i < RandomLetters; ++i)
        tag += NameLetters[QRandomGenerator::system()->bounded(int(NameLetters.size()))];
    return tag;
}

// Made as mkstemp makes its files, with the extension kept and the permissions the umask
// gives, as ffmpeg would have made the file: the descriptor, or -1 with errno set.
int createPartial(const QString &path, QString &partial)
{
    const QFileInfo info(path);
    for (int attempt = 0; attempt < CreateAttempts; ++attempt) {
        partial = partialPath(info, randomTag());
        const int fd = ::open(native(partial).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// A file system that cannot flush at all (EINVAL) has no promise to keep.
bool flushed(int fd)
{
    return !flushing || ::fsync(fd) == 0 || errno == EINVAL;
}

// Writes a file's pages back to the disk a few megabytes at a time, until `stop` is set: a
// movie of gigabytes can take a minute to reach a slow card, and a batch that is ended must
// not wait for it. False once stopped.
bool writtenBackUnlessStopped(int fd, const std::atomic<bool> *stop)
{
    constexpr off_t Stretch = off_t(4) << 20; // well under a second even on a slow card
    struct stat status;
    if (!flushing || !stop || ::fstat(fd, &status) != 0)
        return true;
    for (off_t offset = 0; offset < status.st_size; offset += Stretch) {
        if (*stop)
            return false;
        ::sync_file_range(fd, offset, Stretch,
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                              SYNC_FILE_RANGE_WAIT_AFTER);
    }
    return !*stop;
}

QString discard(const QString &partial, const QString &reason)
{
    ::unlink(native(partial).constData());
    return reason;
}

// The rename is on the disk once the folder's entries are.
QString flushFolder(const QString &path)
{
    const int fd =
        ::open(native(QFileInfo(path).path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool done = fd >= 0 && flushed(fd);
    const QString reason =
        done ? QString() : "the folder was not flushed to the disk: " + systemError();
    if (fd >= 0)
        ::close(fd);
    return reason;
}

QString dateAndFlush(int fd, std::optional<qint64> modificationTime)
{
    if (modificationTime) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(*modificationTime), 0}};
        ::futimens(fd, times);
    }
    return flushed(fd) ? QString() : "not flushed to the disk: " + systemError();
}

bool isFileOrLink(const QString &path)
{
    struct stat status;
    return ::lstat(native(path).constData(), &status) == 0 &&
           (S_ISREG(status.st_mode) || S_ISLNK(status.st_mode));
}

} // namespace

QStringList createPartials(const QStringList &paths, QString &error)
{
    QStringList partials;
    for (const QString &path : paths) {
        QString partial;
        const int fd = createPartial(path, partial);
        if (fd < 0) {
            const QString reason = systemError();
            error = QString("%1: %2").arg(QDir::toNativeSeparators(path), reason);
            for (const QString &made : std::as_const(partials))
                discard(made, {});
            return {};
        }
        ::close(fd);
        partials << partial;
    }
    return partials;
}

QString seal(const QString &partial, std::optional<qint64> modificationTime,
             const std::function<void(int fd)> &inspect, const std::atomic<bool> *stop)
{
    const int fd = ::open(native(partial).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return systemError();
    const QString trouble = writtenBackUnlessStopped(fd, stop)
                                ? dateAndFlush(fd, modificationTime)
                                : QString("not flushed to the disk: the batch ended");
    if (trouble.isEmpty() && inspect)
        inspect(fd);
    ::close(fd);
    return trouble;
}

QString rename(const PartialFile &file)
{
    if (std::rename(native(file.partial).constData(), native(file.path).constData()) != 0)
        return systemError();
    return flushFolder(file.path);
}

PartialFile writePartial(const QString &path, const std::function<bool(QIODevice &)> &fill,
                         std::optional<qint64> modificationTime, QString &error)
{
    QString partial;
    const int fd = createPartial(path, partial);
    if (fd < 0) {
        error = systemError();
        return {};
    }
    QFile file;
    // A full disk shows up in a write or only when the buffer is flushed.
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::DontCloseHandle) || !fill(file) ||
        !file.flush()) {
        error = file.errorString();
    } else {
        file.close(); // the descriptor stays open to be dated and flushed through
        error = dateAndFlush(fd, modificationTime);
    }
    const FileIdentity identity = identityOf(fd);
    ::close(fd);
    if (!error.isEmpty()) {
        discard(partial, {});
        return {};
    }
    return {partial, path, identity};
}

QString write(const QString &path, const std::function<bool(QIODevice &)> &fill,
              std::optional<qint64> modificationTime)
{
    QString error;
    const PartialFile file = writePartial(path, fill, modificationTime, error);
    if (!error.isEmpty())
        return error;
    error = rename(file);
    if (!error.isEmpty())
        discard(file.partial, {});
    return error;
}

static FileIdentity identityIn(const struct stat &status)
{
    return {quint64(status.st_dev), quint64(status.st_ino), qint64(status.st_size),
            qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

FileIdentity identityOf(int fd)
{
    struct stat status;
    return ::fstat(fd, &status) == 0 ? identityIn(status) : FileIdentity{};
}

std::optional<FileIdentity> identityAt(const QString &path)
{
    struct stat status;
    if (::lstat(native(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return identityIn(status);
}

int openUnchanged(const QString &path, const FileIdentity &identity, QString &error)
{
    const int fd = ::open(native(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = errno == ELOOP ? QString("it was replaced by a link after it was written")
                               : systemError();
        return -1;
    }
    struct stat status;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && identityOf(fd) == identity)
        return fd;
    ::close(fd);
    error = QString("it was replaced after it was written");
    return -1;
}

void removeLeftovers(const QStringList &paths,
                     const std::function<bool(const QString &name)> &alsoOurs)
{
    QHash<QString, QSet<QString>> names; // the final names, by folder
    for (const QString &path : paths) {
        const QFileInfo info(path);
        names[info.path()].insert(info.fileName());
    }
    const auto entries = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    for (auto folder = names.cbegin(); folder != names.cend(); ++folder)
        for (const QString &entry : QDir(folder.key()).entryList(entries)) {
            const QString finalName = finalNameOf(entry);
            const QString path = folder.key() + '/' + entry;
            if (!finalName.isEmpty() &&
                (folder.value().contains(finalName) || (alsoOurs && alsoOurs(finalName))) &&
                isFileOrLink(path))
                ::unlink(native(path).constData());
        }
}

void setFlushing(bool on)
{
    flushing = on;
}

} // namespace safefile
