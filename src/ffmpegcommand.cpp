#include "ffmpegcommand.h"

#include "globals.h"

#include <QCoreApplication>
#include <QDir>

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
