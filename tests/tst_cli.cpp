// bq4400-convert, the converter for shells and scripts, run as a user runs it: the same
// files as the window for the same settings, and exit statuses scripts can rely on.
#include "aviwriter.h"
#include "globals.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace testsupport;

namespace {

constexpr qint32 DriveStart = 1342256765; // 2012-07-14 09:06:05 UTC
constexpr int Timeout = 180000;
const QString OutputFolder = "<output>"; // in a row's arguments
const QString MoviesFolder = "<movies>";
// What a batch ended while the second movie was converted leaves.
const QStringList FirstMovieOnly{"FILE0001.gps",  "FILE0001.gpx",  "FILE0001F.mp4",
                                 "FILE0001R.mp4", "front_log.txt", "rear_log.txt"};

// What a run of the command ended with.
struct Run
{
    int status = -1;
    QString errors; // its standard error
};

// The copy of the command beside the test, which runs the ffmpeg beside itself.
QString command()
{
    return QCoreApplication::applicationDirPath() + "/bq4400-convert";
}

Run runCommand(const QStringList &arguments)
{
    QProcess process;
    process.start(command(), arguments);
    process.waitForFinished(Timeout);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardError())};
}

// How the window's form and the command's options say the same settings.
struct Settings
{
    bool avi = false;
    bool h264 = false;
    bool gpx = true;
    bool trips = false;
    QString offset = "2";
    QString bitrate; // empty: automatic
    bool drive = false;
};

QStringList options(const Settings &settings)
{
    QStringList arguments{"--format",
                          settings.avi ? "avi" : "mp4",
                          "--codec",
                          settings.h264 ? "h264" : "mpeg4",
                          "--utc-offset",
                          settings.offset,
                          settings.gpx ? "--gpx" : "--no-gpx",
                          settings.trips ? "--trips" : "--no-trips",
                          settings.drive ? "--drive-movie" : "--no-drive-movie"};
    if (!settings.bitrate.isEmpty())
        arguments << "--bitrate" << settings.bitrate;
    return arguments;
}

void fillForm(MainWindow &window, const Settings &settings)
{
    window.findChild<QRadioButton *>(settings.avi ? "aviRadio" : "mp4Radio")->click();
    window.findChild<QRadioButton *>(settings.h264 ? "h264Radio" : "mpeg4Radio")->click();
    window.findChild<QRadioButton *>(settings.bitrate.isEmpty() ? "autoRadio" : "manualRadio")
        ->click();
    window.findChild<QLineEdit *>("bitrateEdit")->setText(settings.bitrate);
    window.findChild<QLineEdit *>("timezoneOffset")->setText(settings.offset);
    window.findChild<QCheckBox *>("gpxTrackCheck")->setChecked(settings.gpx);
    window.findChild<QCheckBox *>("joinTripsCheck")->setChecked(settings.trips);
    window.findChild<QCheckBox *>("driveMovieCheck")->setChecked(settings.drive);
}

// What a file of the outputs holds that the other front end must give alike: the bytes of
// a text, the streams and dates of a movie; and its modification time.
QString fingerprint(const QString &path)
{
    QString print = QString::number(modificationTime(path)) + ' ';
    if (path.endsWith(".gps") || path.endsWith(".gpx")) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? print + file.readAll() : QString();
    }
    const QMap<QString, QString> tags = exifTags(path);
    return print + probeStreams(path).join(',') + ' ' +
           tags.value("QuickTime:CreateDate", tags.value("RIFF:DateCreated")) + ' ' +
           tags.value("Composite:GPSLatitude") + ' ' + tags.value("Composite:GPSLongitude");
}

// Processes whose command line names `text`: what a run left running.
QStringList processesNaming(const QString &text)
{
    QStringList found;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        QFile cmdline("/proc/" + entry + "/cmdline");
        if (entry.toInt() > 0 && cmdline.open(QIODevice::ReadOnly) &&
            cmdline.readAll().contains(text.toUtf8()))
            found << entry;
    }
    return found;
}

// An ffmpeg that notes each output it is given in the file `started`, and hangs writing the
// outputs named after `hangingAt`, holding their partial files, until it is killed; the
// others it makes with the real ffmpeg.
QByteArray ffmpegHangingAt(const QString &hangingAt, const QString &started)
{
    return "#!/bin/sh\nfor last; do :; done\necho \"$last\" >> '" + started.toUtf8() +
           "'\ncase \"$last\" in */." + hangingAt.toUtf8() +
           "*) printf half > \"$last\"; exec tail -f \"$last\";; esac\nexec '" +
           systemTool("ffmpeg").toUtf8() + "' \"$@\"\n";
}

} // namespace

Q_DECLARE_METATYPE(Settings)

class TestCommandLine : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    QString movies;
    QString output;

    // Both jobs of the movie or trip hang, once the movies before are in place.
    bool jobsHang(const QString &hangingAt) const
    {
        return filesIn(output)
                       .filter(QRegularExpression("^\\." + hangingAt + "[FR]\\.partial"))
                       .size() == 2 &&
               QFileInfo::exists(output + "/FILE0001R.mp4");
    }

    // Three continuing clips, and a fourth 20 minutes later.
    QStringList writeMovies()
    {
        QStringList paths;
        const qint32 starts[] = {DriveStart, DriveStart + 3, DriveStart + 6, DriveStart + 1200};
        for (int i = 0; i < 4; ++i) {
            testavi::MovieRecipe recipe;
            recipe.seconds = 3;
            recipe.samples = testavi::drive(starts[i], 3, 2);
            const QString path = QString("%1/FILE%2.AVI").arg(movies).arg(i + 1, 4, 10, QChar('0'));
            if (!testavi::writeMovie(path, recipe))
                qFatal("could not write %s", qPrintable(path));
            // Oldest first, as the folder lists them.
            setTimes(path, DriveStart + 10 * i, DriveStart + 10 * i);
            paths << path;
        }
        return paths;
    }

private slots:
    void initTestCase() { QVERIFY(QFileInfo(command()).isExecutable()); }

    void init()
    {
        resetProgramState();
        makeTestFolders(work.path(), movies, output);
        QVERIFY(linkFfmpegBesideApp());
    }

    void cleanup() { QTRY_VERIFY(!QApplication::activeModalWidget()); }

    // A folder converted by the command and by the window with the same settings gives the
    // same files: names, track and GPX bytes, movies' streams and dates, files' dates.
    void writesWhatTheWindowWrites_data()
    {
        QTest::addColumn<Settings>("settings");
        QTest::newRow("first start's settings") << Settings{};
        QTest::newRow("avi with trips, offset -3.5")
            << Settings{true, false, true, true, "-3.5", {}};
        QTest::newRow("h264 at 2.5 Mbit/s without GPX, trips, drive movies")
            << Settings{false, true, false, true, "0", "2.5", true};
    }
    void writesWhatTheWindowWrites()
    {
        QFETCH(Settings, settings);
        const QStringList paths = writeMovies();
        const QString byWindow = output + "/window";
        const QString byCommand = output + "/command";
        QVERIFY(QDir().mkpath(byWindow) && QDir().mkpath(byCommand));

        MessageBoxRecorder boxes;
        MainWindow window;
        fillForm(window, settings);
        QVERIFY(startWindowBatch(window, paths, byWindow));
        QTRY_VERIFY_WITH_TIMEOUT(!window.conversionRunning() && !boxes.texts.isEmpty(), Timeout);
        const Run run = runCommand(options(settings) + QStringList{"-o", byCommand, movies});

        QCOMPARE(run.status, 0);
        QVERIFY2(run.errors.endsWith(boxes.texts.first() + '\n'), qPrintable(run.errors));
        QCOMPARE(filesIn(byCommand), filesIn(byWindow));
        for (const QString &file : filesIn(byWindow))
            if (!file.endsWith("_log.txt"))
                QCOMPARE(fingerprint(byCommand + '/' + file), fingerprint(byWindow + '/' + file));
        // Not redirected to a terminal: one line per finished movie and trip.
        QCOMPARE(run.errors.count(": done\n"), settings.trips ? 5 : 4);
    }

    // What a script learns from the exit status; 2 comes before anything is written.
    void exitStatusTellsTheOutcome_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message"); // on the standard error
        const QStringList toOutput{"-o", OutputFolder};
        QTest::newRow("converted")
            << toOutput + QStringList{MoviesFolder} << 0 << "Conversion Complete!";
        QTest::newRow("a damaged movie")
            << toOutput + QStringList{MoviesFolder, MoviesFolder + "/other/broken.avi"} << 1
            << "Conversion finished with errors: 2 of 10 jobs failed.";
        QTest::newRow("a bad option") << toOutput + QStringList{"--frobnicate", MoviesFolder} << 2
                                      << "bq4400-convert: Unknown option 'frobnicate'.";
        QTest::newRow("a bad value") << toOutput + QStringList{"--format", "mkv", MoviesFolder} << 2
                                     << "--format takes mp4 or avi, not 'mkv'";
        QTest::newRow("contradicting flags")
            << toOutput + QStringList{"--gpx", "--no-gpx", MoviesFolder} << 2
            << "--gpx and --no-gpx contradict each other";
        QTest::newRow("a missing movie") << toOutput + QStringList{MoviesFolder + "/FILE0009.AVI"}
                                         << 2 << "FILE0009.AVI: No such file or directory";
        QTest::newRow("a file that is no AVI movie")
            << toOutput + QStringList{MoviesFolder + "/other/notes.txt"} << 2
            << "notes.txt: not an AVI movie";
        QTest::newRow("no output folder") << QStringList{MoviesFolder} << 2 << "no output folder";
        QTest::newRow("an empty output folder name")
            << QStringList{"-o", "", MoviesFolder} << 2 << "no output folder";
        QTest::newRow("an output folder that cannot be written")
            << QStringList{"-o", "/proc", MoviesFolder} << 2
            << "The output folder cannot be written: /proc/";
    }
    void exitStatusTellsTheOutcome()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, message);
        writeMovies();
        QVERIFY(QDir().mkpath(movies + "/other")); // not in the movies' folder's listing
        QVERIFY(writeFile(movies + "/other/broken.avi", QByteArray(4096, 'x')));
        QVERIFY(writeFile(movies + "/other/notes.txt", "not a movie"));

        const Run run = runCommand(arguments.replaceInStrings(OutputFolder, output)
                                       .replaceInStrings(MoviesFolder, movies));

        QCOMPARE(run.status, status);
        QVERIFY2(run.errors.contains(message), qPrintable(run.errors));
        if (status == 2) {
            QCOMPARE(run.errors.count('\n'), 1);
            QCOMPARE(filesIn(output), QStringList{});
        }
    }

    // SIGINT and SIGTERM end the batch as Cancel does: the movie that was done keeps its
    // files, no ffmpeg is left, nothing half written stays.
    void signalsEndLikeCancel_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void signalsEndLikeCancel()
    {
        QFETCH(int, signal);
        QVERIFY(replaceFfmpegBesideApp(ffmpegHangingAt("FILE0002", "/dev/null"), true));
        writeMovies();
        QProcess process;
        process.start(command(), {"-o", output, movies});
        QTRY_VERIFY_WITH_TIMEOUT(jobsHang("FILE0002"), Timeout);

        ::kill(pid_t(process.processId()), signal);
        QVERIFY(process.waitForFinished(Timeout));

        QCOMPARE(process.exitCode(), 128 + signal);
        QVERIFY(process.readAllStandardError().endsWith(
            "Conversion cancelled: 1 of 4 movies converted.\n"));
        QTRY_COMPARE(processesNaming(output), QStringList{});
        QCOMPARE(filesIn(output), FirstMovieOnly);
    }

    // A reader of its messages that goes away (as `| head -1` does) ends the batch as Cancel
    // does, at the next line written.
    void lostReaderEndsLikeCancel()
    {
        QVERIFY(replaceFfmpegBesideApp(ffmpegHangingAt("FILE0002", "/dev/null"), true));
        writeMovies();
        QProcess pipeline; // whose reader is gone before "FILE0001.AVI: done"
        pipeline.start("bash", {"-c", "\"$0\" \"$@\" 2>&1 | true; exit ${PIPESTATUS[0]}", command(),
                                "-o", output, movies});

        QVERIFY(pipeline.waitForFinished(Timeout));

        QCOMPARE(pipeline.exitCode(), 128 + SIGPIPE);
        QTRY_COMPARE(processesNaming(output), QStringList{});
        QCOMPARE(filesIn(output), FirstMovieOnly);
    }

    // A run killed outright (or a computer losing power) leaves on record the movies and
    // trips it finished: with skipping on, the next run converts only the others.
    void killedRunLeavesTheRestToDo_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("hangingAt"); // what the killed run was writing
        QTest::addColumn<QString>("lastOnRecord");
        QTest::addColumn<QString>("message"); // the next run's
        QTest::addColumn<int>("jobs");        // that the next run starts
        QTest::newRow("killed during the second movie")
            << QStringList{} << "FILE0002"
            << "FILE0001.AVI"
            << "Conversion Complete!\n1 movie converted before was skipped.\n"
            << 6;
        QTest::newRow("killed during the trip's joins")
            << QStringList{"--trips"} << "TRIP_20120714_090605"
            << "FILE0004.AVI"
            << "Conversion Complete!\n4 movies converted before were skipped.\n1 trip joined.\n"
            << 2;
    }
    void killedRunLeavesTheRestToDo()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, hangingAt);
        QFETCH(QString, lastOnRecord);
        QFETCH(QString, message);
        QFETCH(int, jobs);
        const QString started = work.path() + "/started";
        QFile::remove(started); // an earlier row's
        QVERIFY(replaceFfmpegBesideApp(ffmpegHangingAt(hangingAt, "/dev/null"), true));
        writeMovies();
        options << "--skip-converted"
                << "--utc-offset"
                << "0"
                << "-o" << output << movies;
        QProcess process;
        process.start(command(), options);
        QTRY_VERIFY_WITH_TIMEOUT(jobsHang(hangingAt), Timeout);
        QTRY_VERIFY(readFile(output + "/.bq4400-converted.json").contains(lastOnRecord));
        process.kill();
        QVERIFY(process.waitForFinished(Timeout));
        for (const QString &hanging : processesNaming(output))
            ::kill(hanging.toInt(), SIGKILL);
        QVERIFY(replaceFfmpegBesideApp(ffmpegHangingAt("nothing", started), true));

        const Run run = runCommand(options);

        QCOMPARE(run.status, 0);
        QVERIFY2(run.errors.endsWith(message), qPrintable(run.errors));
        QCOMPARE(readFile(started).count('\n'), jobs);
        QCOMPARE(readFile(started).count(hangingAt), 2);
        QCOMPARE(filesIn(output).filter("partial"), QStringList{});
    }

    void helpNamesEveryOption()
    {
        const Run run = [] {
            QProcess process;
            process.start(command(), {"--help"});
            process.waitForFinished(Timeout);
            return Run{process.exitCode(), QString::fromUtf8(process.readAllStandardOutput())};
        }();
        QCOMPARE(run.status, 0);
        for (const char *option :
             {"--output", "--format", "--bitrate", "--utc-offset", "--codec", "--gpx", "--no-gpx",
              "--place", "--no-place", "--trips", "--no-trips", "--drive-movie", "--no-drive-movie",
              "--skip-converted", "--no-skip-converted", "--use-saved-settings", "--quiet",
              "--help", "--version"})
            QVERIFY2(run.errors.contains(option), option);
    }
};

QTEST_MAIN(TestCommandLine)
#include "tst_cli.moc"
