// Runs whole batches through the conversion driver with the real ffmpeg: 200 tiny movies
// with the streams copied, for the job pool's limit and overhead, then 8 movies
// re-encoded to MP4, timed against xargs -P running the very same ffmpeg commands with
// the same number of jobs. The last line sums it up for scripts.

#include "aviwriter.h"
#include "globals.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr qint32 DriveStart = 1342256765; // 2012-07-14 09:06:05 UTC
constexpr int Repetitions = 3;
constexpr int BatchTimeoutMs = 30 * 60 * 1000;
const QString CompleteText = QStringLiteral("Conversion Complete!");
const QString Xargs = QStringLiteral("/usr/bin/xargs");

bool fail(const QString &message)
{
    std::fflush(stdout);
    std::fprintf(stderr, "bench_batch: ERROR: %s\n", qPrintable(message));
    return false;
}

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout); // keeps the order with Qt's messages on stderr
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QStringList writeMovies(const QString &folder, int count, int seconds, testavi::MovieRecipe layout)
{
    QDir().mkpath(folder);
    layout.seconds = seconds;
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        // Back-to-back recordings, as the recorder leaves them on the card.
        layout.samples = testavi::drive(DriveStart + i * seconds, seconds, 2);
        const QString path = QString("%1/FILE%2.AVI").arg(folder).arg(i + 1, 4, 10, QChar('0'));
        if (!testavi::writeMovie(path, layout)) {
            fail("could not write " + path);
            return {};
        }
        paths << path;
    }
    return paths;
}

// The driver's ffmpeg command for one side of a movie in MP4 mode with the automatic rate.
QStringList mp4Arguments(const QString &movie, const QString &stream, const QString &output)
{
    return {"-c:s", "text", "-i", movie,  "-y",   "-vcodec", "mpeg4", "-strict",
            "-2",   "-b:v", "7M", "-map", stream, "-map",    "0:a:0", output};
}

QString splitOutput(const QString &movie, const QString &folder, const char *side,
                    const char *suffix)
{
    return QString("%1/%2%3.%4").arg(folder, QFileInfo(movie).completeBaseName(), side, suffix);
}

bool allExist(const QStringList &paths, const QString &what)
{
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (!info.isFile() || info.size() == 0)
            return fail(QString("%1: missing or empty output %2").arg(what, path));
    }
    return true;
}

int runningJobs(const MainWindow &window)
{
    int running = 0;
    for (const QProcess *job : window.findChildren<QProcess *>(Qt::FindDirectChildrenOnly))
        running += job->state() != QProcess::NotRunning;
    return running;
}

struct BatchRun
{
    double seconds = 0;
    int peakJobs = 0;
};

// Starts a batch as the selection does and waits until it has ended: the driver no longer
// runs and its message box was shown. Checks the message and every output.
bool runDriver(MainWindow &window, const QStringList &movies, const QString &output, bool avi,
               BatchRun &run)
{
    QDir().mkpath(output);
    for (int i = 0; i < movies.size(); ++i)
        BLOCKS_g[i].movieFile = QFileInfo(movies[i]);
    nBlocks_g = int(movies.size());
    window.findChild<QRadioButton *>(avi ? "aviRadio" : "mp4Radio")->click();
    window.findChild<QRadioButton *>("autoRadio")->click();
    window.findChild<QLineEdit *>("timezoneOffset")->setText("0");
    window.retrieveData();

    testsupport::MessageBoxRecorder boxes;
    QElapsedTimer clock;
    qint64 endedNs = -1;
    run.peakJobs = 0;
    // Also fires inside the dialogs' own event loops, so the end is seen while the box shows.
    QTimer sampler;
    sampler.setTimerType(Qt::PreciseTimer);
    sampler.setInterval(1);
    QObject::connect(&sampler, &QTimer::timeout, &sampler, [&] {
        run.peakJobs = std::max(run.peakJobs, runningJobs(window));
        if (endedNs < 0 && !window.conversionRunning() && !boxes.texts.isEmpty())
            endedNs = clock.nsecsElapsed();
    });

    const auto chosen = testsupport::chooseInNextFileDialog(output);
    clock.start();
    sampler.start();
    window.startConversion();
    while (endedNs < 0 && !clock.hasExpired(BatchTimeoutMs)) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        // The finished jobs' deleteLater, which processEvents alone leaves to the
        // application's own loop.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    sampler.stop();
    run.seconds = double(endedNs) / 1e9;

    if (!*chosen)
        return fail("the output folder dialog was never answered");
    if (endedNs < 0)
        return fail(QString("the batch did not end within %1 s").arg(BatchTimeoutMs / 1000));
    if (boxes.texts != QStringList{CompleteText})
        return fail(QString("the batch ended with \"%1\" instead of \"%2\" (logs in %3)")
                        .arg(boxes.texts.join("\" / \""), CompleteText, output));
    if (runningJobs(window) != 0)
        return fail("ffmpeg jobs still run after the batch ended");
    if (run.peakJobs > MainWindow::maxParallelJobs())
        return fail(QString("%1 jobs ran at once, more than the limit of %2")
                        .arg(run.peakJobs)
                        .arg(MainWindow::maxParallelJobs()));
    QStringList outputs;
    for (const QString &movie : movies)
        outputs << splitOutput(movie, output, "F", avi ? "avi" : "mp4")
                << splitOutput(movie, output, "R", avi ? "avi" : "mp4")
                << output + '/' + QFileInfo(movie).completeBaseName() + ".gps";
    return allExist(outputs, "driver");
}

// The same commands, started by xargs with the same number of jobs.
bool runXargs(const QStringList &movies, const QString &output, const QString &argumentFile,
              double &seconds)
{
    QDir().mkpath(output);
    QStringList outputs;
    QByteArray arguments; // NUL-separated, 14 to a command
    int perCommand = 0;
    for (const QString &movie : movies) {
        for (const auto &[stream, side] : {std::pair{"0:v:0", "F"}, std::pair{"0:v:1", "R"}}) {
            const QString out = splitOutput(movie, output, side, "mp4");
            const QStringList command = mp4Arguments(movie, stream, out);
            perCommand = int(command.size());
            for (const QString &argument : command)
                arguments += argument.toUtf8() + '\0';
            outputs << out;
        }
    }
    QFile file(argumentFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(arguments) != arguments.size())
        return fail("could not write " + argumentFile);
    file.close();

    QProcess xargs;
    // As from a shell pipeline: no terminal input for ffmpeg, its messages kept in a log.
    xargs.setStandardInputFile(QProcess::nullDevice());
    xargs.setStandardOutputFile(QProcess::nullDevice());
    xargs.setStandardErrorFile(output + "/xargs_log.txt");
    const QString ffmpeg = QCoreApplication::applicationDirPath() + "/ffmpeg"; // the driver's
    QElapsedTimer clock;
    clock.start();
    xargs.start(Xargs,
                {"-0", "-n", QString::number(perCommand), "-P",
                 QString::number(MainWindow::maxParallelJobs()), "-a", argumentFile, ffmpeg});
    const bool finished = xargs.waitForFinished(BatchTimeoutMs);
    seconds = double(clock.nsecsElapsed()) / 1e9;
    if (!finished)
        return fail("xargs did not finish: " + xargs.errorString());
    if (xargs.exitStatus() != QProcess::NormalExit || xargs.exitCode() != 0)
        return fail(QString("xargs ended with exit code %1 (log in %2/xargs_log.txt)")
                        .arg(xargs.exitCode())
                        .arg(output));
    return allExist(outputs, "xargs");
}

bool aviBatch(MainWindow &window, const QString &work)
{
    constexpr int Movies = 200;
    testavi::MovieRecipe layout; // 10 fps, 96x64 front, 48x32 rear
    const QStringList movies = writeMovies(work + "/avi-movies", Movies, 1, layout);
    if (movies.isEmpty())
        return false;
    BatchRun run;
    const QString output = work + "/avi-output";
    if (!runDriver(window, movies, output, true, run))
        return false;
    QDir(output).removeRecursively();
    say(QString("avi_batch_%1: wall_s=%2 peak_jobs=%3")
            .arg(Movies)
            .arg(run.seconds, 0, 'f', 2)
            .arg(run.peakJobs));
    return true;
}

bool mp4Batch(MainWindow &window, const QString &work)
{
    constexpr int Movies = 8;
    constexpr int Seconds = 10;
    testavi::MovieRecipe layout;
    layout.framesPerSecond = 25;
    layout.frontSize = {640, 360};
    layout.rearSize = {320, 180};
    const QStringList movies = writeMovies(work + "/mp4-movies", Movies, Seconds, layout);
    if (movies.isEmpty())
        return false;
    say(QString("mp4 batch: %1 movies of %2 s, %3x%4 front, %5x%6 rear, %7 fps, %8 MB each")
            .arg(Movies)
            .arg(Seconds)
            .arg(layout.frontSize.width())
            .arg(layout.frontSize.height())
            .arg(layout.rearSize.width())
            .arg(layout.rearSize.height())
            .arg(layout.framesPerSecond)
            .arg(double(QFileInfo(movies.first()).size()) / 1e6, 0, 'f', 1));

    // Alternating, so that drifts of the machine fall on both alike.
    std::vector<double> driverTimes, xargsTimes;
    int peakJobs = 0;
    for (int r = 1; r <= Repetitions; ++r) {
        BatchRun run;
        const QString driverOutput = QString("%1/mp4-driver-%2").arg(work).arg(r);
        if (!runDriver(window, movies, driverOutput, false, run))
            return false;
        QDir(driverOutput).removeRecursively();
        peakJobs = std::max(peakJobs, run.peakJobs);
        driverTimes.push_back(run.seconds);

        double xargsSeconds = 0;
        const QString xargsOutput = QString("%1/mp4-xargs-%2").arg(work).arg(r);
        if (!runXargs(movies, xargsOutput, work + "/xargs-arguments", xargsSeconds))
            return false;
        QDir(xargsOutput).removeRecursively();
        xargsTimes.push_back(xargsSeconds);

        say(QString("run %1: driver %2 s (peak %3 jobs), xargs -P %4 %5 s")
                .arg(r)
                .arg(run.seconds, 0, 'f', 2)
                .arg(run.peakJobs)
                .arg(MainWindow::maxParallelJobs())
                .arg(xargsSeconds, 0, 'f', 2));
    }
    const double driver = median(driverTimes);
    const double xargs = median(xargsTimes);
    say(QString("median wall: driver %1 s, xargs %2 s")
            .arg(driver, 0, 'f', 2)
            .arg(xargs, 0, 'f', 2));
    say(QString("batch_vs_xargs=%1 peak_jobs=%2").arg(driver / xargs, 0, 'f', 3).arg(peakJobs));
    return true;
}

// The offscreen platform notes every window call it ignores (raise, size hints) once per
// dialog; those would bury the figures. Everything else is passed on.
QtMessageHandler defaultHandler = nullptr;
void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && message.startsWith("This plugin does not support"))
        return;
    defaultHandler(type, context, message);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    defaultHandler = qInstallMessageHandler(quietHandler);
    const QString base = qEnvironmentVariable("BENCH_DIR", QDir::tempPath());
    QTemporaryDir work(base + "/bench_batch-XXXXXX");
    if (!work.isValid()) {
        fail("cannot make a work folder in " + base);
        return 1;
    }
    // The driver remembers the output folder: keep that out of the user's own settings.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(work.filePath("config")));
    QApplication::setApplicationName(QSETTINGS_APP_NAME_g);
    QApplication::setOrganizationName(APP_COMPANY_g);
    QApplication::setOrganizationDomain(APP_DOMAIN_g);
    QApplication app(argc, argv);

    if (!QFileInfo(Xargs).isExecutable()) {
        fail(Xargs + " is missing");
        return 1;
    }
    if (!testsupport::linkFfmpegBesideApp()) {
        fail("cannot link the system's ffmpeg beside " + QCoreApplication::applicationFilePath());
        return 1;
    }
    say(QString("ffmpeg: %1; job limit (MainWindow::maxParallelJobs): %2")
            .arg(testsupport::systemTool("ffmpeg"))
            .arg(MainWindow::maxParallelJobs()));

    MainWindow window;
    window.show();
    if (aviBatch(window, work.path()) && mp4Batch(window, work.path()))
        return 0;
    work.setAutoRemove(false); // the logs and outputs named above
    fail("work folder kept for a look: " + work.path());
    return 1;
}
