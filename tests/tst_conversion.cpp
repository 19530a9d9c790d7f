// Batches of movies split by real ffmpeg jobs: outputs, dates, progress, logs and
// the one message that ends a batch.
#include "aviwriter.h"
#include "batch.h"
#include "ffmpegcommand.h"
#include "globals.h"
#include "mainwindow.h"
#include "testsupport.h"
#include "trip.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <csignal>
#include <cstring>
#include <sys/prctl.h>
#include <sys/stat.h>

using namespace testsupport;

namespace {

constexpr qint32 driveStart = 1342256765; // 2012-07-14 09:06:05 UTC
// Writes a row's movies, plants its fault and returns the movies of its batch.
using Planter = std::function<QStringList()>;
// Closes the window during a batch, one way or another.
using Closer = std::function<void(MainWindow &)>;
// Changes the output folder (first argument) as others could, with files of the movies'
// folder (second).
using Tamper = std::function<void(const QString &, const QString &)>;
constexpr int batchTimeout = 120000;

const QString completeText = "Conversion Complete!";
const QString OutputFolder = "<output folder>"; // in expected texts of rows
const QString seeLogs = "\nSee front_log.txt and rear_log.txt in the output folder.";
QString errorsText(int failed, int total, const QString &firstFailure,
                   const QString &ending = seeLogs)
{
    return QString("Conversion finished with errors: %1 of %2 jobs failed.\nFirst failure: %3")
               .arg(failed)
               .arg(total)
               .arg(firstFailure) +
           ending;
}

// What strace logged of one thread: the partial files it renamed into place, and those
// renamed before they were flushed or whose folder was not flushed after.
struct RenameTrace
{
    QStringList renamed; // final names
    QStringList unsafe;
};

RenameTrace readRenameTrace(const QString &log)
{
    static const QRegularExpression opened("^openat\\(AT_FDCWD, \"([^\"]+)\", .*\\)\\s+= (\\d+)$");
    static const QRegularExpression flushed("^fsync\\((\\d+)\\)\\s+= 0$");
    static const QRegularExpression renamed("^rename(?:at2?)?\\((?:AT_FDCWD, )?\"([^\"]+)\", "
                                            "(?:AT_FDCWD, )?\"([^\"]+)\".*\\)\\s+= 0$");
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly))
        return {{}, {"cannot read " + log}};
    RenameTrace trace;
    QHash<QString, QString> openFiles; // path by descriptor
    QSet<QString> onDisk;
    QStringList folderNotFlushed; // renamed files whose folder has not been flushed since
    for (const QString &line : QString::fromUtf8(file.readAll()).split('\n')) {
        const auto opening = opened.match(line);
        const auto flushing = flushed.match(line);
        const auto renaming = renamed.match(line);
        if (opening.hasMatch()) {
            openFiles[opening.captured(2)] = opening.captured(1);
        } else if (flushing.hasMatch()) {
            const QString path = openFiles.value(flushing.captured(1));
            onDisk.insert(path);
            folderNotFlushed.removeIf(
                [&path](const QString &file) { return QFileInfo(file).path() == path; });
        } else if (renaming.hasMatch() && renaming.captured(1).contains(".partial-")) {
            trace.renamed << QFileInfo(renaming.captured(2)).fileName();
            if (!onDisk.contains(renaming.captured(1)))
                trace.unsafe << renaming.captured(1) + ": renamed before it was flushed";
            folderNotFlushed << renaming.captured(2);
        }
    }
    for (const QString &path : folderNotFlushed)
        trace.unsafe << path + ": its folder was not flushed after the rename";
    return trace;
}

// Whether every thread of this process is traced.
bool traced()
{
    for (const QString &thread :
         QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status("/proc/self/task/" + thread + "/status");
        if (!status.open(QIODevice::ReadOnly) || status.readAll().contains("TracerPid:\t0\n"))
            return false;
    }
    return true;
}

} // namespace

Q_DECLARE_METATYPE(Planter)
Q_DECLARE_METATYPE(Closer)
Q_DECLARE_METATYPE(Tamper)
Q_DECLARE_METATYPE(std::function<void(QProgressDialog &)>)

class TestConversion : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    QString movies; // folder of the input movies
    QString output; // folder of the outputs

    QString writeMovie(const QString &name, testavi::MovieRecipe recipe = {})
    {
        if (recipe.samples.isEmpty())
            recipe.samples = testavi::drive(driveStart, 3, 2);
        const QString path = movies + '/' + name;
        if (!testavi::writeMovie(path, recipe))
            qFatal("could not write %s", qPrintable(path));
        return path;
    }

    // Clips of one drive of `seconds` each, one after the other, the first at the drive's
    // start; the recipe gives the rest.
    QStringList writeClips(const QStringList &names, testavi::MovieRecipe recipe)
    {
        QStringList paths;
        for (int i = 0; i < names.size(); ++i) {
            const int seconds = int(recipe.seconds);
            recipe.samples = testavi::drive(driveStart + seconds * i, seconds, 2);
            paths << writeMovie(names[i], recipe);
        }
        return paths;
    }

    // Starts a batch as the selection does: movies into the table, form into the record,
    // then the driver, whose folder dialog is answered with the output folder.
    void startBatch(MainWindow &window, const QStringList &paths)
    {
        QVERIFY(startWindowBatch(window, paths, output));
    }

    static void waitForBatchEnd(MainWindow &window, const MessageBoxRecorder &boxes)
    {
        QTRY_VERIFY_WITH_TIMEOUT(!window.conversionRunning() && !boxes.texts.isEmpty(),
                                 batchTimeout);
    }

    static void setForm(MainWindow &window, bool avi, const QString &bitrate = {},
                        const QString &offset = "2")
    {
        window.findChild<QRadioButton *>(avi ? "aviRadio" : "mp4Radio")->click();
        window.findChild<QRadioButton *>(bitrate.isEmpty() ? "autoRadio" : "manualRadio")->click();
        if (!bitrate.isEmpty())
            window.findChild<QLineEdit *>("bitrateEdit")->setText(bitrate);
        window.findChild<QLineEdit *>("timezoneOffset")->setText(offset);
    }

    static constexpr const char *EarlierContent = "earlier";
    // A file of an earlier conversion (or of the user), dated like the drive.
    static bool writeEarlierFile(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(EarlierContent) != 7)
            return false;
        file.close();
        return setTimes(path, driveStart, driveStart);
    }

    // Files of a folder as `ls -F` shows them: a link is marked with an '@'.
    static QStringList filesMarkedIn(const QString &folder)
    {
        QStringList files = filesIn(folder);
        for (QString &file : files)
            if (QFileInfo(folder + '/' + file).isSymLink())
                file += '@';
        return files;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(!systemTool("ffmpeg").isEmpty());
        QVERIFY(!systemTool("ffprobe").isEmpty());
    }

    void init()
    {
        resetProgramState();
        QVERIFY(work.isValid());
        makeTestFolders(work.path(), movies, output);
        QVERIFY(linkFfmpegBesideApp());
    }

    void cleanup() { QTRY_VERIFY(!QApplication::activeModalWidget()); }

    void splitsFrontAndRearWithAudio_data()
    {
        QTest::addColumn<bool>("avi");
        QTest::addColumn<testavi::TextStream>("layout");
        QTest::addColumn<testavi::RecorderBytes>("recorderBytes");
        QTest::addColumn<bool>("place");        // "Place in MP4 movies"
        QTest::addColumn<QString>("codec");     // of the outputs' video, as ffprobe names it
        QTest::addColumn<QStringList>("dates"); // where ExifTool finds the drive's start
        const auto tag = testavi::RecorderBytes::Tag;
        const auto mp3Like = testavi::RecorderBytes::MpegAudioHeaders;
        const auto text02 = testavi::TextStream::Stream02;
        const auto text03 = testavi::TextStream::Stream03;
        const QStringList mp4Dates = {"QuickTime:CreateDate",   "QuickTime:ModifyDate",
                                      "Track1:TrackCreateDate", "Track1:MediaCreateDate",
                                      "Track2:TrackModifyDate", "Track2:MediaModifyDate"};
        const QStringList aviDates = {"RIFF:DateCreated"};
        QTest::newRow("mp4, text stream 02")
            << false << text02 << tag << true << "mpeg4" << mp4Dates;
        QTest::newRow("mp4, text stream 03, no place")
            << false << text03 << tag << false << "mpeg4" << mp4Dates;
        QTest::newRow("avi, text stream 02")
            << true << text02 << tag << true << "mjpeg" << aviDates;
        QTest::newRow("avi, text stream 03")
            << true << text03 << tag << true << "mjpeg" << aviDates;
        QTest::newRow("mp4, text stream 02, mp3-like telemetry")
            << false << text02 << mp3Like << true << "mpeg4" << mp4Dates;
        QTest::newRow("mp4, text stream 03, mp3-like telemetry")
            << false << text03 << mp3Like << true << "mpeg4" << mp4Dates;
        QTest::newRow("avi, text stream 02, mp3-like telemetry")
            << true << text02 << mp3Like << true << "mjpeg" << aviDates;
        QTest::newRow("avi, text stream 03, mp3-like telemetry")
            << true << text03 << mp3Like << true << "mjpeg" << aviDates;
        QTest::newRow("mp4 H.264, text stream 02")
            << false << text02 << tag << true << "h264" << mp4Dates;
        QTest::newRow("mp4 H.264, text stream 03, mp3-like telemetry, no place")
            << false << text03 << mp3Like << false << "h264" << mp4Dates;
    }
    void splitsFrontAndRearWithAudio()
    {
        QFETCH(bool, avi);
        QFETCH(testavi::TextStream, layout);
        QFETCH(testavi::RecorderBytes, recorderBytes);
        QFETCH(bool, place);
        QFETCH(QString, codec);
        QFETCH(QStringList, dates);
        testavi::MovieRecipe recipe;
        recipe.textStream = layout;
        recipe.recorderBytes = recorderBytes;
        recipe.audioSeconds = recipe.seconds - 0.05; // a recorder's sound ends a little early
        recipe.markers = {0.3, 1.5};
        const QStringList paths = {writeMovie("FILE0001.AVI", recipe),
                                   writeMovie("FILE0002.avi", recipe)};
        // The movie is what the row says: ffmpeg takes mp3-like telemetry for audio.
        const int textIndex = layout == testavi::TextStream::Stream02 ? 2 : 3;
        const bool mp3Like = recorderBytes == testavi::RecorderBytes::MpegAudioHeaders;
        QCOMPARE(probeStreams(paths[0]).value(textIndex).section(':', 0, 0),
                 mp3Like ? "audio" : "subtitle");

        MessageBoxRecorder boxes;
        MainWindow window;
        window.show();
        setForm(window, avi);
        window.findChild<QCheckBox *>("placeInMoviesCheck")->setChecked(place);
        window.findChild<QRadioButton *>(codec == "h264" ? "h264Radio" : "mpeg4Radio")->click();
        startBatch(window, paths);
        waitForBatchEnd(window, boxes);
        QCOMPARE(boxes.texts, QStringList{completeText});
        QCOMPARE(boxes.titles, QStringList{"Converter"});
        // The drive's first position, in MP4 movies only, where the option asks for it.
        const bool placed = place && !avi;

        // ffmpeg's AAC for MP4; the recorder's PCM kept in AVI.
        const QString audio = avi ? "audio:pcm_s16le" : "audio:aac";
        const QString suffix = avi ? ".avi" : ".mp4";
        const qint64 lastRecord = driveStart + 2;
        for (const QString name : {"FILE0001", "FILE0002"}) {
            const QString front = output + '/' + name + "F" + suffix;
            const QString rear = output + '/' + name + "R" + suffix;
            QCOMPARE(probeStreams(front), QStringList({"video:" + codec + ":96x64", audio}));
            QCOMPARE(probeStreams(rear), QStringList({"video:" + codec + ":48x32", audio}));
            for (const QString &split : {front, rear}) {
                // The recorder's sound: 8 kHz mono PCM, as long as the movie.
                const QList<AudioStream> sound = probeAudioStreams(split);
                QCOMPARE(sound.size(), 1);
                QCOMPARE(sound[0].sampleRate, 8000);
                QCOMPARE(sound[0].channels, 1);
                QVERIFY2(qAbs(sound[0].seconds - recipe.seconds) <= 1.0,
                         qPrintable(QString::number(sound[0].seconds)));
                // In step with the picture.
                const QList<double> offsets = avSyncOffsets(split);
                QCOMPARE(offsets.size(), recipe.markers.size());
                for (const double offset : offsets)
                    QVERIFY2(qAbs(offset) <= 0.010, qPrintable(QString::number(offset)));
                // The drive's start inside the movie, in UTC, and its place where wanted.
                const QMap<QString, QString> tags = exifTags(split);
                for (const QString &date : dates)
                    QCOMPARE(tags.value(date), "2012:07:14 09:06:05");
                QCOMPARE(tags.value("Composite:GPSLatitude"), placed ? "+33.875000" : "");
                QCOMPARE(tags.value("Composite:GPSLongitude"), placed ? "+151.200000" : "");
                QCOMPARE(tags.contains("UserData:LocationInformation"), placed);
                // What a browser or phone plays, its index first so that it plays as it loads.
                if (codec == "h264") {
                    QCOMPARE(probeVideoProfile(split), "High yuv420p");
                    QCOMPARE(topLevelBoxes(split).mid(0, 2), QStringList({"ftyp", "moov"}));
                }
            }
            // The drive's last second plus the 2-hour offset.
            QCOMPARE(modificationTime(front), lastRecord + 7200);
            QCOMPARE(modificationTime(rear), lastRecord + 7200);
            QCOMPARE(modificationTime(output + '/' + name + ".gps"), lastRecord + 7200);
            QCOMPARE(modificationTime(output + '/' + name + ".gpx"), lastRecord + 7200);
            const QString movie = QDir::toNativeSeparators(movies + '/' + name);
            QVERIFY(readFile(output + "/front_log.txt").contains(movie));
            QVERIFY(readFile(output + "/rear_log.txt").contains(movie));
        }
        QCOMPARE(readFile(output + "/front_log.txt").count(": exit code 0 ====="), 2);
    }

    // With the option on, every movie also gets one movie that shows what happened: the front
    // camera (red here) with the rear one (blue) inset top right, the records' text on a
    // band at the bottom, the sound, in H.264 whatever the format, dated like the others.
    // The drive movie is a job of its own: it alone fails when the rear camera's pictures
    // cannot be decoded (the AVI rear job only copies them).
    void makesADriveMovie_data()
    {
        QTest::addColumn<bool>("option"); // "Drive movie: both cameras with time, ..."
        QTest::addColumn<bool>("avi");
        QTest::addColumn<bool>("records");
        QTest::addColumn<bool>("brokenRear");
        QTest::addColumn<QString>("message");
        QTest::newRow("mp4") << true << false << true << false << completeText;
        QTest::newRow("avi, still H.264 in MP4") << true << true << true << false << completeText;
        QTest::newRow("no records, no text") << true << false << false << false << completeText;
        QTest::newRow("option off") << false << false << true << false << completeText;
        QTest::newRow("broken rear pictures, avi")
            << true << true << true << true
            << "Conversion finished with errors: 1 of 3 jobs failed.\nFirst failure: a.avi "
               "(drive movie): exit code 1: Error marking filters as finished"
               "\nSee drive_log.txt in the output folder.";
    }
    void makesADriveMovie()
    {
        QFETCH(bool, option);
        QFETCH(bool, avi);
        QFETCH(bool, records);
        QFETCH(bool, brokenRear);
        QFETCH(QString, message);
        testavi::MovieRecipe recipe;
        recipe.frontSize = {192, 128};
        recipe.rearSize = {96, 64};
        recipe.pictureSource = "color=c=red:size=%1x%2:rate=1";
        recipe.rearPictureSource = "color=c=blue:size=%1x%2:rate=1";
        recipe.brokenRear = brokenRear;
        recipe.samples = records ? testavi::drive(driveStart, 2, 2)
                                 : QList<testavi::TelemetrySample>{testavi::TelemetrySample{}};
        const QString movie = writeMovie("a.avi", recipe);
        MessageBoxRecorder boxes;
        MainWindow window;
        setForm(window, avi);
        window.findChild<QCheckBox *>("driveMovieCheck")->setChecked(option);
        startBatch(window, {movie});
        waitForBatchEnd(window, boxes);
        QCOMPARE(boxes.texts, QStringList{message});

        const QString drive = output + "/aFR.mp4";
        QCOMPARE(QFileInfo::exists(output + (avi ? "/aR.avi" : "/aR.mp4")), true);
        QCOMPARE(QFileInfo::exists(drive), option && !brokenRear);
        if (!QFileInfo::exists(drive))
            return;
        QCOMPARE(probeStreams(drive), QStringList({"video:h264:192x128", "audio:aac"}));
        QVERIFY(qAbs(probeAudioStreams(drive).value(0).seconds - recipe.seconds) <= 0.2);
        QCOMPARE(probeVideoProfile(drive), "High yuv420p");
        if (records) {
            QCOMPARE(modificationTime(drive), qint64(driveStart + 1 + 7200));
            QCOMPARE(exifTags(drive).value("QuickTime:CreateDate"), "2012:07:14 09:06:05");
        }
        const QImage picture = frameAt(drive, 1.5);
        QVERIFY(!picture.isNull());
        const auto near = [](QRgb pixel, QColor colour) {
            return qAbs(qRed(pixel) - colour.red()) + qAbs(qGreen(pixel) - colour.green()) +
                       qAbs(qBlue(pixel) - colour.blue()) <
                   90;
        };
        // The inset: a third of the width, in the top right corner.
        QVERIFY(near(picture.pixel(192 - 4 - 32, 4 + 10), Qt::blue));
        QVERIFY(near(picture.pixel(192 - 4 - 60, 4 + 10), Qt::blue));
        QVERIFY(near(picture.pixel(192 - 4 - 70, 4 + 10), Qt::red));
        QVERIFY(near(picture.pixel(40, 60), Qt::red));
        // The band at the bottom: darker than the front's red where the text is.
        int darker = 0;
        for (int x = 0; x < 192; ++x)
            darker += !near(picture.pixel(x, 124), Qt::red);
        QVERIFY2((darker > 96) == records, qPrintable(QString::number(darker)));
    }

    // Clips that continue each other become one trip per camera with one track; a clip
    // after a long break, or one whose conversion failed, joins nothing. A trip is made only
    // of what the batch wrote: `tamper` runs once the first three clips are in place and
    // before the trips are planned (the last movie's jobs wait for it), as whoever may write
    // the output folder could.
    void joinsConsecutiveClipsIntoTrips_data()
    {
        QTest::addColumn<bool>("avi");
        QTest::addColumn<bool>("join");       // "Join consecutive clips into trips"
        QTest::addColumn<bool>("drive");      // "Drive movie: both cameras ..."
        QTest::addColumn<QString>("second");  // the second clip's name
        QTest::addColumn<QString>("failing"); // a shell pattern: the jobs it matches fail
        QTest::addColumn<Tamper>("tamper");
        QTest::addColumn<QStringList>("tripClips"); // whose tracks the trip's is; empty: no trip
        QTest::addColumn<QString>("message");
        const Tamper none = [](const QString &, const QString &) {};
        const QString joined = completeText + "\n1 trip joined.";
        const QStringList abc{"a", "b", "c"};
        QTest::newRow("mp4, three clips and one after 20 minutes")
            << false << true << false << "b.avi"
            << "" << none << abc << joined;
        QTest::newRow("avi, which holds no chapters") << true << true << false << "b.avi"
                                                      << "" << none << abc << joined;
        QTest::newRow("avi, drive movies joined too, with chapters")
            << true << true << true << "b.avi"
            << "" << none << abc << joined;
        QTest::newRow("option off") << false << false << false << "b.avi"
                                    << "" << none << QStringList{} << completeText;
        QTest::newRow("failed middle clip")
            << false << true << false << "b.avi"
            << "*/.b*" << none << QStringList{}
            << "Conversion finished with errors: 2 of 8 jobs failed.\nFirst failure: b.avi "
               "(front): exit code 1: " +
                   seeLogs;
        // The join reads the clips through open files, not by name: any name goes.
        QTest::newRow("a clip named with a line feed")
            << false << true << false << "b\nline.avi"
            << "" << none << QStringList{"a", "b\nline", "c"} << joined;
        QTest::newRow("link at a clip's track")
            << false << true << false << "b.avi"
            << "" << Tamper([](const QString &output, const QString &movies) {
                   QVERIFY(QFile::remove(output + "/a.gps"));
                   QVERIFY(QFile::link(movies + "/private.txt", output + "/a.gps"));
               })
            << abc << joined;
        QTest::newRow("link at a clip's movie")
            << false << true << false << "b.avi"
            << "" << Tamper([](const QString &output, const QString &movies) {
                   QVERIFY(QFile::copy(output + "/cF.mp4", movies + "/private.mp4"));
                   QVERIFY(QFile::remove(output + "/aF.mp4"));
                   QVERIFY(QFile::link(movies + "/private.mp4", output + "/aF.mp4"));
               })
            << QStringList{"b", "c"}
            << "Conversion finished with errors: 1 clip was left out of its trip.\nFirst "
               "failure: a.avi (trip): aF.mp4: it was replaced by a link after it was written\n1 "
               "trip "
               "joined." +
                   seeLogs;
    }
    void joinsConsecutiveClipsIntoTrips()
    {
        QFETCH(bool, avi);
        QFETCH(bool, join);
        QFETCH(bool, drive);
        QFETCH(QString, second);
        QFETCH(QString, failing);
        QFETCH(Tamper, tamper);
        QFETCH(QStringList, tripClips);
        QFETCH(QString, message);
        // The last movie's jobs wait until the test lets them go.
        const QString go = work.filePath("go");
        QFile::remove(go);
        QVERIFY(replaceFfmpegBesideApp(
            QString("#!/bin/sh\nfor last; do :; done\n"
                    "case \"$last\" in */.d*) while [ ! -e '%1' ]; "
                    "do sleep 0.05; done;; esac\n"
                    "case \"$last\" in %2) exit 1;; esac\n"
                    "exec '%3' \"$@\"\n")
                .arg(go, failing.isEmpty() ? "''" : failing, systemTool("ffmpeg"))
                .toUtf8(),
            true));
        QVERIFY(writeEarlierFile(movies + "/private.txt"));
        testavi::MovieRecipe recipe;
        recipe.seconds = 3;
        QStringList paths = writeClips({"a.avi", second, "c.avi"}, recipe);
        recipe.samples = testavi::drive(driveStart + 1200, 3, 2); // 20 minutes later
        paths << writeMovie("d.avi", recipe);
        const QString suffix = avi ? ".avi" : ".mp4";
        MessageBoxRecorder boxes;
        MainWindow window;
        setForm(window, avi);
        window.findChild<QCheckBox *>("joinTripsCheck")->setChecked(join);
        window.findChild<QCheckBox *>("driveMovieCheck")->setChecked(drive);
        startBatch(window, paths);
        // A movie's files are put in place together, its GPX last.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(output + "/c.gpx"), batchTimeout);
        QMap<QString, QString> tracks; // as the batch wrote them
        for (const QString &clip : tripClips)
            tracks[clip] = readFile(output + '/' + clip + ".gps");
        tamper(output, movies);
        QVERIFY(writeFile(go, {}));
        waitForBatchEnd(window, boxes);
        QCOMPARE(boxes.texts, QStringList{message});

        for (const QString &file : filesIn(output))
            QVERIFY2(QFileInfo(output + '/' + file).isSymLink() ||
                         !readFile(output + '/' + file).contains(EarlierContent),
                     qPrintable(file));
        QCOMPARE(filesIn(output).filter(QRegularExpression("^\\.")), QStringList{});
        QCOMPARE(filesIn(output).filter("TRIP").size(), tripClips.isEmpty() ? 0 : 4 + drive);
        if (tripClips.isEmpty())
            return;
        // The trip starts with its first clip, at UTC+2.
        const qint32 first = tripClips.first() == "a" ? driveStart : driveStart + 3;
        const QString trip = output + '/' + trip::baseName(first, 7200);
        QString track;
        QStringList titles;
        for (const QString &clip : tripClips) {
            track += tracks[clip];
            titles << clip + ".avi";
        }
        QCOMPARE(readFile(trip + ".gps"), track);
        QCOMPARE(track.count("$GPRMC"), 3 * int(tripClips.size()));
        QCOMPARE(readFile(trip + ".gpx").count("<trkpt"), 3 * int(tripClips.size()));
        QVERIFY(readFile(output + "/trip_log.txt").contains(": exit code 0 ====="));
        QStringList sides{"F", "R"};
        if (drive)
            sides << "FR";
        for (const QString &side : sides) {
            // The drive movies are MP4 whatever the clips' format.
            const QString sideSuffix = side == "FR" ? ".mp4" : suffix;
            const QString movie = trip + side + sideSuffix;
            QCOMPARE(decodingErrors(movie), QByteArray());
            double clips = 0;
            for (const QString &clip : tripClips)
                clips += mediaDurationSeconds(output + '/' + clip + side + sideSuffix).value_or(0);
            QVERIFY(qAbs(mediaDurationSeconds(movie).value_or(0) - clips) <= 0.3);
            QCOMPARE(probeAudioStreams(movie).size(), 1);
            QStringList chapters;
            for (const ProbedChapter &chapter : probeChapters(movie))
                chapters << chapter.title;
            QCOMPARE(chapters, sideSuffix == ".avi" ? QStringList{} : titles);
            QCOMPARE(modificationTime(movie), qint64(driveStart + 8 + 7200));
            QCOMPARE(exifTags(movie).value(sideSuffix == ".avi" ? "RIFF:DateCreated"
                                                                : "QuickTime:CreateDate"),
                     QDateTime::fromSecsSinceEpoch(first, Qt::UTC).toString("yyyy:MM:dd HH:mm:ss"));
        }
    }

    // With "Skip movies converted before", a second batch converts only what changed: the
    // movies whose outputs are not all as the first batch made them, with these settings,
    // and the trips they are in. Whatever damages the record, everything converts again.
    void skipsMoviesConvertedBefore_data()
    {
        QTest::addColumn<Tamper>("change");         // between the two batches
        QTest::addColumn<QString>("offset");        // of the second batch
        QTest::addColumn<bool>("option");           // in the second batch
        QTest::addColumn<QStringList>("converted"); // by the second batch
        QTest::addColumn<QString>("message");
        const Tamper none = [](const QString &, const QString &) {};
        const QStringList all{"a", "b", "c"};
        const QString joined = completeText + "\n1 trip joined.";
        QTest::newRow("nothing changed")
            << none << "2" << true << QStringList{}
            << completeText + "\n3 movies converted before were skipped.";
        QTest::newRow("a movie touched")
            << Tamper([](const QString &, const QString &movies) {
                   QVERIFY(setTimes(movies + "/b.avi", driveStart, driveStart));
               })
            << "2" << true << QStringList{"b"}
            << completeText + "\n2 movies converted before were skipped.\n1 trip joined.";
        QTest::newRow("an output deleted")
            << Tamper([](const QString &output, const QString &) {
                   QVERIFY(QFile::remove(output + "/aR.mp4"));
               })
            << "2" << true << QStringList{"a"}
            << completeText + "\n2 movies converted before were skipped.\n1 trip joined.";
        QTest::newRow("an output replaced by a link to its copy")
            << Tamper([](const QString &output, const QString &movies) {
                   QVERIFY(QFile::copy(output + "/cF.mp4", movies + "/copy.mp4"));
                   QVERIFY(QFile::remove(output + "/cF.mp4"));
                   QVERIFY(QFile::link(movies + "/copy.mp4", output + "/cF.mp4"));
               })
            << "2" << true << QStringList{"c"}
            << completeText + "\n2 movies converted before were skipped.\n1 trip joined.";
        QTest::newRow("the offset changed") << none << "3" << true << all << joined;
        QTest::newRow("the record damaged") << Tamper([](const QString &output, const QString &) {
            QVERIFY(writeFile(output + "/.bq4400-converted.json", "{\"content\": 7"));
        }) << "2" << true << all << joined;
        QTest::newRow("the record edited by hand")
            << Tamper([](const QString &output, const QString &) {
                   const QString record = output + "/.bq4400-converted.json";
                   QFile file(record);
                   QVERIFY(file.open(QIODevice::ReadOnly));
                   const QByteArray edited = file.readAll().replace("format=mp4", "format=avi");
                   file.close();
                   QVERIFY(writeFile(record, edited));
               })
            << "2" << true << all << joined;
        QTest::newRow("option off") << none << "2" << false << all << joined;
    }
    void skipsMoviesConvertedBefore()
    {
        QFETCH(Tamper, change);
        QFETCH(QString, offset);
        QFETCH(bool, option);
        QFETCH(QStringList, converted);
        QFETCH(QString, message);
        testavi::MovieRecipe recipe;
        recipe.seconds = 3;
        recipe.decodableVideo = false;
        const QStringList paths = writeClips({"a.avi", "b.avi", "c.avi"}, recipe);
        QVERIFY(replaceFfmpegBesideApp(argumentRecordingFfmpeg(), true));
        MessageBoxRecorder boxes;
        MainWindow window;
        setForm(window, false);
        window.findChild<QCheckBox *>("joinTripsCheck")->setChecked(true);
        window.findChild<QCheckBox *>("skipConvertedCheck")->setChecked(true);
        startBatch(window, paths);
        waitForBatchEnd(window, boxes);
        QCOMPARE(boxes.texts, QStringList{completeText + "\n1 trip joined."});
        change(output, movies);
        QMap<QString, QString> before; // content and date of what the second batch keeps
        for (const QString &file : filesIn(output))
            before[file] = readFile(output + '/' + file) + ' ' +
                           QString::number(modificationTime(output + '/' + file));

        QVERIFY(replaceFfmpegBesideApp(argumentRecordingFfmpeg(), true)); // nothing recorded
        setForm(window, false, {}, offset);
        window.findChild<QCheckBox *>("skipConvertedCheck")->setChecked(option);
        startBatch(window, paths);
        QTRY_VERIFY_WITH_TIMEOUT(!window.conversionRunning() && boxes.texts.size() == 2,
                                 batchTimeout);

        QCOMPARE(boxes.texts.last(), message);
        const QStringList all{"a", "b", "c"};
        QStringList ran; // the movies whose jobs ran, front and rear
        for (const QString &clip : all)
            if (!recordedFfmpegArguments(output + '/' + clip + "F.mp4").isEmpty() &&
                !recordedFfmpegArguments(output + '/' + clip + "R.mp4").isEmpty())
                ran << clip;
        QCOMPARE(ran, converted);
        for (const QString &clip : all)
            if (!converted.contains(clip))
                for (const QString &file : {clip + "F.mp4", clip + ".gps", clip + ".gpx"})
                    QCOMPARE(readFile(output + '/' + file) + ' ' +
                                 QString::number(modificationTime(output + '/' + file)),
                             before.value(file));
        // A trip across clips skipped and converted is the whole drive.
        const QString trip = output + '/' + trip::baseName(driveStart, offset.toInt() * 3600);
        QCOMPARE(readFile(trip + ".gps"), readFile(output + "/a.gps") +
                                              readFile(output + "/b.gps") +
                                              readFile(output + "/c.gps"));
        QCOMPARE(readFile(trip + ".gpx").count("<trkpt"), 9);
    }

    // A damaged recording's G values are any float: its track still holds two whole lines a
    // second, which GPSBabel reads point for point.
    void damagedGValuesKeepTracksWhole_data()
    {
        QTest::addColumn<bool>("avi");
        QTest::newRow("mp4") << false;
        QTest::newRow("avi") << true;
    }
    void damagedGValuesKeepTracksWhole()
    {
        QFETCH(bool, avi);
        QVERIFY(replaceFfmpegBesideApp(argumentRecordingFfmpeg(), true));
        testavi::MovieRecipe recipe;
        recipe.decodableVideo = false;
        recipe.samples = testavi::drive(driveStart, 20);
        QRandomGenerator bits(20261208);
        for (testavi::TelemetrySample &sample : recipe.samples)
            for (float *g : {&sample.gX, &sample.gY, &sample.gZ})
                do {
                    const quint32 raw = bits.generate();
                    std::memcpy(g, &raw, sizeof raw);
                } while (!std::isfinite(*g));
        const QString movie = writeMovie("a.avi", recipe);
        MessageBoxRecorder boxes;
        MainWindow window;
        setForm(window, avi);
        startBatch(window, {movie});
        waitForBatchEnd(window, boxes);
        QCOMPARE(boxes.texts, QStringList{completeText});
        const QString track = readFile(output + "/a.gps");
        QCOMPARE(track.count('\n'), 40);
        QCOMPARE(track.count("\n$GSENSOR,"), 20);
        QProcess babel;
        babel.start(systemTool("gpsbabel"),
                    {"-i", "nmea", "-f", output + "/a.gps", "-o", "gpx", "-F", "-"});
        QVERIFY(babel.waitForFinished(60000) && babel.exitCode() == 0);
        QCOMPARE(babel.readAllStandardOutput().count("<trkpt "), 20);
    }

    void progressFollowsFinishedJobs()
    {
        QVERIFY(replaceFfmpegBesideApp(argumentRecordingFfmpeg(0.2), true));
        const QStringList paths = {writeMovie("a.avi"), writeMovie("b.avi"), writeMovie("c.avi")};
        MessageBoxRecorder boxes;
        MainWindow window;
        QProgressDialog *dialog = progressWindow();
        QVERIFY(dialog);
        QList<int> values;
        QStringList labels;
        connect(dialog->findChild<QProgressBar *>(), &QProgressBar::valueChanged, this,
                [&](int value) {
                    values << value;
                    labels << dialog->labelText();
                });
        startBatch(window, paths);
        QCOMPARE(dialog->labelText(), "Processing 3 movies...");
        QCOMPARE(dialog->maximum(), 6);
        QCOMPARE(dialog->windowModality(), Qt::WindowModal);
        QCOMPARE(dialog->windowTitle(), "BRIGHTQUILL 4400 Converter");
        waitForBatchEnd(window, boxes);
        // Starts at 1, then each finished job sets the number of jobs finished.
        QCOMPARE(values, QList<int>({1, 2, 3, 4, 5, 6}));
        // Which movie is being converted, and once one has finished, the time left.
        QCOMPARE(labels.first(), "Processing 3 movies...");
        QCOMPARE(labels.last(),
                 "Processing 3 movies...\nMovie 3 of 3: c.avi\nAbout less than a minute left");
        QCOMPARE(boxes.texts, QStringList{completeText});
        QVERIFY(!dialog->isVisible());
    }

    // Cancelling a batch ends it as closing does, but the window stays: what was finished
    // stays, nothing half written is left, and the next batch runs.
    void cancelKeepsWhatIsDone_data()
    {
        QTest::addColumn<std::function<void(QProgressDialog &)>>("cancel");
        QTest::newRow("Cancel button")
            << std::function<void(QProgressDialog &)>([](QProgressDialog &dialog) {
                   QTest::mouseClick(dialog.findChild<QPushButton *>(), Qt::LeftButton);
               });
        QTest::newRow("Escape") << std::function<void(QProgressDialog &)>(
            [](QProgressDialog &dialog) {
                dialog.activateWindow(); // where the user's keys go
                QVERIFY(QTest::qWaitForWindowActive(&dialog));
                QTest::keyClick(&dialog, Qt::Key_Escape);
            });
    }
    void cancelKeepsWhatIsDone()
    {
        QFETCH(std::function<void(QProgressDialog &)>, cancel);
        // The second movie's jobs hang until they are killed.
        QVERIFY(replaceFfmpegBesideApp("#!/bin/sh\n"
                                       "for last; do :; done\n"
                                       "case \"$last\" in */.b*) printf half > \"$last\"; "
                                       "exec sleep 60;; esac\n"
                                       "echo output > \"$last\"\n",
                                       true));
        const QStringList paths = {writeMovie("a.avi"), writeMovie("b.avi")};
        MessageBoxRecorder boxes;
        MainWindow window;
        window.show();
        startBatch(window, paths);
        QTRY_VERIFY_WITH_TIMEOUT(
            filesIn(output).filter(QRegularExpression("^\\.b[FR]\\.")).size() == 2 &&
                QFileInfo::exists(output + "/aR.mp4"),
            20000);
        QProgressDialog *dialog = progressWindow();
        dialog->show(); // it shows itself only after a few seconds
        const qint64 dated = modificationTime(output + "/aF.mp4");
        cancel(*dialog);
        QTRY_COMPARE(boxes.texts, QStringList{"Conversion cancelled: 1 of 2 movies converted."});
        QVERIFY(window.isVisible() && !window.conversionRunning());
        QCOMPARE(childProcesses(), QList<int>{});
        // The movie whose jobs did not finish keeps none of its files, its tracks neither.
        QCOMPARE(filesIn(output), QStringList({"a.gps", "a.gpx", "aF.mp4", "aR.mp4",
                                               "front_log.txt", "rear_log.txt"}));
        QCOMPARE(modificationTime(output + "/aF.mp4"), dated);

        QVERIFY(replaceFfmpegBesideApp(argumentRecordingFfmpeg(), true));
        startBatch(window, paths);
        waitForBatchEnd(window, boxes);
        QCOMPARE(boxes.texts.last(), completeText);
    }

    // Ending a batch while its trips are prepared or joined ends it at once: no ffmpeg left,
    // no hidden file, no part of a trip, every clip kept whole.
    void endingDuringTripsLeavesNoHalfTrip_data()
    {
        QTest::addColumn<bool>("whileJoining"); // else while the trips' tracks are written
        QTest::addColumn<bool>("cancel");       // else the window is closed
        QTest::newRow("Cancel while preparing") << false << true;
        QTest::newRow("closing while preparing") << false << false;
        QTest::newRow("Cancel while joining") << true << true;
        QTest::newRow("closing while joining") << true << false;
    }
    void endingDuringTripsLeavesNoHalfTrip()
    {
        QFETCH(bool, whileJoining);
        QFETCH(bool, cancel);
        // Joins hang until they are killed.
        QVERIFY(replaceFfmpegBesideApp("#!/bin/sh\nfor last; do :; done\n"
                                       "case \"$last\" in */.TRIP_*) printf half > \"$last\"; "
                                       "exec sleep 60;; esac\n"
                                       "exec '" +
                                           systemTool("ffmpeg").toUtf8() + "' \"$@\"\n",
                                       true));
        testavi::MovieRecipe recipe;
        recipe.seconds = 2;
        const QStringList paths = writeClips({"a.avi", "b.avi", "c.avi"}, recipe);
        MessageBoxRecorder boxes;
        MainWindow window;
        window.show();
        window.findChild<QCheckBox *>("joinTripsCheck")->setChecked(true);
        QProgressDialog *dialog = progressWindow();
        const auto end = [&] {
            if (cancel)
                QTest::mouseClick(dialog->findChild<QPushButton *>(), Qt::LeftButton);
            else
                window.close();
        };
        // The six split jobs and the planning are done: the trip's tracks are being written.
        connect(dialog->findChild<QProgressBar *>(), &QProgressBar::valueChanged, this,
                [&](int value) {
                    if (!whileJoining && value == 7)
                        end();
                });
        startBatch(window, paths);
        if (whileJoining) {
            QTRY_VERIFY_WITH_TIMEOUT(
                filesIn(output).filter(QRegularExpression("^\\.TRIP_.*[FR]\\.partial")).size() == 2,
                batchTimeout);
            // Still short of its end, so that it stays up: six split jobs, the planning and
            // the trip's tracks are done, its two joins are not.
            QCOMPARE(dialog->labelText(), "Processing 3 movies...\nJoining 1 trip...");
            QCOMPARE(dialog->value(), 8);
            QCOMPARE(dialog->maximum(), 10);
            end();
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!window.conversionRunning(), batchTimeout);
        }
        QVERIFY(!window.conversionRunning());
        QCOMPARE(childProcesses(), QList<int>{});
        QTRY_COMPARE(boxes.texts, cancel ? QStringList{"Conversion cancelled: 3 of 3 movies "
                                                       "converted. 0 of 1 trips joined."}
                                         : QStringList{});
        QStringList clips;
        for (const char *clip : {"a", "b", "c"})
            clips << QString("%1.gps,%1.gpx,%1F.mp4,%1R.mp4").arg(clip).split(',');
        clips << "front_log.txt"
              << "rear_log.txt";
        if (whileJoining)
            clips << "trip_log.txt";
        QCOMPARE(filesIn(output), clips);
    }

    void argumentLists_data()
    {
        QTest::addColumn<bool>("avi");
        QTest::addColumn<QString>("bitrate");
        QTest::addColumn<bool>("place");
        QTest::addColumn<QString>("codec"); // the codec arguments, one a line
        QTest::addColumn<QString>("rate");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QStringList>("metadata"); // the drive's start and first position
        QTest::addColumn<bool>("gpx");             // "GPX track beside each .gps"
        QTest::addColumn<bool>("h264");            // "MP4 video: H.264"
        const QStringList dated{"-metadata", "creation_time=2012-07-14T09:06:05Z"};
        const QString place = "+33.875000+151.199997/";
        const QStringList placed =
            dated + QStringList{"-metadata", "location=" + place,
                                "-metadata", "com.apple.quicktime.location.ISO6709=" + place,
                                "-movflags", "use_metadata_tags"};
        QTest::newRow("mp4 auto") << false << "" << true << "mpeg4"
                                  << "7M"
                                  << "mp4" << placed << true << false;
        QTest::newRow("mp4 2.5") << false << "2.5" << true << "mpeg4"
                                 << "2.5M"
                                 << "mp4" << placed << true << false;
        QTest::newRow("mp4 10, no place, no GPX") << false << "10" << false << "mpeg4"
                                                  << "10M"
                                                  << "mp4" << dated << false << false;
        QTest::newRow("mp4 H.264, index first")
            << false << "" << true
            << "libx264\n-preset\nultrafast\n-x264-params\ncabac=1:deblock=1:8x8dct=1\n"
               "-profile:v\nhigh\n-level:v\n4.1\n-pix_fmt\nyuv420p\n-threads\n1"
            << "7M"
            << "mp4"
            << QStringList(placed.mid(0, placed.size() - 1)) +
                   QStringList{"use_metadata_tags+faststart"}
            << true << true;
        QTest::newRow("avi ignores H.264")
            << true << "" << true << "copy\n-acodec\npcm_s16le"
            << "7M"
            << "avi" << QStringList{"-metadata", "date=2012-07-14 09:06:05"} << true << true;
        QTest::newRow("avi keeps the rate, dated in RIFF")
            << true << "" << true << "copy\n-acodec\npcm_s16le"
            << "7M"
            << "avi" << QStringList{"-metadata", "date=2012-07-14 09:06:05"} << true << false;
    }
    void argumentLists()
    {
        QFETCH(bool, avi);
        QFETCH(QString, bitrate);
        QFETCH(bool, place);
        QFETCH(QString, codec);
        QFETCH(QString, rate);
        QFETCH(QString, suffix);
        QFETCH(QStringList, metadata);
        QFETCH(bool, gpx);
        QFETCH(bool, h264);
        QVERIFY(replaceFfmpegBesideApp(argumentRecordingFfmpeg(), true));
        // A name as a file manager may hand over: blanks, umlaut, quote, shell syntax.
        const QString movie = writeMovie("Drive 2024 ü'$(x).avi");
        MessageBoxRecorder boxes;
        MainWindow window;
        setForm(window, avi, bitrate);
        window.findChild<QCheckBox *>("placeInMoviesCheck")->setChecked(place);
        window.findChild<QCheckBox *>("gpxTrackCheck")->setChecked(gpx);
        window.findChild<QRadioButton *>(h264 ? "h264Radio" : "mpeg4Radio")->setChecked(true);
        startBatch(window, {movie});
        waitForBatchEnd(window, boxes);
        QCOMPARE(boxes.texts, QStringList{completeText});
        QVERIFY(QFileInfo::exists(output + "/Drive 2024 ü'$(x).gps"));
        QCOMPARE(QFileInfo::exists(output + "/Drive 2024 ü'$(x).gpx"), gpx);
        for (const auto &[stream, side] : {std::pair{"0:v:0", "F"}, std::pair{"0:v:1", "R"}}) {
            const QString out = output + "/Drive 2024 ü'$(x)" + side + '.' + suffix;
            // ffmpeg writes under a hidden name that only a complete output loses.
            QStringList arguments = recordedFfmpegArguments(out);
            QVERIFY2(isPartialOf(arguments.value(arguments.size() - 1), out),
                     qPrintable(arguments.join(' ')));
            arguments.removeLast();
            QCOMPARE(
                arguments,
                QStringList({"-c:s", "text", "-i", movie, "-y", "-vcodec"}) + codec.split('\n') +
                    QStringList({"-strict", "-2", "-b:v", rate, "-map", stream, "-map", "0:a:0"}) +
                    metadata);
            QVERIFY(QFileInfo::exists(out));
        }
    }

    void movieWithoutTelemetryLeavesOutputsUndated()
    {
        QVERIFY(replaceFfmpegBesideApp(argumentRecordingFfmpeg(), true));
        testavi::MovieRecipe recipe;
        recipe.samples = {testavi::TelemetrySample{}}; // time 0 only: no record
        recipe.decodableVideo = false;
        const QString movie = writeMovie("quiet.avi", recipe);
        MessageBoxRecorder boxes;
        MainWindow window;
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        startBatch(window, {movie});
        waitForBatchEnd(window, boxes);
        QCOMPARE(boxes.texts, QStringList{completeText});
        QCOMPARE(readFile(output + "/quiet.gps"), QString());
        QVERIFY(!QFileInfo::exists(output + "/quiet.gpx"));
        // No date goes into the movies either.
        QVERIFY(!recordedFfmpegArguments(output + "/quietF.mp4").contains("-metadata"));
        QVERIFY(modificationTime(output + "/quietF.mp4") >= before);
        QVERIFY(modificationTime(output + "/quiet.gps") >= before);
    }

    void missingFfmpegIsReportedAndNothingIsStarted()
    {
        removeFfmpegBesideApp();
        const QString movie = writeMovie("a.avi");
        MessageBoxRecorder boxes;
        MainWindow window;
        startBatch(window, {movie});
        waitForBatchEnd(window, boxes);
        const QString program = QCoreApplication::applicationDirPath() + "/ffmpeg";
        const QString missing = "Could not find ffmpeg here: " + program;
        QCOMPARE(boxes.texts,
                 QStringList({missing, errorsText(2, 2, "a.avi (jobs): " + missing, {})}));
        QCOMPARE(boxes.titles, QStringList({"Converter", "Converter"}));
        QCOMPARE(QDir(output).entryList(QDir::Files), QStringList({"a.gps", "a.gpx"}));
    }

    void failingJobsAreReportedWithTheirLogs_data()
    {
        QTest::addColumn<bool>("startable");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QStringList>("files");
        const QString logs = "front_log.txt,rear_log.txt";
        QTest::newRow("movie that is not a movie")
            << true << "exit code 1: %1: Invalid data found when processing input"
            << ("broken.gps," + logs).split(','); // no records: an empty track, no GPX
        QTest::newRow("ffmpeg that cannot be started")
            << false << "could not be started: execvp: Permission denied"
            << ("broken.gps,broken.gpx," + logs).split(',');
    }
    void failingJobsAreReportedWithTheirLogs()
    {
        QFETCH(bool, startable);
        QFETCH(QString, reason);
        QFETCH(QStringList, files);
        QString movie;
        if (startable) {
            movie = movies + "/broken.avi";
            QFile file(movie);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(4096, 'x'));
        } else {
            movie = writeMovie("broken.avi");
            QVERIFY(replaceFfmpegBesideApp("not a program", false));
        }
        MessageBoxRecorder boxes;
        MainWindow window;
        startBatch(window, {movie});
        waitForBatchEnd(window, boxes);
        if (reason.contains("%1"))
            reason = reason.arg(movie);
        QCOMPARE(boxes.texts, QStringList{errorsText(2, 2, "broken.avi (front): " + reason)});
        QCOMPARE(filesIn(output), files);
        for (const char *log : {"/front_log.txt", "/rear_log.txt"}) {
            const QString text = readFile(output + log);
            QVERIFY2(text.startsWith("===== " + movie + " =====\n"), qPrintable(text));
            const QString ending = startable ? ": exit code " : ": could not be started";
            QVERIFY2(text.contains(movie + ending), qPrintable(text));
            QVERIFY(!text.contains(": exit code 0 "));
        }
    }

    void batchStopsAtMovieWithoutAviExtension()
    {
        QVERIFY(replaceFfmpegBesideApp(argumentRecordingFfmpeg(), true));
        const QStringList paths = {writeMovie("a.avi"), writeMovie("b.Avi"), writeMovie("c.avi")};
        MessageBoxRecorder boxes;
        MainWindow window;
        startBatch(window, paths);
        waitForBatchEnd(window, boxes);
        const QString refused = "Could not find AVI file extension";
        QCOMPARE(boxes.texts, QStringList({refused, errorsText(4, 6, "b.Avi (jobs): " + refused)}));
        QVERIFY(QFileInfo::exists(output + "/aF.mp4"));
        QVERIFY(QFileInfo::exists(output + "/aR.mp4"));
        QVERIFY(QFileInfo::exists(output + "/b.gps"));
        QVERIFY(!QFileInfo::exists(output + "/bF.mp4"));
        QVERIFY(!QFileInfo::exists(output + "/c.gps"));
        QVERIFY(!progressWindow()->isVisible());
    }

    void runsAtMostOneJobPerCore()
    {
        const int movieCount = Batch::maxParallelJobs() + 3;
        testavi::MovieRecipe recipe;
        recipe.seconds = 4;
        recipe.frontSize = {320, 240};
        QStringList paths;
        for (int i = 0; i < movieCount; ++i)
            paths << writeMovie(QString("M%1.avi").arg(i), recipe);
        MessageBoxRecorder boxes;
        MainWindow window;
        int peak = 0;
        QTimer sampler;
        connect(&sampler, &QTimer::timeout, this, [&] {
            int running = 0;
            for (const QProcess *job : window.findChildren<QProcess *>())
                running += job->state() != QProcess::NotRunning;
            peak = std::max(peak, running);
        });
        sampler.start(1);
        startBatch(window, paths);
        waitForBatchEnd(window, boxes);
        QCOMPARE(boxes.texts, QStringList{completeText});
        QVERIFY2(peak <= Batch::maxParallelJobs(), qPrintable(QString::number(peak)));
        QVERIFY(peak >= 2);
        for (int i = 0; i < movieCount; ++i)
            QVERIFY(QFileInfo(output + QString("/M%1R.mp4").arg(i)).size() > 0);
    }

    void selectionWhileRunningIsRefused()
    {
        QVERIFY(replaceFfmpegBesideApp(argumentRecordingFfmpeg(1.5), true));
        const QString first = writeMovie("first.avi");
        const QString second = writeMovie("second.avi");
        MessageBoxRecorder boxes;
        MainWindow window;
        window.show();
        startBatch(window, {first});
        QVERIFY(window.conversionRunning());

        window.findChild<QAction *>("openFileAction")->trigger();
        QVERIFY(!dropUrls(window, {QUrl::fromLocalFile(second)}));
        const QString refused = "A conversion is still running. Please wait until it has finished.";
        QCOMPARE(boxes.texts, QStringList({refused, refused}));
        QCOMPARE(nBlocks_g, 1);
        QCOMPARE(BLOCKS_g[0].movieFile.filePath(), first);

        waitForBatchEnd(window, boxes);
        QTRY_COMPARE_WITH_TIMEOUT(boxes.texts.size(), 3, batchTimeout);
        QCOMPARE(boxes.texts.last(), completeText);
    }

    // Faults of single movies, jobs and outputs: each ends the batch with the truth, and
    // no broken file is left under a final name. A row's `plant` writes its movies, plants
    // its fault and returns the batch; `earlier` files of the output folder, planted with
    // content and date, must come through unchanged, and so must the user's files that
    // `links` in the output folder point at.
    void faultsEndTheBatchHonestly_data()
    {
        QTest::addColumn<QByteArray>("ffmpeg"); // a stand-in; empty for the real one
        QTest::addColumn<Planter>("plant");
        QTest::addColumn<QStringList>("earlier");
        QTest::addColumn<QStringList>("links");
        QTest::addColumn<QStringList>("expected"); // message texts, OutputFolder replaced
        QTest::addColumn<QStringList>("files");    // what the output folder holds after it
        const QString logs = "front_log.txt,rear_log.txt";
        const QString others = "a.gps,a.gpx,aF.mp4,aR.mp4,b.gps,b.gpx,bF.mp4,bR.mp4," + logs;
        // The batch goes on after a movie that is none.
        const auto oddMovie = [this](std::function<bool(const QString &)> make) -> Planter {
            return [this, make] {
                const QStringList paths{writeMovie("a.avi"), movies + "/x.avi",
                                        writeMovie("b.avi")};
                return make(paths[1]) ? paths : QStringList{}; // empty: it could not be planted
            };
        };
        const Planter oneMovie = [this] { return QStringList{writeMovie("a.avi")}; };

        QTest::newRow("failing job keeps the earlier output")
            << failingFfmpeg() << oneMovie << QStringList{"aF.mp4"} << QStringList{}
            << QStringList{errorsText(2, 2,
                                      "a.avi (front): exit code 1: av_interleaved_write_frame(): "
                                      "No space left on device")}
            << QString("a.gps,a.gpx,aF.mp4,%1").arg(logs).split(',');
        QTest::newRow("named pipe")
            << argumentRecordingFfmpeg() << oddMovie([](const QString &x) {
                   return mkfifo(QFile::encodeName(x).constData(), 0600) == 0;
               })
            << QStringList{} << QStringList{}
            << QStringList{errorsText(2, 6, "x.avi (front): a named pipe, not a movie file")}
            << others.split(',');
        QTest::newRow("folder named like a movie")
            << argumentRecordingFfmpeg()
            << oddMovie([](const QString &x) { return QDir().mkpath(x); }) << QStringList{}
            << QStringList{}
            << QStringList{errorsText(2, 6, "x.avi (front): a folder, not a movie file")}
            << others.split(',');
        QTest::newRow("dangling link")
            << argumentRecordingFfmpeg()
            << oddMovie([this](const QString &x) { return QFile::link(movies + "/gone.avi", x); })
            << QStringList{} << QStringList{}
            << QStringList{errorsText(2, 6, "x.avi (front): No such file or directory")}
            << others.split(',');
        QTest::newRow("folder in the track file's way")
            << argumentRecordingFfmpeg() << Planter([this] {
                   QDir().mkpath(output + "/a.gps");
                   return QStringList{writeMovie("a.avi")};
               })
            << QStringList{} << QStringList{}
            << QStringList{"Conversion finished with errors: 1 of 1 track files could not be "
                           "written.\nFirst failure: a.avi (track file): Is a directory" +
                           seeLogs}
            << QString("a.gpx,aF.mp4,aR.mp4,%1,a.gps").arg(logs).split(','); // a.gps: the folder
        // Whoever may write the output folder plants links at the names the converter
        // used to write, to have it write over files of the user.
        QTest::newRow("links at the final names and the old partial names")
            << QByteArray() << oneMovie << QStringList{}
            << QString(".a.partial.gps,.a.partial.gpx,.aF.partial.mp4,.aR.partial.mp4,a.gps,a.gpx,"
                       "aF.mp4,aR.mp4")
                   .split(',')
            << QStringList{completeText}
            << QString("a.gps,a.gpx,aF.mp4,aR.mp4,%1").arg(logs).split(',');
        QTest::newRow("links at the logs")
            << QByteArray() << oneMovie << QStringList{} << logs.split(',')
            << QStringList{"Conversion finished with errors.\nThe logs could not be written: " +
                           OutputFolder + "/front_log.txt: Too many levels of symbolic links"}
            << QStringList{"a.gps", "a.gpx", "aF.mp4", "aR.mp4", "front_log.txt@", "rear_log.txt@"};
        // A named pipe would block the window as the log is opened.
        QTest::newRow("named pipe at a log's name")
            << QByteArray() << Planter([this] {
                   const QByteArray log = QFile::encodeName(output + "/front_log.txt");
                   return mkfifo(log.constData(), 0600) == 0 ? QStringList{writeMovie("a.avi")}
                                                             : QStringList{};
               })
            << QStringList{} << QStringList{}
            << QStringList{"Conversion finished with errors.\nThe logs could not be written: " +
                           OutputFolder + "/front_log.txt: No such device or address"}
            << QStringList{"a.gps", "a.gpx", "aF.mp4", "aR.mp4", "front_log.txt", "rear_log.txt"};
        // Partial files of a killed run go, the user's own hidden files and folders stay.
        QTest::newRow("partial files of a killed run")
            << QByteArray() << Planter([this] {
                   bool planted = QDir().mkpath(output + "/.aR.partial-Zz9Zz9.mp4");
                   // And of any trip, whose name the next batch cannot know.
                   for (const QString name :
                        {".aF.partial-Ab3xYz.mp4", ".aR.partial.mp4", ".a.partial-Q9w8e7.gps",
                         ".a.partial.gps", ".a.partial-Kk1Kk1.gpx",
                         ".TRIP_20120714_090605F.partial-Tr1pF1.mp4",
                         ".TRIP_20120714_090605R.partial-Tr1pR1.avi",
                         ".TRIP_20120714_090605.partial-Tr1pG1.gps",
                         ".TRIP_20120714_090605.partial-Tr1pX1.gpx"})
                       planted = writeEarlierFile(output + '/' + name) && planted;
                   return planted ? QStringList{writeMovie("a.avi")} : QStringList{};
               })
            << QStringList{".aF.partial-Ab3.mp4", ".aF.partial-Ab3xYz.avi", ".notes",
                           ".TRIP_notes.partial-Ab3xYz.txt"}
            << QStringList{} << QStringList{completeText}
            << QString(".TRIP_notes.partial-Ab3xYz.txt,.aF.partial-Ab3.mp4,.aF.partial-Ab3xYz.avi,"
                       ".notes,a.gps,a.gpx,aF.mp4,aR.mp4,%1,.aR.partial-Zz9Zz9.mp4")
                   .arg(logs)
                   .split(',');
    }
    void faultsEndTheBatchHonestly()
    {
        QFETCH(QByteArray, ffmpeg);
        QFETCH(Planter, plant);
        QFETCH(QStringList, earlier);
        QFETCH(QStringList, links);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, files);
        QVERIFY(ffmpeg.isEmpty() || replaceFfmpegBesideApp(ffmpeg, true));
        const QStringList paths = plant();
        QVERIFY(!paths.isEmpty());
        for (const QString &name : earlier)
            QVERIFY(writeEarlierFile(output + '/' + name));
        const auto usersFile = [this](const QString &link) { return movies + "/mine-" + link; };
        for (const QString &name : links)
            QVERIFY(writeEarlierFile(usersFile(name)) &&
                    QFile::link(usersFile(name), output + '/' + name));

        MessageBoxRecorder boxes;
        MainWindow window;
        startBatch(window, paths);
        waitForBatchEnd(window, boxes);
        QCOMPARE(boxes.texts, expected.replaceInStrings(OutputFolder, output));
        QCOMPARE(filesMarkedIn(output) +
                     QDir(output).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot),
                 files);
        QStringList unchanged;
        for (const QString &name : earlier)
            unchanged << output + '/' + name;
        for (const QString &name : links)
            unchanged << usersFile(name);
        for (const QString &path : unchanged) {
            QCOMPARE(readFile(path), QString(EarlierContent));
            QCOMPARE(modificationTime(path), qint64(driveStart));
        }
    }

    // A file gets its final name only once it is on the disk, and its folder is flushed
    // after the rename: else a power cut could leave it empty under that name. A power cut
    // cannot be had on demand, so strace, attached to this process, watches the order.
    void renamesOnlyFlushedFiles()
    {
        const QString strace = systemTool("strace");
        if (strace.isEmpty())
            QSKIP("strace is not installed");
        prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY); // where Yama lets only ancestors trace
        const QString log = work.path() + "/strace";
        QProcess tracer;
        tracer.start(strace, {"-f", "-ff", "-qq", "-s", "4096", "-o", log, "-e",
                              "trace=openat,fsync,rename,renameat,renameat2", "-p",
                              QString::number(QCoreApplication::applicationPid())});
        QTRY_VERIFY_WITH_TIMEOUT(traced() || tracer.state() == QProcess::NotRunning, 10000);
        if (!traced())
            QSKIP("this process may not be traced here");
        const QString movie = writeMovie("a.avi");
        MessageBoxRecorder boxes;
        MainWindow window;
        startBatch(window, {movie});
        waitForBatchEnd(window, boxes);
        tracer.terminate();
        QVERIFY(tracer.waitForFinished());
        QCOMPARE(boxes.texts, QStringList{completeText});

        RenameTrace all;
        for (const QString &thread : QDir(work.path()).entryList({"strace.*"})) {
            const RenameTrace trace = readRenameTrace(work.filePath(thread));
            all.renamed += trace.renamed;
            all.unsafe += trace.unsafe;
        }
        all.renamed.sort();
        QCOMPARE(all.renamed, QStringList({"a.gps", "a.gpx", "aF.mp4", "aR.mp4"}));
        QVERIFY2(all.unsafe.isEmpty(), qPrintable(all.unsafe.join('\n')));
    }

    void unwritableOutputFolderIsRefused()
    {
        QVERIFY(replaceFfmpegBesideApp(argumentRecordingFfmpeg(), true));
        const QString movie = writeMovie("a.avi");
        output = "/proc"; // refuses new files whoever asks
        MessageBoxRecorder boxes;
        MainWindow window;
        startBatch(window, {movie});
        QVERIFY(!window.conversionRunning());
        QCOMPARE(boxes.texts, QStringList{"The output folder cannot be written: /proc/\n"
                                          "No such file or directory"});
    }

    // On a full disk the real ffmpeg fails: its half-written outputs are removed, the
    // message names the reason, and a log entry is whole or missing, never cut.
    void fullDiskLeavesNoBrokenFile()
    {
        if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=96k", "tmpfs", output}) != 0)
            QSKIP("mounting a small tmpfs as the output folder needs root");
        const auto unmount = qScopeGuard([this] { QProcess::execute("umount", {output}); });
        testavi::MovieRecipe recipe;
        recipe.seconds = 6;
        recipe.framesPerSecond = 25;
        recipe.frontSize = recipe.rearSize = {640, 360}; // each output is larger than the disk
        const QString movie = writeMovie("a.avi", recipe);
        MessageBoxRecorder boxes;
        MainWindow window;
        startBatch(window, {movie});
        waitForBatchEnd(window, boxes);
        QCOMPARE(boxes.texts.size(), 1);
        QVERIFY2(boxes.texts[0].startsWith("Conversion finished with errors: 2 of 2 jobs failed."),
                 qPrintable(boxes.texts[0]));
        QVERIFY2(boxes.texts[0].contains("No space left on device"), qPrintable(boxes.texts[0]));
        for (const QString &file : filesIn(output)) {
            QVERIFY2(file.endsWith(".txt") || file == "a.gps" || file == "a.gpx", qPrintable(file));
            if (file.endsWith(".txt"))
                QVERIFY2(readFile(output + '/' + file).endsWith(" =====\n\n") ||
                             QFileInfo(output + '/' + file).size() == 0,
                         qPrintable(file));
        }
    }

    // However the window is closed during a batch, it closes at once: settings saved,
    // scan and jobs ended, no partial output, no child process, no message.
    void closingEndsTheBatch_data()
    {
        QTest::addColumn<Closer>("close");
        QTest::addColumn<int>("ignoredSignal"); // as nohup starts the program; 0 for none
        QTest::addColumn<bool>("realFfmpeg");   // else one that writes a little and hangs
        QTest::addColumn<bool>("longScan");     // a sparse movie of 1 TiB, read as zeros
        const auto invoke = [](const char *name, const char *method) {
            return Closer([name, method](MainWindow &window) {
                QMetaObject::invokeMethod(window.findChild<QObject *>(name), method);
            });
        };
        const Closer closeControl = [](MainWindow &window) { window.close(); };
        const auto signal = [](int number) {
            return Closer([number](MainWindow &window) {
                raise(number);
                QTRY_VERIFY(!window.isVisible());
            });
        };
        const Closer ignoredHangUp = [](MainWindow &window) {
            raise(SIGHUP);
            QTest::qWait(100);
            QVERIFY(window.isVisible() && window.conversionRunning());
            window.close();
        };
        QTest::newRow("Quit button, job running")
            << invoke("quitButton", "click") << 0 << false << false;
        QTest::newRow("File menu Quit, job running")
            << invoke("quitAction", "trigger") << 0 << false << false;
        QTest::newRow("close control, real ffmpeg running") << closeControl << 0 << true << false;
        QTest::newRow("close control, movie being scanned") << closeControl << 0 << false << true;
        QTest::newRow("SIGTERM, real ffmpeg running") << signal(SIGTERM) << 0 << true << false;
        QTest::newRow("SIGINT, job running") << signal(SIGINT) << 0 << false << false;
        QTest::newRow("SIGHUP, movie being scanned") << signal(SIGHUP) << 0 << false << true;
        QTest::newRow("SIGHUP ignored by nohup, then closed")
            << ignoredHangUp << SIGHUP << false << false;
    }
    void closingEndsTheBatch()
    {
        QFETCH(Closer, close);
        QFETCH(int, ignoredSignal);
        QFETCH(bool, realFfmpeg);
        QFETCH(bool, longScan);
        testavi::MovieRecipe recipe;
        if (realFfmpeg) {
            recipe.seconds = 20; // takes ffmpeg seconds, and it is closed at once
            recipe.framesPerSecond = 25;
            recipe.frontSize = recipe.rearSize = {1280, 720};
        } else {
            recipe.decodableVideo = false;
            QVERIFY(replaceFfmpegBesideApp(hangingFfmpeg(), true));
        }
        const QString movie = writeMovie("a.avi", recipe);
        if (longScan)
            QVERIFY(QFile::resize(movie, qint64(1) << 40));

        // As started from a terminal, or by nohup.
        const int terminating[] = {SIGTERM, SIGINT, SIGHUP};
        for (int number : terminating)
            std::signal(number, number == ignoredSignal ? SIG_IGN : SIG_DFL);
        const auto restore = qScopeGuard([&terminating] {
            for (int number : terminating)
                std::signal(number, SIG_DFL);
        });
        MessageBoxRecorder boxes;
        MainWindow window;
        window.show();
        window.findChild<QLineEdit *>("timezoneOffset")->setText("3");
        startBatch(window, {movie});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partialOf(output + "/aF.mp4")).size() > 0, 20000);
        if (longScan)
            QVERIFY(window.conversionRunning() && !QFileInfo::exists(output + "/a.gps"));

        close(window);
        QVERIFY(!window.isVisible());
        QVERIFY(!window.conversionRunning());
        QCOMPARE(childProcesses(), QList<int>{});
        QCOMPARE(QSettings().value("configuration/timezoneOffset").toFloat(), 3.0f);
        // A movie whose jobs did not finish keeps none of its files, its tracks neither. Jobs
        // start with their movie's scan, and empty the logs as they start.
        QCOMPARE(filesIn(output), QStringList({"front_log.txt", "rear_log.txt"}));
        QTest::qWait(100); // a late message would show up here
        QCOMPARE(boxes.texts, QStringList{});
    }

    // The window keeps answering while a movie is scanned; a movie shortened meanwhile
    // gives the telemetry read so far, and the batch goes on.
    void scanLeavesTheWindowResponsiveAndSurvivesTruncation()
    {
        QVERIFY(replaceFfmpegBesideApp(argumentRecordingFfmpeg(), true));
        testavi::MovieRecipe recipe;
        recipe.decodableVideo = false;
        const QString shrinking = writeMovie("a.avi", recipe);
        const qint64 realSize = QFileInfo(shrinking).size();
        QVERIFY(QFile::resize(shrinking, qint64(1) << 40)); // sparse: read as zeros, for long
        const QStringList paths = {shrinking, writeMovie("b.avi", recipe)};

        MessageBoxRecorder boxes;
        MainWindow window;
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
        ticker.start(10);
        startBatch(window, paths);
        QTRY_VERIFY(ticks >= 20);
        QVERIFY(!QFileInfo::exists(output + "/a.gps")); // still being read
        QVERIFY(QFile::resize(shrinking, realSize));
        waitForBatchEnd(window, boxes);
        QCOMPARE(boxes.texts, QStringList{completeText});
        QCOMPARE(readFile(output + "/a.gps").count("$GPRMC"), 3);
        QVERIFY(QFileInfo::exists(output + "/bR.mp4"));
    }

    void everyBatchEndsWithItsOwnMessage()
    {
        QVERIFY(replaceFfmpegBesideApp(argumentRecordingFfmpeg(), true));
        const QStringList paths = {writeMovie("a.avi"), writeMovie("b.avi")};
        MessageBoxRecorder boxes;
        MainWindow window;
        startBatch(window, paths);
        waitForBatchEnd(window, boxes);
        startBatch(window, paths);
        QTRY_VERIFY_WITH_TIMEOUT(!window.conversionRunning() && boxes.texts.size() == 2,
                                 batchTimeout);
        QTest::qWait(300); // a late duplicate would show up here
        QCOMPARE(boxes.texts, QStringList({completeText, completeText}));
    }

    void outputThatWouldOverwriteAMovieIsRefused()
    {
        QVERIFY(replaceFfmpegBesideApp(argumentRecordingFfmpeg(), true));
        const QStringList paths = {writeMovie("A.avi"), writeMovie("AF.avi")};
        const QStringList before = QDir(movies).entryList(QDir::Files);
        output = movies; // the outputs go beside the movies
        MessageBoxRecorder boxes;
        MainWindow window;
        window.findChild<QRadioButton *>("aviRadio")->click();
        startBatch(window, paths);
        QCOMPARE(boxes.texts,
                 QStringList{"An output file would overwrite a movie of this batch: " + paths[1]});
        QVERIFY(!window.conversionRunning());
        QCOMPARE(QDir(movies).entryList(QDir::Files), before);
    }
};

QTEST_MAIN(TestConversion)
#include "tst_conversion.moc"
