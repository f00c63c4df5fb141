#pragma once
// norvixosp.exe: the programmer the Programming Tool starts once the device sits in its
// bootloader. It takes the tool's argument lists, finds the port and the part, and lets avrdude
// (programmer type avr109) move the bytes; avrdude verifies what it writes.
//
// Arguments (after argument 0, whatever it is):
//   -d<part>      part description <part>.xml in the current directory; its <avrdudePart>
//                 element names the part for avrdude -p
//   -if<file> -pf write <file> (Intel HEX) to the flash; -e erases the chip first
//   -ie<file> -pe write <file> (Intel HEX) to the EEPROM
//   -oe<file> -re read the EEPROM into <file> (Intel HEX)
//   -D<ms>        wait <ms> milliseconds before the first byte goes to the device (-D500, -D0)
//   -cCOM<N>      the port: COM N resolved as the monitor resolves it from the current
//                 directory, at the line speed the tool left on it
//
// Standard output carries only progress lines "PROGRESS <percent>" (platform/process.h);
// avrdude's own messages go to standard error when avrdude fails. The last line on standard
// error of a failed run is the reason, the line the tool shows in its log. An EEPROM image read is left
// with CR LF line ends, as every text file of the monitor. Exit status: avrdude's, 2 for wrong
// arguments, 1 when the port or the part cannot be found, 3 when the port hung up while avrdude
// ran (the device went away; avrdude is ended), 127 when avrdude cannot be started,
// 128 + n when signal n ended avrdude. The avrdude program is "avrdude" from the search path unless
// NORVIX_AVRDUDE names another.

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace nvx::adapter {

inline constexpr int kExitUsage = 2;
inline constexpr int kExitSetup = 1;
inline constexpr int kExitNotStarted = 127;
inline constexpr int kExitPortHungUp = 3;
// What AdapterSystem::runAvrdude returns when the port hung up while avrdude ran.
inline constexpr int kAvrdudePortHungUp = -2;
inline constexpr uint32_t kMaxDelayMs = 60000;
inline constexpr uint32_t kMaxComPort = 256;

extern const char kAdapterUsage[];

struct AdapterRequest {
    std::string part;           // -d
    std::string flashFile;      // -if
    std::string eepromInFile;   // -ie
    std::string eepromOutFile;  // -oe
    bool erase = false;         // -e
    bool programFlash = false;  // -pf
    bool programEeprom = false; // -pe
    bool readEeprom = false;    // -re
    uint32_t delayMs = 0;       // -D
    uint32_t comPort = 0;       // -c
    bool help = false;          // -? / --help: nothing else is looked at
};

// args without argument 0. False with a message for the user on any wrong or missing argument.
bool ParseAdapterArguments(const std::vector<std::string>& args, AdapterRequest& request,
                           std::string& error);

// Text with every line ended by CR LF (lines may come ended by LF or CR LF).
std::string WithCrLf(std::string_view text);

// The <avrdudePart> value of a part description. False with a reason when there is none or it is
// not a plain part id.
bool ReadAvrdudePartId(std::string_view xml, std::string& partId, std::string& error);

// avrdude's argument vector, argument 0 included.
std::vector<std::string> AvrdudeArguments(const std::string& program, const AdapterRequest& request,
                                          const std::string& devicePath, uint32_t baudRate,
                                          const std::string& partId);

// How many progress bars avrdude draws for the request: one per memory read, two per write (the
// write and its verifying read back).
int ExpectedProgressBars(const AdapterRequest& request);

// What made avrdude fail, from the messages it wrote: its first error line without the
// "avrdude error: " prefix; empty when no line names an error.
std::string AvrdudeFailureCause(const std::vector<std::string>& messages);

// avrdude's lines kept for the report of a failed run. A device that stops answering makes
// avrdude fail once per block, megabytes of it: the first line that names an error (the cause)
// and the last kKeptLastLines are kept, the rest only counted.
class KeptMessages {
public:
    static constexpr std::size_t kKeptLastLines = 20;
    void Add(std::string line);
    // The first error line when the last lines no longer hold it, a line saying how many were
    // left out when any were, then the last lines; oldest first.
    std::vector<std::string> Lines() const;

private:
    std::string firstError_;
    uint64_t firstErrorNumber_ = 0;  // 1-based; 0: none yet
    uint64_t count_ = 0;
    std::deque<std::string> last_;
};

// Turns avrdude's progress bars into overall percentages and keeps its other lines. avrdude
// draws a bar as "<Phase> | " followed by one '#' per 2 % and " | 100% <time>s" (standard error
// not a terminal), or redraws the whole line after '\r' with the percentage (a terminal); both
// forms are read.
class AvrdudeProgress {
public:
    explicit AvrdudeProgress(int expectedBars);
    // Feeds output; returns the overall percentages it reached, each higher than the last one
    // returned. Lines that are no bar are appended to messages (without their line ends).
    std::vector<int> Feed(std::string_view output, std::vector<std::string>& messages);
    // The end of the output: an unfinished non-bar line goes to messages.
    void Flush(std::vector<std::string>& messages);

private:
    void LineEnded(char end, std::vector<std::string>& messages);
    void Update(std::vector<int>& reached);
    int BarPercent(bool& isBar, bool& complete) const;

    int expectedBars_;
    std::string line_;
    int completedBars_ = 0;
    bool inBar_ = false;        // the current bar has started and not reached 100 %
    bool lineCounted_ = false;  // the current line already completed its bar
    int barPercent_ = 0;
    int lastReported_ = 0;  // the start, 0 %, goes without saying
};

// What the adapter needs from the system; tests play it.
struct AdapterSystem {
    // COM N to a device path (empty when it resolves to nothing).
    std::function<std::string(uint32_t port)> resolvePort;
    // The output speed set on a port; false with a reason.
    std::function<bool(const std::string& path, uint32_t& baud, std::string& error)> lineSpeed;
    // A whole file of the current directory; false when it cannot be read.
    std::function<bool(const std::string& path, std::string& text)> readFile;
    // Replaces a file in one step; false with a reason.
    std::function<bool(const std::string& path, const std::string& text, std::string& error)>
        writeFile;
    std::function<void(uint32_t ms)> delay;
    // Runs avrdude to its end, handing over its output (standard output and error together) as
    // it comes. The exit status; -1 with a reason when it cannot be started; kAvrdudePortHungUp
    // when the port hung up and avrdude was ended for it.
    std::function<int(const std::vector<std::string>& argv,
                      const std::function<void(std::string_view)>& output, std::string& error)>
        runAvrdude;
    std::string avrdudeProgram = "avrdude";
    // One line each (the line end is added).
    std::function<void(const std::string& line)> standardOutput;
    std::function<void(const std::string& line)> standardError;
};

// The whole program after argument 0; the exit status.
int RunAdapter(const std::vector<std::string>& args, const AdapterSystem& system);

}  // namespace nvx::adapter
