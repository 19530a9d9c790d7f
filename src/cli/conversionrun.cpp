#include "conversionrun.h"

#include "globals.h"
#include "movienames.h"
#include "outputs.h"
#include "terminationsignals.h"
#include "translation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <unistd.h>

ConversionRun::ConversionRun(const ConversionRequest &request)
    : request(request), onTerminal(::isatty(STDERR_FILENO) == 1),
      batch(this, [this](int movie) { return makeJobs(movie); })
{
    connect(&batch, &Batch::progressed, this, &ConversionRun::showProgress);
    connect(&batch, &Batch::unitEnded, this, &ConversionRun::unitEnded);
    connect(&batch, &Batch::ended, this, &ConversionRun::ended);
    connect(new TerminationSignals(this, TerminationSignals::BrokenPipe::Handled),
            &TerminationSignals::received, this, &ConversionRun::terminated);
}

QString ConversionRun::prepare()
{
    for (const QString &input : request.inputs) {
        const QString problem = takeInput(input);
        if (!problem.isEmpty())
            return problem;
    }
    nBlocks_g = selection.count;
    QString problem = outputs::folderProblem(request.conf.outputDirectory);
    if (problem.isEmpty())
        problem = outputs::overwriteProblem(nBlocks_g, request.conf);
    return QString(problem).replace('\n', ": ");
}

// A folder gives its movies; a file must be named like a movie, as a dropped one must.
QString ConversionRun::takeInput(const QString &input)
{
    const QFileInfo info(input);
    const QString shown = QDir::toNativeSeparators(input);
    if (info.isDir()) {
        QStringList unreadable;
        if (!selection.takeFolder(input, unreadable))
            return shown + ": " + noMoviesText(unreadable);
        return {};
    }
    if (!info.exists())
        return shown + ": No such file or directory";
    if (!movienames::hasAviExtension(input))
        return shown + ": not an AVI movie (its name must end in .avi or .AVI)";
    if (!info.isReadable())
        return shown + ": Permission denied";
    selection.take(info);
    return {};
}

void ConversionRun::start()
{
    if (selection.leftOut > 0)
        say(leftOutText(selection.leftOut));
    batch.leaveOut(selection.unreadable);
    outputs::removeLeftovers(nBlocks_g, request.conf);
    batch.start(nBlocks_g, request.conf);
}

bool ConversionRun::makeJobs(int movie)
{
    const QString refusal = batch.makeMovieJobs(movie);
    if (!refusal.isEmpty())
        unitEnded(BLOCKS_g[movie].movieFile.fileName(), refusal);
    return refusal.isEmpty();
}

// On a terminal one line that redraws itself: "Movie 3 of 40: FILE0003.AVI, about 12 min
// left".
void ConversionRun::showProgress()
{
    if (!onTerminal || request.quiet || batch.stepText().isEmpty())
        return;
    QString line = batch.stepText();
    if (!batch.timeLeft().isEmpty())
        line += ", " + translated("about %1 left").arg(batch.timeLeft());
    std::fprintf(stderr, "\r\033[K%s", qPrintable(line));
    std::fflush(stderr);
    progressShown = true;
}

// Elsewhere (a log) one line per finished movie or trip; failures always.
void ConversionRun::unitEnded(const QString &name, const QString &failure)
{
    if (!failure.isEmpty())
        say(QString("%1: %2").arg(name, failure));
    else if (!onTerminal && !request.quiet)
        say(QString("%1: done").arg(name));
}

void ConversionRun::ended(const BatchReport &report)
{
    const bool converted = report.complete() && selection.leftOut == 0;
    if (!converted || !request.quiet)
        say(report.text());
    exitWith(converted ? Converted : Failed);
}

// SIGINT, SIGTERM, SIGHUP and a broken pipe end the batch as Cancel does: no ffmpeg left,
// nothing half written, finished movies kept.
void ConversionRun::terminated(int signal)
{
    batch.abort();
    say(batch.cancelledText());
    exitWith(128 + signal);
}

// Queued: a batch can end while it starts (every movie converted before), before the event
// loop runs, which an exit then would not end.
void ConversionRun::exitWith(int status)
{
    QMetaObject::invokeMethod(
        qApp, [status] { QCoreApplication::exit(status); }, Qt::QueuedConnection);
}

void ConversionRun::say(const QString &line)
{
    clearProgressLine();
    std::fprintf(stderr, "%s\n", qPrintable(line));
    std::fflush(stderr);
}

void ConversionRun::clearProgressLine()
{
    if (progressShown)
        std::fprintf(stderr, "\r\033[K");
    progressShown = false;
}
