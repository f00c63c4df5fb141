#include "app/gui/termination_requests.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace nvx {

namespace {

// The handler may only write: one byte per signal into a pair read on the GUI thread.
int g_signalPair[2] = {-1, -1};

void TellTheGuiThread(int) {
    const int saved = errno;
    const char byte = 1;
    (void)!::write(g_signalPair[0], &byte, 1);
    errno = saved;
}

}  // namespace

TerminationRequests::TerminationRequests(std::function<void()> onRequest)
    : onRequest_(std::move(onRequest)) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalPair) != 0)
        return;
    notifier_ = new QSocketNotifier(g_signalPair[1], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        ssize_t n;
        while ((n = ::read(g_signalPair[1], bytes, sizeof bytes)) > 0)
            for (ssize_t i = 0; i < n; ++i) onRequest_();
    });
    struct sigaction action {};
    action.sa_handler = TellTheGuiThread;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, &previousTerm_);
    ::sigaction(SIGINT, &action, &previousInt_);
}

TerminationRequests::~TerminationRequests() {
    if (!notifier_) return;
    ::sigaction(SIGTERM, &previousTerm_, nullptr);
    ::sigaction(SIGINT, &previousInt_, nullptr);
    delete notifier_;
    for (int& fd : g_signalPair) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace nvx
