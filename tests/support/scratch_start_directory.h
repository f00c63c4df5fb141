#pragma once
// A start directory of the test's own, for logic that writes there (the service journal, say),
// so nothing lands in the directory the test runs in. Header only.

#include <string>

#include "shell/shell.h"
#include "support/scratch_files.h"

namespace nvx::test {

class ScratchStartDirectory {
  public:
    // After anything that resets the shell settings.
    void Use() { StartDirectory = dir_.path() + "/"; }
    ~ScratchStartDirectory() { StartDirectory.clear(); }
    const ScratchDir& dir() const { return dir_; }

  private:
    ScratchDir dir_{"start"};
};

}  // namespace nvx::test
