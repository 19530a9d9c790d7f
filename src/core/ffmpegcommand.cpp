#include "ffmpegcommand.h"

#include "configuration.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>

EncodeSettings encodeSettingsOf(const s_CONF &conf)
{
    return {conf.movieFormat == 0, conf.autoBitrate ? 7.0 : double(conf.bitrate),
            conf.placeInMovies, conf.videoCodec == "h264" ? VideoCodec::H264 : VideoCodec::Mpeg4,
            conf.driveMovie};
}

QList<Camera> EncodeSettings::cameras() const
{
    if (driveMovie)
        return {Camera::Front, Camera::Rear, Camera::Both};
    return {Camera::Front, Camera::Rear};
}

EncodeSettings EncodeSettings::of(Camera camera) const
{
    EncodeSettings settings = *this;
    if (camera == Camera::Both) {
        settings.mp4 = true;
        settings.codec = VideoCodec::H264;
    }
    return settings;
}

QString ffmpegProgram()
{
    return QCoreApplication::applicationDirPath() + QDir::separator() + "ffmpeg";
}

QString outputSuffix(const EncodeSettings &settings, Camera camera)
{
    static const char *const names[CameraCount] = {"F", "R", "FR"};
    return names[indexOf(camera)] + QString(settings.of(camera).mp4 ? ".mp4" : ".avi");
}

// ISO 6709, as both the 3GPP "loci" box and Apple's location key take it: "+33.875000+151.070312/".
static QString iso6709(double latitude, double longitude)
{
    return QString::asprintf("%+010.6f%+011.6f/", latitude, longitude);
}

// The encoder of the video and its settings, in place of the codec argument.
static QStringList videoCodecArguments(const EncodeSettings &settings)
{
    if (!settings.mp4)
        return {"copy"};
    if (settings.codec == VideoCodec::Mpeg4)
        return {"mpeg4"};
    // The fastest settings measured to match MPEG-4's quality at the same bitrate (CABAC,
    // deblocking and the 8x8 transform back on ultrafast), in a profile and level every
    // browser and phone decodes, in the pixel format they show (the recorder's MJPEG is
    // full range).
    // One thread each: the batch runs a job per core, and x264's own threads would only
    // compete with the other jobs for them.
    return {"libx264",    "-preset",  "ultrafast", "-x264-params", "cabac=1:deblock=1:8x8dct=1",
            "-profile:v", "high",     "-level:v",  "4.1",          "-pix_fmt",
            "yuv420p",    "-threads", "1"};
}

// The drive's start as the container's creation date (MP4: the movie's, tracks' and media's
// dates; AVI: the RIFF "ICRD" date) and in MP4 its place, in both conventions libraries
// read; H.264 movies get their index first, so that a web page plays them while loading.
static QStringList containerArguments(const EncodeSettings &settings, const MovieMetadata &metadata)
{
    const QDateTime start = QDateTime::fromSecsSinceEpoch(metadata.start, Qt::UTC);
    if (!settings.mp4)
        return metadata.dated
                   ? QStringList{"-metadata", "date=" + start.toString("yyyy-MM-dd HH:mm:ss")}
                   : QStringList{};
    QStringList arguments;
    QStringList movieFlags;
    if (metadata.dated)
        arguments << "-metadata"
                  << "creation_time=" + start.toString(Qt::ISODate);
    if (metadata.dated && metadata.placed && settings.placeInMovies) {
        const QString place = iso6709(metadata.latitude, metadata.longitude);
        arguments << "-metadata"
                  << "location=" + place << "-metadata"
                  << "com.apple.quicktime.location.ISO6709=" + place;
        movieFlags << "use_metadata_tags";
    }
    if (settings.codec == VideoCodec::H264)
        movieFlags << "+faststart";
    if (!movieFlags.isEmpty())
        arguments << "-movflags" << movieFlags.join("");
    return arguments;
}

// The recorder's sound. MP4 gets ffmpeg's AAC; AVI keeps it as PCM, as the MP3 that
// ffmpeg would pick has an encoder delay an AVI file cannot state, which puts its sound
// 28 to 62 ms ahead of the picture, more at every clip boundary of a trip.
static QStringList audioCodecArguments(const EncodeSettings &settings)
{
    return settings.mp4 ? QStringList{} : QStringList{"-acodec", "pcm_s16le"};
}

QStringList splitArguments(const EncodeSettings &settings, const QString &input, Camera camera,
                           const QString &output, const MovieMetadata &metadata)
{
    const QString rate = QString::number(settings.rateMbits, 'g', 6) + "M";
    const QString video = camera == Camera::Front ? "0:v:0" : "0:v:1";
    // ffmpeg probes the telemetry's bytes and may take the text stream for mp3 audio, which
    // "0:a:0" would then pick; the forced subtitle decoder keeps it a text stream.
    return QStringList{"-c:s", "text", "-i", input, "-y", "-vcodec"} +
           videoCodecArguments(settings) + audioCodecArguments(settings) +
           QStringList{"-strict", "-2", "-b:v", rate, "-map", video, "-map", "0:a:0"} +
           containerArguments(settings, metadata) + QStringList{output};
}

// The front camera's picture (cropped to even sizes, as H.264 wants them), the rear one
// scaled to a third of its width in the top right corner with a thin white border, and the
// text band at the bottom. The sizes come from the pictures themselves, which the program
// does not know. Every picture is in the encoder's pixel format before it is combined,
// converted once; the band is one translucent frame, which the overlay repeats; the text is
// drawn on a canvas of 1920x1080 that libass fits to the picture.
static QString driveGraph(const QString &subtitles)
{
    const QString cameras =
        "[0:v:1][0:v:0]scale2ref=w=trunc(iw/6)*2:h=trunc(ow/mdar/2)*2:flags=area[rear][front];"
        "[rear]format=yuv420p,pad=w=iw+4:h=ih+4:x=2:y=2:color=white[inset];"
        "[front]crop=trunc(iw/2)*2:trunc(ih/2)*2,format=yuv420p[picture];";
    const QString inset =
        "overlay=x=main_w-overlay_w-trunc(main_w/96)*2:y=trunc(main_w/96)*2:format=yuv420";
    if (subtitles.isEmpty())
        return cameras + "[picture][inset]" + inset + "[drive]";
    return cameras +
           "color=c=black@0.5:s=16x16:r=30,format=yuva420p,trim=end_frame=1[dark];"
           "[dark][picture]scale2ref=w=iw:h=trunc(ih/24)*2[band][bare];"
           "[bare][band]overlay=x=0:y=main_h-overlay_h:format=yuv420[banded];"
           "[banded][inset]" +
           inset + ",subtitles=f=" + subtitles + ":original_size=1920x1080[drive]";
}

QStringList driveArguments(const EncodeSettings &settings, const QString &input,
                           const QString &subtitles, const QString &output,
                           const MovieMetadata &metadata)
{
    const EncodeSettings drive = settings.of(Camera::Both);
    const QString rate = QString::number(drive.rateMbits, 'g', 6) + "M";
    return QStringList{"-c:s",
                       "text",
                       "-i",
                       input,
                       "-y",
                       "-filter_complex",
                       driveGraph(subtitles),
                       "-map",
                       "[drive]",
                       "-map",
                       "0:a:0",
                       "-vcodec"} +
           videoCodecArguments(drive) + QStringList{"-strict", "-2", "-b:v", rate} +
           containerArguments(drive, metadata) + QStringList{output};
}

QStringList driveEnvironment()
{
    return {"GLIBC_TUNABLES=glibc.malloc.mmap_threshold=67108864:glibc.malloc.trim_threshold="
            "268435456"};
}

// ---- Trips ----

QStringList joinArguments(const EncodeSettings &settings, const QString &list,
                          const QString &chapters, const QString &output,
                          const MovieMetadata &metadata)
{
    QStringList arguments{"-f", "concat", "-safe", "0", "-i", list};
    // The chapters file's global metadata too, as the concat demuxer passes on none of the
    // clips' own.
    if (!chapters.isEmpty())
        arguments += QStringList{"-f", "ffmetadata",    "-i", chapters, "-map_metadata",
                                 "1",  "-map_chapters", "1"};
    // The video is copied; the sound is encoded again, as each clip's last AAC frame decodes
    // to more sound than its clip holds: the overlap, at most one frame, is dropped where
    // the next clip starts, so that sound and picture stay within a millisecond there.
    // AAC's fast coder takes half the time of its default on the recorder's 8 kHz sound,
    // which a trip of hours spends most of its join on.
    const QStringList sound = settings.mp4 ? QStringList{"-c:a", "aac", "-aac_coder", "fast"}
                                           : QStringList{"-c:a", "pcm_s16le"};
    return arguments + QStringList{"-map", "0", "-c:v", "copy"} + sound +
           QStringList{"-af", "aresample=async=1:min_hard_comp=0.001", "-y"} +
           containerArguments(settings, metadata) + QStringList{output};
}
