#include "app/shutdown_signals.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

#include "platform/posix_file.h"

namespace {

// The pipe's two ends: [0] read by the notifier, [1] written by the handler.
int g_signal_pipe[2] = {-1, -1};
struct sigaction g_previous_int {};
struct sigaction g_previous_term {};

extern "C" void OnShutdownSignal(int signal_number) {
    const int saved_errno = errno;
    const unsigned char byte = static_cast<unsigned char>(signal_number);
    // Async-signal-safe; a full pipe already holds a pending request.
    [[maybe_unused]] const ssize_t written = ::write(g_signal_pipe[1], &byte, 1);
    errno = saved_errno;
}

QString SystemError(const char* step) { return QString::fromLocal8Bit(ErrnoMessage(step)); }

}  // namespace

CShutdownSignals::CShutdownSignals(QObject* parent) : QObject(parent) {
    if (g_signal_pipe[0] >= 0) {
        error_text_ = QStringLiteral("signal handlers are already installed");
        return;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signal_pipe) != 0) {
        error_text_ = SystemError("socketpair");
        g_signal_pipe[0] = g_signal_pipe[1] = -1;
        return;
    }
    notifier_ = new QSocketNotifier(g_signal_pipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &CShutdownSignals::OnReadable);

    struct sigaction action {};
    action.sa_handler = OnShutdownSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGINT, &action, &g_previous_int) != 0 || ::sigaction(SIGTERM, &action, &g_previous_term) != 0) {
        error_text_ = SystemError("sigaction");
        return;
    }
    is_installed_ = true;
}

CShutdownSignals::~CShutdownSignals() {
    if (is_installed_) {
        ::sigaction(SIGINT, &g_previous_int, nullptr);
        ::sigaction(SIGTERM, &g_previous_term, nullptr);
    }
    delete notifier_;
    notifier_ = nullptr;
    for (int& fd : g_signal_pipe) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void CShutdownSignals::OnReadable() {
    unsigned char byte = 0;
    int last_signal = 0;
    while (::read(g_signal_pipe[0], &byte, 1) == 1) last_signal = byte;
    if (last_signal != 0) emit ShutdownRequested(last_signal);
}
