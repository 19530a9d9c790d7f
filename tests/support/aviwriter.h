#pragma once

// Builds recorder movies for the tests: one AVI file holding the front and rear MJPEG
// videos, a PCM audio track and a text stream whose chunks carry the telemetry, laid
// out the way the dual-camera recorder writes them.

#include <QByteArray>
#include <QList>
#include <QSize>
#include <QString>
#include <QtGlobal>

namespace testavi {

// One telemetry chunk as the recorder stores it.
struct TelemetrySample
{
    float gX = 0, gY = 0, gZ = 0;
    quint32 flags = 0x05; // bit0 north, bit2 east
    float knots = 0;
    float latitude = 0;  // ddmm.mmmm, unsigned
    float longitude = 0; // dddmm.mmmm, unsigned
    qint32 time = 0;     // seconds since 1970 UTC
};

// Which stream number carries the telemetry.
// Stream02: 00dc front video, 01dc rear video, 02tx text, 03wb audio.
// Stream03: 00dc front video, 01dc rear video, 02wb audio, 03tx text.
enum class TextStream { Stream02, Stream03 };

// What the recorder's own bytes (8..47 of a telemetry chunk, skipped by the program) hold.
// MpegAudioHeaders: MPEG-audio frame headers, as opaque recorder bytes may by chance; ffmpeg
// then probes the text stream as mp3 audio, in either layout.
enum class RecorderBytes { Tag, MpegAudioHeaders };

struct MovieRecipe
{
    TextStream textStream = TextStream::Stream02;
    RecorderBytes recorderBytes = RecorderBytes::Tag;
    QList<TelemetrySample> samples; // one text chunk each, spread evenly through the movi list
    // true: real MJPEG frames that ffmpeg decodes (ffmpeg is run once per frame size);
    // false: fixed filler bytes, fast, for tests that only scan the file.
    bool decodableVideo = true;
    double seconds = 2.0; // movie duration
    int framesPerSecond = 10;
    QSize frontSize{96, 64}; // front and rear differ so tests can tell the outputs apart
    QSize rearSize{48, 32};
    // The picture of decodable frames: an ffmpeg lavfi source, %1 and %2 standing for the
    // width and height, of which the first distinctFrames frames are used in turn.
    QString pictureSource = QStringLiteral("testsrc=size=%1x%2:rate=1");
    // The rear camera's, where it differs.
    QString rearPictureSource;
    // The rear camera's chunks hold bytes that no decoder takes for a picture.
    bool brokenRear = false;
    int distinctFrames = 4;
    // Zero bytes after each frame's end marker, inside its chunk: ffmpeg reads them with
    // the frame and its decoder skips them, so movies of any size convert quickly.
    int framePadding = 0;
    // Sound length when it differs from the video's, as a recorder's rarely ends with its
    // video; negative: the same as seconds.
    double audioSeconds = -1;
    // Sync markers, in seconds from the movie's start (on the frame grid): the frames
    // starting then show markerPicture, and the sound carries a 50 ms 1 kHz burst of
    // amplitude 12000 from that very sample on (the tone around it stays at 500). Below
    // 0x3000 (12288), no two samples can spell a chunk id such as "00dc" or "02tx".
    QList<double> markers;
    QString markerPicture = QStringLiteral("color=c=white:size=%1x%2:rate=1");
};

// The complete 80-byte chunk (8-byte header + 72 bytes data) as it appears in the file.
QByteArray telemetryChunk(const TelemetrySample &s, TextStream stream = TextStream::Stream02,
                          RecorderBytes recorderBytes = RecorderBytes::Tag);

// A complete AVI file in memory; empty if decodable frames were asked for but ffmpeg
// could not produce them (the reason is logged with qWarning).
QByteArray buildMovie(const MovieRecipe &recipe);

// Builds the movie and writes it to path; false if it could not be built or written.
bool writeMovie(const QString &path, const MovieRecipe &recipe);

// A plausible drive: moving position, changing speed and g values. Times run from
// startTime to startTime + seconds - 1; the samplesPerSecond samples of a second share
// its time. Deterministic, so tests can rely on the values. Its floats never hold a
// 0xFF byte followed by one of 0xE0 or above: ffmpeg takes such bytes in the text stream
// for an MP3 frame header and then lists the telemetry as an mp3 audio track, so a drive
// makes an ordinary movie. Hand-made samples can still do so, e.g. gX = 0.11371f (bytes
// ff e3 e8 3d), and so can RecorderBytes::MpegAudioHeaders.
QList<TelemetrySample> drive(qint32 startTime, int seconds, int samplesPerSecond = 1);

} // namespace testavi
