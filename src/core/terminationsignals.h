#pragma once

// SIGTERM, SIGINT and SIGHUP, told from the event loop: the handler only writes the
// signal's number into a socket, whose other end the event loop reads. A signal that was
// ignored when the program started (nohup ignores SIGHUP) stays ignored.

#include <QObject>

#include <memory>

class QSocketNotifier;

class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override; // the signals' default actions come back

signals:
    void received(int signal);

private:
    std::unique_ptr<QSocketNotifier> notifier;
};
