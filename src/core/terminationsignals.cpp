#include "terminationsignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int sockets[2] = {-1, -1};

void notify(int signal)
{
    const char number = char(signal);
    const ssize_t written = ::write(sockets[0], &number, 1);
    (void)written; // a full socket already holds a request to end
}

using SignalHandler = void (*)(int);

SignalHandler handlerOf(int signal)
{
    struct sigaction current = {};
    sigaction(signal, nullptr, &current);
    return current.sa_handler;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent, BrokenPipe brokenPipe)
    : QObject(parent), handled{SIGTERM, SIGINT, SIGHUP}
{
    if (brokenPipe == BrokenPipe::Handled)
        handled << SIGPIPE;
    if (sockets[0] < 0 &&
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sockets) != 0)
        return;
    notifier = std::make_unique<QSocketNotifier>(sockets[1], QSocketNotifier::Read);
    connect(notifier.get(), &QSocketNotifier::activated, this, [this] {
        char numbers[16];
        ssize_t got = 0;
        int last = 0;
        while ((got = ::read(sockets[1], numbers, sizeof numbers)) > 0)
            last = numbers[got - 1];
        if (last > 0)
            emit received(last);
    });
    struct sigaction action = {};
    action.sa_handler = notify;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : std::as_const(handled))
        if (handlerOf(signal) != SIG_IGN)
            sigaction(signal, &action, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    for (const int signal : std::as_const(handled))
        if (handlerOf(signal) == notify)
            std::signal(signal, SIG_DFL);
}
