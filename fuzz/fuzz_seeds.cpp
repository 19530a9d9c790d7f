// Writes the fuzzer's seed movies into the folder given (fuzz-corpus/ by scripts/fuzz.sh):
// both stream layouts, a cut-off movie and bare chunks with odd values.

#include "aviwriter.h"

#include <QDir>
#include <QFile>

#include <cmath>
#include <limits>

using namespace testavi;

static bool save(const QDir &dir, const QString &name, const QByteArray &bytes)
{
    QFile file(dir.filePath(name));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

static MovieRecipe smallMovie(TextStream stream, int seconds, int perSecond)
{
    MovieRecipe recipe;
    recipe.textStream = stream;
    recipe.samples = drive(1342256765, seconds, perSecond);
    recipe.decodableVideo = false;
    recipe.seconds = seconds;
    recipe.framesPerSecond = 2;
    return recipe;
}

// Chunks whose values the decoder must survive: NaN, infinities, huge and negative ones.
static QByteArray oddChunks()
{
    const float inf = std::numeric_limits<float>::infinity();
    const float values[] = {std::nanf(""), inf, -inf, 3.0e38f, -1.0e12f, 2.2e11f, -0.0f};
    QByteArray bytes;
    qint32 time = 0;
    for (const float v : values) {
        TelemetrySample s;
        s.latitude = v;
        s.longitude = v;
        s.knots = v;
        s.gX = v;
        s.time = time++;
        s.flags = quint32(time);
        bytes += telemetryChunk(s, TextStream::Stream02);
        bytes += telemetryChunk(s, TextStream::Stream03).left(11); // overlapping signatures
    }
    return bytes;
}

int main(int argc, char **argv)
{
    const QDir dir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("fuzz-corpus"));
    if (!QDir().mkpath(dir.path()))
        return 1;
    const QByteArray movie02 = buildMovie(smallMovie(TextStream::Stream02, 3, 2));
    const QByteArray movie03 = buildMovie(smallMovie(TextStream::Stream03, 2, 3));
    const bool ok = save(dir, "movie02.avi", movie02) && save(dir, "movie03.avi", movie03) &&
                    save(dir, "cut.avi", movie02.left(movie02.size() * 2 / 3)) &&
                    save(dir, "odd.bin", oddChunks());
    return ok ? 0 : 1;
}
