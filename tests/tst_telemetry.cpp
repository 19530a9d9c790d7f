// The telemetry scanner on real files: chunk search, decoding, grouping into records and
// the limits that keep corrupt or huge movies from writing past the records.

#include "aviwriter.h"
#include "globals.h"
#include "mainwindow.h"
#include "telemetry.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <unistd.h>

using testavi::TelemetrySample;
using testavi::TextStream;

Q_DECLARE_METATYPE(testavi::TextStream)

using Offsets = QList<qint64>;
using TimedValues = QList<QPair<qint32, float>>; // (time, g1) of samples or records

namespace {

constexpr qint32 Start = 1342256765;

TelemetrySample sample(qint32 time, float g1 = 0, quint32 flags = 0x05)
{
    TelemetrySample s;
    s.time = time;
    s.gX = g1;
    s.gY = 2 * g1;
    s.gZ = -g1;
    s.flags = flags;
    return s;
}

QByteArray chunk(const TelemetrySample &s, TextStream stream = TextStream::Stream02)
{
    return testavi::telemetryChunk(s, stream);
}

QByteArray chunk03(qint32 time)
{
    return chunk(sample(time), TextStream::Stream03);
}

QByteArray filler(int bytes)
{
    return QByteArray(bytes, '.');
}

// The recorder's own arithmetic, for values whose whole degrees fit an int.
float recorderDegrees(float v)
{
    const int d = int(v / 100.0f);
    const float m = v - float(100 * d);
    return float(double(d) + double(m) / 60.0);
}

QByteArray bits(double value)
{
    return QByteArray::number(value, 'g', 17);
}

// QCOMPARE on floating point is fuzzy; these values must match bit for bit.
#define COMPARE_EXACTLY(actual, expected)                                                          \
    QVERIFY2(double(actual) == double(expected),                                                   \
             bits(double(actual)) + " != " + bits(double(expected)))

} // namespace

class TelemetryTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void decodesCoordinatesAndSpeed_data();
    void decodesCoordinatesAndSpeed();
    void degreesMatchRecorderArithmetic();
    void survivesAbsurdValues_data();
    void survivesAbsurdValues();
    void groupsSamplesBySecond_data();
    void groupsSamplesBySecond();
    void recordTakesFirstSamplesPositionAndSpeed();
    void findsChunks_data();
    void findsChunks();
    void everyPieceSizeFindsTheSameChunks_data();
    void everyPieceSizeFindsTheSameChunks();
    void chunkCutByEndOfFileIsIgnored_data();
    void chunkCutByEndOfFileIsIgnored();
    void unreadableMovieLeavesRecordsAlone_data();
    void unreadableMovieLeavesRecordsAlone();
    void keepsAtMostMaxRecords();
    void readsAtMostMaxSamples();
    void readsRecorderMovie_data();
    void readsRecorderMovie();

private:
    int load(const QByteArray &bytes);
    QString writeMovie(const QByteArray &bytes);

    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;
};

void TelemetryTest::initTestCase()
{
    QVERIFY(dir.isValid());
    testsupport::resetProgramState();
    window = std::make_unique<MainWindow>();
}

void TelemetryTest::init()
{
    BLOCKS_g[0].movieFile = QFileInfo();
    BLOCKS_g[0].nRecords = 0;
}

QString TelemetryTest::writeMovie(const QByteArray &bytes)
{
    const QString path = dir.filePath("MOVIE001.AVI");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

int TelemetryTest::load(const QByteArray &bytes)
{
    BLOCKS_g[0].movieFile = QFileInfo(writeMovie(bytes));
    window->load_gps_and_gforce_data_brightquill4300(0);
    return BLOCKS_g[0].nRecords;
}

void TelemetryTest::decodesCoordinatesAndSpeed_data()
{
    QTest::addColumn<float>("latitude");
    QTest::addColumn<float>("longitude");
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<float>("knots");
    QTest::addColumn<float>("degreesNorth");
    QTest::addColumn<float>("degreesEast");

    const float knots = 30.939524f;
    QTest::addRow("north east") << 3352.5f << 15104.21875f << 0x05u << knots << 33.875f
                                << 151.0703125f;
    QTest::addRow("north west") << 3352.5f << 15104.21875f << 0x01u << knots << 33.875f
                                << -151.0703125f;
    QTest::addRow("south east") << 3352.5f << 15104.21875f << 0x04u << knots << -33.875f
                                << 151.0703125f;
    QTest::addRow("south west") << 3352.5f << 15104.21875f << 0x00u << knots << -33.875f
                                << -151.0703125f;
    // Only bits 0 and 2 of the lowest byte count.
    QTest::addRow("high flag bits")
        << 3352.5f << 15104.21875f << 0xFFFFFF02u << 0.0f << -33.875f << -151.0703125f;
    QTest::addRow("zero") << 0.0f << 0.0f << 0x05u << 0.0f << 0.0f << 0.0f;
    // Whole degrees are cut toward zero, not floored: -50 degrees and -0.5 minutes.
    QTest::addRow("negative raw value")
        << -5000.5f << 0.5f << 0x05u << 1.0f << float(-50.0 - 0.5 / 60.0) << float(0.5 / 60.0);
}

void TelemetryTest::decodesCoordinatesAndSpeed()
{
    QFETCH(float, latitude);
    QFETCH(float, longitude);
    QFETCH(quint32, flags);
    QFETCH(float, knots);
    QFETCH(float, degreesNorth);
    QFETCH(float, degreesEast);

    TelemetrySample s = sample(Start, 0, flags);
    s.latitude = latitude;
    s.longitude = longitude;
    s.knots = knots;
    QCOMPARE(load(chunk(s)), 1);
    const s_BLOCK &block = BLOCKS_g[0];
    COMPARE_EXACTLY(block.latitude[0], degreesNorth);
    COMPARE_EXACTLY(block.longitude[0], degreesEast);
    COMPARE_EXACTLY(block.speedKmh[0], float(double(knots) * 1.852));
    QCOMPARE(block.recTime[0], Start);
}

// Any ddmm.mmmm the recorder can write, one record each, must decode bit for bit as the
// recorder's integer arithmetic does.
void TelemetryTest::degreesMatchRecorderArithmetic()
{
    QRandomGenerator random(4400);
    QList<TelemetrySample> samples;
    QByteArray bytes;
    for (int i = 0; i < MAX_RECORDS; ++i) {
        TelemetrySample s = sample(Start + i);
        s.latitude = float(random.bounded(9000.0));
        s.longitude = float(random.bounded(18000.0));
        samples.append(s);
        bytes += chunk(s);
    }
    QCOMPARE(load(bytes), MAX_RECORDS);
    for (int i = 0; i < MAX_RECORDS; ++i) {
        COMPARE_EXACTLY(BLOCKS_g[0].latitude[i], recorderDegrees(samples[i].latitude));
        COMPARE_EXACTLY(BLOCKS_g[0].longitude[i], recorderDegrees(samples[i].longitude));
    }
}

void TelemetryTest::survivesAbsurdValues_data()
{
    QTest::addColumn<float>("raw");
    QTest::addColumn<bool>("finite");

    const float infinity = std::numeric_limits<float>::infinity();
    QTest::addRow("NaN") << std::numeric_limits<float>::quiet_NaN() << false;
    QTest::addRow("infinity") << infinity << false;
    QTest::addRow("minus infinity") << -infinity << false;
    // Quotients beyond int, where int(v / 100) is undefined.
    QTest::addRow("beyond int") << 2.2e11f << true;
    QTest::addRow("below int") << -2.2e11f << true;
    QTest::addRow("1e30") << 1e30f << true;
}

// Corrupt data gives odd numbers but no undefined behaviour (the fuzzer runs this code
// under the undefined behaviour sanitizer).
void TelemetryTest::survivesAbsurdValues()
{
    QFETCH(float, raw);
    QFETCH(bool, finite);

    TelemetrySample s = sample(Start);
    s.latitude = raw;
    s.longitude = raw;
    s.knots = raw;
    QCOMPARE(load(chunk(s)), 1);
    QCOMPARE(std::isfinite(BLOCKS_g[0].latitude[0]), finite);
    QCOMPARE(std::isfinite(BLOCKS_g[0].longitude[0]), finite);
    if (finite) // within rounding of raw / 100 degrees
        QVERIFY(std::fabs(BLOCKS_g[0].latitude[0] / (double(raw) / 100.0) - 1.0) < 1e-6);
}

void TelemetryTest::groupsSamplesBySecond_data()
{
    QTest::addColumn<TimedValues>("samples");
    QTest::addColumn<TimedValues>("records"); // time and mean g1

    const qint32 t = Start;
    QTest::addRow("worked example")
        << TimedValues{{0, 0.9f},      {t, 0.125f},   {t, 0.375f}, {t + 1, 0.5f},
                       {t + 1, 0.75f}, {t + 1, 1.0f}, {t, 0.25f}}
        << TimedValues{{t, 0.25f}, {t + 1, 0.75f}, {t, 0.25f}};
    QTest::addRow("only second 0") << TimedValues{{0, 1.0f}, {0, 2.0f}} << TimedValues{};
    // Second 0 after a record is a second like any other.
    QTest::addRow("second 0 after a record")
        << TimedValues{{t, 1.0f}, {0, 2.0f}, {0, 4.0f}} << TimedValues{{t, 1.0f}, {0, 3.0f}};
    QTest::addRow("earlier second again") << TimedValues{{t + 5, 1.0f}, {t, 2.0f}, {t + 5, 3.0f}}
                                          << TimedValues{{t + 5, 1.0f}, {t, 2.0f}, {t + 5, 3.0f}};
    QTest::addRow("negative time")
        << TimedValues{{-1, 1.0f}, {-1, 0.0f}} << TimedValues{{-1, 0.5f}};
}

void TelemetryTest::groupsSamplesBySecond()
{
    QFETCH(TimedValues, samples);
    QFETCH(TimedValues, records);

    QByteArray bytes;
    for (const auto &[time, g1] : samples)
        bytes += chunk(sample(time, g1));
    QCOMPARE(load(bytes), records.size());
    const s_BLOCK &block = BLOCKS_g[0];
    for (int i = 0; i < records.size(); ++i) {
        QCOMPARE(block.recTime[i], records[i].first);
        COMPARE_EXACTLY(block.gForceX[i], records[i].second);
        COMPARE_EXACTLY(block.gForceY[i], 2 * records[i].second);
        COMPARE_EXACTLY(block.gForceZ[i], -records[i].second);
    }
}

void TelemetryTest::recordTakesFirstSamplesPositionAndSpeed()
{
    QByteArray bytes;
    for (int i = 0; i < 3; ++i) {
        TelemetrySample s = sample(Start);
        s.latitude = 100.0f * float(i + 1);
        s.longitude = 100.0f * float(i + 10);
        s.knots = float(i + 1);
        bytes += chunk(s);
    }
    QCOMPARE(load(bytes), 1);
    QCOMPARE(BLOCKS_g[0].latitude[0], 1.0);
    QCOMPARE(BLOCKS_g[0].longitude[0], 10.0);
    COMPARE_EXACTLY(BLOCKS_g[0].speedKmh[0], 1.852f);
}

void TelemetryTest::findsChunks_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Offsets>("offsets");
    QTest::addColumn<int>("records");

    const QByteArray a = chunk(sample(Start));
    const QByteArray b = chunk(sample(Start + 1));
    QByteArray size47 = a;
    size47[4] = 0x47;
    QByteArray otherSizeBytes = a;
    otherSizeBytes.replace(5, 3, "\xff\xff\xff");

    QTest::addRow("one chunk") << a << Offsets{0} << 1;
    QTest::addRow("size byte 0x47 is no chunk") << size47 << Offsets{} << 0;
    QTest::addRow("upper size bytes unchecked") << otherSizeBytes << Offsets{0} << 1;
    QTest::addRow("no signature") << filler(1000) << Offsets{} << 0;
    QTest::addRow("only 03tx") << chunk03(Start) + chunk03(Start + 1) << Offsets{0, 80} << 2;
    QTest::addRow("02tx beats 03tx") << chunk03(Start) + a + chunk03(Start + 2) << Offsets{80} << 1;
    QTest::addRow("02tx at the very end beats 03tx")
        << chunk03(Start) + chunk03(Start + 1) + a << Offsets{160} << 1;
    // The next search starts 8 bytes after a signature: chunks at +5 and +7 are skipped,
    // one at exactly +8 is taken. The first chunk reads time 0 from the second's bytes,
    // so only a taken second chunk gives a record.
    QTest::addRow("signature 5 bytes on skipped") << a.left(5) + a << Offsets{0} << 0;
    QTest::addRow("signature 7 bytes on skipped") << a.left(7) + a << Offsets{0} << 0;
    QTest::addRow("signature 8 bytes on taken") << a.left(8) + a << Offsets{0, 8} << 1;
    QTest::addRow("03tx 7 bytes on skipped")
        << chunk03(Start).left(7) + chunk03(Start) << Offsets{0} << 0;
    QTest::addRow("03tx 8 bytes on taken")
        << chunk03(Start).left(8) + chunk03(Start) << Offsets{0, 8} << 1;
    // Each kind keeps its own step: an 03tx right after an 03tx does not hide an 02tx.
    QTest::addRow("02tx 5 bytes after 03tx") << chunk03(Start).left(5) + a << Offsets{5} << 1;
    QTest::addRow("signature in the last 5 bytes") << a + b + a.left(5) << Offsets{0, 80, 160} << 2;
    QTest::addRow("signature cut by the end") << a + b + a.left(4) << Offsets{0, 80} << 2;
    QTest::addRow("file shorter than a signature") << a.left(4) << Offsets{} << 0;
}

void TelemetryTest::findsChunks()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Offsets, offsets);
    QFETCH(int, records);

    const QString path = writeMovie(bytes);
    const std::vector<qint64> found = telemetry::chunkOffsets(path);
    QCOMPARE(Offsets(found.begin(), found.end()), offsets);
    QCOMPARE(load(bytes), records);
}

void TelemetryTest::everyPieceSizeFindsTheSameChunks_data()
{
    QTest::addColumn<qint64>("pieceBytes");
    for (const qint64 piece : {1, 2, 3, 4, 5, 7, 8, 9, 13, 64, 79, 80, 81, 4096, 1 << 20})
        QTest::addRow("%lld bytes", piece) << piece;
}

// Pieces of any size give the same chunks as the scanner's own size, also those
// across the boundaries of the pieces and those in the last bytes of the file.
void TelemetryTest::everyPieceSizeFindsTheSameChunks()
{
    QFETCH(qint64, pieceBytes);

    // Bytes from the signatures' own alphabet give many signatures, overlapping ones and
    // near misses.
    QRandomGenerator random(17);
    QByteArray bytes;
    const char alphabet[] = "023txH.";
    for (int i = 0; i < 20000; ++i)
        bytes += random.bounded(4) == 0 ? QByteArray("02txH").left(random.bounded(1, 6))
                                        : QByteArray(1, alphabet[random.bounded(7)]);
    bytes += "03txH02txH";
    const QString path = writeMovie(bytes);

    const std::vector<qint64> whole = telemetry::chunkOffsets(path);
    QVERIFY(whole.size() > 100);
    QCOMPARE(whole.back(), bytes.size() - 5);
    const std::vector<qint64> pieces = telemetry::chunkOffsets(path, pieceBytes);
    QCOMPARE(Offsets(pieces.begin(), pieces.end()), Offsets(whole.begin(), whole.end()));
}

void TelemetryTest::chunkCutByEndOfFileIsIgnored_data()
{
    QTest::addColumn<int>("lastChunkBytes");
    QTest::addColumn<int>("records");
    QTest::addRow("1 byte short") << 79 << 2;
    QTest::addRow("whole") << 80 << 3;
}

void TelemetryTest::chunkCutByEndOfFileIsIgnored()
{
    QFETCH(int, lastChunkBytes);
    QFETCH(int, records);

    const QByteArray bytes = chunk(sample(Start, 1)) + filler(3) + chunk(sample(Start + 1, 2)) +
                             chunk(sample(Start + 2, 3)).left(lastChunkBytes);
    QCOMPARE(load(bytes), records);
    QCOMPARE(BLOCKS_g[0].recTime[1], Start + 1);
    COMPARE_EXACTLY(BLOCKS_g[0].gForceX[1], 2.0f);
}

void TelemetryTest::unreadableMovieLeavesRecordsAlone_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addRow("empty") << "empty";
    QTest::addRow("missing") << "missing";
    QTest::addRow("folder") << "folder";
    QTest::addRow("no permission") << "no permission";
}

void TelemetryTest::unreadableMovieLeavesRecordsAlone()
{
    QFETCH(QString, kind);

    QString path = writeMovie(kind == "empty" ? QByteArray() : chunk(sample(Start)));
    if (kind == "missing")
        path = dir.filePath("NOSUCH.AVI");
    else if (kind == "folder")
        path = dir.path();
    else if (kind == "no permission") {
        if (geteuid() == 0)
            QSKIP("root reads files whatever their permissions");
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
    }

    s_BLOCK &block = BLOCKS_g[0];
    block.nRecords = 5;
    std::fill(block.recTime, block.recTime + MAX_RECORDS, 77);
    std::fill(block.latitude, block.latitude + MAX_RECORDS, 7.5);
    std::fill(block.gForceZ, block.gForceZ + MAX_RECORDS, 0.5f);
    block.movieFile = QFileInfo(path);
    window->load_gps_and_gforce_data_brightquill4300(0);
    if (kind == "no permission")
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    QCOMPARE(block.nRecords, 0);
    QVERIFY(
        std::all_of(block.recTime, block.recTime + MAX_RECORDS, [](qint32 t) { return t == 77; }));
    QVERIFY(std::all_of(block.latitude, block.latitude + MAX_RECORDS,
                        [](double v) { return v == 7.5; }));
    QVERIFY(
        std::all_of(block.gForceZ, block.gForceZ + MAX_RECORDS, [](float v) { return v == 0.5f; }));
}

// Two samples a second for MAX_RECORDS + 5 seconds, then the last kept second once more:
// the telemetry ends with the first sample that would open record MAX_RECORDS + 1, so
// the last record keeps the mean of its own two samples only.
void TelemetryTest::keepsAtMostMaxRecords()
{
    QByteArray bytes;
    for (int i = 0; i < MAX_RECORDS + 5; ++i)
        bytes += chunk(sample(Start + i, float(i))) + chunk(sample(Start + i, float(i) + 1));
    bytes += chunk(sample(Start + MAX_RECORDS - 1, 1e6f));
    s_BLOCK &next = BLOCKS_g[1];
    next.nRecords = 123;
    next.recTime[0] = 456;

    QCOMPARE(load(bytes), MAX_RECORDS);
    const s_BLOCK &block = BLOCKS_g[0];
    const int last = MAX_RECORDS - 1;
    QCOMPARE(block.recTime[last], Start + last);
    COMPARE_EXACTLY(block.gForceX[last], float(last) + 0.5f);
    // Writes past the arrays would land in the next array or the next block.
    QCOMPARE(block.latitude[0], 0.0);
    COMPARE_EXACTLY(block.gForceX[0], 0.5f);
    QCOMPARE(next.nRecords, 123);
    QCOMPARE(next.recTime[0], 456);
}

// 3500 chunks, four a second: only the first MAX_SAMPLES are read, giving 750 records.
// Also with "03tx", whose surplus must not stop the search for an "02tx" after them.
void TelemetryTest::readsAtMostMaxSamples()
{
    constexpr int Chunks = 3500;
    QByteArray bytes02;
    QByteArray bytes03;
    for (int i = 0; i < Chunks; ++i) {
        bytes02 += chunk(sample(Start + i / 4, float(i % 4)));
        bytes03 += chunk03(Start + i / 4);
    }
    const int expected = MAX_SAMPLES / 4;
    QCOMPARE(load(bytes02), expected);
    QCOMPARE(BLOCKS_g[0].recTime[expected - 1], Start + expected - 1);
    COMPARE_EXACTLY(BLOCKS_g[0].gForceX[expected - 1], 1.5f);

    QCOMPARE(telemetry::chunkOffsets(writeMovie(bytes03)).size(), size_t(MAX_SAMPLES));
    const QByteArray late02 = bytes03 + chunk(sample(Start));
    const std::vector<qint64> offsets = telemetry::chunkOffsets(writeMovie(late02));
    QCOMPARE(Offsets(offsets.begin(), offsets.end()), Offsets{qint64(bytes03.size())});
}

void TelemetryTest::readsRecorderMovie_data()
{
    QTest::addColumn<TextStream>("stream");
    QTest::addRow("text stream 02") << TextStream::Stream02;
    QTest::addRow("text stream 03") << TextStream::Stream03;
}

void TelemetryTest::readsRecorderMovie()
{
    QFETCH(TextStream, stream);

    constexpr int Seconds = 20;
    constexpr int PerSecond = 3;
    testavi::MovieRecipe recipe;
    recipe.textStream = stream;
    recipe.samples = testavi::drive(Start, Seconds, PerSecond);
    recipe.decodableVideo = false;
    recipe.seconds = Seconds;
    const QString path = dir.filePath("FILE0001.AVI");
    QVERIFY(testavi::writeMovie(path, recipe));

    BLOCKS_g[0].movieFile = QFileInfo(path);
    window->load_gps_and_gforce_data_brightquill4300(0);
    const s_BLOCK &block = BLOCKS_g[0];
    QCOMPARE(block.nRecords, Seconds);
    for (int i = 0; i < Seconds; ++i) {
        const TelemetrySample *run = recipe.samples.constData() + i * PerSecond;
        float sum = 0;
        for (int j = 0; j < PerSecond; ++j)
            sum += run[j].gX;
        QCOMPARE(block.recTime[i], Start + i);
        COMPARE_EXACTLY(block.latitude[i], recorderDegrees(run->latitude));
        COMPARE_EXACTLY(block.longitude[i], recorderDegrees(run->longitude));
        COMPARE_EXACTLY(block.speedKmh[i], float(double(run->knots) * 1.852));
        COMPARE_EXACTLY(block.gForceX[i], sum / float(PerSecond));
    }
}

QTEST_MAIN(TelemetryTest)
#include "tst_telemetry.moc"
