#pragma once

// The ffmpeg the converter runs and the one builder of its command lines.

#include <QString>
#include <QStringList>

enum class Camera { Front, Rear };

// How the split movies are written, taken from the settings when a movie's jobs are made.
struct EncodeSettings
{
    bool mp4 = true;        // re-encoded MPEG-4 in MP4; otherwise the streams copied into AVI
    double rateMbits = 7.0; // the video bitrate, passed in both formats
};

// The settings of the window's "Settings" box as the configuration holds them.
EncodeSettings encodeSettingsFromConfiguration();

// The ffmpeg beside the program's own executable.
QString ffmpegProgram();

// "F.mp4", "R.avi", ...: what follows a movie's stem in its split outputs' names.
QString splitSuffix(const EncodeSettings &settings, Camera camera);

// One camera of a movie into `output`.
QStringList splitArguments(const EncodeSettings &settings, const QString &input, Camera camera,
                           const QString &output);
