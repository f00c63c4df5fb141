#pragma once
// How a procedure ended, for whoever started it (a window, nvx): the log says it to the
// technician, this says it to the program.

#include <string>

namespace nvx {

struct ProcedureOutcome {
    enum class Kind {
        None,      // nothing ran: refused before the device was touched, or still under way
        Finished,  // ended with its finish line
        Failed,    // ended early on an error; reason is its log line
        Aborted,   // ended early because it was asked to
    };
    Kind kind = Kind::None;
    std::string reason;

    bool finished() const { return kind == Kind::Finished; }
};

}  // namespace nvx
