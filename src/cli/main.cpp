// bq4400-convert: the converter for shells and scripts.
//   bq4400-convert [OPTIONS] -o OUTPUT_FOLDER MOVIE_OR_FOLDER...
#include "commandline.h"
#include "conversionrun.h"
#include "globals.h"

#include <QCoreApplication>

#include <cstdio>

static int usageError(const QString &message)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                 qPrintable(message));
    return ConversionRun::Usage;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("bq4400-convert");
    QCoreApplication::setApplicationVersion(VERSION_g.mid(1)); // "1.0.1"

    CommandLine commandLine;
    ConversionRequest request;
    QString error;
    if (!commandLine.parse(app, request, error))
        return usageError(error);
    ConversionRun run(request);
    error = run.prepare();
    if (!error.isEmpty())
        return usageError(error);
    run.start();
    return app.exec();
}
