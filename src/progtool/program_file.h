#pragma once
// Program files: Intel HEX and NPF, whose data bytes are scrambled line by line. Every record read
// is checked (hexadecimal digits, length, checksum) before anything is written, so a damaged
// firmware record never leaves here with a fresh, valid checksum.

#include <cstdint>
#include <string>
#include <string_view>

namespace nvx {

enum TransformMode : int32_t {
    kTransformUnscramble = -1,  // NPF to HEX
    kTransformCopy = 0,         // data unchanged, checksum rewritten
    kTransformScramble = 1,     // HEX to NPF
};

// The longest record line, without its line end (a 255-character read buffer): 121 data bytes.
constexpr std::size_t kMaxRecordLineLength = 253;

// The largest flash of the catalogue's parts (ATxmega128D3, 136 KB) and the largest program
// file taken: that flash in records of one byte each (16 characters with the line end).
constexpr std::size_t kLargestFlashBytes = 139264;
constexpr std::size_t kMaxProgramFileBytes = kLargestFlashBytes * 16;

enum class RecordFault {
    None,
    TooLong,         // more than kMaxRecordLineLength characters
    NotHex,          // a character after the start character is not a hexadecimal digit
    LengthMismatch,  // the byte count does not match the line's length
    BadChecksum,     // the bytes of the record do not sum to 0 modulo 256
};

// "checksum wrong" and friends, for messages.
const char* RecordFaultText(RecordFault fault);

// Checks one record line (without its line end). The start character may be any character.
RecordFault CheckHexRecord(std::string_view line);

// The record types a programmer knows: data, end of file, and the four address records.
constexpr uint8_t kLastKnownRecordType = 0x05;

struct HexRecordResult {
    bool endOfFile = false;  // the record type is 01
    uint8_t type = 0;
    RecordFault fault = RecordFault::None;
};

// Writes the record as ':' + upper-case hex bytes with its data bytes transformed for the
// 0-based lineIndex and a new checksum, without a line end. A faulty line gives an empty
// outputLine and its fault.
HexRecordResult HexRecordTransform(std::string_view inputLine, std::string& outputLine,
                                   uint32_t lineIndex, TransformMode mode);

enum class ConversionStatus { Ok, InputUnreadable, Damaged, OutputUnwritable };

struct ConversionResult {
    ConversionStatus status = ConversionStatus::Ok;
    uint32_t line = 0;  // 1-based line of the damaged record in the input file
    RecordFault fault = RecordFault::None;
    uint32_t records = 0;  // record lines written
    std::string message;   // one line naming the file (and line) when status is not Ok
    // What a programmer needs beyond sound records: the end-of-file record, and no record type
    // it does not know (first such line, 1-based in the input, and its type; 0 when none).
    bool endRecordSeen = false;
    uint32_t unknownTypeLine = 0;
    uint8_t unknownType = 0;

    bool ok() const { return status == ConversionStatus::Ok; }
};

// Converts a whole program file's text: each record line becomes one output line ending in CR LF;
// the conversion stops after the end-of-file record or at the end of the input (a file without
// one converts all the same; endRecordSeen tells). Empty lines are
// skipped and do not count as lines of the transform. A damaged record rejects the whole input
// and leaves output empty. name is used in the message only.
ConversionResult ConvertProgramText(std::string_view input, TransformMode mode, std::string& output,
                                    std::string_view name = "input");

// Reads and converts a whole program file (see ConvertProgramText); nothing is written. A file
// larger than kMaxProgramFileBytes is unreadable.
ConversionResult ReadProgramFile(const std::string& inputPath, TransformMode mode,
                                 std::string& output);

// The same from file to file. The output is written only when the whole input converted, and is
// replaced in one step, so a failed write leaves no partial file under its name. An output that
// names the input (after links) is refused.
ConversionResult ConvertProgramFile(const std::string& inputPath, const std::string& outputPath,
                                    TransformMode mode);

// Where the data of a plain Intel HEX image lies: data records (type 00) placed by extended
// segment (02) and extended linear (04) address records, up to the end-of-file record.
struct ImageSpan {
    bool hasData = false;
    uint64_t end = 0;  // one past the last data byte
};
// The records must have been checked (ConvertProgramText).
ImageSpan ProgramImageSpan(std::string_view plainHex);

// The three characters after the last '.' of path are "hex" (ignoring case); "x.HEXA" passes.
bool HasHexExtension(std::string_view path);
// The same test for "npf".
bool HasNpfExtension(std::string_view path);
// The mode a program file is made ready for the programmer with: NPF is unscrambled, anything
// else copied.
TransformMode ProgramFileMode(std::string_view path);
// The NPF name a converted file gets: path up to and including its last '.', then "npf".
std::string NpfOutputPath(std::string_view path);
// The file name (after the last '/' or '\') begins with deviceKey, ignoring case.
bool FileNameMatchesDeviceKey(std::string_view path, std::string_view deviceKey);

}  // namespace nvx
