#include "platform/com_port_names.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform/format.h"

namespace nvx {

namespace {

std::string g_comStartDirectory;

}  // namespace

std::string ResolveComPortWith(uint32_t portNumber, const std::string& startDirectory,
                               const EnvironmentLookup& environment,
                               const std::string& devDirectory) {
    if (portNumber == 0) return {};
    const std::string number = std::to_string(portNumber);
    std::string fromEnv = environment(kComEnvironmentPrefix + number);
    if (!fromEnv.empty()) return fromEnv;

    const std::string local =
        (startDirectory.empty() ? std::string() : WithTrailingSlash(startDirectory)) + kComLinkPrefix +
        number;
    struct stat st{};
    if (::lstat(local.c_str(), &st) == 0 && (S_ISLNK(st.st_mode) || S_ISCHR(st.st_mode)))
        return local;

    return WithTrailingSlash(devDirectory) + "ttyS" + std::to_string(portNumber - 1);
}

std::string ResolveComPort(uint32_t portNumber, const std::string& startDirectory) {
    return ResolveComPortWith(
        portNumber, startDirectory,
        [](const std::string& name) {
            const char* v = std::getenv(name.c_str());
            return std::string(v ? v : "");
        },
        "/dev");
}

const std::string& ComStartDirectory() {
    if (!g_comStartDirectory.empty()) return g_comStartDirectory;
    static std::string current;
    char buf[PATH_MAX];
    current = ::getcwd(buf, sizeof buf) ? WithTrailingSlash(buf) : std::string("./");
    return current;
}

void SetComStartDirectory(const std::string& dir) { g_comStartDirectory = dir; }

}  // namespace nvx
