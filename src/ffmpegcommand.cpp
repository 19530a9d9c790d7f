#include "ffmpegcommand.h"

#include "globals.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

EncodeSettings encodeSettingsFromConfiguration()
{
    return {CONF_g.movieFormat == 0, CONF_g.autoBitrate ? 7.0 : double(CONF_g.bitrate)};
}

QString ffmpegProgram()
{
    return QCoreApplication::applicationDirPath() + QDir::separator() + "ffmpeg";
}

QString splitSuffix(const EncodeSettings &settings, Camera camera)
{
    return QString(camera == Camera::Front ? "F" : "R") + (settings.mp4 ? ".mp4" : ".avi");
}

QStringList splitArguments(const EncodeSettings &settings, const QString &input, Camera camera,
                           const QString &output)
{
    const QString codec = settings.mp4 ? "mpeg4" : "copy";
    const QString rate = QString::number(settings.rateMbits, 'g', 6) + "M";
    const QString video = camera == Camera::Front ? "0:v:0" : "0:v:1";
    // ffmpeg probes the telemetry's bytes and may take the text stream for mp3 audio, which
    // "0:a:0" would then pick; the forced subtitle decoder keeps it a text stream.
    return {"-c:s", "text", "-i", input,  "-y",  "-vcodec", codec,   "-strict",
            "-2",   "-b:v", rate, "-map", video, "-map",    "0:a:0", output};
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
