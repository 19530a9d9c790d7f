#pragma once

// SIGTERM, SIGINT and SIGHUP (and, where asked, SIGPIPE: the reader of a command's messages
// went away, as `| head -1` does), told from the event loop: the handler only writes the
// signal's number into a socket, whose other end the event loop reads. A signal that was
// ignored when the program started (nohup ignores SIGHUP) stays ignored.

#include <QList>
#include <QObject>

#include <memory>

class QSocketNotifier;

class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    enum class BrokenPipe { Default, Handled };
    explicit TerminationSignals(QObject *parent, BrokenPipe brokenPipe = BrokenPipe::Default);
    ~TerminationSignals() override; // the signals' default actions come back

signals:
    void received(int signal);

private:
    std::unique_ptr<QSocketNotifier> notifier;
    QList<int> handled;
};
