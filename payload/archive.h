// The compressed-file format: a 43-byte header (stored name, sizes, DOS date,
// version, signature "aBriskM#") followed by an LZSS body, and the file
// operations around it. Each operation allocates its own codec memory and
// releases it on every path; operations share no state.
//
// Errors: EBriskLZError 40002 (no memory), EBriskLZCompress 40003 / 40004 /
// 40006 (bad names, same file, wrong compressed file), EBriskLZDamaged 40007
// (an archive whose body or expansion does not match its stored sizes: the
// format has no checksum, so a cut or padded file is caught by these), EBriskLZDebug
// (misuse), platform::EInOutError for file errors (ErrorCode is the errno
// value, 100 for a read beyond the end of a file), platform::EAbort when
// OverwriteQuery answers 2 while expanding.
#pragma once

#include "payload/lzss.h"
#include "platform/fs/files.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace tollander::payload {

inline constexpr std::size_t kHeaderSize = 43;
inline constexpr const char* kArchiveSignature = "aBriskM#";
inline constexpr std::size_t kStoredNameCapacity = 12;
inline constexpr std::size_t kVersionCapacity = 8;

// Result of an operation that OverwriteQuery cancelled, or of LZObj without
// an input name.
inline constexpr std::int32_t kLZCancelled = -100;

// Header offsets: name 0 (13), uncompressed size 13, body size 17, date 21,
// version 25 (9), signature 34 (9). Integers little-endian; strings are a
// length byte and zero-padded characters.
struct ArchiveHeader {
    std::string file_name; // at most 12 characters
    std::int32_t uncompressed_size = 0;
    std::int32_t body_size = 0;
    std::uint32_t file_date = 0; // packed DOS date and time
    std::string version;         // at most 8 characters
    std::string signature = kArchiveSignature;
};

// Strings longer than their capacity are cut.
std::array<std::uint8_t, kHeaderSize> EncodeHeader(const ArchiveHeader& header);

// The header when the bytes are an archive's (name length not 0, signature
// exactly "aBriskM#"), else nothing. Length bytes above a field's capacity
// are read as the capacity.
std::optional<ArchiveHeader> DecodeHeader(std::span<const std::uint8_t> first_bytes);

// Handed to the callbacks.
struct TLZReportRec {
    std::string version;         // at most 8 characters
    std::int32_t first_size = 0; // see the operations
    std::int32_t second_size = 0;
    std::uint32_t file_date = 0; // packed DOS date and time
    std::string file_name;       // cleared before the final progress call
    std::uint8_t spare = 0;      // never set
};

// Called only when the output already exists. Compressing goes on only on 1;
// expanding cancels on 0, aborts silently (EAbort) on 2, goes on otherwise.
using TLZOverwriteQuery = std::uint8_t (*)(const TLZReportRec& report,
                                           const std::string& output_name);

// -1 before data moves, then each block's byte count (input blocks when
// compressing, output blocks when expanding), -2 at the end, also after a
// failure.
using TLZProgressProc = void (*)(const TLZReportRec& report, std::int32_t count);

class EBriskLZError : public std::runtime_error {
public:
    EBriskLZError(int number, const std::string& message)
        : std::runtime_error(message), number_(number) {}
    // The message's number: 40002, 40003, 40004, 40006.
    int Number() const { return number_; }

private:
    int number_;
};

class EBriskLZCompress : public EBriskLZError {
public:
    using EBriskLZError::EBriskLZError;
};

// "NAME: truncated or damaged archive (...)": the body ends before its
// stored size, runs past it, or expands to more or fewer bytes than stored.
class EBriskLZDamaged : public EBriskLZCompress {
public:
    EBriskLZDamaged(const std::string& name, const std::string& detail)
        : EBriskLZCompress(40007, name + ": truncated or damaged archive (" + detail + ")"),
          detail_(detail) {}
    // What was wrong, without the name.
    const std::string& Detail() const { return detail_; }

private:
    std::string detail_;
};

class EBriskLZDebug : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The one damage check of an archive, for the archive tool and the flasher
// alike (the format has no checksum, so a cut or padded file is caught by
// its sizes). Both raise EBriskLZDamaged naming `name`.
//
// The stored sizes against the archive's size in bytes, header included:
// negative, or a body shorter or longer than stored. Needs no reading, so
// it runs before any output is made.
void LZCheckStoredSizes(const ArchiveHeader& header, std::int64_t archive_size,
                        const std::string& name);
// Expands the body that `source` gives (the bytes after the header) into
// `sink`, reading no more than the stored body size and handing the sink no
// byte past the stored expanded size; then the body must have been all
// there, nothing may follow it, and it must have expanded to exactly its
// stored size. The source's and the sink's own exceptions pass through.
// Returns the bytes expanded.
std::int64_t LZExpandBody(LzssCoder& coder, const ArchiveHeader& header, BlockSource& source,
                          BlockSink& sink, const std::string& name);

// True when the open file is an archive; its position is restored.
bool LZIsCompressed(platform::File& file);

// The open file's header when it is an archive; its position is restored.
std::optional<ArchiveHeader> LZReadHeader(platform::File& file);

// The header's file name when `name` is an archive, else `name` unchanged.
std::string LZStoredName(const std::string& name);

// The last character of the extension becomes "~"; a name whose extension
// has fewer than 2 characters (none, or "." alone) gets ".~" instead.
std::string LZCompressedName(const std::string& name);

// First 8 characters of the file's "FileVersion", or "0".
std::string LZVersionString(const std::string& name);

// The key's value in the file's version resource; Linux files carry none,
// so this is always empty.
std::string FileVersionInfo(const std::string& name, const std::string& key);

enum class CopySide { Input, Output };

// Copies `count` bytes (-1: to the end of the input) between open files in
// 32000-byte blocks and returns the number copied. A fixed count that the
// input cannot supply raises EInOutError 100 "Read beyond end of file";
// a count below -1 raises EBriskLZDebug. `progress` (if set) hears each block
// after it is read (CopySide::Input) or written (CopySide::Output).
std::int64_t MyFCopy(platform::File& input, platform::File& output, std::int64_t count, CopySide side,
                     TLZProgressProc progress = nullptr, const TLZReportRec* report = nullptr);

// Bytes written (body size + 43, or the length of a plain copy when the input
// already is an archive); kLZCancelled when OverwriteQuery declines.
std::int32_t LZCompressFile(const std::string& input_name, const std::string& output_name,
                            TLZOverwriteQuery overwrite_query = nullptr,
                            TLZProgressProc progress_proc = nullptr);

// Into LZCompressedName(input_name), beside the input.
std::int32_t LZCompressFileDefault(const std::string& input_name,
                                   TLZOverwriteQuery overwrite_query = nullptr,
                                   TLZProgressProc progress_proc = nullptr);

// Bytes written: the expanded body, or a plain copy of a non-archive;
// kLZCancelled when OverwriteQuery answers 0.
std::int32_t LZDecompressFile(const std::string& input_name, const std::string& output_name,
                              TLZOverwriteQuery overwrite_query = nullptr,
                              TLZProgressProc progress_proc = nullptr);

// Into the input's directory under the header's stored name; 0 for an empty
// input name.
std::int32_t LZDecompressFileDefault(const std::string& input_name,
                                     TLZOverwriteQuery overwrite_query = nullptr,
                                     TLZProgressProc progress_proc = nullptr);

// The work of LZCompressFile and LZDecompressFile on files the caller has
// opened itself (the archive tool opens each file once and works on what it
// opened). The input is read from its start; the output is written from its
// current position, which must be its start; errors name it by its Path().
struct OpenedInput {
    platform::File& file;
    std::string name;            // for the stored name and for messages
    std::int64_t size = 0;       // in bytes
    std::uint32_t file_date = 0; // packed DOS date and time
};
struct CodecOutcome {
    std::int32_t bytes = 0;        // written to the output
    std::uint32_t output_date = 0; // what the output's date should be
    bool plain_copy = false;       // the input was copied unchanged
};
// Compresses, or copies an input that already is an archive.
CodecOutcome LZCompressOpen(const OpenedInput& input, platform::File& output,
                            TLZProgressProc progress = nullptr,
                            const TLZReportRec* report = nullptr);
// Expands an archive (EBriskLZDamaged when it does not match its stored
// sizes), or copies any other file unchanged.
CodecOutcome LZDecompressOpen(const OpenedInput& input, platform::File& output,
                              TLZProgressProc progress = nullptr,
                              const TLZReportRec* report = nullptr);

// Raises EBriskLZCompress 40006 with the stored name unless its file-name
// part is the requested name's, ignoring letter case: an archive found under
// the compressed name must store the name that was asked for.
void CheckStoredName(const std::string& stored, const std::string& requested);

// Where a default expansion of the archive `input` writes: the file-name part
// of its stored name, in input's directory as written. Raises 40006 for a
// stored name that is no file name, 40004 when it is input's own name.
std::string DefaultExpansionOutput(const std::string& input, const std::string& stored_name);

// What LZDecompressFileDefault reads and writes: the input (or, when it does
// not exist, the archive under its compressed name that stores it) and the
// stored name beside it. Raises as LZDecompressFileDefault does.
struct DefaultExpansion {
    std::string input;
    std::string output;
};
DefaultExpansion ResolveDefaultExpansion(const std::string& input_name);

// Names and callbacks for the file operations. An empty OutputName means the
// default name; an empty InputName makes both operations return -100.
class LZObj {
public:
    LZObj(std::string input_name, std::string output_name);
    virtual ~LZObj();

    virtual std::int32_t Compress();
    virtual std::int32_t Decompress();

    TLZOverwriteQuery OverwriteQuery = nullptr;
    TLZProgressProc ProgressProc = nullptr;
    std::string InputName;
    std::string OutputName;
};

} // namespace tollander::payload
