#pragma once
// Line bytes of one direction into rows: one per frame, found as the link driver finds frames
// (a kind byte starts a frame of fixed length, anything else between frames is noise), plus
// rows for noise and for a frame cut short. The same rows feed the TUV Communication window's
// "Frames" view, saved captures and `nvx decode` / `nvx listen`.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nvx {

enum class FrameDirection : uint8_t { Tx, Rx };
enum class FrameRowKind : uint8_t { Frame, Noise, Truncated };

// A noise row holds at most this many bytes; longer noise continues in the next row.
constexpr std::size_t kFrameRowMaxBytes = 16;
// Rows from a capture without time carry this instead of milliseconds.
constexpr int64_t kNoFrameTime = -1;

struct FrameRow {
    int64_t timeMs = kNoFrameTime;  // of the row's first byte, since the port was opened
    uint64_t offset = 0;            // the row's first byte within its direction's stream
    FrameDirection direction = FrameDirection::Rx;
    FrameRowKind kind = FrameRowKind::Noise;
    bool checkOk = false;  // frames only: the running sum over the whole frame came out right
    uint8_t length = 0;    // bytes in `bytes`
    uint8_t bytes[kFrameRowMaxBytes] = {};

    // Frames and truncated frames: the identifier word, once both of its bytes are there.
    bool hasIdentifier() const { return kind != FrameRowKind::Noise && length >= 3; }
    uint16_t identifierWord() const { return static_cast<uint16_t>(bytes[1] << 8 | bytes[2]); }
    // Data bytes of a frame (between the identifier word and the check byte).
    std::size_t dataBegin() const;
    std::size_t dataEnd() const;
};

class FrameSink {
  public:
    virtual ~FrameSink() = default;
    virtual void OnFrameRow(const FrameRow& row) = 0;
};

class FrameDecoder {
  public:
    explicit FrameDecoder(FrameDirection direction) : direction_(direction) {}

    // Bytes that arrived at timeMs (kNoFrameTime for a capture without time). A frame whose next
    // byte comes more than kFrameGapMs after its previous one was cut short: the converter's
    // receive timeout aborts the driver in that case, so the new byte is looked at afresh.
    void Feed(const uint8_t* bytes, std::size_t count, FrameSink& sink,
              int64_t timeMs = kNoFrameTime);
    // No byte came for more than kFrameGapMs before timeMs: the row under way ends now rather
    // than when the next byte comes (a frame as truncated, noise as it is).
    void Expire(int64_t timeMs, FrameSink& sink);
    // The stream ended (end of file, port closed): a frame under way becomes a truncated row and
    // pending noise its row.
    void Finish(FrameSink& sink);
    // Forgets everything, the stream offset included.
    void Reset();

  private:
    void Emit(FrameSink& sink);

    FrameDirection direction_;
    FrameRow row_;           // the row being filled
    bool open_ = false;      // row_ holds bytes not yet emitted
    uint8_t remaining_ = 0;  // frame bytes still to come; 0 while between frames
    uint32_t checksum_ = 0;
    uint64_t offset_ = 0;  // bytes seen so far
    int64_t lastByteMs_ = kNoFrameTime;
};

// The converter gives up on a frame after this long without its next byte.
extern const int64_t kFrameGapMs;

// Columns of a row, in table and CSV order.
enum class FrameColumn : uint8_t {
    TimeMs,
    Offset,
    Direction,
    Kind,
    Word,
    Identifier,
    Parity,
    Check,
    Data
};
constexpr std::size_t kFrameColumnCount = 9;
extern const char* const kFrameColumnTitles[kFrameColumnCount];

// One cell's text: "Tx"/"Rx", "T"/"U"/"V"/"noise", the word and identifier as four hexadecimal
// digits, parity and check "OK" or "wrong" (check "truncated" for a frame cut short), data
// bytes as hexadecimal pairs separated by spaces. Cells that do not apply stay empty.
void AppendFrameCell(std::string& out, const FrameRow& row, FrameColumn column);

// CSV with CR LF line ends: a header line, then one line per row. No cell needs quoting.
void AppendFrameCsvHeader(std::string& out);
void AppendFrameCsvLine(std::string& out, const FrameRow& row);
// The same as an aligned table for a terminal (LF line ends; data last, so nothing is cut).
void AppendFrameTableHeader(std::string& out);
void AppendFrameTableLine(std::string& out, const FrameRow& row);

// The newest rows, up to a fixed count; older rows are dropped. `total()` counts every row ever
// added, so a reader can tell which rows it has not seen yet.
class FrameLog : public FrameSink {
  public:
    explicit FrameLog(std::size_t capacity);
    void OnFrameRow(const FrameRow& row) override;
    void Clear();

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return rows_.size(); }
    uint64_t total() const { return total_; }
    // Index 0 is the oldest row kept.
    const FrameRow& at(std::size_t index) const;

  private:
    std::vector<FrameRow> rows_;
    std::size_t first_ = 0;
    std::size_t size_ = 0;
    uint64_t total_ = 0;
};

// The whole log as CSV (header included).
std::string FrameLogCsv(const FrameLog& log);

}  // namespace nvx
