#include "SignalWatcher.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int s_fds[2] = {-1, -1};
}

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s_fds) != 0)
        return;
    m_notifier = new QSocketNotifier(s_fds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::readSignal);

    struct sigaction action = {};
    action.sa_handler = &SignalWatcher::handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

SignalWatcher::~SignalWatcher()
{
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
}

void SignalWatcher::handleSignal(int signal)
{
    // Only async-signal-safe work here: the byte wakes the main thread's event loop.
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(s_fds[0], &byte, 1);
}

void SignalWatcher::readSignal()
{
    char byte = 0;
    [[maybe_unused]] const ssize_t n = ::read(s_fds[1], &byte, 1);
    emit terminationRequested();
}
