// Runs whole batches through the conversion driver with the real ffmpeg: 200 tiny movies
// with the streams copied, for the job pool's limit and overhead; 8 movies re-encoded to
// MP4, timed against xargs -P running the very same ffmpeg commands with the same number
// of jobs; 4 movies at the recorder's sizes as MP4 with MPEG-4 and with H.264, for the
// time and the picture quality each takes at the same bitrate; a movie at the recorder's
// sizes whose drive movie job runs on one core against its front movie's job, with and
// without the text, for what the drive movie costs (and, with --picture, a frame of it for
// the README); a card of 300 short continuing clips without and with joining them into a
// trip, for what the trip adds, the time from the split jobs' end to the first join and how
// long closing the window takes in between; a card's worth of big movies read from a cold
// page cache through a throttled disk with a page cache smaller than the batch, for the
// window's stalls and the bytes read; and on that reader, a card converted again with
// "Skip movies converted before", unchanged and with two new movies, for the time and the
// bytes skipping saves. The first two also run the driver without flushing its outputs to
// the disk, for what flushing costs. Each batch's last line sums it up for scripts
// ("drive: drive_vs_front=...", "trips300: prepare_s=...", "batch_vs_xargs=...", "again:
// again_vs_first=...").
//
// Usage: bench_batch [avi] [mp4] [h264] [drive] [trips] [card] [again] [--picture PATH]
//        (all batches when none is named; PATH: where the drive batch saves its frame)

#include "aviwriter.h"
#include "batch.h"
#include "cgroup.h"
#include "driveoverlay.h"
#include "globals.h"
#include "mainwindow.h"
#include "safefile.h"
#include "scanworker.h"
#include "telemetry.h"
#include "testsupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QProgressDialog>
#include <QRadioButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <sched.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint32 DriveStart = 1342256765; // 2012-07-14 09:06:05 UTC
constexpr int Repetitions = 3;
constexpr int BatchTimeoutMs = 30 * 60 * 1000;
constexpr int TickMs = 10; // the event-loop probe's interval
const QString CompleteText = QStringLiteral("Conversion Complete!");
const QString OneTripText = QStringLiteral("\n1 trip joined."); // each batch here is one drive
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
    const size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
}

double megabytes(qint64 bytes)
{
    return double(bytes) / 1e6;
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

QString splitOutput(const QString &movie, const QString &folder, Camera camera, bool avi)
{
    return QString("%1/%2%3").arg(folder, QFileInfo(movie).completeBaseName(),
                                  outputSuffix(EncodeSettings{!avi}, camera));
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

// How a batch went from its split jobs to its trips' joins, in nanoseconds since it
// started (-1: not seen), seen from outside the engine. runDriver's sampler looks at the
// window's jobs every millisecond, from the event loop that hears of their ends: a split
// job's end is seen within about a millisecond of the batch hearing of it, since what the
// batch then does runs on the scan thread or later in the loop. A join is seen once the
// batch has started both joins, which can only lengthen the preparation measured. The
// progress dialog's steps tell where that time went.
struct TripStages
{
    qint64 splitsEnded = -1;     // the latest end of a split job
    qint64 joinStarted = -1;     // the first join
    qint64 joinsEnded = -1;      // the latest end of a join
    std::map<int, qint64> steps; // when the dialog first showed each value
    bool splitRunning = false;
    bool joinRunning = false;

    void sample(const MainWindow &window, qint64 now);
    qint64 step(int value) const
    {
        const auto found = steps.find(value);
        return found == steps.end() ? -1 : found->second;
    }
    double prepareSeconds() const { return double(joinStarted - splitsEnded) / 1e9; }
    double joinSeconds() const { return double(joinsEnded - joinStarted) / 1e9; }
};

bool isJoin(const QProcess &job)
{
    return job.arguments().contains("concat");
}

void TripStages::sample(const MainWindow &window, qint64 now)
{
    bool splitRuns = false, joinRuns = false;
    for (const QProcess *job : window.findChildren<QProcess *>(Qt::FindDirectChildrenOnly)) {
        const bool runs = job->state() != QProcess::NotRunning;
        if (!isJoin(*job)) {
            splitRuns = splitRuns || runs;
            continue;
        }
        joinRuns = joinRuns || runs;
        if (joinStarted < 0)
            joinStarted = now;
    }
    const auto noteEnd = [now](bool &wasRunning, bool runs, qint64 &ended) {
        if (wasRunning && !runs)
            ended = now;
        wasRunning = runs;
    };
    noteEnd(splitRunning, splitRuns, splitsEnded);
    noteEnd(joinRunning, joinRuns, joinsEnded);
}

struct BatchRun
{
    double seconds = 0;
    int peakJobs = 0;
    double stallMs = 0; // the longest gap between the probe's ticks, less its interval
    TripStages trips;

    double splitSeconds() const { return double(trips.splitsEnded) / 1e9; }
    // What came after the split jobs: preparing and joining the trips.
    double tripSeconds() const { return seconds - splitSeconds(); }
};

// What the window's form is set to for a batch.
struct Form
{
    bool avi = false;
    bool h264 = false;
    bool joinTrips = false;
    bool skipConverted = false;
};

// Selects the movies as the selection does and sets the form.
void selectBatch(MainWindow &window, const QStringList &movies, const QString &output,
                 const Form &form)
{
    QDir().mkpath(output);
    for (int i = 0; i < movies.size(); ++i)
        BLOCKS_g[i].movieFile = QFileInfo(movies[i]);
    nBlocks_g = int(movies.size());
    window.findChild<QRadioButton *>(form.avi ? "aviRadio" : "mp4Radio")->click();
    window.findChild<QRadioButton *>("autoRadio")->click();
    window.findChild<QRadioButton *>(form.h264 ? "h264Radio" : "mpeg4Radio")->click();
    window.findChild<QCheckBox *>("joinTripsCheck")->setChecked(form.joinTrips);
    window.findChild<QCheckBox *>("skipConvertedCheck")->setChecked(form.skipConverted);
    window.findChild<QLineEdit *>("timezoneOffset")->setText("0");
    window.retrieveData();
}

// Runs the event loop as the application's own would, until `done` or the batch's
// timeout; whether it is done.
bool runEventsUntil(const std::function<bool()> &done, const QElapsedTimer &clock)
{
    QTimer wake; // so that the timeout is seen when nothing else happens
    wake.start(100);
    while (!done() && !clock.hasExpired(BatchTimeoutMs)) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        // The finished jobs' deleteLater, which processEvents alone leaves to the
        // application's own loop.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return done();
}

QProgressBar *progressBar()
{
    return testsupport::progressWindow()->findChild<QProgressBar *>();
}

// The split outputs and track of every movie.
QStringList movieOutputs(const QStringList &movies, const QString &output, bool avi)
{
    QStringList outputs;
    for (const QString &movie : movies)
        outputs << splitOutput(movie, output, Camera::Front, avi)
                << splitOutput(movie, output, Camera::Rear, avi)
                << output + '/' + QFileInfo(movie).completeBaseName() + ".gps";
    return outputs;
}

// The message a batch that went well ends with, having found `skipped` movies converted
// before.
QString completeMessage(const Form &form, int skipped)
{
    QString message = CompleteText;
    if (skipped == 1)
        message += "\n1 movie converted before was skipped.";
    else if (skipped > 1)
        message += QString("\n%1 movies converted before were skipped.").arg(skipped);
    return form.joinTrips ? message + OneTripText : message;
}

// Starts a batch as the selection does and waits until it has ended: the driver no longer
// runs and its message box was shown. Checks the message, which tells of `skipped` movies
// converted before, and every output.
bool runDriver(MainWindow &window, const QStringList &movies, const QString &output,
               const Form &form, BatchRun &run, int skipped = 0)
{
    selectBatch(window, movies, output, form);
    testsupport::MessageBoxRecorder boxes;
    QElapsedTimer clock;
    qint64 endedNs = -1;
    run.peakJobs = 0;
    run.trips = {};
    // Also fires inside the dialogs' own event loops, so the end is seen while the box shows.
    QTimer sampler;
    sampler.setTimerType(Qt::PreciseTimer);
    sampler.setInterval(1);
    QObject::connect(&sampler, &QTimer::timeout, &sampler, [&] {
        run.peakJobs = std::max(run.peakJobs, runningJobs(window));
        run.trips.sample(window, clock.nsecsElapsed());
        if (endedNs < 0 && !window.conversionRunning() && !boxes.texts.isEmpty())
            endedNs = clock.nsecsElapsed();
    });
    QObject::connect(progressBar(), &QProgressBar::valueChanged, &sampler,
                     [&](int value) { run.trips.steps.emplace(value, clock.nsecsElapsed()); });

    // How long the window could not repaint: the longest wait between two ticks.
    QElapsedTimer sinceTick;
    qint64 longestGapNs = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(TickMs);
    QObject::connect(&probe, &QTimer::timeout, &probe, [&] {
        longestGapNs = std::max(longestGapNs, sinceTick.nsecsElapsed());
        sinceTick.start();
    });

    const auto chosen = testsupport::chooseInNextFileDialog(output);
    clock.start();
    sampler.start();
    sinceTick.start();
    probe.start();
    window.startConversion();
    runEventsUntil([&] { return endedNs >= 0; }, clock);
    sampler.stop();
    probe.stop();
    run.seconds = double(endedNs) / 1e9;
    run.stallMs = std::max(0.0, double(longestGapNs) / 1e6 - TickMs);

    if (!*chosen)
        return fail("the output folder dialog was never answered");
    if (endedNs < 0)
        return fail(QString("the batch did not end within %1 s").arg(BatchTimeoutMs / 1000));
    const QString complete = completeMessage(form, skipped);
    if (boxes.texts != QStringList{complete})
        return fail(QString("the batch ended with \"%1\" instead of \"%2\" (logs in %3)")
                        .arg(boxes.texts.join("\" / \""), complete, output));
    if (runningJobs(window) != 0)
        return fail("ffmpeg jobs still run after the batch ended");
    if (run.peakJobs > Batch::maxParallelJobs())
        return fail(QString("%1 jobs ran at once, more than the limit of %2")
                        .arg(run.peakJobs)
                        .arg(Batch::maxParallelJobs()));
    return allExist(movieOutputs(movies, output, form.avi), "driver");
}

// The same batch with every output left to the kernel's write-back instead of flushed to
// the disk before it is named: safefile's switch for benchmarks, never off in the program.
bool runDriverUnflushed(MainWindow &window, const QStringList &movies, const QString &output,
                        const Form &form, BatchRun &run)
{
    safefile::setFlushing(false);
    const bool done = runDriver(window, movies, output, form, run);
    safefile::setFlushing(true);
    return done;
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
        for (const Camera camera : {Camera::Front, Camera::Rear}) {
            // The driver's command in MP4 mode with the automatic rate.
            const QString out = splitOutput(movie, output, camera, false);
            const QStringList command = splitArguments(EncodeSettings{}, movie, camera, out);
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
    const QString ffmpeg = ffmpegProgram(); // the driver's
    QElapsedTimer clock;
    clock.start();
    xargs.start(Xargs, {"-0", "-n", QString::number(perCommand), "-P",
                        QString::number(Batch::maxParallelJobs()), "-a", argumentFile, ffmpeg});
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
    BatchRun run, unflushed;
    const QString output = work + "/avi-output";
    if (!runDriver(window, movies, output, Form{true}, run))
        return false;
    QDir(output).removeRecursively();
    if (!runDriverUnflushed(window, movies, output, Form{true}, unflushed))
        return false;
    QDir(output).removeRecursively();
    say(QString("avi_batch_%1: wall_s=%2 peak_jobs=%3 stall_ms=%4 unflushed_wall_s=%5 "
                "flush_vs_noflush=%6")
            .arg(Movies)
            .arg(run.seconds, 0, 'f', 2)
            .arg(run.peakJobs)
            .arg(run.stallMs, 0, 'f', 0)
            .arg(unflushed.seconds, 0, 'f', 2)
            .arg(run.seconds / unflushed.seconds, 0, 'f', 3));
    return true;
}

// The mp4 batch's movies: small enough to encode in seconds.
constexpr int Mp4Movies = 8;
constexpr int Mp4Seconds = 10;
testavi::MovieRecipe mp4Layout()
{
    testavi::MovieRecipe layout;
    layout.framesPerSecond = 25;
    layout.frontSize = {640, 360};
    layout.rearSize = {320, 180};
    return layout;
}

bool mp4Batch(MainWindow &window, const QString &work)
{
    constexpr int Movies = Mp4Movies;
    constexpr int Seconds = Mp4Seconds;
    const testavi::MovieRecipe layout = mp4Layout();
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
    std::vector<double> driverTimes, unflushedTimes, xargsTimes;
    int peakJobs = 0;
    for (int r = 1; r <= Repetitions; ++r) {
        BatchRun run;
        const QString driverOutput = QString("%1/mp4-driver-%2").arg(work).arg(r);
        if (!runDriver(window, movies, driverOutput, Form{}, run))
            return false;
        QDir(driverOutput).removeRecursively();
        peakJobs = std::max(peakJobs, run.peakJobs);
        driverTimes.push_back(run.seconds);

        BatchRun unflushed;
        if (!runDriverUnflushed(window, movies, driverOutput, Form{}, unflushed))
            return false;
        QDir(driverOutput).removeRecursively();
        unflushedTimes.push_back(unflushed.seconds);

        double xargsSeconds = 0;
        const QString xargsOutput = QString("%1/mp4-xargs-%2").arg(work).arg(r);
        if (!runXargs(movies, xargsOutput, work + "/xargs-arguments", xargsSeconds))
            return false;
        QDir(xargsOutput).removeRecursively();
        xargsTimes.push_back(xargsSeconds);

        say(QString("run %1: driver %2 s (peak %3 jobs, longest stall %4 ms), unflushed %5 s, "
                    "xargs -P %6 %7 s")
                .arg(r)
                .arg(run.seconds, 0, 'f', 2)
                .arg(run.peakJobs)
                .arg(run.stallMs, 0, 'f', 0)
                .arg(unflushed.seconds, 0, 'f', 2)
                .arg(Batch::maxParallelJobs())
                .arg(xargsSeconds, 0, 'f', 2));
    }
    const double driver = median(driverTimes);
    const double unflushed = median(unflushedTimes);
    const double xargs = median(xargsTimes);
    say(QString("median wall: driver %1 s, unflushed %2 s, xargs %3 s")
            .arg(driver, 0, 'f', 2)
            .arg(unflushed, 0, 'f', 2)
            .arg(xargs, 0, 'f', 2));
    say(QString("mp4 batch: batch_vs_xargs=%1 peak_jobs=%2 flush_vs_noflush=%3")
            .arg(driver / xargs, 0, 'f', 3)
            .arg(peakJobs)
            .arg(driver / unflushed, 0, 'f', 3));
    return true;
}

// SSIM of one camera's output against the movie's own picture, through ffmpeg's filter.
double ssim(const QString &output, const QString &movie, Camera camera)
{
    QProcess ffmpeg;
    const QString source = camera == Camera::Front ? "[1:v:0]" : "[1:v:1]";
    ffmpeg.start(ffmpegProgram(), {"-v", "info", "-nostdin", "-i", output, "-c:s", "text", "-i",
                                   movie, "-lavfi", "[0:v]" + source + "ssim", "-f", "null", "-"});
    ffmpeg.waitForFinished(BatchTimeoutMs);
    const QString log = QString::fromUtf8(ffmpeg.readAllStandardError());
    const qsizetype all = log.lastIndexOf(" All:");
    return all < 0 ? -1 : log.mid(all + 5).section(' ', 0, 0).toDouble();
}

// The same movies as MP4 with MPEG-4 and with H.264 at the same (automatic) bitrate: the
// time of the batch and the quality of its pictures. Movies at the recorder's sizes with a
// moving, detailed picture and sensor grain, which a still test card would flatter.
bool h264Batch(MainWindow &window, const QString &work)
{
    constexpr int Movies = 4;
    constexpr int Seconds = 6;
    testavi::MovieRecipe layout;
    layout.framesPerSecond = 25;
    layout.frontSize = {1920, 1080};
    layout.rearSize = {1280, 720};
    layout.pictureSource = "testsrc2=size=%1x%2:rate=25,noise=alls=12:allf=t+u";
    layout.distinctFrames = 50;
    const QStringList movies = writeMovies(work + "/h264-movies", Movies, Seconds, layout);
    if (movies.isEmpty())
        return false;
    say(QString("h264 batch: %1 movies of %2 s, 1920x1080 front, 1280x720 rear, %3 MB each")
            .arg(Movies)
            .arg(Seconds)
            .arg(double(QFileInfo(movies.first()).size()) / 1e6, 0, 'f', 1));
    std::vector<double> times[2];
    double quality[2] = {0, 0};
    for (int r = 1; r <= Repetitions; ++r) {
        for (const bool h264 : {false, true}) {
            BatchRun run;
            const QString output = QString("%1/h264-%2-%3").arg(work).arg(h264).arg(r);
            if (!runDriver(window, movies, output, Form{false, h264}, run))
                return false;
            times[h264].push_back(run.seconds);
            const QString first = splitOutput(movies.first(), output, Camera::Front, false);
            const QString firstRear = splitOutput(movies.first(), output, Camera::Rear, false);
            quality[h264] = (ssim(first, movies.first(), Camera::Front) +
                             ssim(firstRear, movies.first(), Camera::Rear)) /
                            2;
            QDir(output).removeRecursively();
            say(QString("run %1: %2 %3 s, SSIM %4")
                    .arg(r)
                    .arg(h264 ? "H.264" : "MPEG-4")
                    .arg(run.seconds, 0, 'f', 2)
                    .arg(quality[h264], 0, 'f', 4));
        }
    }
    say(QString("h264 batch: h264_vs_mpeg4=%1 ssim_mpeg4=%2 ssim_h264=%3")
            .arg(median(times[1]) / median(times[0]), 0, 'f', 3)
            .arg(quality[0], 0, 'f', 4)
            .arg(quality[1], 0, 'f', 4));
    return true;
}

// The drive movie's job against the front movie's, one after the other on one core at the
// converter's priority, as a batch with a job per core runs them: a movie at the recorder's
// sizes and rate with a moving, detailed picture (the rear one mirrored, as a rear camera
// shows the road) and its records every second. Also the drive job without its text, for
// what the text costs. The jobs read the movie from the page cache, as it was just written:
// what is compared is their work.
constexpr int DriveSeconds = 10;
constexpr int DriveFramesPerSecond = 30;
constexpr int DriveRounds = 5;
constexpr double PictureSecond = 1.5; // the README's frame of a drive movie
constexpr int PictureWidth = 960;

// The CPU time of the children this process has waited for so far.
double childCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval &time) {
        return double(time.tv_sec) + time.tv_usec / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One ffmpeg job of the drive batch, and what each round measured of it.
struct TimedJob
{
    QString name;
    QString output;
    QStringList arguments = {};
    QStringList environment = {};
    std::vector<double> seconds = {};
    std::vector<double> cpuSeconds = {};
};

// Runs the job on the first core at the converter's priority (Batch::startJob's nice 10),
// its messages in a log beside its output.
bool runOnOneCore(TimedJob &job)
{
    const QString log = job.output + ".log";
    QProcess ffmpeg;
    ffmpeg.setChildProcessModifier([] {
        cpu_set_t first;
        CPU_ZERO(&first);
        CPU_SET(0, &first);
        ::sched_setaffinity(0, sizeof first, &first);
        const int niceness = ::nice(10);
        (void)niceness; // the job runs either way
    });
    ffmpeg.setStandardInputFile(QProcess::nullDevice());
    ffmpeg.setStandardOutputFile(QProcess::nullDevice());
    ffmpeg.setStandardErrorFile(log);
    if (!job.environment.isEmpty())
        ffmpeg.setEnvironment(QProcess::systemEnvironment() + job.environment);
    const double cpuBefore = childCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    ffmpeg.start(ffmpegProgram(), job.arguments);
    const bool finished = ffmpeg.waitForFinished(BatchTimeoutMs);
    job.seconds.push_back(double(clock.nsecsElapsed()) / 1e9);
    job.cpuSeconds.push_back(childCpuSeconds() - cpuBefore);
    if (!finished || ffmpeg.exitStatus() != QProcess::NormalExit || ffmpeg.exitCode() != 0)
        return fail(QString("the %1 job failed (log in %2)").arg(job.name, log));
    return allExist({job.output}, job.name);
}

// The subtitle file the batch hands the drive job, written from the movie's records as
// its scan reads them.
bool writeDriveText(const QString &movie, const QString &path)
{
    const auto block = std::make_unique<s_BLOCK>();
    if (!telemetry::read(movie, *block) || recordCount(*block) != DriveSeconds)
        return fail(QString("%1 holds %2 records instead of %3")
                        .arg(movie)
                        .arg(recordCount(*block))
                        .arg(DriveSeconds));
    return testsupport::writeFile(path, driveoverlay::subtitles(*block, 0)) ||
           fail("could not write " + path);
}

// What lscpu calls the processor.
QString cpuModel()
{
    QProcess lscpu;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LC_ALL", "C");
    lscpu.setProcessEnvironment(environment);
    lscpu.start("lscpu", {});
    lscpu.waitForFinished();
    for (const QByteArray &line : lscpu.readAllStandardOutput().split('\n'))
        if (line.startsWith("Model name:"))
            return QString::fromUtf8(line.mid(11).trimmed());
    return "unknown";
}

// One frame of a drive movie, PictureWidth wide, for the README.
bool savePicture(const QString &movie, const QString &path)
{
    const QImage frame = testsupport::frameAt(movie, PictureSecond);
    if (frame.isNull())
        return fail("could not take a frame of " + movie);
    QDir().mkpath(QFileInfo(path).path());
    if (!frame.scaledToWidth(PictureWidth, Qt::SmoothTransformation).save(path, "PNG", 0))
        return fail("could not write " + path);
    say(QString("picture: the drive movie at %1 s, %2 px wide, %3 KB in %4")
            .arg(PictureSecond)
            .arg(PictureWidth)
            .arg(double(QFileInfo(path).size()) / 1e3, 0, 'f', 0)
            .arg(path));
    return true;
}

// Each job's figure over the baseline's, round by round: the jobs of a round ran within a
// minute, so that the drifts of a shared machine fall on them alike.
double medianRatio(const std::vector<double> &measured, const std::vector<double> &baseline)
{
    std::vector<double> ratios;
    for (size_t i = 0; i < measured.size(); ++i)
        ratios.push_back(measured[i] / baseline[i]);
    return median(ratios);
}

bool driveBatch(const QString &work, const QString &picture)
{
    testavi::MovieRecipe layout;
    layout.framesPerSecond = DriveFramesPerSecond;
    layout.frontSize = {1920, 1080};
    layout.rearSize = {1280, 720};
    layout.pictureSource = "testsrc2=size=%1x%2:rate=30";
    layout.rearPictureSource = "testsrc2=size=%1x%2:rate=30,hflip";
    layout.distinctFrames = 2 * DriveFramesPerSecond;
    const QString folder = work + "/drive";
    const QStringList movies = writeMovies(folder, 1, DriveSeconds, layout);
    const QString text = folder + "/drive-text.ass";
    if (movies.isEmpty() || !writeDriveText(movies.first(), text))
        return false;
    const QString &movie = movies.first();
    say(QString("drive batch: a movie of %1 s, 1920x1080 front, 1280x720 rear, %2 fps, %3 MB, "
                "%4 rounds on core 0 at nice 10")
            .arg(DriveSeconds)
            .arg(DriveFramesPerSecond)
            .arg(megabytes(QFileInfo(movie).size()), 0, 'f', 1)
            .arg(DriveRounds));

    const EncodeSettings h264{true, 7.0, false, VideoCodec::H264};
    const QString stem = folder + "/FILE0001";
    TimedJob front{"front", stem + "F.mp4"};
    front.arguments = splitArguments(h264, movie, Camera::Front, front.output);
    TimedJob drive{"drive", stem + "FR.mp4"};
    drive.arguments = driveArguments(h264, movie, text, drive.output);
    drive.environment = driveEnvironment();
    TimedJob bare{"drive without text", stem + "FR-bare.mp4"};
    bare.arguments = driveArguments(h264, movie, {}, bare.output);
    bare.environment = driveEnvironment();
    TimedJob *jobs[] = {&front, &drive, &bare};
    for (int r = 0; r < DriveRounds; ++r) {
        // Each job takes each place in a round in turn.
        for (int i = 0; i < 3; ++i)
            if (!runOnOneCore(*jobs[(r + i) % 3]))
                return false;
        say(QString("round %1: front %2 s (CPU %3 s), drive %4 s (CPU %5 s), drive without text "
                    "%6 s (CPU %7 s)")
                .arg(r + 1)
                .arg(front.seconds.back(), 0, 'f', 2)
                .arg(front.cpuSeconds.back(), 0, 'f', 2)
                .arg(drive.seconds.back(), 0, 'f', 2)
                .arg(drive.cpuSeconds.back(), 0, 'f', 2)
                .arg(bare.seconds.back(), 0, 'f', 2)
                .arg(bare.cpuSeconds.back(), 0, 'f', 2));
    }
    if (!picture.isEmpty() && !savePicture(drive.output, picture))
        return false;
    say(QString("by CPU time: drive_vs_front=%1 overlay_cost=%2")
            .arg(medianRatio(drive.cpuSeconds, front.cpuSeconds), 0, 'f', 3)
            .arg(medianRatio(drive.cpuSeconds, bare.cpuSeconds), 0, 'f', 3));
    say(QString("drive: drive_vs_front=%1 overlay_cost=%2 drive_fps=%3 cpu=\"%4\"")
            .arg(medianRatio(drive.seconds, front.seconds), 0, 'f', 3)
            .arg(medianRatio(drive.seconds, bare.seconds), 0, 'f', 3)
            .arg(DriveSeconds * DriveFramesPerSecond / median(drive.seconds), 0, 'f', 1)
            .arg(cpuModel()));
    return true;
}

// A card's worth of clips of one drive: 300 of 2 s at the smallest picture sizes, so that
// what each clip costs the trip (planning it, its tracks, the joins' inputs and chapters)
// stands out against the encoding.
constexpr int TripClips = 300;
constexpr int TripClipSeconds = 2;
const QString TripFront = QStringLiteral("TRIP_20120714_090605F.mp4"); // named after DriveStart

// Where the time after a batch's `movies` split jobs went: preparing the trips, by the
// dialog's steps (the last movie's files in place, the trips planned, the first trip's
// tracks written, the joins started); the joins; putting the trip in place and telling.
QString tripTimes(const BatchRun &run, int movies)
{
    const TripStages &stages = run.trips;
    const qint64 marks[] = {stages.splitsEnded, stages.step(2 * movies),
                            stages.step(2 * movies + 1), stages.step(2 * movies + 2),
                            stages.joinStarted};
    const auto seconds = [&](int i) { return double(marks[i + 1] - marks[i]) / 1e9; };
    return QString("trip %1 s = prepare %2 s (last movie in place %3 + trips planned %4 + "
                   "tracks written %5 + joins started %6) + joins %7 s + in place and told %8 s")
        .arg(run.tripSeconds(), 0, 'f', 2)
        .arg(stages.prepareSeconds(), 0, 'f', 3)
        .arg(seconds(0), 0, 'f', 3)
        .arg(seconds(1), 0, 'f', 3)
        .arg(seconds(2), 0, 'f', 3)
        .arg(seconds(3), 0, 'f', 3)
        .arg(stages.joinSeconds(), 0, 'f', 2)
        .arg(run.seconds - double(stages.joinsEnded) / 1e9, 0, 'f', 2);
}

// A batch with trips that joined all its clips into one trip, and was seen doing it.
bool checkTrip(const BatchRun &run, const QString &output, int clips)
{
    const TripStages &stages = run.trips;
    if (stages.splitsEnded < 0 || stages.joinStarted < stages.splitsEnded ||
        stages.joinsEnded < stages.joinStarted)
        return fail("no join was seen after the split jobs in " + output);
    for (const int step : {2 * clips, 2 * clips + 1, 2 * clips + 2})
        if (stages.step(step) < 0)
            return fail(QString("the progress dialog never showed step %1").arg(step));
    const int chapters = int(testsupport::probeChapters(output + '/' + TripFront).size());
    if (chapters != clips)
        return fail(
            QString("%1 holds %2 chapters instead of %3").arg(TripFront).arg(chapters).arg(clips));
    return true;
}

// Closes the window the moment the dialog shows the trips planned, while their tracks are
// written on the scan thread: how long closing takes. Closing must leave no ffmpeg, no
// partial (hidden) file and no trip file, and every movie's outputs.
bool closeWhilePreparing(MainWindow &window, const QStringList &movies, const QString &output,
                         double &closeMs)
{
    selectBatch(window, movies, output, Form{false, false, true});
    const int planned = Batch::initialSteps(int(movies.size()), CONF_g);
    testsupport::MessageBoxRecorder boxes;
    qint64 closeNs = -1;
    QObject context;
    QObject::connect(progressBar(), &QProgressBar::valueChanged, &context, [&](int value) {
        if (value != planned || closeNs >= 0)
            return;
        QElapsedTimer closing;
        closing.start();
        window.close();
        closeNs = closing.nsecsElapsed();
    });
    const auto chosen = testsupport::chooseInNextFileDialog(output);
    QElapsedTimer clock;
    clock.start();
    window.startConversion();
    runEventsUntil([&] { return closeNs >= 0 || !window.conversionRunning(); }, clock);
    window.show(); // for the batches that follow
    closeMs = double(closeNs) / 1e6;

    if (!*chosen)
        return fail("the output folder dialog was never answered");
    if (closeNs < 0)
        return fail("the batch was not seen planning its trips");
    if (window.conversionRunning())
        return fail("closing the window did not end the batch");
    if (!boxes.texts.isEmpty())
        return fail("closing the window showed \"" + boxes.texts.join("\" / \"") + '"');
    if (!testsupport::childProcesses().isEmpty())
        return fail("ffmpeg still runs after the window was closed");
    for (const QString &name : testsupport::filesIn(output))
        if (name.startsWith('.') || name.startsWith("TRIP_"))
            return fail(QString("closing the window left %1 in %2").arg(name, output));
    return allExist(movieOutputs(movies, output, false), "closed while preparing trips");
}

// The trips batch's figures per repetition, without [0] and with [1] trips.
struct TripFigures
{
    std::vector<double> seconds[2];
    std::vector<double> prepareSeconds;
    // What came after the split jobs (preparing and joining the trip) over what they took,
    // within one batch: far less at the mercy of what else the machine runs than a ratio
    // of two batches minutes apart.
    std::vector<double> tripShares;
};

// The clips converted without and with "Join consecutive clips into trips" in turn, the
// order swapped each repetition, so that drifts of the (shared) machine and what one batch
// leaves the next (its outputs still being written to the disk) fall on both alike.
bool timeTrips(MainWindow &window, const QString &work, const QStringList &movies,
               TripFigures &figures)
{
    for (int r = 1; r <= Repetitions; ++r) {
        for (const bool join : r % 2 ? std::array{false, true} : std::array{true, false}) {
            BatchRun run;
            const QString output = QString("%1/trips-%2-%3").arg(work).arg(join).arg(r);
            if (!runDriver(window, movies, output, Form{false, false, join}, run) ||
                (join && !checkTrip(run, output, TripClips)))
                return false;
            QDir(output).removeRecursively();
            figures.seconds[join].push_back(run.seconds);
            if (join) {
                figures.prepareSeconds.push_back(run.trips.prepareSeconds());
                figures.tripShares.push_back(run.tripSeconds() / run.splitSeconds());
            }
            say(QString("run %1: %2 %3 s, split jobs ended at %4 s%5")
                    .arg(r)
                    .arg(join ? "with trips" : "without")
                    .arg(run.seconds, 0, 'f', 2)
                    .arg(run.splitSeconds(), 0, 'f', 2)
                    .arg(join ? ", " + tripTimes(run, TripClips) : QString()));
        }
    }
    return true;
}

// What joining a card's clips into a trip adds to the batch, the time from the split jobs'
// end to the first join, and how long closing the window takes while the trip is prepared.
bool tripsBatch(MainWindow &window, const QString &work)
{
    testavi::MovieRecipe layout; // 10 fps, 96x64 front, 48x32 rear
    const QStringList movies =
        writeMovies(work + "/trip-movies", TripClips, TripClipSeconds, layout);
    if (movies.isEmpty())
        return false;
    say(QString("trips batch: %1 continuing clips of %2 s, %3x%4 front, %5x%6 rear, %7 fps")
            .arg(TripClips)
            .arg(TripClipSeconds)
            .arg(layout.frontSize.width())
            .arg(layout.frontSize.height())
            .arg(layout.rearSize.width())
            .arg(layout.rearSize.height())
            .arg(layout.framesPerSecond));
    TripFigures figures;
    if (!timeTrips(window, work, movies, figures))
        return false;
    double closeMs = 0;
    const QString closed = work + "/trips-closed";
    if (!closeWhilePreparing(window, movies, closed, closeMs))
        return false;
    QDir(closed).removeRecursively();
    say(QString("closed while preparing the trip in %1 ms").arg(closeMs, 0, 'f', 1));
    say(QString("median wall: without %1 s, with trips %2 s; within a batch with trips, the "
                "trip over the split jobs %3")
            .arg(median(figures.seconds[0]), 0, 'f', 2)
            .arg(median(figures.seconds[1]), 0, 'f', 2)
            .arg(median(figures.tripShares), 0, 'f', 3));
    say(QString("trips%1: prepare_s=%2 abort_ms=%3 trips_vs_plain=%4")
            .arg(TripClips)
            .arg(median(figures.prepareSeconds), 0, 'f', 3)
            .arg(closeMs, 0, 'f', 1)
            .arg(median(figures.seconds[1]) / median(figures.seconds[0]), 0, 'f', 3));
    return true;
}

// A card from the recorder, as a USB card reader delivers it: movies of 500 MB and more,
// read at 90 MB/s, by a program whose page cache holds less than the batch.
constexpr int CardMovies = 8;
constexpr int CardSeconds = 60;
constexpr qint64 CardMovieBytes = 500'000'000; // at least, the frames come on top
constexpr qint64 CardReadRate = 90'000'000;    // bytes per second
constexpr qint64 CardMemoryLimit = qint64(1536) << 20;
constexpr qint64 CardSpaceNeeded = qint64(5) << 30;
constexpr int CardRepetitions = 2;

// The bytes of the files in the page cache, as fincore asks the kernel.
bool residentBytes(const QStringList &paths, qint64 &resident)
{
    QProcess fincore;
    fincore.start("fincore",
                  QStringList{"--bytes", "--noheadings", "--raw", "--output", "RES"} + paths);
    if (!fincore.waitForFinished() || fincore.exitCode() != 0)
        return fail("fincore failed: " + fincore.errorString() + ' ' +
                    QString::fromLocal8Bit(fincore.readAllStandardError()));
    resident = 0;
    for (const QByteArray &line : fincore.readAllStandardOutput().split('\n'))
        resident += line.trimmed().toLongLong();
    return true;
}

// Drops the files from the page cache and has fincore confirm it.
bool evictFromPageCache(const QStringList &paths)
{
    for (const QString &path : paths)
        if (!ScanWorker::releaseFromPageCache(path))
            return fail("could not drop " + path + " from the page cache");
    qint64 resident = 0;
    if (!residentBytes(paths, resident))
        return false;
    say(QString("  cold cache: fincore counts %1 bytes of the %2 file(s) in the page cache")
            .arg(resident)
            .arg(paths.size()));
    return resident == 0 || fail("the files are still in the page cache");
}

// Counts the ffmpeg processes alive in the cgroup from a thread of its own, so that a
// GUI thread that is busy elsewhere cannot hide any.
class FfmpegCounter
{
public:
    explicit FfmpegCounter(const ThrottledCgroup &cgroup)
        : thread([this, &cgroup] {
              while (!done) {
                  peak = std::max(peak.load(), running(cgroup));
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
              }
          })
    {
    }
    ~FfmpegCounter() { stop(); }
    int stop()
    {
        done = true;
        if (thread.joinable())
            thread.join();
        return peak;
    }

private:
    static int running(const ThrottledCgroup &cgroup)
    {
        int count = 0;
        for (const pid_t pid : cgroup.processes()) {
            testsupport::ProcessStatus status;
            // One that ended in between is gone; a zombie has ended and waits to be reaped.
            count += testsupport::processStatus(pid, status) && status.name == "ffmpeg" &&
                     status.state != 'Z';
        }
        return count;
    }

    std::atomic<bool> done{false};
    std::atomic<int> peak{0};
    std::thread thread; // last: it starts once the members it uses exist
};

struct CardRun
{
    double seconds = 0;
    double stallMs = 0;
    qint64 bytesRead = 0;
    int peakJobs = 0;
};

// Runs a batch from a cold page cache and counts what the cgroup read and its ffmpeg
// processes.
bool coldRun(const QStringList &movies, const ThrottledCgroup &cgroup,
             const std::function<bool(CardRun &)> &batch, CardRun &run)
{
    if (!evictFromPageCache(movies))
        return false;
    const qint64 before = cgroup.bytesRead();
    FfmpegCounter counter(cgroup);
    if (!batch(run))
        return false;
    run.peakJobs = counter.stop();
    run.bytesRead = cgroup.bytesRead() - before;
    return true;
}

// A cold read of one movie by this process: it must go at the throttled rate and be
// counted, or the figures that follow would mean nothing.
bool checkThrottle(const QString &movie, const ThrottledCgroup &cgroup)
{
    if (!evictFromPageCache({movie}))
        return false;
    QFile file(movie);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return fail("cannot open " + movie);
    const qint64 before = cgroup.bytesRead();
    QElapsedTimer clock;
    clock.start();
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 total = 0;
    for (qint64 got; (got = file.read(buffer.data(), buffer.size())) > 0;)
        total += got;
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const qint64 counted = cgroup.bytesRead() - before;
    const double rate = double(total) / seconds;
    say(QString("throttle check: cold read of %1: %2 MB in %3 s = %4 MB/s; the cgroup counted "
                "%5 MB read")
            .arg(QFileInfo(movie).fileName())
            .arg(megabytes(total), 0, 'f', 1)
            .arg(seconds, 0, 'f', 2)
            .arg(rate / 1e6, 0, 'f', 1)
            .arg(megabytes(counted), 0, 'f', 1));
    if (rate > 1.2 * CardReadRate)
        return fail("the reads are not throttled");
    if (counted < total * 95 / 100)
        return fail("the cgroup does not count the reads from the disk");
    return true;
}

// A batch through the driver, for coldRun; it finds `skipped` movies converted before.
std::function<bool(CardRun &)> driverBatch(MainWindow &window, const QStringList &movies,
                                           const QString &output, const Form &form, int skipped = 0)
{
    return [&window, movies, output, form, skipped](CardRun &run) {
        BatchRun batch;
        const bool ok = runDriver(window, movies, output, form, batch, skipped);
        run.seconds = batch.seconds;
        run.stallMs = batch.stallMs;
        return ok;
    };
}

QString cardRunLine(const QString &what, const CardRun &run, qint64 inputBytes)
{
    return QString("%1 %2 s, read %3 MB = %4 x input, peak %5 ffmpeg")
        .arg(what)
        .arg(run.seconds, 0, 'f', 2)
        .arg(megabytes(run.bytesRead), 0, 'f', 0)
        .arg(double(run.bytesRead) / double(inputBytes), 0, 'f', 3)
        .arg(run.peakJobs);
}

// Runs the card batch, alternating the driver and xargs, each from a cold page cache.
bool measureCard(MainWindow &window, const QString &work, const QStringList &movies,
                 qint64 inputBytes, const ThrottledCgroup &cgroup)
{
    if (!checkThrottle(movies.first(), cgroup))
        return false;

    std::vector<double> driverTimes, xargsTimes, driverRatios;
    int peakJobs = 0;
    double stallMs = 0;
    for (int r = 1; r <= CardRepetitions; ++r) {
        const QString driverOutput = QString("%1/card-driver-%2").arg(work).arg(r);
        CardRun driver;
        if (!coldRun(movies, cgroup, driverBatch(window, movies, driverOutput, Form{}), driver))
            return false;
        QDir(driverOutput).removeRecursively();
        say(QString("run %1: %2, longest stall %3 ms")
                .arg(r)
                .arg(cardRunLine("driver", driver, inputBytes))
                .arg(driver.stallMs, 0, 'f', 0));

        const QString xargsOutput = QString("%1/card-xargs-%2").arg(work).arg(r);
        CardRun xargs;
        if (!coldRun(
                movies, cgroup,
                [&](CardRun &run) {
                    return runXargs(movies, xargsOutput, work + "/xargs-arguments", run.seconds);
                },
                xargs))
            return false;
        QDir(xargsOutput).removeRecursively();
        const QString xargsName = QString("xargs -P %1").arg(Batch::maxParallelJobs());
        say(QString("run %1: %2").arg(r).arg(cardRunLine(xargsName, xargs, inputBytes)));

        driverTimes.push_back(driver.seconds);
        xargsTimes.push_back(xargs.seconds);
        driverRatios.push_back(double(driver.bytesRead) / double(inputBytes));
        peakJobs = std::max(peakJobs, driver.peakJobs);
        stallMs = std::max(stallMs, driver.stallMs);
    }
    const double driver = median(driverTimes);
    const double xargs = median(xargsTimes);
    say(QString("card median wall: driver %1 s, xargs %2 s; longest stall of all driver runs "
                "%3 ms; median driver read ratio %4")
            .arg(driver, 0, 'f', 2)
            .arg(xargs, 0, 'f', 2)
            .arg(stallMs, 0, 'f', 0)
            .arg(median(driverRatios), 0, 'f', 3));
    say(QString("batch_vs_xargs=%1 peak_jobs=%2 stall_ms_max=%3 read_ratio=%4")
            .arg(driver / xargs, 0, 'f', 3)
            .arg(peakJobs)
            .arg(stallMs, 0, 'f', 0)
            .arg(median(driverRatios), 0, 'f', 3));
    return true;
}

qint64 totalBytes(const QStringList &paths)
{
    qint64 bytes = 0;
    for (const QString &path : paths)
        bytes += QFileInfo(path).size();
    return bytes;
}

// A card's movies of `seconds` and at least `bytes` each at the smallest picture sizes:
// ffmpeg reads the padding with the frames, so the reader's rate sets the pace. One at a
// time, as each is built in memory before it is written.
QStringList writeCardMovies(const QString &batch, const QString &folder, int count, int seconds,
                            qint64 bytes)
{
    testavi::MovieRecipe layout; // 10 fps, 96x64 front, 48x32 rear
    layout.framePadding = int(bytes / (2 * seconds * layout.framesPerSecond));
    const QStringList movies = writeMovies(folder, count, seconds, layout);
    if (movies.isEmpty())
        return {};
    say(QString("%1 batch: %2 movies of %3 s, %4 MB each (video chunks padded by %5 bytes "
                "that ffmpeg reads), %6 MB in all, 2 telemetry samples a second")
            .arg(batch)
            .arg(count)
            .arg(seconds)
            .arg(megabytes(QFileInfo(movies.first()).size()), 0, 'f', 1)
            .arg(layout.framePadding)
            .arg(megabytes(totalBytes(movies)), 0, 'f', 0));
    return movies;
}

// Runs `measure` with this process, and so the ffmpeg it starts, in the cgroup.
bool insideCgroup(ThrottledCgroup &cgroup, const std::function<bool()> &measure)
{
    QString error;
    if (!cgroup.enter(error))
        return fail("cannot move into the cgroup: " + error);
    const auto leave = qScopeGuard([&] { cgroup.leave(); });
    for (const QString &line : cgroup.description())
        say(line);
    return measure();
}

bool cardBatch(MainWindow &window, const QString &work, ThrottledCgroup &cgroup)
{
    const QString folder = work + "/card-movies";
    // Gigabytes: removed whatever happens, unlike the logs.
    const auto removeMovies = qScopeGuard([&] { QDir(folder).removeRecursively(); });
    const QStringList movies =
        writeCardMovies("card", folder, CardMovies, CardSeconds, CardMovieBytes);
    return !movies.isEmpty() && insideCgroup(cgroup, [&] {
        return measureCard(window, work, movies, totalBytes(movies), cgroup);
    });
}

// "Skip movies converted before" on the card's reader: a card converted once with the
// option on, then again unchanged, then with two new movies of the same drive, against a
// batch of those two alone into a fresh folder, each from a cold page cache. Half the
// card's movie size keeps it to a few minutes while the ratios keep their meaning: the
// first run still reads 2 GB at the reader's rate, over 20 s, against which the unchanged
// run's own costs show, and the third run would read five times what the two new movies
// take, were it to read the eight skipped ones.
constexpr int AgainMovies = 8;
constexpr int AgainNewMovies = 2;
constexpr int AgainSeconds = 30;
constexpr qint64 AgainMovieBytes = 250'000'000;
constexpr qint64 AgainSpaceNeeded = qint64(3) << 30;
constexpr Form Skipping{false, false, false, true}; // MP4 with MPEG-4, skipping on

// A batch with the option on from a cold page cache: the movies and all the output folder
// holds, its record of conversions too, dropped from it first, as they are a day later.
bool convertCold(MainWindow &window, const QStringList &movies, const QString &output, int skipped,
                 const ThrottledCgroup &cgroup, CardRun &run)
{
    QStringList cold = movies;
    for (const QString &name : testsupport::filesIn(output))
        cold << output + '/' + name;
    return coldRun(cold, cgroup, driverBatch(window, movies, output, Skipping, skipped), run);
}

// The four runs of the again batch, and what the page cache holds of the skipped movies
// after the unchanged run and after the third: what the runs read of them.
struct AgainRuns
{
    CardRun first, again, twoNew, twoAlone;
    qint64 skippedReadAgain = 0, skippedReadTwoNew = 0;
};

bool convertAgain(MainWindow &window, const QString &work, const QStringList &movies, int round,
                  const ThrottledCgroup &cgroup, AgainRuns &runs)
{
    const QStringList card = movies.mid(0, AgainMovies);
    const QStringList added = movies.mid(AgainMovies);
    const QString output = QString("%1/again-output-%2").arg(work).arg(round);
    const QString alone = QString("%1/again-alone-%2").arg(work).arg(round);
    const bool done = convertCold(window, card, output, 0, cgroup, runs.first) &&
                      convertCold(window, card, output, AgainMovies, cgroup, runs.again) &&
                      residentBytes(card, runs.skippedReadAgain) &&
                      convertCold(window, movies, output, AgainMovies, cgroup, runs.twoNew) &&
                      residentBytes(card, runs.skippedReadTwoNew) &&
                      convertCold(window, added, alone, 0, cgroup, runs.twoAlone);
    if (!done)
        return false;
    QDir(output).removeRecursively();
    QDir(alone).removeRecursively();
    const auto timed = [](const CardRun &run) {
        return QString("%1 s, read %2 MB")
            .arg(run.seconds, 0, 'f', 2)
            .arg(megabytes(run.bytesRead), 0, 'f', 3);
    };
    say(QString("run %1: first %2; unchanged %3 (%4 bytes of the movies in the page cache "
                "after); two new %5 (%6 bytes of the skipped ones after); two alone %7")
            .arg(round)
            .arg(timed(runs.first), timed(runs.again))
            .arg(runs.skippedReadAgain)
            .arg(timed(runs.twoNew))
            .arg(runs.skippedReadTwoNew)
            .arg(timed(runs.twoAlone)));
    return true;
}

bool measureAgain(MainWindow &window, const QString &work, const QStringList &movies,
                  const ThrottledCgroup &cgroup)
{
    if (!checkThrottle(movies.first(), cgroup))
        return false;
    std::vector<double> first, again, twoNew, twoAlone, readFirst, readAgain, readTwoNew;
    for (int r = 1; r <= CardRepetitions; ++r) {
        AgainRuns runs;
        if (!convertAgain(window, work, movies, r, cgroup, runs))
            return false;
        first.push_back(runs.first.seconds);
        again.push_back(runs.again.seconds);
        twoNew.push_back(runs.twoNew.seconds);
        twoAlone.push_back(runs.twoAlone.seconds);
        readFirst.push_back(megabytes(runs.first.bytesRead));
        readAgain.push_back(megabytes(runs.again.bytesRead));
        readTwoNew.push_back(megabytes(runs.twoNew.bytesRead));
    }
    say(QString("again median wall: first %1 s, unchanged %2 s, two new %3 s, two alone %4 s")
            .arg(median(first), 0, 'f', 2)
            .arg(median(again), 0, 'f', 3)
            .arg(median(twoNew), 0, 'f', 2)
            .arg(median(twoAlone), 0, 'f', 2));
    say(QString("again: again_vs_first=%1 two_new_vs_two_alone=%2 read_mb_first=%3 "
                "read_mb_again=%4 read_mb_two_new=%5")
            .arg(median(again) / median(first), 0, 'f', 4)
            .arg(median(twoNew) / median(twoAlone), 0, 'f', 3)
            .arg(median(readFirst), 0, 'f', 1)
            .arg(median(readAgain), 0, 'f', 3)
            .arg(median(readTwoNew), 0, 'f', 1));
    return true;
}

bool againBatch(MainWindow &window, const QString &work, ThrottledCgroup &cgroup)
{
    const QString folder = work + "/again-movies";
    const auto removeMovies = qScopeGuard([&] { QDir(folder).removeRecursively(); });
    // The two new ones continue the drive; the runs before the third do not select them, as
    // a card before those recordings, and each run starts from a cold page cache, so what
    // was written when does not matter.
    const QStringList movies = writeCardMovies("again", folder, AgainMovies + AgainNewMovies,
                                               AgainSeconds, AgainMovieBytes);
    return !movies.isEmpty() &&
           insideCgroup(cgroup, [&] { return measureAgain(window, work, movies, cgroup); });
}

// Fails early, before the other batches have taken their time.
bool prepareCard(const QString &work, qint64 spaceNeeded, ThrottledCgroup &cgroup)
{
    if (QStandardPaths::findExecutable("fincore").isEmpty())
        return fail("the card and again batches need fincore (util-linux-extra)");
    const qint64 space = QStorageInfo(work).bytesAvailable();
    if (space < spaceNeeded)
        return fail(QString("the card's batches need %1 GB free in %2, there are %3 GB")
                        .arg(megabytes(spaceNeeded) / 1e3, 0, 'f', 1)
                        .arg(work)
                        .arg(megabytes(space) / 1e3, 0, 'f', 1));
    QString error;
    if (!cgroup.create(work, CardMemoryLimit, CardReadRate, error))
        return fail("the card and again batches " + error +
                    " (the other batches run without: "
                    "bench_batch avi mp4)");
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

const QStringList Batches{"avi", "mp4", "h264", "drive", "trips", "card", "again"};

// The batches named, all when none is, and where the drive batch saves its picture.
bool parseArguments(const QStringList &arguments, QStringList &batches, QString &picture)
{
    const QString usage =
        QString("usage: bench_batch [%1]... [--picture PATH]").arg(Batches.join("] ["));
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--picture" && i + 1 < arguments.size())
            picture = QFileInfo(arguments[++i]).absoluteFilePath();
        else if (Batches.contains(arguments[i]))
            batches << arguments[i];
        else
            return fail(QString("unknown argument \"%1\"; %2").arg(arguments[i], usage));
    }
    if (batches.isEmpty())
        batches = Batches;
    return picture.isEmpty() || batches.contains("drive") ||
           fail("--picture is a frame of the drive batch's movie; " + usage);
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
    QStringList scenarios;
    QString picture;
    if (!parseArguments(app.arguments().mid(1), scenarios, picture))
        return 2;

    if (!QFileInfo(Xargs).isExecutable()) {
        fail(Xargs + " is missing");
        return 1;
    }
    if (!testsupport::linkFfmpegBesideApp()) {
        fail("cannot link the system's ffmpeg beside " + QCoreApplication::applicationFilePath());
        return 1;
    }
    say(QString("ffmpeg: %1; job limit (Batch::maxParallelJobs): %2")
            .arg(testsupport::systemTool("ffmpeg"))
            .arg(Batch::maxParallelJobs()));

    ThrottledCgroup cgroup;
    const bool card = scenarios.contains("card"), again = scenarios.contains("again");
    // Each removes its movies at its end.
    if ((card || again) &&
        !prepareCard(work.path(), card ? CardSpaceNeeded : AgainSpaceNeeded, cgroup))
        return 1;

    MainWindow window;
    window.show();
    const bool done = (!scenarios.contains("avi") || aviBatch(window, work.path())) &&
                      (!scenarios.contains("mp4") || mp4Batch(window, work.path())) &&
                      (!scenarios.contains("h264") || h264Batch(window, work.path())) &&
                      (!scenarios.contains("drive") || driveBatch(work.path(), picture)) &&
                      (!scenarios.contains("trips") || tripsBatch(window, work.path())) &&
                      (!card || cardBatch(window, work.path(), cgroup)) &&
                      (!again || againBatch(window, work.path(), cgroup));
    if (done)
        return 0;
    work.setAutoRemove(false); // the logs and outputs named above
    fail("work folder kept for a look: " + work.path());
    return 1;
}
