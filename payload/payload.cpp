#include "payload/payload.h"

#include "payload/archive.h"
#include "payload/integrity.h"
#include "platform/crypto/crypto.h"
#include "platform/fs/files.h"

#include <cerrno>
#include <utility>

namespace tollander::payload {

namespace {

using platform::EInOutError;
using platform::File;

constexpr std::int64_t kRecordSize = static_cast<std::int64_t>(kConfigRecordSize);

// Exactly `count` bytes in 2048-byte blocks; a file that ends early is an
// error, never a silently short copy. `sha`, when given, sees every byte.
void CopyExact(File& from, File& to, std::int64_t count, platform::Sha256* sha = nullptr) {
    unsigned char block[kCopyBlockSize];
    while (count > 0) {
        const auto n = static_cast<std::size_t>(
            std::min<std::int64_t>(count, static_cast<std::int64_t>(kCopyBlockSize)));
        from.ReadExact(block, n);
        to.Write(block, n);
        if (sha) sha->Update(block, n);
        count -= static_cast<std::int64_t>(n);
    }
}

[[noreturn]] void ThrowBadRecord(const std::string& exe_path, const char* what) {
    throw EInOutError(EINVAL, exe_path + ": " + what);
}

// Lengths that would put a piece before the start of the file, or count
// backwards, come from a damaged record: refuse them before writing.
void CheckPieceFits(const std::string& exe_path, std::int64_t start, std::int64_t length,
                    std::initializer_list<std::int32_t> lengths_used) {
    for (std::int32_t l : lengths_used)
        if (l < 0) ThrowBadRecord(exe_path, "negative image length in the configuration record");
    if (length < 0) ThrowBadRecord(exe_path, "negative image length in the configuration record");
    if (start < 0)
        ThrowBadRecord(exe_path, "the configuration record's lengths do not fit the file");
}

} // namespace

PayloadLayout ComputeLayout(std::int64_t file_size, std::int32_t boot_length,
                            std::int32_t main_length) {
    PayloadLayout l;
    l.record_start = file_size - kRecordSize;
    l.main_start = l.record_start - main_length;
    l.boot_start = l.main_start - boot_length;
    l.sound_start = l.boot_start - kSoundLength;
    return l;
}

void DeleteTempFile(const std::string& name) {
    // Never create or trust a directory that is not ours just to clean it.
    if (!platform::PrivateTempDirUsable()) return;
    const std::string path = platform::MapFileName(name, false);
    platform::ClearAttributes(path);
    platform::DeleteFile(path);
}

std::string TempFilePath(const std::string& name) {
    return platform::MapFileName(name, true);
}

PayloadState::PayloadState(std::string exe_path, PayloadSink sink) : sink_(std::move(sink)) {
    SetExePath(std::move(exe_path));
}

void PayloadState::SetExePath(std::string exe_path) {
    if (exe_ && exe_path == exe_path_) return;
    auto exe = std::make_shared<File>(File::OpenHeld(exe_path));
    SetExeFile(std::move(exe_path), std::move(exe));
}

void PayloadState::SetExeFile(std::string exe_path, std::shared_ptr<File> exe) {
    exe_path_ = std::move(exe_path);
    exe_ = std::move(exe);
}

void PayloadState::Log(const std::string& line) const {
    if (sink_.log) sink_.log(line);
}

bool PayloadState::ReadConfigRecord() {
    record_check_ = {};
    File& exe = *exe_;
    if (!exe.Valid()) return false;

    const std::string temp = TempFilePath(ConfigTempFile);
    struct Cleanup {
        ~Cleanup() { DeleteTempFile(ConfigTempFile); }
    } cleanup;

    {
        File copy = File::Create(temp);
        // A file shorter than the record cannot be positioned: nothing is
        // copied and the size check below fails.
        if (exe.SeekFromEnd(-kRecordSize)) {
            unsigned char block[kCopyBlockSize];
            for (;;) {
                const std::size_t n = exe.Read(block, sizeof block);
                if (n == 0) break;
                copy.Write(block, n);
            }
        }
        copy.Close();
    }

    File check = File::OpenRead(temp);
    if (!check.Valid() || check.Size() != kRecordSize) return false;
    RawConfigRecord raw{};
    check.ReadExact(raw.data(), raw.size());
    // A flasher of ours that was cut short or lengthened ends in bytes that
    // only look like a record: they are not taken.
    record_check_ = CheckFlasherEnd(exe, raw);
    if (record_check_.code != 0) {
        record_check_.fault = "the file was cut short or lengthened: no record";
        return false;
    }
    // Nothing of a flasher that is not the vendor's is taken either.
    record_check_ = CheckSignature(exe, raw, keys_);
    if (record_check_.code != 0) return false;
    raw_ = raw;
    return true;
}

void PayloadState::ParseConfigRecord() {
    config_ = payload::ParseConfigRecord(raw_);
}

void PayloadState::ApplyConfigRecord() {
    model_code1_ = config_.BootModel.substr(0, kModelCapacity);
    model_code2_ = config_.MainModel.substr(0, kModelCapacity);
    model_family_ = config_.Ati3Response;
    language_ = config_.Language;
}

void PayloadState::DumpConfigRecord() {
    for (const std::string& line : payload::DumpConfigRecord(config_))
        Log(line);
}

void PayloadState::ExtractAlertSound() {
    File& exe = *exe_;
    if (!exe.Valid()) return;
    if (debug_mode_) Log("Extracting WAV file.");
    const PayloadLayout layout = ComputeLayout(exe.Size(), config_.BootLength, config_.MainLength);
    CheckPieceFits(exe_path_, layout.sound_start, kSoundLength,
                   {config_.BootLength, config_.MainLength});

    const std::string path = TempFilePath(SoundFile);
    File out = File::Create(path);
    exe.Seek(layout.sound_start);
    CopyExact(exe, out, kSoundLength);
    out.Close();
    platform::SetReadOnly(path);
    platform::SetHidden(path);
}

bool PayloadState::CopyPacked(Image which, const Digest& checked) {
    const bool boot = which == Image::Boot;
    const char* name = boot ? BootPackedFile : MainPackedFile;
    const PayloadLayout layout = ComputeLayout(exe_->Size(), config_.BootLength, config_.MainLength);
    const std::string path = TempFilePath(name);
    Prepared& ready = prepared_[Slot(which)];
    ready = {};
    File out = File::Create(path);
    exe_->Seek(boot ? layout.boot_start : layout.main_start);
    platform::Sha256 sha;
    CopyExact(*exe_, out, boot ? config_.BootLength : config_.MainLength, &sha);
    out.Close();
    // The packed file must hold the bytes that were checked; ExpandPacked
    // holds it to this digest in turn.
    ready.packed_digest = sha.Finish();
    if (ready.packed_digest != checked) return false;
    platform::SetReadOnly(path);
    platform::SetHidden(path);
    ready.packed = true;
    return true;
}

ImageOutcome PayloadState::ExtractImage(Image which) {
    const bool boot = which == Image::Boot;
    current_packed_ = boot ? BootPackedFile : MainPackedFile;
    current_hex_ = boot ? BootHexFile : MainHexFile;
    upload_blocks_.reset();

    File& exe = *exe_;
    IntegrityResult result;
    result.image = which;
    result.suffix = boot ? ".  (1)" : ".  (2)";
    result.open_result = exe.OpenResult();
    result.passed = exe.Valid();
    auto report = [&] {
        if (sink_.integrity) sink_.integrity(result);
    };
    auto refuse = [&](int code) {
        result.passed = false;
        result.open_result = code;
        report();
        return ImageOutcome::Failed;
    };
    // Made ready by the boot step, before the boot image went out.
    const Prepared& main = prepared_[Slot(Image::Main)];
    if (!boot && (main.packed || main.expanded)) {
        result.passed = true;
        report();
        return ImageOutcome::Done;
    }
    if (!exe.Valid()) {
        report();
        return ImageOutcome::Failed;
    }

    // The boot step checks the main image as well: a damaged main image must
    // stop the run before the boot code is flashed.
    const FlasherCheck check = CheckFlasher(exe, raw_, boot, keys_);
    if (check.code != 0) return refuse(check.code);
    if (!CopyPacked(which, boot ? check.boot : check.main) ||
        (boot && !CopyPacked(Image::Main, check.main))) {
        DropPrepared();
        return refuse(kIntegrityFileChanged);
    }
    report();
    return ImageOutcome::Done;
}

bool PayloadState::ExpandPacked(Image which) {
    const bool boot = which == Image::Boot;
    const std::string packed = TempFilePath(boot ? BootPackedFile : MainPackedFile);
    const std::string hex = TempFilePath(boot ? BootHexFile : MainHexFile);
    Prepared& ready = prepared_[Slot(which)];
    // The packed file is read once: what is expanded is what is digested.
    Expansion expanded;
    bool opened = false;
    if (ready.packed) {
        File in = File::OpenRead(packed);
        opened = in.Valid();
        if (opened) {
            File out = File::Create(hex);
            expanded = ExpandArchive(in, 0, in.Size(), &out, true);
            out.Close();
        }
    }
    platform::ClearAttributes(packed);
    platform::DeleteFile(packed);
    ready.packed = false;
    // Anything but the packed file copied and checked by ExtractImage means
    // that file was changed in between.
    if (!opened || expanded.code != 0 || expanded.archive != ready.packed_digest) return false;
    platform::SetReadOnly(hex);
    platform::SetHidden(hex);
    ready.expanded = true;
    ready.size = static_cast<std::int32_t>(expanded.size);
    ready.blocks = std::make_shared<const UploadBlocks>(std::move(expanded.blocks));
    return true;
}

ImageOutcome PayloadState::ExpandImage(Image which) {
    upload_blocks_.reset();
    const Prepared& ready = prepared_[Slot(which)];
    // The boot step expands the main image too (ExtractImage copied both).
    const bool both = which == Image::Boot && prepared_[Slot(Image::Main)].packed;
    if (!ready.expanded &&
        (!ExpandPacked(which) || (both && !ExpandPacked(Image::Main)))) {
        DropPrepared();
        IntegrityResult result;
        result.image = which;
        result.open_result = kIntegrityFileChanged;
        if (sink_.integrity) sink_.integrity(result);
        return ImageOutcome::Failed;
    }
    upload_size_ = ready.size;
    upload_blocks_ = ready.blocks;
    return ImageOutcome::Done;
}

void PayloadState::DropPrepared() {
    for (const char* name : {BootPackedFile, MainPackedFile, BootHexFile, MainHexFile})
        DeleteTempFile(name);
    prepared_[0] = prepared_[1] = {};
}

std::string PayloadState::DescribeIntegrityBlock() const {
    if (record_check_.code != 0) return "Integrity    = " + record_check_.fault;
    File& exe = *exe_;
    BlockLookup lookup;
    // A diagnostic line must not end start-up: a file that cannot be read
    // here fails again, and is reported, where the images are copied.
    try {
        if (exe.Valid())
            lookup = FindIntegrityBlock(
                exe, ComputeLayout(exe.Size(), config_.BootLength, config_.MainLength).sound_start,
                raw_);
    } catch (const EInOutError&) {
        return "Integrity    = the program's file could not be read";
    }
    return payload::DescribeIntegrityBlock(lookup);
}

void PayloadState::DeleteTempFiles() {
    static constexpr const char* kCleanupList[] = {
        SoundFile,   MainPackedFile, "c:\\~1~W~1~Z.$$$", "c:\\~1~W~1~X.$$$",
        MainHexFile, BootPackedFile, BootHexFile,
    };
    for (const char* name : kCleanupList)
        DeleteTempFile(name);
    prepared_[0] = prepared_[1] = {};
}

} // namespace tollander::payload
