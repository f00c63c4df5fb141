#pragma once
// A process runner for tests: records every start; each child finishes when the test says so.

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/process.h"

namespace nvx {

class ScriptedProcessRunner : public ProcessRunner {
public:
    struct Child {
        std::string output;  // handed out by the next TakeOutput
        std::string errors;  // handed out by the next TakeErrors
        bool finished = false;
        int exitCode = 0;
        std::vector<int> signalsSent;  // by the tool, oldest first
    };

    std::unique_ptr<ChildProcess> Start(const ProcessSpec& launch, std::string& error) override {
        started.push_back(launch);
        if (!failNextStart.empty()) {
            error = failNextStart;
            failNextStart.clear();
            return nullptr;
        }
        current_ = std::make_shared<Child>();
        if (finishAtOnce) {
            current_->finished = true;
            current_->exitCode = exitCodeAtOnce;
            current_->output = outputAtOnce;
        }
        if (onStart) onStart(launch);
        return std::make_unique<ScriptedChild>(current_, &abandonedRunning);
    }

    std::vector<ProcessSpec> started;
    // When set, the next start fails with this reason (then it is cleared).
    std::string failNextStart;
    // When set, children finish at once with this exit code; otherwise they run until
    // current() is marked finished.
    bool finishAtOnce = true;
    int exitCodeAtOnce = 0;
    // Output each child created with finishAtOnce delivers before it ends.
    std::string outputAtOnce;
    // The child of the latest start (shared with the ChildProcess handed out).
    std::shared_ptr<Child> current() const { return current_; }
    // Called on every successful start, before the child is handed out (to play the program's
    // part, e.g. write the file it would write).
    std::function<void(const ProcessSpec&)> onStart;
    // Children whose handle has been destroyed while still running.
    int abandonedRunning = 0;

private:
    class ScriptedChild : public ChildProcess {
    public:
        ScriptedChild(std::shared_ptr<Child> child, int* abandoned)
            : child_(std::move(child)), abandoned_(abandoned) {}
        ~ScriptedChild() override {
            if (!child_->finished) ++*abandoned_;
        }
        std::string TakeOutput() override { return std::exchange(child_->output, {}); }
        std::string TakeErrors() override { return std::exchange(child_->errors, {}); }
        bool Finished() override { return child_->finished; }
        bool WaitForExit(int) override { return child_->finished; }
        int ExitCode() const override { return child_->exitCode; }
        void Signal(int signalNumber) override {
            if (!child_->finished) child_->signalsSent.push_back(signalNumber);
        }

    private:
        std::shared_ptr<Child> child_;
        int* abandoned_;
    };

    std::shared_ptr<Child> current_;
};

}  // namespace nvx
