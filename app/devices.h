// The main form's parts that talk to the outside: the serial port, the send
// protocol, the payload and the alert player. The form reaches them only
// through these interfaces, so tests can drive every step without a modem;
// MakeSystemDevices() builds the real ones.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "payload/vendor_keys.h"
#include "platform/fs/self_path.h"

namespace tollander::platform {
class WindowThread;
}

namespace tollander::app {

class MainForm;
class ModemDialogue;

// Thrown out of a wait or a modem exchange once the main window is closing:
// the running step unwinds and nothing more is sent. Deliberately not a
// std::exception, so "any exception" handlers of a step let it through.
struct StepAborted {};

// ComPort1: the window's one serial port object.
class ModemPort {
public:
    virtual ~ModemPort() = default;

    virtual void SetComNumber(std::uint16_t n) = 0;
    virtual std::uint16_t ComNumber() const = 0;
    virtual void SetBaud(std::int32_t baud) = 0;
    virtual void SetOpen(bool open) = 0;
    virtual bool Open() const = 0;
    // Opens the port first when it is closed (auto-open). Throws on errors.
    virtual void SendText(const std::string& text) = 0;
    // 0 on time-out, else the 1-based number of the alternative seen first.
    virtual int AwaitAnyText(const std::string& alternatives, std::int32_t timeout_ticks,
                             bool yield, bool ignore_case, char separator) = 0;
    // What the last AwaitAnyText read from the modem (its last 256
    // characters at most), for telling the user what the modem said.
    virtual std::string LastAnswer() const = 0;
    virtual std::uint16_t NewDataTrigger(const std::string& text, bool ignore_case) = 0;
    virtual void DeleteTrigger(std::uint16_t handle) = 0;
    virtual char ReadChar() = 0;
    // Appends `count` received characters to `text` at once; throws as
    // ReadChar does when fewer were waiting, after appending those there were.
    virtual void ReadChars(std::uint16_t count, std::string& text) {
        for (std::uint16_t i = 0; i < count; ++i)
            text += ReadChar();
    }
    // Bytes written but still in the driver's output queue; 0 when the port
    // is closed or its driver does not say (a pseudo-terminal).
    virtual std::int64_t OutputQueued() const { return 0; }

    // Device the port number is mapped to, for diagnostics ("" when none).
    virtual std::string DeviceName(std::uint16_t n) const = 0;
    // The system's words for the last write the device ended short on the
    // open port ("<path>: <words>"; "" if none): the upload's writes raise
    // nothing, and this tells what ended them.
    virtual std::string LastWriteFailure() const = 0;
    // Why the far end closed the open port's line ("<path>: <words>"; "" while
    // it stands): a serial server that gave the port to another client, or
    // went away.
    virtual std::string LineClosure() const = 0;

    // Events, delivered on the window thread.
    std::function<void(std::uint16_t count)> OnTriggerAvail;
    std::function<void(std::uint16_t handle)> OnTriggerData;
};

// Whether block `index` (0-based, 8191 bytes but the last) of an upload is
// the one that was checked; `last` tells that it ends the file.
using BlockCheck = std::function<bool(std::uint32_t index, const std::uint8_t* data,
                                      std::size_t size, bool last)>;

// Protocol1: the ASCII send protocol bound to ComPort1.
class Uploader {
public:
    virtual ~Uploader() = default;

    // ProtocolType := ptAscii, FileName := file (its path), start sending
    // in the background; each block goes out only when `check` (if set) accepts it.
    // Ends with OnProtocolFinish (after OnProtocolError on a failure).
    virtual void StartAsciiSend(const std::string& file, const BlockCheck& check) = 0;
    // The modem is about to be told to expect data: from now on a stall of
    // this program (stopped, suspended) longer than the limit ends the next
    // send before its first block.
    virtual void WatchSender() = 0;
    // The block length the status events report (8191 for ASCII send).
    virtual std::uint16_t BlockSize() const = 0;
    // Bytes of the current upload handed to the port's driver so far; -1
    // when not known.
    virtual std::int64_t BytesHanded() const { return -1; }

    // Events, delivered on the window thread.
    std::function<void(std::uint16_t options)> OnProtocolStatus;
    std::function<void(int error_code)> OnProtocolFinish;
    std::function<void(int error_code)> OnProtocolError;
};

enum class Image { Boot = 1, Main = 2 };

// The payload operations the steps call, and the working values they read.
class PayloadOps {
public:
    using LogFn = std::function<void(const std::string&)>;

    // The integrity verdict: passed, or the failure code (the open's result,
    // or a code of payload/integrity.h).
    using IntegrityFn = std::function<void(bool opened, std::int64_t code)>;

    virtual ~PayloadOps() = default;

    // The program's file, opened at the first call and held to the end of
    // the run; a later call with the same path keeps the file held. Every
    // operation below reads that open file, never the path again.
    virtual void SetExePath(const std::string& path) = 0;
    virtual void DeleteTempFiles() = 0;
    // False when the record could not be read; a flasher that lost its end
    // (or gained one) is also reported through `damaged`, and its record
    // left unread.
    virtual bool ReadConfigRecord(const IntegrityFn& damaged) = 0;
    virtual void ParseConfigRecord() = 0;
    virtual void ApplyConfigRecord() = 0;
    virtual void DumpConfigRecord(const LogFn& log) = 0;
    // Writes the alert sound file; logs "Extracting WAV file." when debug.
    virtual void ExtractAlertSound(bool debug, const LogFn& log) = 0;
    // Makes the image's files the current ones, checks the images the run
    // will send, writes the packed file and reports through `integrity`.
    // The boot image's call makes the main image ready too (its main call
    // then reads and writes nothing). False when the executable cannot be
    // opened or a check fails.
    virtual bool ExtractImage(Image image, const IntegrityFn& integrity) = 0;
    // Writes the current HEX file, removes the packed one, sets UploadSize;
    // the boot image's call expands the main image as well. False, after a
    // failure through `integrity`, when a packed file is not the one
    // ExtractImage checked.
    virtual bool ExpandImage(Image image, const IntegrityFn& integrity) = 0;
    // Checks each block of the current HEX file as it goes out against what
    // ExpandImage wrote.
    virtual BlockCheck UploadCheck() const = 0;
    // Clears a temporary file's attributes and deletes it; never fails.
    virtual void DeleteTempFile(const std::string& name) = 0;
    // Where a temporary file's name lies on disk (for the player, the upload).
    virtual std::string TempFilePath(const std::string& name) const = 0;

    // Working values.
    virtual int LanguageIndex() const = 0; // Language + 1
    virtual std::string ModelFamily() const = 0;
    virtual std::string ModelCode1() const = 0;
    virtual std::string ModelCode2() const = 0;
    virtual std::int32_t BootLength() const = 0;
    virtual std::string BootModel() const = 0;
    virtual bool IgnoreModel() const = 0;
    virtual bool CountryFlag(int code) const = 0; // 0..49
    virtual std::int32_t UploadSize() const = 0;
    // Names as the program knows them; TempFilePath() gives the real path.
    virtual std::string CurrentHexFile() const = 0;
    virtual std::string SoundFile() const = 0;
};

// MediaPlayer1: plays the alert sound in the background; destroying it stops
// the sound.
class AlertPlayer {
public:
    virtual ~AlertPlayer() = default;
    virtual bool Open(const std::string& path) = 0;
    virtual bool Play() = 0;
    virtual std::string LastError() const = 0;
};

struct Devices {
    std::unique_ptr<ModemPort> port;
    std::unique_ptr<Uploader> protocol;
    std::unique_ptr<PayloadOps> payload;
    std::function<std::unique_ptr<AlertPlayer>()> make_player;
    std::function<std::unique_ptr<ModemDialogue>(MainForm&)> make_dialogue;
};

// The real parts: TComPort, TProtocol, the payload of the running program
// (read from `self`, the program's own file held open, when given), the
// system's media player, the probe and the flash dialogue. The payload
// takes flashers signed by one of `keys` only, when there are any.
Devices MakeSystemDevices(platform::WindowThread& window, const platform::SelfFile& self = {},
                          payload::VendorKeys keys = payload::BuiltInVendorKeys());

} // namespace tollander::app
