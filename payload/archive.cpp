#include "payload/archive.h"

#include "payload/lzss.h"
#include "platform/fs/dos_time.h"
#include "platform/fs/files.h"
#include "platform/fs/io_error.h"
#include "platform/little_endian.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>

namespace tollander::payload {

namespace fs = std::filesystem;
using platform::EInOutError;
using platform::File;
using platform::FileNamePart;

namespace {

constexpr int kMsgInitFailed = 40002;
constexpr int kMsgInvalidParameters = 40003;
constexpr int kMsgSameFile = 40004;
constexpr int kMsgWrongFile = 40006;
constexpr std::int64_t kMaxSize = std::numeric_limits<std::int32_t>::max();

[[noreturn]] void RaiseInvalidParameters() {
    throw EBriskLZCompress(kMsgInvalidParameters, "Invalid parameters to LZ function");
}

[[noreturn]] void RaiseSameFile(const std::string& name) {
    throw EBriskLZCompress(kMsgSameFile, "File " + name + " specified for both Input and Output");
}

[[noreturn]] void RaiseWrongFile(const std::string& name) {
    throw EBriskLZCompress(kMsgWrongFile, "Wrong compressed file: " + name);
}

[[noreturn]] void RaiseTooLarge(const std::string& name) {
    throw EInOutError::FromErrno(EFBIG, name);
}

std::unique_ptr<LzssCoder> AllocateWorkMemory() {
    try {
        return std::make_unique<LzssCoder>();
    } catch (const std::bad_alloc&) {
        throw EBriskLZError(kMsgInitFailed, "LZ-Initialisation failed");
    }
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
        return std::tolower(x) == std::tolower(y);
    });
}

std::string FullPath(const std::string& name) {
    std::error_code ec;
    fs::path p = fs::absolute(name, ec);
    if (ec) return name;
    return p.lexically_normal().string();
}

bool Exists(const std::string& name) {
    std::error_code ec;
    return fs::exists(name, ec);
}

// Two names for one file (a hard link, a symbolic link, "./x" and "x").
bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

std::int64_t FileSizeOr(const std::string& name, std::int64_t fallback) {
    std::error_code ec;
    const auto size = fs::file_size(name, ec);
    return ec ? fallback : static_cast<std::int64_t>(size);
}

// The input opened for reading; EInOutError when it cannot be.
File OpenInput(const std::string& name) {
    File file = File::OpenRead(name);
    if (!file.Valid()) throw EInOutError::FromErrno(file.Error(), name);
    return file;
}

// The header at the start of the file when it is an archive; the position stays.
std::optional<ArchiveHeader> ReadHeader(File& file) {
    std::optional<ArchiveHeader> header;
    try {
        const std::int64_t position = file.Position();
        std::uint8_t bytes[kHeaderSize];
        file.Seek(0);
        if (file.ReadFull(bytes, kHeaderSize) == kHeaderSize) header = DecodeHeader(bytes);
        file.Seek(position);
    } catch (const EInOutError&) {
    }
    return header;
}

std::optional<ArchiveHeader> ReadHeader(const std::string& name) {
    File file = File::OpenRead(name);
    if (!file.Valid()) return std::nullopt;
    return ReadHeader(file);
}

class ReportingSource : public BlockSource {
public:
    ReportingSource(File& file, TLZProgressProc progress, const TLZReportRec& report)
        : file_(file), progress_(progress), report_(report) {}
    std::size_t ReadBlock(std::uint8_t* buffer, std::size_t capacity) override {
        const std::size_t n = file_.ReadFull(buffer, capacity);
        if (progress_ && n) progress_(report_, static_cast<std::int32_t>(n));
        return n;
    }

private:
    File& file_;
    TLZProgressProc progress_;
    const TLZReportRec& report_;
};

// An archive's body: no more than its stored size is read.
class BodySource : public BlockSource {
public:
    BodySource(BlockSource& source, std::int64_t size) : source_(source), remaining_(size) {}
    std::size_t ReadBlock(std::uint8_t* buffer, std::size_t capacity) override {
        const auto wanted = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(capacity), remaining_));
        const std::size_t n = wanted ? source_.ReadBlock(buffer, wanted) : 0;
        remaining_ -= static_cast<std::int64_t>(n);
        return n;
    }
    std::int64_t Remaining() const { return remaining_; }
    // True when the source goes on after the stored size.
    bool MoreFollows() {
        std::uint8_t byte;
        return source_.ReadBlock(&byte, 1) == 1;
    }

private:
    BlockSource& source_;
    std::int64_t remaining_;
};

// An archive's expansion: nothing past its stored size reaches the sink.
class BodySink : public BlockSink {
public:
    BodySink(BlockSink& sink, std::int64_t size, const std::string& name)
        : sink_(sink), limit_(size), name_(name) {}
    void WriteBlock(const std::uint8_t* data, std::size_t size) override {
        if (total_ + static_cast<std::int64_t>(size) > limit_) {
            throw EBriskLZDamaged(name_, "it expands past its stored size of " +
                                             std::to_string(limit_) + " bytes");
        }
        total_ += static_cast<std::int64_t>(size);
        sink_.WriteBlock(data, size);
    }

private:
    BlockSink& sink_;
    std::int64_t limit_;
    const std::string& name_;
    std::int64_t total_ = 0;
};

class ReportingSink : public BlockSink {
public:
    ReportingSink(File& file, TLZProgressProc progress, const TLZReportRec& report)
        : file_(file), progress_(progress), report_(report) {}
    void WriteBlock(const std::uint8_t* data, std::size_t size) override {
        total_ += static_cast<std::int64_t>(size);
        // The result and the header's sizes are 32-bit.
        if (total_ > kMaxSize) RaiseTooLarge(file_.Path());
        file_.Write(data, size);
        if (progress_ && size) progress_(report_, static_cast<std::int32_t>(size));
    }

private:
    File& file_;
    TLZProgressProc progress_;
    const TLZReportRec& report_;
    std::int64_t total_ = 0;
};

// The clean-up that ends every compress and expand, also after a failure:
// the output gets its date and is closed, the report loses its name and the
// progress callback hears -2. Throws only on the normal path.
void FinishOutput(std::optional<File>& output, std::uint32_t date, TLZReportRec& report,
                   TLZProgressProc progress, bool failed) {
    if (output) {
        const std::string name = output->Path();
        if (failed) {
            output.reset();
        } else {
            output->Close();
            output.reset();
        }
        platform::WriteFileDosTime(name, date);
    }
    report.file_name.clear();
    if (progress) progress(report, -2);
}

void PutShortString(std::uint8_t* field, const std::string& text, std::size_t capacity) {
    const std::size_t n = std::min(text.size(), capacity);
    field[0] = static_cast<std::uint8_t>(n);
    std::memcpy(field + 1, text.data(), n);
}

std::string GetShortString(const std::uint8_t* field, std::size_t capacity) {
    const std::size_t n = std::min<std::size_t>(field[0], capacity);
    return std::string(reinterpret_cast<const char*>(field + 1), n);
}

constexpr std::size_t kOffName = 0;
constexpr std::size_t kOffUncompressed = 13;
constexpr std::size_t kOffBody = 17;
constexpr std::size_t kOffDate = 21;
constexpr std::size_t kOffVersion = 25;
constexpr std::size_t kOffSignature = 34;

} // namespace

std::array<std::uint8_t, kHeaderSize> EncodeHeader(const ArchiveHeader& header) {
    std::array<std::uint8_t, kHeaderSize> bytes{};
    PutShortString(&bytes[kOffName], header.file_name, kStoredNameCapacity);
    platform::PutLE32(&bytes[kOffUncompressed], static_cast<std::uint32_t>(header.uncompressed_size));
    platform::PutLE32(&bytes[kOffBody], static_cast<std::uint32_t>(header.body_size));
    platform::PutLE32(&bytes[kOffDate], header.file_date);
    PutShortString(&bytes[kOffVersion], header.version, kVersionCapacity);
    PutShortString(&bytes[kOffSignature], header.signature, 8);
    return bytes;
}

std::optional<ArchiveHeader> DecodeHeader(std::span<const std::uint8_t> first_bytes) {
    if (first_bytes.size() < kHeaderSize) return std::nullopt;
    const std::uint8_t* b = first_bytes.data();
    if (b[kOffName] == 0) return std::nullopt;
    if (b[kOffSignature] != 8 || std::memcmp(b + kOffSignature + 1, kArchiveSignature, 8) != 0) {
        return std::nullopt;
    }
    ArchiveHeader header;
    header.file_name = GetShortString(b + kOffName, kStoredNameCapacity);
    header.uncompressed_size = static_cast<std::int32_t>(platform::GetLE32(b + kOffUncompressed));
    header.body_size = static_cast<std::int32_t>(platform::GetLE32(b + kOffBody));
    header.file_date = platform::GetLE32(b + kOffDate);
    header.version = GetShortString(b + kOffVersion, kVersionCapacity);
    header.signature = kArchiveSignature;
    return header;
}

bool LZIsCompressed(File& file) {
    return ReadHeader(file).has_value();
}

std::optional<ArchiveHeader> LZReadHeader(File& file) {
    return ReadHeader(file);
}

std::string LZStoredName(const std::string& name) {
    auto header = ReadHeader(name);
    return header ? header->file_name : name;
}

std::string LZCompressedName(const std::string& name) {
    const auto slash = platform::LastPathSeparator(name);
    const auto dot = name.find_last_of('.');
    const bool has_extension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash);
    if (!has_extension) return name + ".~";
    if (name.size() - dot < 2) return name.substr(0, dot) + ".~";
    return name.substr(0, name.size() - 1) + "~";
}

std::string FileVersionInfo(const std::string&, const std::string&) {
    return {};
}

std::string LZVersionString(const std::string& name) {
    const std::string value = FileVersionInfo(name, "FileVersion");
    return value.empty() ? "0" : value.substr(0, kVersionCapacity);
}

std::int64_t MyFCopy(File& input, File& output, std::int64_t count, CopySide side,
                     TLZProgressProc progress, const TLZReportRec* report) {
    if (count < -1) throw EBriskLZDebug("Negative copy-length passed to MyFCopy");
    auto buffer = std::make_unique<std::uint8_t[]>(kBlockSize);
    const TLZReportRec empty_report;
    const TLZReportRec& rec = report ? *report : empty_report;
    std::int64_t copied = 0;
    while (count == -1 || copied < count) {
        const std::size_t wanted =
            count == -1
                ? kBlockSize
                : static_cast<std::size_t>(std::min<std::int64_t>(kBlockSize, count - copied));
        const std::size_t got = input.ReadFull(buffer.get(), wanted);
        if (count != -1 && got < wanted) {
            throw EInOutError(platform::kReadBeyondEnd, "Read beyond end of file");
        }
        if (got == 0) break;
        if (progress && side == CopySide::Input) progress(rec, static_cast<std::int32_t>(got));
        output.Write(buffer.get(), got);
        if (progress && side == CopySide::Output) progress(rec, static_cast<std::int32_t>(got));
        copied += static_cast<std::int64_t>(got);
    }
    return copied;
}

namespace {

// Compresses the input from its current position (or copies it when it
// already is an archive). outcome.output_date is set before anything moves,
// so a caller's clean-up after a failure dates the output as it should.
void CompressStreams(LzssCoder& coder, const OpenedInput& input, File& output,
                      TLZProgressProc progress, const TLZReportRec& report,
                      CodecOutcome& outcome) {
    if (input.size > kMaxSize) RaiseTooLarge(input.name);
    const std::optional<ArchiveHeader> stored = ReadHeader(input.file);
    outcome.output_date = stored ? stored->file_date : input.file_date;
    if (stored) {
        outcome.plain_copy = true;
        outcome.bytes = static_cast<std::int32_t>(
            MyFCopy(input.file, output, -1, CopySide::Input, progress, &report));
        return;
    }
    ArchiveHeader header;
    header.file_name = FileNamePart(input.name).substr(0, kStoredNameCapacity);
    header.uncompressed_size = static_cast<std::int32_t>(input.size);
    header.file_date = input.file_date;
    header.version = LZVersionString(input.name);
    auto bytes = EncodeHeader(header);
    output.Write(bytes.data(), bytes.size());
    ReportingSource source(input.file, progress, report);
    ReportingSink sink(output, nullptr, report);
    const LzssTotals totals = coder.Encode(source, sink);
    if (totals.bytes_written > kMaxSize - static_cast<std::int64_t>(kHeaderSize)) {
        RaiseTooLarge(output.Path());
    }
    header.body_size = static_cast<std::int32_t>(totals.bytes_written);
    bytes = EncodeHeader(header);
    output.Seek(0);
    output.Write(bytes.data(), bytes.size());
    outcome.bytes = header.body_size + static_cast<std::int32_t>(kHeaderSize);
}

} // namespace

void LZCheckStoredSizes(const ArchiveHeader& header, std::int64_t archive_size,
                        const std::string& name) {
    if (header.body_size < 0 || header.uncompressed_size < 0) {
        throw EBriskLZDamaged(name, "its stored sizes are negative");
    }
    const std::int64_t body = archive_size - static_cast<std::int64_t>(kHeaderSize);
    if (body < header.body_size) {
        throw EBriskLZDamaged(name, "its body ends after " + std::to_string(body) + " of its " +
                                        std::to_string(header.body_size) + " bytes");
    }
    if (body > header.body_size) {
        throw EBriskLZDamaged(name, "its body runs " + std::to_string(body - header.body_size) +
                                        " bytes past its stored size");
    }
}

std::int64_t LZExpandBody(LzssCoder& coder, const ArchiveHeader& header, BlockSource& source,
                          BlockSink& sink, const std::string& name) {
    BodySource body(source, header.body_size);
    BodySink bounded(sink, header.uncompressed_size, name);
    const std::int64_t written = coder.Decode(body, bounded).bytes_written;
    if (body.Remaining() > 0) {
        throw EBriskLZDamaged(name, "its body ends after " +
                                        std::to_string(header.body_size - body.Remaining()) +
                                        " of its " + std::to_string(header.body_size) + " bytes");
    }
    if (body.MoreFollows()) throw EBriskLZDamaged(name, "its body runs past its stored size");
    if (written != header.uncompressed_size) {
        throw EBriskLZDamaged(name, "it expands to " + std::to_string(written) + " of its " +
                                        std::to_string(header.uncompressed_size) + " bytes");
    }
    return written;
}

namespace {

// Expands an archive's body, or copies any other input, from the input's
// start. The body is held to its stored sizes while it streams, so a file
// that changes under us is caught too.
void ExpandStreams(LzssCoder& coder, const OpenedInput& input,
                    const std::optional<ArchiveHeader>& header, File& output,
                    TLZProgressProc progress, const TLZReportRec& report,
                    CodecOutcome& outcome) {
    outcome.output_date = header ? header->file_date : input.file_date;
    if (!header) {
        if (input.size > kMaxSize) RaiseTooLarge(input.name);
        input.file.Seek(0);
        outcome.plain_copy = true;
        outcome.bytes = static_cast<std::int32_t>(
            MyFCopy(input.file, output, -1, CopySide::Output, progress, &report));
        return;
    }
    LZCheckStoredSizes(*header, input.size, input.name);
    input.file.Seek(static_cast<std::int64_t>(kHeaderSize));
    ReportingSource source(input.file, nullptr, report);
    ReportingSink sink(output, progress, report);
    outcome.bytes =
        static_cast<std::int32_t>(LZExpandBody(coder, *header, source, sink, input.name));
}

} // namespace

std::int32_t LZCompressFile(const std::string& input_name, const std::string& output_name,
                            TLZOverwriteQuery overwrite_query, TLZProgressProc progress_proc) {
    auto coder = AllocateWorkMemory();
    if (input_name.empty() || output_name.empty()) RaiseInvalidParameters();
    // Creating the output truncates it: it must never be the input under another name.
    if (EqualIgnoringCase(input_name, output_name) || SameFile(input_name, output_name)) {
        RaiseSameFile(input_name);
    }
    const std::uint32_t date = platform::ReadFileDosTime(input_name);
    const std::int64_t input_size = FileSizeOr(input_name, 0);
    if (input_size > kMaxSize) RaiseTooLarge(input_name);

    TLZReportRec report;
    report.version = LZVersionString(input_name);
    report.first_size = report.second_size = static_cast<std::int32_t>(input_size);
    report.file_date = date;
    report.file_name = input_name;
    if (Exists(output_name)) {
        if (overwrite_query && overwrite_query(report, output_name) != 1) return kLZCancelled;
    } else {
        report.first_size = -1;
    }

    File input = OpenInput(input_name);
    const OpenedInput opened{input, input_name, input_size, date};
    std::optional<File> output;
    CodecOutcome outcome;
    try {
        output.emplace(File::Create(output_name));
        if (progress_proc) progress_proc(report, -1);
        CompressStreams(*coder, opened, *output, progress_proc, report, outcome);
    } catch (...) {
        FinishOutput(output, outcome.output_date, report, progress_proc, true);
        throw;
    }
    FinishOutput(output, outcome.output_date, report, progress_proc, false);
    return outcome.bytes;
}

CodecOutcome LZCompressOpen(const OpenedInput& input, File& output, TLZProgressProc progress,
                            const TLZReportRec* report) {
    auto coder = AllocateWorkMemory();
    const TLZReportRec empty_report;
    input.file.Seek(0);
    CodecOutcome outcome;
    CompressStreams(*coder, input, output, progress, report ? *report : empty_report, outcome);
    return outcome;
}

std::int32_t LZCompressFileDefault(const std::string& input_name, TLZOverwriteQuery overwrite_query,
                                   TLZProgressProc progress_proc) {
    return LZCompressFile(input_name, LZCompressedName(input_name), overwrite_query, progress_proc);
}

namespace {

// The archive to read when `requested` does not exist: its compressed name,
// provided that archive stores the requested name.
std::string SwitchToCompressedName(const std::string& requested, std::string& stored) {
    const std::string input = LZCompressedName(requested);
    stored = LZStoredName(input);
    CheckStoredName(stored, requested);
    return input;
}

} // namespace

void CheckStoredName(const std::string& stored, const std::string& requested) {
    if (!EqualIgnoringCase(FileNamePart(stored), FileNamePart(requested))) {
        RaiseWrongFile(stored);
    }
}

std::string DefaultExpansionOutput(const std::string& input, const std::string& stored_name) {
    const std::string stored = FileNamePart(stored_name);
    // The stored name comes from the file: it may only name a file beside it.
    if (stored.empty() || stored == "." || stored == ".." ||
        stored.find('\0') != std::string::npos) {
        RaiseWrongFile(stored);
    }
    const std::string name = FileNamePart(input);
    if (EqualIgnoringCase(name, stored)) RaiseSameFile(input);
    // The directory as written: the system resolves it as it resolves the input.
    return input.substr(0, input.size() - name.size()) + stored;
}

std::int32_t LZDecompressFile(const std::string& input_name, const std::string& output_name,
                              TLZOverwriteQuery overwrite_query, TLZProgressProc progress_proc) {
    auto coder = AllocateWorkMemory();
    if (input_name.empty() || output_name.empty()) RaiseInvalidParameters();
    std::string input_path = FullPath(input_name);
    const std::string output_path = FullPath(output_name);
    if (EqualIgnoringCase(input_path, output_path) || SameFile(input_path, output_path)) {
        RaiseSameFile(input_name);
    }
    if (!Exists(input_path)) {
        std::string stored;
        input_path = SwitchToCompressedName(input_path, stored);
        // The archive found instead must not be the output either.
        if (EqualIgnoringCase(input_path, output_path) || SameFile(input_path, output_path)) {
            RaiseSameFile(input_path);
        }
    }

    const std::uint32_t input_date = platform::ReadFileDosTime(input_path);
    File input = OpenInput(input_path);
    const std::optional<ArchiveHeader> header = ReadHeader(input);
    const std::int64_t input_size = FileSizeOr(input_path, 0);

    TLZReportRec report;
    if (header) {
        report.version = header->version;
        report.first_size = header->body_size;
        report.second_size = header->uncompressed_size;
        report.file_date = header->file_date;
        report.file_name = header->file_name;
    } else {
        report.version = LZVersionString(input_path);
        report.first_size = report.second_size =
            static_cast<std::int32_t>(std::min(input_size, kMaxSize));
        report.file_date = input_date;
        report.file_name = input_name;
    }
    if (Exists(output_path) && overwrite_query) {
        const std::uint8_t answer = overwrite_query(report, output_name);
        if (answer == 0) return kLZCancelled;
        if (answer == 2) throw platform::EAbort();
    }

    const OpenedInput opened{input, input_path, input_size, input_date};
    if (header) LZCheckStoredSizes(*header, input_size, input_path);
    std::optional<File> output;
    CodecOutcome outcome;
    outcome.output_date = header ? header->file_date : input_date;
    try {
        output.emplace(File::Create(output_name));
        report.file_name = output_name;
        if (!header) report.version = "0";
        if (progress_proc) progress_proc(report, -1);
        ExpandStreams(*coder, opened, header, *output, progress_proc, report, outcome);
    } catch (const EBriskLZDamaged&) {
        // What was written is no image: leave none.
        FinishOutput(output, outcome.output_date, report, progress_proc, true);
        platform::DeleteFile(output_name);
        throw;
    } catch (...) {
        FinishOutput(output, outcome.output_date, report, progress_proc, true);
        throw;
    }
    FinishOutput(output, outcome.output_date, report, progress_proc, false);
    return outcome.bytes;
}

CodecOutcome LZDecompressOpen(const OpenedInput& input, File& output, TLZProgressProc progress,
                              const TLZReportRec* report) {
    auto coder = AllocateWorkMemory();
    const TLZReportRec empty_report;
    CodecOutcome outcome;
    ExpandStreams(*coder, input, ReadHeader(input.file), output, progress,
                   report ? *report : empty_report, outcome);
    return outcome;
}

DefaultExpansion ResolveDefaultExpansion(const std::string& input_name) {
    if (input_name.empty()) RaiseInvalidParameters();
    std::string input = input_name;
    std::string stored;
    if (!Exists(input)) {
        input = SwitchToCompressedName(input, stored);
    } else {
        stored = LZStoredName(input);
    }
    return {input, DefaultExpansionOutput(input, stored)};
}

std::int32_t LZDecompressFileDefault(const std::string& input_name,
                                     TLZOverwriteQuery overwrite_query,
                                     TLZProgressProc progress_proc) {
    if (input_name.empty()) return 0;
    const DefaultExpansion names = ResolveDefaultExpansion(input_name);
    return LZDecompressFile(names.input, names.output, overwrite_query, progress_proc);
}

LZObj::LZObj(std::string input_name, std::string output_name)
    : InputName(std::move(input_name)), OutputName(std::move(output_name)) {}

LZObj::~LZObj() {
    InputName.clear();
    OutputName.clear();
    OverwriteQuery = nullptr;
    ProgressProc = nullptr;
}

std::int32_t LZObj::Compress() {
    if (InputName.empty()) return kLZCancelled;
    if (OutputName.empty()) return LZCompressFileDefault(InputName, OverwriteQuery, ProgressProc);
    return LZCompressFile(InputName, OutputName, OverwriteQuery, ProgressProc);
}

std::int32_t LZObj::Decompress() {
    if (InputName.empty()) return kLZCancelled;
    if (OutputName.empty()) {
        return LZDecompressFileDefault(InputName, OverwriteQuery, ProgressProc);
    }
    return LZDecompressFile(InputName, OutputName, OverwriteQuery, ProgressProc);
}

} // namespace tollander::payload
