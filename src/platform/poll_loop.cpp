#include "platform/poll_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <limits>

namespace nvx {

namespace {

constexpr uint64_t kHangupPauseMs = 20;
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The first point of the period's grid after now.
uint64_t NextOnGrid(uint64_t nowMs, uint64_t periodMs) { return (nowMs / periodMs + 1) * periodMs; }

}  // namespace

PollLoop::PollLoop() : originNs_(SteadyNs()) {
    if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
}

PollLoop::~PollLoop() {
    for (int fd : wake_)
        if (fd >= 0) ::close(fd);
}

uint64_t PollLoop::nowMs() const {
    return static_cast<uint64_t>((SteadyNs() - originNs_) / 1000000);
}

int PollLoop::start(uint32_t periodMs, Callback callback) {
    return add(EffectivePeriodMs(periodMs), std::move(callback));
}

int PollLoop::startFine(uint32_t periodMs, Callback callback) {
    return add(EffectivePeriodMs(periodMs, kFinestTimerPeriodMs), std::move(callback));
}

int PollLoop::add(uint64_t periodMs, Callback callback) {
    const int id = nextId_++;
    timers_.emplace(id, Timer{periodMs, NextOnGrid(nowMs(), periodMs), std::move(callback)});
    return id;
}

void PollLoop::stop(int id) { timers_.erase(id); }

void PollLoop::watch(int fd, Callback onReadable) {
    fd_ = fd;
    onReadable_ = std::move(onReadable);
}

void PollLoop::quit() {
    quit_ = 1;
    if (wake_[1] >= 0) {
        const char c = 'q';
        [[maybe_unused]] ssize_t n = ::write(wake_[1], &c, 1);
    }
}

void PollLoop::runDueTimers() {
    const uint64_t now = nowMs();
    // Each due timer fires once per pass, in start order; one that fell behind catches up
    // without bursts. A callback may start or stop timers, its own included.
    for (auto it = timers_.begin(); it != timers_.end() && !quit_;) {
        const int id = it->first;
        if (it->second.dueMs <= now) {
            it->second.dueMs = NextOnGrid(now, it->second.periodMs);
            Callback cb = it->second.callback;
            cb();
        }
        it = timers_.upper_bound(id);
    }
}

void PollLoop::waitAndServe(uint64_t deadlineMs) {
    const uint64_t now = nowMs();
    uint64_t next = deadlineMs;
    for (const auto& [id, t] : timers_) next = t.dueMs < next ? t.dueMs : next;
    const bool paused = now < pausedUntilMs_;
    if (paused && pausedUntilMs_ < next) next = pausedUntilMs_;
    int timeout = -1;
    if (next != kNever) timeout = next > now ? static_cast<int>(next - now) : 0;

    pollfd fds[2];
    nfds_t n = 0;
    fds[n++] = {wake_[0], POLLIN, 0};
    const bool watching = fd_ >= 0 && !paused;
    if (watching) fds[n++] = {fd_, POLLIN, 0};
    if (::poll(fds, n, timeout) < 0) return;  // EINTR: the caller looks at quit_ and goes on
    if (fds[0].revents & POLLIN) {
        char buf[16];
        while (::read(wake_[0], buf, sizeof buf) > 0) {
        }
    }
    if (watching && fds[1].revents) {
        if (fds[1].revents & POLLIN) {
            if (onReadable_) onReadable_();
        } else if (fds[1].revents & (POLLHUP | POLLERR)) {
            pausedUntilMs_ = nowMs() + kHangupPauseMs;
        } else if (fds[1].revents & POLLNVAL) {
            fd_ = -1;
        }
    }
}

void PollLoop::run() {
    while (!quit_) {
        runDueTimers();
        if (quit_) break;
        waitAndServe(kNever);
    }
}

bool PollLoop::runUntil(const std::function<bool()>& done, uint64_t timeoutMs) {
    const uint64_t deadline = nowMs() + timeoutMs;
    while (!quit_) {
        runDueTimers();
        if (done()) return true;
        if (quit_ || nowMs() >= deadline) break;
        waitAndServe(deadline);
    }
    return done();
}

}  // namespace nvx
