// Trips: which clips of a batch continue each other, the texts and names their join
// needs, and real joins of split outputs that play through with their chapters.

#include "aviwriter.h"
#include "ffmpegcommand.h"
#include "globals.h"
#include "movienames.h"
#include "mp4file.h"
#include "testsupport.h"
#include "trip.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace testsupport;
using trip::ClipSpan;
using Trips = QList<QList<int>>;

Q_DECLARE_METATYPE(QList<ClipSpan>)
Q_DECLARE_METATYPE(QList<trip::Chapter>)
Q_DECLARE_METATYPE(EncodeSettings)

namespace {

constexpr qint32 Start = 1342256765; // 2012-07-14 09:06:05 UTC
constexpr qint32 ClipSeconds = 180;  // one record a second

// Clips 0, 1, ... of three minutes each in batch order; clip i + 1 starts gaps[i] seconds
// after clip i's last record.
QList<ClipSpan> clips(const QList<int> &gaps)
{
    QList<ClipSpan> spans{{0, true, Start, Start + ClipSeconds - 1, true}};
    for (const int gap : gaps) {
        const qint32 first = spans.last().lastRecord + gap;
        spans << ClipSpan{int(spans.size()), true, first, first + ClipSeconds - 1, true};
    }
    return spans;
}

QList<ClipSpan> failed(QList<ClipSpan> spans, int movie)
{
    spans[movie].outputsWritten = false;
    return spans;
}

QList<ClipSpan> withoutRecords(QList<ClipSpan> spans, int movie)
{
    spans[movie].hasRecords = false;
    return spans;
}

// The batch holds clip order[i] of `spans` at place i.
QList<ClipSpan> inBatchOrder(const QList<ClipSpan> &spans, const QList<int> &order)
{
    QList<ClipSpan> batch;
    for (const int clip : order) {
        batch << spans[clip];
        batch.last().movie = int(batch.size() - 1);
    }
    return batch;
}

// Runs the ffmpeg beside the test with `arguments`; its error output if it fails.
QByteArray runFfmpeg(const QStringList &arguments)
{
    QProcess ffmpeg;
    ffmpeg.start(ffmpegProgram(), arguments);
    if (ffmpeg.waitForFinished(120000) && ffmpeg.exitStatus() == QProcess::NormalExit &&
        ffmpeg.exitCode() == 0)
        return {};
    return "ffmpeg " + arguments.join(' ').toUtf8() + " failed:\n" + ffmpeg.readAllStandardError();
}

} // namespace

class TestTrips : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(!systemTool("ffprobe").isEmpty());
        QVERIFY(linkFfmpegBesideApp());
    }

    void planTrips_data()
    {
        QTest::addColumn<QList<ClipSpan>>("batch");
        QTest::addColumn<Trips>("trips");

        QTest::addRow("three continuing clips, then one 20 minutes later")
            << clips({1, 1, 1200}) << Trips{{0, 1, 2}};
        QTest::addRow("two trips") << clips({1, 600, 1}) << Trips{{0, 1}, {2, 3}};
        QTest::addRow("one clip is no trip") << clips({}) << Trips{};
        QTest::addRow("10 s between clips join") << clips({10}) << Trips{{0, 1}};
        QTest::addRow("11 s do not") << clips({11}) << Trips{};
        QTest::addRow("a clip starting in the second the other ends joins")
            << clips({0}) << Trips{{0, 1}};
        QTest::addRow("a second of overlap does not join") << clips({-1}) << Trips{};
        QTest::addRow("clock set back a minute") << clips({-60}) << Trips{};
        QTest::addRow("failed middle of three: no trip") << failed(clips({1, 1}), 1) << Trips{};
        QTest::addRow("failed middle of five: two trips")
            << failed(clips({1, 1, 1, 1}), 2) << Trips{{0, 1}, {3, 4}};
        QTest::addRow("failed first of three") << failed(clips({1, 1}), 0) << Trips{{1, 2}};
        // Its span would bridge the two, but without records it has no time.
        QTest::addRow("a clip without records between two")
            << withoutRecords(clips({1, 1}), 1) << Trips{};
        QTest::addRow("a clip without records elsewhere in the batch")
            << inBatchOrder(withoutRecords(clips({1, 1200}), 2), {0, 2, 1}) << Trips{{0, 2}};
        QTest::addRow("unordered batch, in record order")
            << inBatchOrder(clips({1, 1}), {2, 0, 1}) << Trips{{1, 2, 0}};
        QTest::addRow("equal first records keep batch order")
            << QList<ClipSpan>{{0, true, Start, Start, true},
                               {1, true, Start, Start + ClipSeconds - 1, true}}
            << Trips{{0, 1}};
    }

    void planTrips()
    {
        QFETCH(QList<ClipSpan>, batch);
        QFETCH(Trips, trips);
        QCOMPARE(trip::planTrips(batch), trips);
    }

    void clipSpan_data()
    {
        QTest::addColumn<QList<qint32>>("records");
        QTest::addColumn<int>("count"); // nRecords, which a corrupt movie may overstate
        QTest::addColumn<bool>("hasRecords");
        QTest::addColumn<qint32>("first");
        QTest::addColumn<qint32>("last");

        QTest::addRow("records") << QList<qint32>{Start, Start + 1, Start + 2} << 3 << true << Start
                                 << Start + 2;
        QTest::addRow("none") << QList<qint32>{} << 0 << false << 0 << 0;
        QList<qint32> full(MAX_RECORDS, Start);
        full.last() = Start + MAX_RECORDS;
        QTest::addRow("more than a block holds")
            << full << MAX_RECORDS + 5 << true << Start << Start + MAX_RECORDS;
    }

    void clipSpan()
    {
        QFETCH(QList<qint32>, records);
        QFETCH(int, count);
        QFETCH(bool, hasRecords);
        QFETCH(qint32, first);
        QFETCH(qint32, last);
        auto block = std::make_unique<s_BLOCK>();
        std::copy(records.begin(), records.end(), block->recTime);
        block->nRecords = count;

        const ClipSpan span = trip::clipSpan(7, *block, true);
        QCOMPARE(span.movie, 7);
        QCOMPARE(span.hasRecords, hasRecords);
        QCOMPARE(span.firstRecord, first);
        QCOMPARE(span.lastRecord, last);
        QVERIFY(span.outputsWritten);
    }

    void baseName_data()
    {
        QTest::addColumn<qint32>("firstRecord");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<QString>("name");

        QTest::addRow("UTC") << Start << qint64(0) << "TRIP_20120714_090605";
        QTest::addRow("two hours east") << Start << qint64(7200) << "TRIP_20120714_110605";
        QTest::addRow("ten hours west, the day before")
            << Start << qint64(-36000) << "TRIP_20120713_230605";
    }

    void baseName()
    {
        QFETCH(qint32, firstRecord);
        QFETCH(qint64, offset);
        QFETCH(QString, name);
        QCOMPARE(trip::baseName(firstRecord, offset), name);
    }

    void concatList_data()
    {
        QTest::addColumn<QStringList>("outputs");
        QTest::addColumn<QByteArray>("list");

        QTest::addRow("two clips") << QStringList{"/out/FILE0001F.mp4", "/out/FILE0002F.mp4"}
                                   << QByteArray("file '/out/FILE0001F.mp4'\ninpoint 0\n"
                                                 "file '/out/FILE0002F.mp4'\ninpoint 0\n");
        QTest::addRow("quotes, spaces and more")
            << QStringList{"/out/Mike's drive ü $(x) \\ \"q\"/a.avi"}
            << QByteArray("file '/out/Mike'\\''s drive \xc3\xbc $(x) \\ \"q\"/a.avi'\ninpoint 0\n");
        QTest::addRow("a line break cannot be listed")
            << QStringList{"/out/a.mp4", "/out/two\nlines/b.mp4"} << QByteArray();
    }

    void concatList()
    {
        QFETCH(QStringList, outputs);
        QFETCH(QByteArray, list);
        QCOMPARE(trip::concatList(outputs), list);
    }

    void chapterMetadata_data()
    {
        QTest::addColumn<QList<trip::Chapter>>("chapters");
        QTest::addColumn<QByteArray>("metadata");

        QTest::addRow("ends rounded from the running sum")
            << QList<trip::Chapter>{{"FILE0001.AVI", 3.0004},
                                    {"FILE0002.AVI", 3.0004},
                                    {"FILE0003.AVI", 0.5}}
            << QByteArray(";FFMETADATA1\n"
                          "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=3000\ntitle=FILE0001.AVI\n"
                          "[CHAPTER]\nTIMEBASE=1/1000\nSTART=3000\nEND=6001\ntitle=FILE0002.AVI\n"
                          "[CHAPTER]\nTIMEBASE=1/1000\nSTART=6001\nEND=6501\ntitle=FILE0003.AVI\n");
        QTest::addRow("special characters escaped")
            << QList<trip::Chapter>{{"a=b;c#d\\e\nf ü.avi", 1}}
            << QByteArray(";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\n"
                          "title=a\\=b\\;c\\#d\\\\e\\\nf \xc3\xbc.avi\n");
    }

    void chapterMetadata()
    {
        QFETCH(QList<trip::Chapter>, chapters);
        QFETCH(QByteArray, metadata);
        QCOMPARE(trip::chapterMetadata(chapters), metadata);
    }

    void joinsSplitOutputs_data()
    {
        QTest::addColumn<EncodeSettings>("settings");
        QTest::addColumn<bool>("chapters");
        QTest::addColumn<QString>("audio");

        QTest::addRow("MP4 with chapters") << EncodeSettings{true, 7.0} << true << "audio:aac";
        QTest::addRow("MP4, H.264")
            << EncodeSettings{true, 7.0, false, VideoCodec::H264} << true << "audio:aac";
        QTest::addRow("AVI") << EncodeSettings{false, 7.0} << false << "audio:pcm_s16le";
    }

    // Three continuing movies split by the program's own command, then joined per camera,
    // in a folder whose name the concat list must quote. Their sound ends a little before
    // their picture, as a recorder's does; sound and picture stay together across the
    // joins, where markers in both show it.
    void joinsSplitOutputs()
    {
        QFETCH(EncodeSettings, settings);
        QFETCH(bool, chapters);
        QFETCH(QString, audio);
        const QStringList names{"FILE0001.AVI", "FILE0002.AVI", "FILE0003.AVI"};
        const int seconds = 3;
        const double tolerance = 0.1 * double(names.size());
        QTemporaryDir work;
        const QDir folder(work.filePath("Mike's drive ü"));
        QVERIFY(folder.mkpath("."));
        for (int i = 0; i < names.size(); ++i) {
            testavi::MovieRecipe recipe;
            recipe.seconds = seconds;
            recipe.samples = testavi::drive(Start + i * seconds, seconds);
            recipe.audioSeconds = seconds - 0.05;
            recipe.markers = {0.2, seconds - 0.4};
            QVERIFY(testavi::writeMovie(folder.filePath(names[i]), recipe));
        }

        for (const Camera camera : {Camera::Front, Camera::Rear}) {
            QStringList outputs;
            QList<trip::Chapter> clipChapters;
            double total = 0;
            for (const QString &name : names) {
                const QString output =
                    folder.filePath(movienames::splitStem(name) + outputSuffix(settings, camera));
                QCOMPARE(runFfmpeg(splitArguments(settings, folder.filePath(name), camera, output)),
                         QByteArray());
                const std::optional<double> duration = mediaDurationSeconds(output);
                QVERIFY(duration);
                // The chapters come from the movie's own header, which must say what
                // ffprobe (and the concat demuxer) say.
                QFile file(output);
                QVERIFY(file.open(QIODevice::ReadOnly));
                QCOMPARE(mp4file::durationSeconds(file.handle()),
                         settings.mp4 ? duration : std::nullopt);
                outputs << output;
                clipChapters << trip::Chapter{name, *duration};
                total += *duration;
            }
            const QString list = folder.filePath("clips.txt");
            QVERIFY(writeFile(list, trip::concatList(outputs)));
            const QString metadata = chapters ? folder.filePath("chapters.ffmeta") : QString();
            QVERIFY(!chapters || writeFile(metadata, trip::chapterMetadata(clipChapters)));
            const QString joined =
                folder.filePath(trip::baseName(Start, 0) + outputSuffix(settings, camera));

            QCOMPARE(runFfmpeg(joinArguments(settings, list, metadata, joined)), QByteArray());

            const double duration = mediaDurationSeconds(joined).value_or(0);
            QVERIFY2(qAbs(duration - total) <= tolerance,
                     qPrintable(QString("%1 s of %2 s").arg(duration).arg(total)));
            QCOMPARE(probeStreams(joined).filter("video:").size(), 1);
            QCOMPARE(probeStreams(joined).filter("audio:"), QStringList{audio});
            const QList<AudioStream> sound = probeAudioStreams(joined);
            QCOMPARE(sound.first().sampleRate, 8000);
            QCOMPARE(sound.first().channels, 1);
            QVERIFY2(sound.first().seconds >= total - tolerance,
                     qPrintable(QString::number(sound.first().seconds)));
            QCOMPARE(decodingErrors(joined), QByteArray());
            const QList<double> offsets = avSyncOffsets(joined);
            QCOMPARE(offsets.size(), 2 * names.size());
            for (const double offset : offsets)
                QVERIFY2(qAbs(offset) <= 0.010, qPrintable(QString::number(offset)));
            const QList<ProbedChapter> written = probeChapters(joined);
            QCOMPARE(written.size(), chapters ? names.size() : 0);
            double start = 0;
            for (qsizetype i = 0; i < written.size(); ++i) {
                QCOMPARE(written[i].title, names[i]);
                QVERIFY(qAbs(written[i].start - start) < 0.001);
                start += clipChapters[i].seconds;
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestTrips)
#include "tst_trips.moc"
