#pragma once
// SIGTERM and SIGINT while the main window runs: taken to the GUI thread as a request to close,
// so that a session manager, `kill` or Ctrl-C in the starting terminal meets the same question as
// every other way out instead of ending the program in the middle of device work.

#include <QObject>
#include <csignal>
#include <functional>

class QSocketNotifier;

namespace nvx {

class TerminationRequests : public QObject {
public:
    // onRequest runs on the GUI thread, once per signal received.
    explicit TerminationRequests(std::function<void()> onRequest);
    // The handlers found at construction are put back.
    ~TerminationRequests() override;
    TerminationRequests(const TerminationRequests&) = delete;
    TerminationRequests& operator=(const TerminationRequests&) = delete;

private:
    std::function<void()> onRequest_;
    QSocketNotifier* notifier_ = nullptr;
    struct sigaction previousTerm_ {};
    struct sigaction previousInt_ {};
};

}  // namespace nvx
