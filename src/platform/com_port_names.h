#pragma once
// COM numbers to device paths. A technician gives a port by its number, as on the controller's
// label; on Linux the number reaches a device through the environment, a link in the start
// directory or the numbering of the built-in UARTs.

#include <cstdint>
#include <functional>
#include <string>

namespace nvx {

// $NORVIX_COM<N> names the device of COM N.
inline constexpr const char* kComEnvironmentPrefix = "NORVIX_COM";
// "com<N>" in the start directory, a link or a device, is COM N.
inline constexpr const char* kComLinkPrefix = "com";

// The COM numbers a user may choose.
inline constexpr int32_t kComPortFirst = 1;
inline constexpr int32_t kComPortLast = 256;

// COM number N to a device path, first match wins: $NORVIX_COM<N>; "com<N>" (a link or a device)
// in the start directory; /dev/ttyS<N-1>. Empty for port 0.
std::string ResolveComPort(uint32_t portNumber, const std::string& startDirectory);

// The same resolution with the environment and the device directory given.
using EnvironmentLookup = std::function<std::string(const std::string& name)>;
std::string ResolveComPortWith(uint32_t portNumber, const std::string& startDirectory,
                               const EnvironmentLookup& environment,
                               const std::string& devDirectory);

// The start directory the resolution looks in (the current directory unless set).
const std::string& ComStartDirectory();
void SetComStartDirectory(const std::string& dir);

}  // namespace nvx
