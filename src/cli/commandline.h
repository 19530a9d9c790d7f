#pragma once

// The command line of bq4400-convert: its options, parsed into what a batch needs.

#include "configuration.h"

#include <QStringList>

#include <memory>

class QCommandLineParser;
class QCoreApplication;

struct ConversionRequest
{
    s_CONF conf{};      // with the output folder, ending with a separator
    QStringList inputs; // movies and folders, as given
    bool quiet = false;
};

class CommandLine
{
public:
    CommandLine();
    ~CommandLine();

    // Parses the application's arguments; --help and --version print and exit here. The
    // request, or false with the reason in `error` (a bad option or value).
    bool parse(const QCoreApplication &app, ConversionRequest &request, QString &error);

private:
    bool readSettings(ConversionRequest &request, QString &error) const;
    // One of --NAME and --no-NAME, or `current` when neither is given.
    bool flag(const QString &name, bool current, QString &error) const;

    std::unique_ptr<QCommandLineParser> parser;
};
