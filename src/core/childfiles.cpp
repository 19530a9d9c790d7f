#include "childfiles.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

ChildFiles::~ChildFiles()
{
    for (const int fd : fds)
        ::close(fd);
}

QString ChildFiles::add(int fd)
{
    fds.push_back(fd);
    return QString("/dev/fd/%1").arg(fd);
}

QString ChildFiles::openUnchanged(const QString &path, const safefile::FileIdentity &identity,
                                  QString &error)
{
    const int fd = safefile::openUnchanged(path, identity, error);
    if (fd < 0) {
        error = QString("%1: %2").arg(QFileInfo(path).fileName(), error);
        return {};
    }
    return add(fd);
}

QString ChildFiles::inMemory(const char *name, const QByteArray &content, QString &error)
{
    const int fd = ::memfd_create(name, MFD_CLOEXEC);
    if (fd >= 0 && ::write(fd, content.constData(), size_t(content.size())) == content.size())
        return add(fd);
    error = QString::fromLocal8Bit(std::strerror(errno));
    if (fd >= 0)
        ::close(fd);
    return {};
}

void ChildFiles::passToNextChild() const
{
    for (const int fd : fds)
        ::fcntl(fd, F_SETFD, 0);
}
