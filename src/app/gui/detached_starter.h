#pragma once
// Starts a program through the search path with an argument vector (no shell) and does not wait
// for it; the child is not left behind as a zombie.

#include "app/monitor.h"

namespace nvx {

class QtDetachedStarter : public DetachedStarter {
public:
    bool StartDetached(const std::string& program, const std::vector<std::string>& args) override;
};

}  // namespace nvx
