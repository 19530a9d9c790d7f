#include "mp4file.h"

#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <sys/stat.h>
#include <unistd.h>

namespace mp4file {

namespace {

struct Box
{
    char type[4];
    qint64 content; // where its content starts
    qint64 end;
};

bool readAt(int fd, qint64 offset, void *buffer, size_t bytes)
{
    return ::pread(fd, buffer, bytes, off_t(offset)) == ssize_t(bytes);
}

// The box of type `wanted` among those from `from` to `to`.
std::optional<Box> findBox(int fd, qint64 from, qint64 to, const char *wanted)
{
    for (qint64 at = from; at + 8 <= to;) {
        uchar header[16];
        if (!readAt(fd, at, header, 8))
            return std::nullopt;
        qint64 size = qFromBigEndian<quint32>(header);
        qint64 headerBytes = 8;
        if (size == 1) { // a 64-bit size follows the type
            if (!readAt(fd, at + 8, header + 8, 8))
                return std::nullopt;
            size = qint64(qFromBigEndian<quint64>(header + 8));
            headerBytes = 16;
        } else if (size == 0) { // up to the end
            size = to - at;
        }
        if (size < headerBytes || size > to - at)
            return std::nullopt;
        Box box{{char(header[4]), char(header[5]), char(header[6]), char(header[7])},
                at + headerBytes,
                at + size};
        if (std::equal(box.type, box.type + 4, wanted))
            return box;
        at += size;
    }
    return std::nullopt;
}

} // namespace

std::optional<double> durationSeconds(int fd)
{
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return std::nullopt;
    const std::optional<Box> movie = findBox(fd, 0, status.st_size, "moov");
    const std::optional<Box> header =
        movie ? findBox(fd, movie->content, movie->end, "mvhd") : std::nullopt;
    uchar fields[32]; // version, flags, two dates, time scale, duration
    if (!header || !readAt(fd, header->content, fields, 1))
        return std::nullopt;
    const bool wide = fields[0] == 1; // 64-bit dates and duration
    const size_t bytes = wide ? 32 : 20;
    if (header->end - header->content < qint64(bytes) ||
        !readAt(fd, header->content, fields, bytes))
        return std::nullopt;
    const quint32 timeScale = qFromBigEndian<quint32>(fields + (wide ? 20 : 12));
    const quint64 duration =
        wide ? qFromBigEndian<quint64>(fields + 24) : qFromBigEndian<quint32>(fields + 16);
    if (timeScale == 0)
        return std::nullopt;
    return double(duration) / timeScale;
}

} // namespace mp4file
