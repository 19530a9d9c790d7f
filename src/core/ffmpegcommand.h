#pragma once

// The ffmpeg the converter runs and the one builder of its command lines.

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

struct s_CONF;

// A movie's outputs: one per camera, and the drive movie, which shows both.
enum class Camera { Front, Rear, Both };
constexpr int CameraCount = 3;
inline size_t indexOf(Camera camera)
{
    return size_t(camera);
}

// How the split movies are written, taken from the settings when a movie's jobs are made.
enum class VideoCodec { Mpeg4, H264 };

struct EncodeSettings
{
    bool mp4 = true;            // re-encoded MPEG-4 in MP4; otherwise the streams copied into AVI
    double rateMbits = 7.0;     // the video bitrate, passed in both formats
    bool placeInMovies = false; // the drive's first position in MP4 movies
    VideoCodec codec = VideoCodec::Mpeg4; // of MP4 movies
    bool driveMovie = false;              // a third output: both cameras with the records

    // The outputs a movie gets, in the order of their jobs.
    QList<Camera> cameras() const;
    // How one of them is written: the drive movie is made to be shared, always H.264 in MP4.
    EncodeSettings of(Camera camera) const;
};

// What a movie's outputs say of the drive inside them: when it started (UTC) and, where
// the recorder had a fix, its first position.
struct MovieMetadata
{
    bool dated = false;
    qint64 start = 0; // seconds since 1970 UTC
    bool placed = false;
    double latitude = 0;
    double longitude = 0;
};

Q_DECLARE_METATYPE(MovieMetadata)

// How a configuration has the movies written.
EncodeSettings encodeSettingsOf(const s_CONF &conf);

// The ffmpeg beside the program's own executable.
QString ffmpegProgram();

// "F.mp4", "R.avi", "FR.mp4": what follows a movie's stem in its outputs' names.
QString outputSuffix(const EncodeSettings &settings, Camera camera);

// One camera of a movie into `output`.
QStringList splitArguments(const EncodeSettings &settings, const QString &input, Camera camera,
                           const QString &output, const MovieMetadata &metadata = {});

// The drive movie of a movie into `output`: the front camera with the rear one inset in its
// top right corner and, from the ASS file `subtitles` (a path with no character that a
// filter's argument would have to escape; empty for none), the records' text on a band at
// the bottom; with the recorder's sound.
QStringList driveArguments(const EncodeSettings &settings, const QString &input,
                           const QString &subtitles, const QString &output,
                           const MovieMetadata &metadata = {});

// What the drive movie's ffmpeg adds to its environment: glibc keeps the frame-sized
// buffers that the overlays copy each frame into, instead of giving them back to the kernel
// and taking them again, page fault by page fault, for the next frame (which cost up to half
// of the job's time).
QStringList driveEnvironment();

// Trips: consecutive clips joined into one movie per camera (see trip.h).

// The clips of the concat list file `list` (trip::concatList) joined into `output`, their
// video copied, their sound made continuous. With `chapters`, an FFMETADATA file
// (trip::chapterMetadata), its chapters and global metadata are written too; pass an empty one for
// AVI, as ffmpeg's AVI muxer writes no chapters. The trip's start (and place) go in as they do in
// the clips.
QStringList joinArguments(const EncodeSettings &settings, const QString &list,
                          const QString &chapters, const QString &output,
                          const MovieMetadata &metadata = {});
