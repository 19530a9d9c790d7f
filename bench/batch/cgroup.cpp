#include "cgroup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

const QString CgroupRoot = QStringLiteral("/sys/fs/cgroup");
const QString NamePrefix = QStringLiteral("bench_batch-");

QString systemError(const QString &what)
{
    return QString("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

// One write(2), as cgroup files want it, so that the kernel's refusal is seen.
bool writeFile(const QString &path, const QByteArray &value, QString &error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    const bool written =
        fd >= 0 && ::write(fd, value.constData(), size_t(value.size())) == value.size();
    if (!written)
        error = systemError(QString("writing \"%1\" to %2").arg(QString::fromUtf8(value), path));
    if (fd >= 0)
        ::close(fd);
    return written;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

// This process's cgroup path in the v1 hierarchy holding controller, or in the v2
// hierarchy for an empty controller; null if there is none.
QString ownCgroup(const QString &controller)
{
    const QStringList lines = QString::fromUtf8(readFile("/proc/self/cgroup")).split('\n');
    for (const QString &line : lines) {
        const QStringList fields = line.split(':');
        if (fields.size() < 3)
            continue;
        const bool match = controller.isEmpty() ? fields[0] == "0" && fields[1].isEmpty()
                                                : fields[1].split(',').contains(controller);
        if (match)
            return fields.mid(2).join(':');
    }
    return {};
}

// "major:minor" of the whole disk holding folder: throttles apply to disks, not to
// their partitions.
bool wholeDisk(const QString &folder, QString &disk, QString &error)
{
    struct stat status;
    if (::stat(QFile::encodeName(folder).constData(), &status) != 0) {
        error = systemError("cannot look at " + folder);
        return false;
    }
    const QString block =
        QString("/sys/dev/block/%1:%2").arg(major(status.st_dev)).arg(minor(status.st_dev));
    const QString device = QFileInfo(block).canonicalFilePath();
    if (device.isEmpty()) {
        error = QString("needs its folder on a disk to throttle, but %1 is on device %2:%3")
                    .arg(folder)
                    .arg(major(status.st_dev))
                    .arg(minor(status.st_dev));
        return false;
    }
    const bool partition = QFileInfo::exists(device + "/partition");
    disk = QString::fromUtf8(readFile((partition ? device + "/.." : device) + "/dev"));
    return !disk.isEmpty();
}

// Cgroups of earlier runs that were killed before they could clean up: removable once
// their process is gone, as rmdir only removes empty cgroups.
void removeLeftovers(const QString &parent)
{
    static const QRegularExpression name('^' + NamePrefix + "(\\d+)$");
    for (const QString &entry : QDir(parent).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QRegularExpressionMatch match = name.match(entry);
        if (match.hasMatch() && !QFileInfo::exists("/proc/" + match.captured(1)))
            ::rmdir(QFile::encodeName(parent + '/' + entry).constData());
    }
}

} // namespace

ThrottledCgroup::~ThrottledCgroup()
{
    leave();
    remove();
}

bool ThrottledCgroup::create(const QString &folder, qint64 limit, qint64 bytesPerSecond,
                             QString &error)
{
    if (::geteuid() != 0) {
        error = "needs root to make cgroups";
        return false;
    }
    if (!wholeDisk(folder, disk, error))
        return false;
    memoryLimit = limit;
    readBytesPerSecond = bytesPerSecond;
    QString v2Error, v1Error;
    if (createV2(v2Error) || createV1(v1Error))
        return true;
    error = QString("cannot make a cgroup with a memory limit and a read throttle: "
                    "version 2: %1; version 1: %2")
                .arg(v2Error, v1Error);
    return false;
}

bool ThrottledCgroup::createV2(QString &error)
{
    // Unified only, or beside the version 1 hierarchies.
    const QString mount = QFileInfo::exists(CgroupRoot + "/cgroup.controllers")
                              ? CgroupRoot
                              : CgroupRoot + "/unified";
    const QString own = ownCgroup({});
    if (own.isNull() || !QFileInfo::exists(mount + "/cgroup.controllers")) {
        error = "no unified hierarchy";
        return false;
    }
    // Controllers are only handed to the children of a cgroup without processes, so
    // the cgroup is made below the root, not below this process's own.
    const QStringList handedOn =
        QString::fromUtf8(readFile(mount + "/cgroup.subtree_control")).split(' ');
    if (!handedOn.contains("memory") || !handedOn.contains("io")) {
        error = QString("%1/cgroup.subtree_control does not enable memory and io (it holds "
                        "\"%2\")")
                    .arg(mount, handedOn.join(' '));
        return false;
    }
    version = "cgroup v2";
    const QString made = QString("%1/%2%3").arg(mount, NamePrefix).arg(::getpid());
    limitFile = made + "/memory.max";
    throttleFile = made + "/io.max";
    throttleRule = QString("%1 rbps=%2").arg(disk).arg(readBytesPerSecond).toUtf8();
    statFile = made + "/io.stat";
    return setUp({{QDir::cleanPath(mount + own), made}}, error);
}

bool ThrottledCgroup::createV1(QString &error)
{
    const QString memory = ownCgroup("memory");
    const QString blkio = ownCgroup("blkio");
    const QString memoryRoot = CgroupRoot + "/memory", blkioRoot = CgroupRoot + "/blkio";
    if (memory.isNull() || blkio.isNull() || !QFileInfo::exists(memoryRoot + "/cgroup.procs") ||
        !QFileInfo::exists(blkioRoot + "/cgroup.procs")) {
        error = "no memory and blkio hierarchies under " + CgroupRoot;
        return false;
    }
    version = "cgroup v1";
    // Below this process's own cgroups, so that whatever limits those set still apply.
    const QString name = NamePrefix + QString::number(::getpid());
    const auto below = [&name](const QString &origin) {
        return Placement{QDir::cleanPath(origin), QDir::cleanPath(origin + '/' + name)};
    };
    const Placement inMemory = below(memoryRoot + memory);
    const Placement inBlkio = below(blkioRoot + blkio);
    limitFile = inMemory.folder + "/memory.limit_in_bytes";
    throttleFile = inBlkio.folder + "/blkio.throttle.read_bps_device";
    throttleRule = QString("%1 %2").arg(disk).arg(readBytesPerSecond).toUtf8();
    statFile = inBlkio.folder + "/blkio.throttle.io_service_bytes";
    return setUp({inMemory, inBlkio}, error);
}

bool ThrottledCgroup::setUp(const QList<Placement> &made, QString &error)
{
    for (const Placement &placement : made) {
        removeLeftovers(QFileInfo(placement.folder).path());
        if (::mkdir(QFile::encodeName(placement.folder).constData(), 0755) != 0) {
            error = systemError("making " + placement.folder);
            remove();
            return false;
        }
        placements << placement;
    }
    const QByteArray rate = QByteArray::number(readBytesPerSecond);
    bool ok = writeFile(limitFile, QByteArray::number(memoryLimit), error) &&
              writeFile(throttleFile, throttleRule, error);
    // The kernel takes a rule for a device it cannot throttle without a word in some
    // versions: read it back.
    const QByteArray rules = readFile(throttleFile);
    if (ok && !(rules.contains(disk.toUtf8()) && rules.contains(rate))) {
        error = QString("%1 reads \"%2\" after \"%3\" was written")
                    .arg(throttleFile, QString::fromUtf8(rules), QString::fromUtf8(throttleRule));
        ok = false;
    }
    if (ok && !QFileInfo(statFile).isReadable()) {
        error = statFile + " cannot be read";
        ok = false;
    }
    if (!ok)
        remove();
    return ok;
}

bool ThrottledCgroup::enter(QString &error)
{
    const QByteArray pid = QByteArray::number(::getpid());
    for (const Placement &placement : std::as_const(placements)) {
        if (!writeFile(placement.folder + "/cgroup.procs", pid, error))
            return false;
        entered = true;
    }
    return entered;
}

void ThrottledCgroup::leave()
{
    if (!entered)
        return;
    const QByteArray pid = QByteArray::number(::getpid());
    for (const Placement &placement : std::as_const(placements)) {
        QString error;
        if (!writeFile(placement.origin + "/cgroup.procs", pid, error))
            qWarning("bench_batch: %s", qPrintable(error));
    }
    entered = false;
}

void ThrottledCgroup::remove()
{
    for (const Placement &placement : std::as_const(placements)) {
        const QByteArray folder = QFile::encodeName(placement.folder);
        // Children that just ended may still be on their way out of it.
        int tries = 50;
        int result;
        while ((result = ::rmdir(folder.constData())) != 0 && errno == EBUSY && --tries > 0)
            QThread::msleep(100);
        if (result != 0)
            qWarning("bench_batch: %s", qPrintable(systemError("removing " + placement.folder)));
    }
    placements.clear();
}

qint64 ThrottledCgroup::bytesRead() const
{
    // v1: "254:0 Read 123"; v2: "254:0 rbytes=123 wbytes=...".
    for (const QByteArray &line : readFile(statFile).split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 2 || fields[0] != disk.toUtf8())
            continue;
        for (qsizetype i = 1; i < fields.size(); ++i) {
            if (fields[i] == "Read" && i + 1 < fields.size())
                return fields[i + 1].toLongLong();
            if (fields[i].startsWith("rbytes="))
                return fields[i].mid(7).toLongLong();
        }
    }
    return 0; // nothing read from the disk yet
}

QList<pid_t> ThrottledCgroup::processes() const
{
    QList<pid_t> pids;
    if (placements.isEmpty())
        return pids;
    for (const QByteArray &line : readFile(placements.first().folder + "/cgroup.procs").split('\n'))
        if (!line.isEmpty())
            pids << pid_t(line.toInt());
    return pids;
}

QStringList ThrottledCgroup::description() const
{
    QStringList folders;
    for (const Placement &placement : placements)
        folders << placement.folder;
    return {QString("%1: %2").arg(version, folders.join(", ")),
            QString("  %1 = %2").arg(limitFile, QString::fromUtf8(readFile(limitFile))),
            QString("  %1 = %2").arg(throttleFile, QString::fromUtf8(readFile(throttleFile))),
            QString("  bytes read from disk %1 by the cgroup's tasks: %2").arg(disk, statFile)};
}
