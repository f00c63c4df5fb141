#include "tuv/frame_decoder.h"

#include <algorithm>
#include <charconv>

#include "comm/converter.h"
#include "comm/link.h"

namespace nvx {

const int64_t kFrameGapMs = int64_t{kConverterTransferSteps} * kConverterAgingStepMs;

const char* const kFrameColumnTitles[kFrameColumnCount] = {"ms", "offset", "dir",   "kind", "word",
                                                           "id", "parity", "check", "data"};

namespace {

constexpr std::size_t kIdentifierEnd = 3;  // kind byte and identifier word
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Table widths; data is last and as wide as it needs.
constexpr int kTableWidths[kFrameColumnCount] = {8, 10, 3, 5, 4, 4, 6, 9, 0};
constexpr bool kTableRightAligned[kFrameColumnCount] = {true,  true,  false, false, false,
                                                        false, false, false, false};

// Cells are written into a buffer with plain stores: formatting is most of the work of writing
// a capture as CSV.
char* PutText(char* p, const char* text) {
    while (*text) *p++ = *text++;
    return p;
}

char* PutHexByte(char* p, uint8_t b) {
    *p++ = kHexDigits[b >> 4];
    *p++ = kHexDigits[b & 0x0F];
    return p;
}

char* PutHexWord(char* p, uint16_t w) {
    return PutHexByte(PutHexByte(p, static_cast<uint8_t>(w >> 8)), static_cast<uint8_t>(w & 0xFF));
}

char* PutNumber(char* p, uint64_t value) { return std::to_chars(p, p + 20, value).ptr; }

char* PutCheck(char* p, const FrameRow& row) {
    switch (row.kind) {
        case FrameRowKind::Frame:
            return PutText(p, row.checkOk ? "OK" : "wrong");
        case FrameRowKind::Truncated:
            return PutText(p, "truncated");
        case FrameRowKind::Noise:
            break;
    }
    return p;
}

// The longest cell: 16 noise bytes as hex pairs with spaces between.
constexpr std::size_t kMaxCellChars = 3 * kFrameRowMaxBytes;

char* PutFrameCell(char* p, const FrameRow& row, FrameColumn column) {
    switch (column) {
        case FrameColumn::TimeMs:
            return row.timeMs == kNoFrameTime ? p : PutNumber(p, static_cast<uint64_t>(row.timeMs));
        case FrameColumn::Offset:
            return PutNumber(p, row.offset);
        case FrameColumn::Direction:
            return PutText(p, row.direction == FrameDirection::Tx ? "Tx" : "Rx");
        case FrameColumn::Kind:
            if (row.kind == FrameRowKind::Noise) return PutText(p, "noise");
            *p++ = static_cast<char>(row.bytes[0]);
            return p;
        case FrameColumn::Word:
            return row.hasIdentifier() ? PutHexWord(p, row.identifierWord()) : p;
        case FrameColumn::Identifier:
            return row.hasIdentifier() ? PutHexWord(p, IdentifierOfWord(row.identifierWord())) : p;
        case FrameColumn::Parity:
            if (!row.hasIdentifier()) return p;
            return PutText(p, IdentifierWordIntact(row.identifierWord()) ? "OK" : "wrong");
        case FrameColumn::Check:
            return PutCheck(p, row);
        case FrameColumn::Data:
            for (std::size_t i = row.dataBegin(); i < row.dataEnd(); ++i) {
                if (i != row.dataBegin()) *p++ = ' ';
                p = PutHexByte(p, row.bytes[i]);
            }
            return p;
    }
    return p;
}

}  // namespace

std::size_t FrameRow::dataBegin() const {
    if (kind == FrameRowKind::Noise) return 0;
    return std::min<std::size_t>(kIdentifierEnd, length);
}

std::size_t FrameRow::dataEnd() const {
    if (kind == FrameRowKind::Frame) return std::max<std::size_t>(dataBegin(), length - 1u);
    return length;
}

void FrameDecoder::Reset() {
    open_ = false;
    remaining_ = 0;
    checksum_ = 0;
    offset_ = 0;
    lastByteMs_ = kNoFrameTime;
}

void FrameDecoder::Emit(FrameSink& sink) {
    open_ = false;
    sink.OnFrameRow(row_);
}

void FrameDecoder::Finish(FrameSink& sink) {
    if (!open_) return;
    if (remaining_ != 0) {
        row_.kind = FrameRowKind::Truncated;
        remaining_ = 0;
    }
    Emit(sink);
}

void FrameDecoder::Expire(int64_t timeMs, FrameSink& sink) {
    if (open_ && lastByteMs_ != kNoFrameTime && timeMs - lastByteMs_ > kFrameGapMs) Finish(sink);
}

void FrameDecoder::Feed(const uint8_t* bytes, std::size_t count, FrameSink& sink, int64_t timeMs) {
    if (count == 0) return;
    if (timeMs != kNoFrameTime) {
        Expire(timeMs, sink);
        lastByteMs_ = timeMs;
    }
    const auto start = [&](FrameRowKind kind) {
        row_.timeMs = timeMs;
        row_.offset = offset_;
        row_.direction = direction_;
        row_.kind = kind;
        row_.checkOk = false;
        row_.length = 0;
        open_ = true;
    };
    for (std::size_t i = 0; i < count; ++i, ++offset_) {
        const uint8_t b = bytes[i];
        if (remaining_ != 0) {
            row_.bytes[row_.length++] = b;
            checksum_ = LinkChecksumAdd(checksum_, b);
            if (--remaining_ == 0) {
                row_.checkOk = checksum_ == kLinkChecksumGood;
                Emit(sink);
            }
            continue;
        }
        const uint8_t frameLength = LinkFrameLength(b);
        if (frameLength == 0) {
            // Noise between frames, as the driver drops it.
            if (open_ && row_.length == kFrameRowMaxBytes) Emit(sink);
            if (!open_) start(FrameRowKind::Noise);
            row_.bytes[row_.length++] = b;
            continue;
        }
        if (open_) Emit(sink);
        start(FrameRowKind::Frame);
        row_.bytes[row_.length++] = b;
        checksum_ = b;
        remaining_ = static_cast<uint8_t>(frameLength - 1);
    }
}

void AppendFrameCell(std::string& out, const FrameRow& row, FrameColumn column) {
    char cell[kMaxCellChars + 4];
    out.append(cell, PutFrameCell(cell, row, column));
}

void AppendFrameCsvHeader(std::string& out) {
    for (std::size_t c = 0; c < kFrameColumnCount; ++c) {
        if (c != 0) out.push_back(',');
        out += kFrameColumnTitles[c];
    }
    out += "\r\n";
}

void AppendFrameCsvLine(std::string& out, const FrameRow& row) {
    char line[kFrameColumnCount * (kMaxCellChars + 4)];
    char* p = line;
    for (std::size_t c = 0; c < kFrameColumnCount; ++c) {
        if (c != 0) *p++ = ',';
        p = PutFrameCell(p, row, static_cast<FrameColumn>(c));
    }
    *p++ = '\r';
    *p++ = '\n';
    out.append(line, p);
}

namespace {

void AppendPadded(std::string& out, std::size_t column, std::size_t cellStart) {
    const std::size_t width = static_cast<std::size_t>(kTableWidths[column]);
    const std::size_t length = out.size() - cellStart;
    if (length >= width) return;
    if (kTableRightAligned[column]) {
        out.insert(cellStart, width - length, ' ');
    } else {
        out.append(width - length, ' ');
    }
}

template <class Cell>
void AppendTableLine(std::string& out, Cell cell) {
    const std::size_t lineStart = out.size();
    for (std::size_t c = 0; c < kFrameColumnCount; ++c) {
        if (c != 0) out.push_back(' ');
        const std::size_t cellStart = out.size();
        cell(c);
        AppendPadded(out, c, cellStart);
    }
    while (out.size() > lineStart && out.back() == ' ') out.pop_back();
    out.push_back('\n');
}

}  // namespace

void AppendFrameTableHeader(std::string& out) {
    AppendTableLine(out, [&](std::size_t c) { out += kFrameColumnTitles[c]; });
}

void AppendFrameTableLine(std::string& out, const FrameRow& row) {
    AppendTableLine(out,
                    [&](std::size_t c) { AppendFrameCell(out, row, static_cast<FrameColumn>(c)); });
}

FrameLog::FrameLog(std::size_t capacity) : rows_(std::max<std::size_t>(capacity, 1)) {}

void FrameLog::OnFrameRow(const FrameRow& row) {
    ++total_;
    if (size_ < rows_.size()) {
        rows_[(first_ + size_++) % rows_.size()] = row;
        return;
    }
    rows_[first_] = row;
    first_ = (first_ + 1) % rows_.size();
}

void FrameLog::Clear() {
    first_ = 0;
    size_ = 0;
}

const FrameRow& FrameLog::at(std::size_t index) const {
    return rows_[(first_ + index) % rows_.size()];
}

std::string FrameLogCsv(const FrameLog& log) {
    std::string csv;
    AppendFrameCsvHeader(csv);
    for (std::size_t i = 0; i < log.size(); ++i) AppendFrameCsvLine(csv, log.at(i));
    return csv;
}

}  // namespace nvx
