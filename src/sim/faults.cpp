#include "sim/faults.h"

#include <cerrno>
#include <cstdlib>

#include "platform/format.h"

namespace nvx::sim {

bool ParseFaultRate(std::string_view text, FaultRate& rate) {
    if (text == "always" || text == "all") {
        rate = FaultRate::Always();
        return true;
    }
    if (text == "never") {
        rate = FaultRate::Never();
        return true;
    }
    std::string s(text);
    const bool percent = !s.empty() && s.back() == '%';
    if (percent) s.pop_back();
    if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
    char* end = nullptr;
    errno = 0;
    if (percent) {
        const double p = std::strtod(s.c_str(), &end);
        if (errno != 0 || *end != '\0' || !(p >= 0.0 && p <= 100.0)) return false;
        rate = FaultRate::Chance(p / 100.0);
        return true;
    }
    const unsigned long n = std::strtoul(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || n > 0xFFFFFFFFul) return false;
    rate = FaultRate::Times(static_cast<uint32_t>(n));
    return true;
}

std::string DescribeFaultRate(const FaultRate& rate) {
    if (!rate.armed()) return "never";
    if (rate.rate >= 1.0) return "always";
    std::string s;
    if (rate.count) s = Format("next %u", rate.count);
    if (rate.rate > 0.0) s += Format("%s%g%%", s.empty() ? "" : ", then ", rate.rate * 100.0);
    return s;
}

bool FaultDice::strikes(FaultRate& rate) {
    if (rate.count > 0) {
        --rate.count;
        return true;
    }
    if (rate.rate <= 0.0) return false;
    if (rate.rate >= 1.0) return true;
    return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < rate.rate;
}

}  // namespace nvx::sim
