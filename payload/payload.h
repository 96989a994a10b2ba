// Reading the payload appended to the flasher: the alert sound, the two
// compressed images and the configuration record, all found by counting
// back from the end of the program's own file.
//
//   ... program ... | sound 27958 | boot image | main image | record 193 | EOF
//
// How this library talks to the application without depending on it:
//  - Plain lines (the debug dump, "Extracting WAV file.") go to
//    PayloadSink::log, one call per event-log line.
//  - The "integrity" line of ExtractImage is a catalogue message, which the
//    application owns: ExtractImage calls PayloadSink::integrity once its
//    verdict is known and the application writes MsgIntegrityPassed +
//    IntegrityResult::suffix, or MsgIntegrityFailed + " " + open_result in
//    decimal. ExpandImage calls it only on a failure. What is checked is in
//    payload/integrity.h.
//  - Steps live in the sequencer: ExtractImage and ExpandImage return an
//    ImageOutcome, and the sequencer picks its next step from it.
//  - Failures the sequencer does not handle (I/O errors on temporary files,
//    a record whose lengths do not fit the file, codec errors) are thrown:
//    platform::EInOutError or the codec's exceptions; they end the step.
//  - The message language is PayloadState::Language() after
//    ApplyConfigRecord; the application selects it in its catalogue.
#pragma once

#include "payload/config_record.h"
#include "payload/integrity.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tollander::payload {

inline constexpr std::int64_t kSoundLength = 27958;
inline constexpr std::size_t kCopyBlockSize = 2048;

// Temporary files, by the names the program uses. All of them, with a drive
// or without, live in the run's private directory, never in the current
// directory (TempFilePath gives the real path).
inline constexpr const char* ConfigTempFile = "~1~w~1~z.$$$";
inline constexpr const char* SoundFile = "~W~T~F~9.WAV";
inline constexpr const char* BootPackedFile = "c:\\~1~Z~6~Z.$$$";
inline constexpr const char* BootHexFile = "c:\\~1~Z~6~X.$$$";
inline constexpr const char* MainPackedFile = "c:\\~1~Z~6~1.$$$";
inline constexpr const char* MainHexFile = "c:\\~1~Z~6~2.$$$";

enum class Image { Boot, Main };

// How ExtractImage and ExpandImage ended: Failed means the run must stop.
enum class ImageOutcome { Done, Failed };

struct IntegrityResult {
    bool passed = false; // opened, and the images match their digests if any
    // What the open returned (-1 on failure), or one of the failure codes
    // of payload/integrity.h.
    int open_result = 0;
    Image image = Image::Main;
    const char* suffix = ""; // ".  (1)" boot, ".  (2)" main
};

struct PayloadSink {
    std::function<void(const std::string&)> log;
    std::function<void(const IntegrityResult&)> integrity;
};

// Where each piece lies, from the file size and the record's lengths.
struct PayloadLayout {
    std::int64_t sound_start = 0;
    std::int64_t boot_start = 0;
    std::int64_t main_start = 0;
    std::int64_t record_start = 0;
};
PayloadLayout ComputeLayout(std::int64_t file_size, std::int32_t boot_length,
                            std::int32_t main_length);

// Clears the attributes of, and deletes, one temporary file by its program
// name (e.g. SoundFile after playing it, or CurrentHexFile()). Never fails.
void DeleteTempFile(const std::string& name);
// The real path of a temporary file's name, for opening it (the media
// player, the send protocol). Without a run directory, creates the private
// base when needed.
std::string TempFilePath(const std::string& name);

// The payload state of one run: raw and parsed record, working values and
// the current temporary file names. Window thread only.
class PayloadState {
public:
    // exe_path: the file to read the payload from (a packed test file in
    // tests), opened here as by SetExePath.
    explicit PayloadState(std::string exe_path, PayloadSink sink = {});

    // The program's file is opened once and held to the end of the run:
    // every operation reads the open file, never the name again, so a file
    // renamed, replaced or deleted under the name changes nothing read.
    // SetExePath opens `exe_path` (File::OpenHeld) unless it is the name of
    // the file already held (step 0 runs again after "Start Over");
    // SetExeFile holds a file the program opened itself
    // (platform::OpenSelf()).
    void SetExePath(std::string exe_path);
    void SetExeFile(std::string exe_path, std::shared_ptr<platform::File> exe);
    const std::string& ExePath() const { return exe_path_; }
    void SetSink(PayloadSink sink) { sink_ = std::move(sink); }
    void SetDebugMode(bool on) { debug_mode_ = on; }
    // The vendor keys the program carries (payload/vendor_keys.h); none by
    // default: unsigned flashers are taken.
    void SetVendorKeys(VendorKeys keys) { keys_.assign(keys.begin(), keys.end()); }

    // Copies the last 193 bytes through ConfigTempFile into the raw buffer;
    // true when exactly 193 came, else false with the buffer unchanged.
    // Also false, with RecordFault() set, when they cannot be the record:
    // the file is a flasher of ours cut short or lengthened
    // (CheckFlasherEnd); or, with vendor keys, when the flasher is not
    // signed by one of them (CheckSignature).
    bool ReadConfigRecord();
    // 0, or the failure code of the last ReadConfigRecord.
    int RecordFault() const { return record_check_.code; }
    void ParseConfigRecord();
    // Sets ModelCode1, ModelCode2, ModelFamily and Language.
    void ApplyConfigRecord();
    // The nine lines through the sink's log.
    void DumpConfigRecord();
    // Writes SoundFile (read-only). Nothing when the program's file cannot
    // be opened.
    void ExtractAlertSound();
    // Makes the image's files current, checks the images the run will send
    // (CheckFlasher: the boot step both, the main step the main image),
    // copies them into their packed files (read-only) and reports the
    // result through the sink. The boot step makes the main image ready as
    // well, so that nothing between the two uploads reads the program's
    // file or needs room on the disk: the main step then only reports the
    // main image's verdict. Failed, with no packed file, when the program's
    // file cannot be opened or a check fails (the failure code goes to the
    // sink).
    ImageOutcome ExtractImage(Image which);
    // Expands the packed files of the step's images into their HEX files
    // (read-only; the boot step's both), deletes the packed files, and sets
    // UploadSize and UploadCheck() for the current image. Failed, with no
    // HEX file (kIntegrityFileChanged to the sink's integrity), when a
    // packed file is not the one ExtractImage wrote.
    ImageOutcome ExpandImage(Image which);
    // The digests of the HEX file's upload blocks, as ExpandImage wrote
    // them; null before.
    std::shared_ptr<const UploadBlocks> UploadCheck() const { return upload_blocks_; }
    // The debug line telling whether the program's file carries digests.
    std::string DescribeIntegrityBlock() const;
    // The seven names of the clean-up list; failures are passed over.
    void DeleteTempFiles();

    const RawConfigRecord& RawRecord() const { return raw_; }
    void SetRawRecord(const RawConfigRecord& raw) { raw_ = raw; }
    const ConfigRecord& Config() const { return config_; }

    const std::string& ModelCode1() const { return model_code1_; }
    const std::string& ModelCode2() const { return model_code2_; }
    const std::string& ModelFamily() const { return model_family_; }
    std::uint8_t Language() const { return language_; }
    std::int32_t UploadSize() const { return upload_size_; }
    // Program names (e.g. MainHexFile); empty before the first ExtractImage.
    const std::string& CurrentPackedFile() const { return current_packed_; }
    const std::string& CurrentHexFile() const { return current_hex_; }

private:
    // An image made ready in the run directory: its packed file holding
    // the checked bytes, then its HEX file.
    struct Prepared {
        bool packed = false;
        Digest packed_digest{};
        bool expanded = false;
        std::int32_t size = 0;
        std::shared_ptr<const UploadBlocks> blocks;
    };
    static std::size_t Slot(Image which) { return which == Image::Boot ? 0 : 1; }

    void Log(const std::string& line) const;
    // Copies an image from the program's file into its packed file; false
    // when the bytes copied are not the `checked` ones.
    bool CopyPacked(Image which, const Digest& checked);
    // Expands an image's packed file into its HEX file and deletes the
    // packed file; false when the packed file is not the one CopyPacked
    // wrote.
    bool ExpandPacked(Image which);
    // After a failure: both images' files go, and what was made ready.
    void DropPrepared();

    std::string exe_path_;
    std::shared_ptr<platform::File> exe_;
    PayloadSink sink_;
    bool debug_mode_ = false;
    std::vector<platform::EcPublicKey> keys_;
    RawConfigRecord raw_{};
    FlasherCheck record_check_;
    ConfigRecord config_;
    std::string model_code1_;
    std::string model_code2_;
    std::string model_family_;
    std::uint8_t language_ = 0;
    std::int32_t upload_size_ = 0;
    std::string current_packed_;
    std::string current_hex_;
    Prepared prepared_[2];
    std::shared_ptr<const UploadBlocks> upload_blocks_;
};

} // namespace tollander::payload
