#include "aviwriter.h"

#include <QFile>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QStandardPaths>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace testavi {

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr int TelemetryDataSize = 72;
constexpr int AudioRate = 8000;        // Hz, mono, 16-bit
constexpr int AudioChunkSamples = 800; // 1/10 s per chunk
constexpr quint32 KeyFrame = 0x10;     // AVIIF_KEYFRAME

// Sizes of the filler frames; the rear one is odd so that scanner tests meet padded
// chunks just as they do with real frames.
constexpr int FillerFrontSize = 600;
constexpr int FillerRearSize = 301;

void putU16(QByteArray &b, quint16 v)
{
    char raw[2];
    qToLittleEndian(v, raw);
    b.append(raw, 2);
}

void putU32(QByteArray &b, quint32 v)
{
    char raw[4];
    qToLittleEndian(v, raw);
    b.append(raw, 4);
}

void putFourcc(QByteArray &b, const char *fourcc)
{
    b.append(fourcc, 4);
}

void storeU32(char *at, quint32 v)
{
    qToLittleEndian(v, at);
}

void storeFloat(char *at, float v)
{
    quint32 bits;
    std::memcpy(&bits, &v, sizeof bits);
    qToLittleEndian(bits, at);
}

// Appends a chunk with its header, padding zero bytes after the data and, for odd
// sizes, the pad byte.
void putChunk(QByteArray &b, const char *id, const QByteArray &data, qsizetype padding = 0)
{
    const qsizetype size = data.size() + padding;
    putFourcc(b, id);
    putU32(b, quint32(size));
    b.append(data);
    b.append(padding, '\0');
    if (size & 1)
        b.append('\0');
}

QByteArray list(const char *type, const QByteArray &content)
{
    QByteArray b;
    b.reserve(content.size() + 12);
    putFourcc(b, "LIST");
    putU32(b, quint32(content.size() + 4));
    putFourcc(b, type);
    b.append(content);
    return b;
}

// Splits the concatenated output of ffmpeg's image2pipe into single JPEG images by
// walking the marker segments; a plain search for EOI could hit table bytes.
QList<QByteArray> splitJpegs(const QByteArray &data)
{
    QList<QByteArray> frames;
    const auto *p = reinterpret_cast<const uchar *>(data.constData());
    const qsizetype n = data.size();
    qsizetype start = 0;
    while (start + 4 <= n && p[start] == 0xFF && p[start + 1] == 0xD8) {
        qsizetype i = start + 2;
        bool done = false;
        while (!done && i + 1 < n) {
            if (p[i] != 0xFF)
                return frames; // not a marker where one must be: give up on the rest
            const uchar marker = p[i + 1];
            if (marker == 0xFF) {
                ++i; // fill byte
            } else if (marker == 0xD9) {
                frames.append(data.mid(start, i + 2 - start));
                start = i + 2;
                done = true;
            } else if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
                i += 2;
            } else {
                if (i + 3 >= n)
                    return frames;
                const qsizetype length = (p[i + 2] << 8) | p[i + 3];
                i += 2 + length;
                if (marker == 0xDA) {
                    // Entropy-coded data: 0xFF is stuffed with 0x00, restarts are skipped.
                    while (i + 1 < n && !(p[i] == 0xFF && p[i + 1] != 0x00 &&
                                          !(p[i + 1] >= 0xD0 && p[i + 1] <= 0xD7)))
                        ++i;
                }
            }
        }
        if (!done)
            break;
    }
    return frames;
}

// Distinct MJPEG frames of the given size from the recipe's picture source, made by ffmpeg
// once per size, source and count in a process; empty if ffmpeg is missing or fails.
QList<QByteArray> jpegFrames(const QSize &size, const QString &pictureSource, int distinctFrames)
{
    static QMutex mutex;
    static QHash<QString, QList<QByteArray>> cache;

    const QString source = pictureSource.arg(size.width()).arg(size.height());
    const QString key = QString("%1 %2").arg(source).arg(distinctFrames);
    QMutexLocker locker(&mutex);
    const auto cached = cache.constFind(key);
    if (cached != cache.constEnd())
        return *cached;

    QList<QByteArray> frames;
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    if (ffmpeg.isEmpty()) {
        qWarning("testavi: ffmpeg not found, cannot make decodable frames");
    } else if (size.width() <= 0 || size.height() <= 0) {
        qWarning("testavi: invalid frame size %dx%d", size.width(), size.height());
    } else {
        QProcess process;
        process.start(
            ffmpeg, {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-nostdin"),
                     QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), source,
                     QStringLiteral("-frames:v"), QString::number(distinctFrames),
                     QStringLiteral("-pix_fmt"), QStringLiteral("yuvj420p"), QStringLiteral("-c:v"),
                     QStringLiteral("mjpeg"), QStringLiteral("-q:v"), QStringLiteral("5"),
                     QStringLiteral("-f"), QStringLiteral("image2pipe"), QStringLiteral("-")});
        if (!process.waitForFinished(60000)) {
            process.kill();
            process.waitForFinished();
            qWarning("testavi: ffmpeg did not finish making frames");
        } else if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
            qWarning("testavi: ffmpeg failed making frames: %s",
                     process.readAllStandardError().constData());
        } else {
            frames = splitJpegs(process.readAllStandardOutput());
            if (frames.isEmpty())
                qWarning("testavi: ffmpeg gave no usable JPEG frames");
        }
    }
    // Failures are remembered too, so a broken setup costs one attempt only.
    cache.insert(key, frames);
    return frames;
}

QByteArray fillerFrame(int size)
{
    QByteArray frame(size, '\0');
    // Shaped like a JPEG (SOI ... EOI) but with nothing inside.
    frame[0] = char(0xFF);
    frame[1] = char(0xD8);
    frame[size - 2] = char(0xFF);
    frame[size - 1] = char(0xD9);
    return frame;
}

// A quiet 440 Hz tone: a whole number of periods per chunk, so every full chunk is the
// same and its samples never reach byte values that could look like a chunk id.
QByteArray toneChunk(int samples)
{
    static const QByteArray full = [] {
        QByteArray b;
        b.reserve(AudioChunkSamples * 2);
        for (int n = 0; n < AudioChunkSamples; ++n)
            putU16(b, quint16(
                          qint16(std::lround(500.0 * std::sin(2.0 * Pi * 440.0 * n / AudioRate)))));
        return b;
    }();
    return samples >= AudioChunkSamples ? full : full.left(samples * 2);
}

constexpr int MarkerSamples = 400; // 50 ms

// The tone chunk starting at sample `first`, with the marker bursts that fall into it.
QByteArray markedChunk(int first, int samples, const QList<int> &markerSamples)
{
    QByteArray b = toneChunk(samples);
    for (const int start : markerSamples)
        for (int n = qMax(start, first); n < qMin(start + MarkerSamples, first + samples); ++n)
            qToLittleEndian(qint16(std::lround(
                                12000.0 * std::cos(2.0 * Pi * 1000.0 * (n - start) / AudioRate))),
                            b.data() + 2 * (n - first));
    return b;
}

QByteArray streamHeader(const char *type, const char *handler, quint32 scale, quint32 rate,
                        quint32 length, quint32 suggestedSize, quint32 sampleSize,
                        const QSize &frame = QSize())
{
    QByteArray b;
    putFourcc(b, type);
    if (handler)
        putFourcc(b, handler);
    else
        putU32(b, 0);
    putU32(b, 0); // flags
    putU16(b, 0); // priority
    putU16(b, 0); // language
    putU32(b, 0); // initial frames
    putU32(b, scale);
    putU32(b, rate);
    putU32(b, 0); // start
    putU32(b, length);
    putU32(b, suggestedSize);
    putU32(b, 0xFFFFFFFF); // quality: driver default
    putU32(b, sampleSize);
    putU16(b, 0); // frame rectangle: left, top, right, bottom
    putU16(b, 0);
    putU16(b, quint16(qMax(0, frame.width())));
    putU16(b, quint16(qMax(0, frame.height())));
    return b;
}

QByteArray videoFormat(const QSize &size)
{
    QByteArray b;
    putU32(b, 40); // BITMAPINFOHEADER size
    putU32(b, quint32(size.width()));
    putU32(b, quint32(size.height()));
    putU16(b, 1);  // planes
    putU16(b, 24); // bits per pixel
    putFourcc(b, "MJPG");
    putU32(b, quint32(size.width() * size.height() * 3));
    putU32(b, 0);
    putU32(b, 0);
    putU32(b, 0);
    putU32(b, 0);
    return b;
}

QByteArray audioFormat()
{
    QByteArray b;
    putU16(b, 1); // PCM
    putU16(b, 1); // mono
    putU32(b, AudioRate);
    putU32(b, AudioRate * 2);
    putU16(b, 2);  // block align
    putU16(b, 16); // bits per sample
    putU16(b, 0);  // no extra bytes
    return b;
}

QByteArray streamList(const QByteArray &header, const QByteArray &format)
{
    QByteArray content;
    putChunk(content, "strh", header);
    putChunk(content, "strf", format);
    return list("strl", content);
}

enum class Kind { Front, Rear, Audio, Text }; // also the order of chunks with equal times

struct Event
{
    double time;
    Kind kind;
    int index;
};

// ffmpeg probes the text stream's data for a codec, and a single 0xFF byte followed by one
// of 0xE0 or above can pass for an MP3 frame header: the telemetry then shows up as an mp3
// audio track ahead of the real one. Such floats are moved by a few ulps.
float withoutAudioSync(float v)
{
    for (;;) {
        quint32 bits;
        std::memcpy(&bits, &v, sizeof bits);
        const quint32 b0 = bits & 0xFF, b1 = (bits >> 8) & 0xFF, b2 = (bits >> 16) & 0xFF,
                      b3 = bits >> 24;
        if (!((b0 == 0xFF && b1 >= 0xE0) || (b1 == 0xFF && b2 >= 0xE0) ||
              (b2 == 0xFF && b3 >= 0xE0)))
            return v;
        v = std::nextafter(v, v < 0 ? -HUGE_VALF : HUGE_VALF);
    }
}

} // namespace

QByteArray telemetryChunk(const TelemetrySample &s, TextStream stream, RecorderBytes recorderBytes)
{
    QByteArray chunk(8 + TelemetryDataSize, '\0');
    char *d = chunk.data();
    std::memcpy(d, stream == TextStream::Stream02 ? "02tx" : "03tx", 4);
    storeU32(d + 4, TelemetryDataSize);
    // Stand-in for the recorder's own leading bytes, which the program skips.
    if (recorderBytes == RecorderBytes::MpegAudioHeaders) {
        // MPEG-1 layer III, 128 kbit/s, 44.1 kHz: the header most mp3 frames start with.
        const char header[] = {char(0xFF), char(0xFB), char(0x90), char(0x64)};
        for (int at = 8; at < 48; at += sizeof header)
            std::memcpy(d + at, header, sizeof header);
    } else {
        static const char tag[] = "testavi recorder data";
        std::memcpy(d + 8, tag, sizeof tag - 1);
    }
    storeFloat(d + 48, s.gX);
    storeFloat(d + 52, s.gY);
    storeFloat(d + 56, s.gZ);
    storeU32(d + 60, s.flags);
    storeFloat(d + 64, s.knots);
    storeFloat(d + 68, s.latitude);
    storeFloat(d + 72, s.longitude);
    storeU32(d + 76, quint32(s.time));
    return chunk;
}

QByteArray buildMovie(const MovieRecipe &recipe)
{
    const bool textIs02 = recipe.textStream == TextStream::Stream02;
    const char *audioId = textIs02 ? "03wb" : "02wb";
    const char *textId = textIs02 ? "02tx" : "03tx";
    const double seconds = qMax(0.0, recipe.seconds);
    const int fps = qMax(1, recipe.framesPerSecond);
    const int frameCount = int(std::lround(seconds * fps));
    const int audioSamples =
        int(std::lround((recipe.audioSeconds >= 0 ? recipe.audioSeconds : seconds) * AudioRate));
    QList<int> markerFrames, markerSamples;
    for (const double t : recipe.markers) {
        markerFrames << int(std::lround(t * fps));
        markerSamples << int(std::lround(double(markerFrames.last()) / fps * AudioRate));
    }
    const int audioChunks = (audioSamples + AudioChunkSamples - 1) / AudioChunkSamples;
    const int textCount = int(recipe.samples.size());
    const int padding = qMax(0, recipe.framePadding);

    QList<QByteArray> front, rear;
    if (recipe.decodableVideo) {
        front = jpegFrames(recipe.frontSize, recipe.pictureSource, recipe.distinctFrames);
        rear = jpegFrames(recipe.rearSize,
                          recipe.rearPictureSource.isEmpty() ? recipe.pictureSource
                                                             : recipe.rearPictureSource,
                          recipe.distinctFrames);
        if (front.isEmpty() || rear.isEmpty())
            return {};
        if (!markerFrames.isEmpty()) {
            // The marker picture goes last, past the cycle of distinct frames.
            const QList<QByteArray> frontMark =
                jpegFrames(recipe.frontSize, recipe.markerPicture, 1);
            const QList<QByteArray> rearMark = jpegFrames(recipe.rearSize, recipe.markerPicture, 1);
            if (frontMark.isEmpty() || rearMark.isEmpty())
                return {};
            front << frontMark.first();
            rear << rearMark.first();
        }
    } else {
        front = {fillerFrame(FillerFrontSize)};
        rear = {fillerFrame(FillerRearSize)};
    }
    if (recipe.brokenRear)
        rear = QList<QByteArray>(front.size(), fillerFrame(FillerRearSize));
    // Which of the frames above a picture shows: the marker (last) at marker frames.
    const qsizetype cycle =
        markerFrames.isEmpty() || !recipe.decodableVideo ? front.size() : front.size() - 1;
    const auto pictureOf = [&](int index) {
        return markerFrames.contains(index) && cycle < front.size() ? front.size() - 1
                                                                    : index % cycle;
    };

    // Chunks in the order of their presentation times, as a recorder writes them.
    std::vector<Event> events;
    events.reserve(size_t(2 * frameCount + audioChunks + textCount));
    for (int i = 0; i < frameCount; ++i) {
        events.push_back({double(i) / fps, Kind::Front, i});
        events.push_back({double(i) / fps, Kind::Rear, i});
    }
    for (int i = 0; i < audioChunks; ++i)
        events.push_back({double(i * AudioChunkSamples) / AudioRate, Kind::Audio, i});
    for (int i = 0; i < textCount; ++i)
        events.push_back({(i + 0.5) * seconds / textCount, Kind::Text, i});
    std::stable_sort(events.begin(), events.end(), [](const Event &a, const Event &b) {
        return a.time < b.time || (a.time == b.time && int(a.kind) < int(b.kind));
    });

    QByteArray movi;
    QByteArray index;
    qsizetype moviReserve = 4;
    for (const Event &e : events) {
        switch (e.kind) {
        case Kind::Front:
            moviReserve += front.at(pictureOf(e.index)).size() + padding + 9;
            break;
        case Kind::Rear:
            moviReserve += rear.at(pictureOf(e.index)).size() + padding + 9;
            break;
        case Kind::Audio:
            moviReserve += AudioChunkSamples * 2 + 8;
            break;
        case Kind::Text:
            moviReserve += 8 + TelemetryDataSize;
            break;
        }
    }
    movi.reserve(moviReserve);
    index.reserve(qsizetype(events.size()) * 16);
    putFourcc(movi, "movi");

    quint32 maxFront = 0, maxRear = 0;
    for (const QByteArray &f : front)
        maxFront = qMax(maxFront, quint32(f.size() + padding));
    for (const QByteArray &f : rear)
        maxRear = qMax(maxRear, quint32(f.size() + padding));

    for (const Event &e : events) {
        const char *id = nullptr;
        quint32 flags = KeyFrame;
        // Index offsets count from the 'movi' fourcc, which is at the start of movi.
        const quint32 offset = quint32(movi.size());
        qsizetype size = 0;
        switch (e.kind) {
        case Kind::Front: {
            id = "00dc";
            const QByteArray &frame = front.at(pictureOf(e.index));
            putChunk(movi, id, frame, padding);
            size = frame.size() + padding;
            break;
        }
        case Kind::Rear: {
            id = "01dc";
            const QByteArray &frame = rear.at(pictureOf(e.index));
            putChunk(movi, id, frame, padding);
            size = frame.size() + padding;
            break;
        }
        case Kind::Audio: {
            id = audioId;
            const int samples = qMin(AudioChunkSamples, audioSamples - e.index * AudioChunkSamples);
            putChunk(movi, id,
                     markerSamples.isEmpty()
                         ? toneChunk(samples)
                         : markedChunk(e.index * AudioChunkSamples, samples, markerSamples));
            size = samples * 2;
            break;
        }
        case Kind::Text:
            id = textId;
            flags = 0;
            movi.append(telemetryChunk(recipe.samples.at(e.index), recipe.textStream,
                                       recipe.recorderBytes));
            size = TelemetryDataSize;
            break;
        }
        putFourcc(index, id);
        putU32(index, flags);
        putU32(index, offset);
        putU32(index, quint32(size));
    }

    const quint32 maxChunk = qMax(qMax(maxFront, maxRear), quint32(AudioChunkSamples * 2));
    const quint32 frameMicros = quint32(std::lround(1e6 / fps));

    QByteArray avih;
    putU32(avih, frameMicros);
    putU32(avih, seconds > 0 ? quint32(std::lround(movi.size() / seconds)) : 0);
    putU32(avih, 0);            // padding granularity
    putU32(avih, 0x10 | 0x100); // AVIF_HASINDEX | AVIF_ISINTERLEAVED
    putU32(avih, quint32(frameCount));
    putU32(avih, 0); // initial frames
    putU32(avih, 4); // streams
    putU32(avih, maxChunk + 8);
    putU32(avih, quint32(recipe.frontSize.width()));
    putU32(avih, quint32(recipe.frontSize.height()));
    for (int i = 0; i < 4; ++i)
        putU32(avih, 0);

    const QByteArray frontList =
        streamList(streamHeader("vids", "MJPG", 1, quint32(fps), quint32(frameCount), maxFront, 0,
                                recipe.frontSize),
                   videoFormat(recipe.frontSize));
    const QByteArray rearList =
        streamList(streamHeader("vids", "MJPG", 1, quint32(fps), quint32(frameCount), maxRear, 0,
                                recipe.rearSize),
                   videoFormat(recipe.rearSize));
    const QByteArray audioList =
        streamList(streamHeader("auds", nullptr, 1, AudioRate, quint32(audioSamples),
                                AudioChunkSamples * 2, 2),
                   audioFormat());
    // The text stream's rate is its chunks per second; its format chunk is left empty,
    // which ffmpeg accepts for text streams.
    const quint32 textScale = quint32(qMax(1L, std::lround(seconds * 1000)));
    const quint32 textRate = textCount > 0 ? quint32(textCount * 1000) : 1;
    const QByteArray textList =
        streamList(streamHeader("txts", nullptr, textCount > 0 ? textScale : 1, textRate,
                                quint32(textCount), TelemetryDataSize, 0),
                   QByteArray());

    QByteArray hdrl;
    putChunk(hdrl, "avih", avih);
    hdrl.append(frontList);
    hdrl.append(rearList);
    if (textIs02) {
        hdrl.append(textList);
        hdrl.append(audioList);
    } else {
        hdrl.append(audioList);
        hdrl.append(textList);
    }

    QByteArray body;
    const qsizetype bodySize = 4 + hdrl.size() + 12 + movi.size() + 8 + 8 + index.size();
    body.reserve(8 + bodySize);
    putFourcc(body, "RIFF");
    putU32(body, quint32(bodySize));
    putFourcc(body, "AVI ");
    body.append(list("hdrl", hdrl));
    putFourcc(body, "LIST");
    putU32(body, quint32(movi.size()));
    body.append(movi);
    putChunk(body, "idx1", index);
    return body;
}

bool writeMovie(const QString &path, const MovieRecipe &recipe)
{
    const QByteArray movie = buildMovie(recipe);
    if (movie.isEmpty())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (file.write(movie) != movie.size())
        return false;
    return file.flush();
}

QList<TelemetrySample> drive(qint32 startTime, int seconds, int samplesPerSecond)
{
    QList<TelemetrySample> samples;
    if (seconds <= 0)
        return samples;
    const int perSecond = qMax(1, samplesPerSecond);
    samples.reserve(seconds * perSecond);

    constexpr double knotsToMs = 1852.0 / 3600.0;
    constexpr double gravity = 9.81;
    constexpr double degree = Pi / 180.0;

    // Pulling away, then cruising at a gently varying speed along a slow curve. Speeds
    // in knots, accelerations in knots/s, headings in degrees, turn rates in degrees/s.
    const auto speed = [](double t) {
        return t < 15.0 ? 2.0 * t : 30.0 + 8.0 * std::sin((t - 15.0) / 20.0);
    };
    const auto acceleration = [](double t) {
        return t < 15.0 ? 2.0 : 0.4 * std::cos((t - 15.0) / 20.0);
    };
    const auto heading = [](double t) { return 45.0 + 30.0 * std::sin(t / 60.0); };
    const auto turnRate = [](double t) { return 0.5 * std::cos(t / 60.0); };

    double latitude = 33.875; // degrees north
    double longitude = 151.2; // degrees east
    const double dt = 1.0 / perSecond;
    const auto toDegreesMinutes = [](double degrees) {
        const double whole = std::floor(degrees);
        return float(whole * 100.0 + (degrees - whole) * 60.0);
    };

    for (int s = 0; s < seconds; ++s) {
        for (int k = 0; k < perSecond; ++k) {
            const double t = s + k * dt;
            const double knots = speed(t);
            TelemetrySample sample;
            sample.time = startTime + s;
            sample.flags = 0x05;
            sample.knots = withoutAudioSync(float(knots));
            sample.latitude = withoutAudioSync(toDegreesMinutes(latitude));
            sample.longitude = withoutAudioSync(toDegreesMinutes(longitude));
            sample.gX = withoutAudioSync(
                float(acceleration(t) * knotsToMs / gravity + 0.02 * std::sin(t * 3.1)));
            sample.gY = withoutAudioSync(float(knots * knotsToMs * turnRate(t) * degree / gravity +
                                               0.015 * std::sin(t * 2.3)));
            sample.gZ = withoutAudioSync(float(1.0 + 0.03 * std::sin(t * 7.3)));
            samples.append(sample);

            // One nautical mile is one minute of latitude.
            const double miles = knots * dt / 3600.0;
            const double h = heading(t) * degree;
            latitude += miles * std::cos(h) / 60.0;
            longitude += miles * std::sin(h) / (60.0 * std::cos(latitude * degree));
        }
    }
    return samples;
}

} // namespace testavi
