#pragma once

// One run of bq4400-convert: its movies taken as the window takes them, checked before
// anything is written, converted by a batch, with its progress and ending on stderr.

#include "batch.h"
#include "commandline.h"
#include "movieselection.h"

#include <QObject>

class BatchReport;

class ConversionRun : public QObject
{
    Q_OBJECT

public:
    // Exit statuses, as scripts rely on them; a signal N ends the run with 128 + N.
    enum Status { Converted = 0, Failed = 1, Usage = 2 };

    explicit ConversionRun(const ConversionRequest &request);

    // Takes the movies and checks them and the output folder; the reason the run cannot
    // start, or an empty string.
    QString prepare();
    // Starts the batch; the application's event loop ends with the exit status.
    void start();

private:
    QString takeInput(const QString &input);
    bool makeJobs(int movie);
    void showProgress();
    void unitEnded(const QString &name, const QString &failure);
    void ended(const BatchReport &report);
    void terminated(int signal);
    static void exitWith(int status);
    void say(const QString &line);
    void clearProgressLine();

    const ConversionRequest request;
    const bool onTerminal; // the progress line redraws itself there
    Batch batch;
    MovieSelection selection;
    bool progressShown = false;
};
