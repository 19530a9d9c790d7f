#include "trackfile.h"

#include "globals.h"
#include "gpxtrack.h"
#include "movienames.h"
#include "safefile.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <optional>
#include <sys/stat.h>
#include <utime.h>

namespace trackfile {

QString pathFor(const QString &folder, const QFileInfo &movie)
{
    return folder + movienames::trackName(movie.fileName());
}

// printf into a buffer of the size the text needs: a float can print 39 digits before
// the point and a double 309, and a fixed buffer would cut the line.
__attribute__((format(printf, 1, 2))) static QByteArray printed(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    QByteArray text(std::max(length, 0), Qt::Uninitialized);
    std::vsnprintf(text.data(), size_t(text.size()) + 1, format, arguments);
    va_end(arguments);
    return text;
}

// "ddmm.mmmmmm" for latitudes (2 degree digits), "dddmm.mmmmmm" for longitudes (3).
// fabs, not a sign test: -0.0 must come out as zero, not "00-0.000000".
static QByteArray degreesAndMinutes(double coordinate, int degreeDigits)
{
    const double absolute = std::fabs(coordinate);
    const double degrees = std::trunc(absolute);
    const double minutes = (absolute - degrees) * 60.0;
    // Degrees printed from the truncated double are what "%0Nd" prints for every
    // value an int holds, and stay defined for the ones it does not (corrupt data).
    return printed("%0*.0f%09.6f", degreeDigits, degrees, minutes);
}

int checkSum(const char *s)
{
    signed char sum = 0;
    for (; *s; ++s)
        sum ^= static_cast<signed char>(*s);
    return sum;
}

static QByteArray rmcSentenceBody(const s_BLOCK &block, int i)
{
    const QDateTime time = QDateTime::fromSecsSinceEpoch(block.recTime[i], Qt::UTC);
    const QDate date = time.date();
    const QTime clock = time.time();
    QByteArray body = "GPRMC,";
    body += printed("%02d%02d%02d.0", clock.hour(), clock.minute(), clock.second());
    body += ",A,";
    body += degreesAndMinutes(block.latitude[i], 2);
    body += block.latitude[i] < 0 ? ",S," : ",N,";
    body += degreesAndMinutes(block.longitude[i], 3);
    body += block.longitude[i] < 0 ? ",W," : ",E,";
    body += printed("%0.2lf,,", double(block.speedKmh[i]) / 1.852);
    // Years before 2000 (a clock never set) keep two digits too, not "-1" for 1999.
    const int year = date.year() < 2000 ? date.year() % 100 : date.year() - 2000;
    body += printed("%02d%02d%02d,,,A", date.day(), date.month(), year);
    return body;
}

QByteArray text(const s_BLOCK &block)
{
    QByteArray text;
    for (int i = 0; i < recordCount(block); ++i) {
        const QByteArray body = rmcSentenceBody(block, i);
        text += '$' + body + printed("*%02X\n", checkSum(body.constData()));
        text += printed("$GSENSOR,%f,%f,%f\n", double(block.gForceX[i]), double(block.gForceY[i]),
                        double(block.gForceZ[i]));
    }
    return text;
}

std::optional<qint64> driveDate(const s_BLOCK &block, long dateShift)
{
    const int records = recordCount(block);
    if (records <= 0)
        return std::nullopt;
    return qint64(block.recTime[records - 1]) + dateShift;
}

safefile::PartialFile writePartial(const s_BLOCK &block, const QString &path, long dateShift,
                                   QString &error)
{
    const QByteArray lines = text(block);
    return safefile::writePartial(
        path, [&lines](QIODevice &file) { return file.write(lines) == lines.size(); },
        driveDate(block, dateShift), error);
}

safefile::PartialFile writeGpxPartial(const s_BLOCK &block, const QString &path, long dateShift,
                                      QString &error)
{
    const QString name = QFileInfo(path).completeBaseName();
    return safefile::writePartial(
        path, [&](QIODevice &file) { return gpx::writeTrack(block, name, file); },
        driveDate(block, dateShift), error);
}

bool setModificationTime(const QString &path, long modificationTime)
{
    const QByteArray nativePath = QFile::encodeName(path);
    struct stat status;
    if (stat(nativePath.constData(), &status) != 0)
        return false;
    struct utimbuf times;
    times.actime = status.st_atime;
    times.modtime = modificationTime;
    return utime(nativePath.constData(), &times) == 0;
}

} // namespace trackfile
