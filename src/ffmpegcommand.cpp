#include "ffmpegcommand.h"

#include "globals.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

EncodeSettings encodeSettingsFromConfiguration()
{
    return {CONF_g.movieFormat == 0, CONF_g.autoBitrate ? 7.0 : double(CONF_g.bitrate),
            CONF_g.placeInMovies};
}

QString ffmpegProgram()
{
    return QCoreApplication::applicationDirPath() + QDir::separator() + "ffmpeg";
}

QString splitSuffix(const EncodeSettings &settings, Camera camera)
{
    return QString(camera == Camera::Front ? "F" : "R") + (settings.mp4 ? ".mp4" : ".avi");
}

// ISO 6709, as both the 3GPP "loci" box and Apple's location key take it: "+33.875000+151.070312/".
static QString iso6709(double latitude, double longitude)
{
    return QString::asprintf("%+010.6f%+011.6f/", latitude, longitude);
}

// The drive's start as the container's creation date (MP4: the movie's, tracks' and media's
// dates; AVI: the RIFF "ICRD" date), and in MP4 its place, in both conventions libraries read.
static QStringList metadataArguments(const EncodeSettings &settings, const MovieMetadata &metadata)
{
    if (!metadata.dated)
        return {};
    const QDateTime start = QDateTime::fromSecsSinceEpoch(metadata.start, Qt::UTC);
    if (!settings.mp4)
        return {"-metadata", "date=" + start.toString("yyyy-MM-dd HH:mm:ss")};
    QStringList arguments{"-metadata", "creation_time=" + start.toString(Qt::ISODate)};
    if (settings.placeInMovies && metadata.placed) {
        const QString place = iso6709(metadata.latitude, metadata.longitude);
        arguments << "-metadata"
                  << "location=" + place << "-metadata"
                  << "com.apple.quicktime.location.ISO6709=" + place << "-movflags"
                  << "use_metadata_tags";
    }
    return arguments;
}

QStringList splitArguments(const EncodeSettings &settings, const QString &input, Camera camera,
                           const QString &output, const MovieMetadata &metadata)
{
    const QString codec = settings.mp4 ? "mpeg4" : "copy";
    const QString rate = QString::number(settings.rateMbits, 'g', 6) + "M";
    const QString video = camera == Camera::Front ? "0:v:0" : "0:v:1";
    // ffmpeg probes the telemetry's bytes and may take the text stream for mp3 audio, which
    // "0:a:0" would then pick; the forced subtitle decoder keeps it a text stream.
    return QStringList{"-c:s", "text", "-i", input,  "-y",  "-vcodec", codec,  "-strict",
                       "-2",   "-b:v", rate, "-map", video, "-map",    "0:a:0"} +
           metadataArguments(settings, metadata) + QStringList{output};
}

// ---- Trips ----

QString ffprobeProgram()
{
    const QString ffmpeg = QFileInfo(ffmpegProgram()).canonicalFilePath();
    return ffmpeg.isEmpty() ? QString() : QFileInfo(ffmpeg).dir().filePath("ffprobe");
}

std::optional<double> mediaDurationSeconds(const QString &path)
{
    QProcess probe;
    probe.start(ffprobeProgram(), {"-v", "error", "-show_entries", "format=duration", "-of",
                                   "default=noprint_wrappers=1:nokey=1", path});
    if (!probe.waitForFinished(60000) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0)
        return std::nullopt;
    bool isNumber = false;
    // "N/A" when the movie does not tell its duration.
    const double seconds = probe.readAllStandardOutput().trimmed().toDouble(&isNumber);
    return isNumber ? std::optional<double>(seconds) : std::nullopt;
}

QStringList joinArguments(const QString &list, const QString &chapters, const QString &output)
{
    QStringList arguments{"-f", "concat", "-safe", "0", "-i", list};
    // The chapters file's global metadata too, as the concat demuxer passes on none of the
    // clips' own.
    if (!chapters.isEmpty())
        arguments += QStringList{"-f", "ffmetadata",    "-i", chapters, "-map_metadata",
                                 "1",  "-map_chapters", "1"};
    return arguments + QStringList{"-map", "0", "-c", "copy", "-y", output};
}
