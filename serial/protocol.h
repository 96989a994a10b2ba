// The file-send protocol object, bound to a port object. Only ASCII send has
// an engine: the file goes out unchanged in blocks of kSendBlockSize bytes
// (platform/serial/serial_device.h), each one
// written when the port's output queue is empty, driven by the port's
// dispatcher. Its events run on the window thread: status, log, next-file
// and error are handed over with a 1000 ms limit, finish is posted.
//
// The object is made, used and destroyed on the window thread.
#pragma once

#include "platform/fs/files.h"
#include "platform/serial/serial_device.h"
#include "platform/thread/window_thread.h"
#include "serial/comm_errors.h"
#include "serial/stall_watch.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tollander::serial {

class TCustomComPort;

enum TProtocolType : std::uint8_t {
    ptNoProtocol,
    ptXmodem,
    ptXmodemCRC,
    ptXmodem1K,
    ptXmodem1KG,
    ptYmodem,
    ptYmodemG,
    ptZmodem,
    ptKermit,
    ptAscii,
    ptBPlus
};
enum TBlockCheckMethod : std::uint8_t {
    bcmNone,
    bcmChecksum,
    bcmChecksum2,
    bcmCrc16,
    bcmCrc32,
    bcmCrcK
};
enum TAsciiEOLTranslation : std::uint8_t { aetNone, aetStrip, aetAddCRBefore, aetAddLFAfter };
enum TWriteFailAction : std::uint8_t {
    wfWriteNone,
    wfWriteFail,
    wfWriteRename,
    wfWriteAnyway,
    wfWriteResume
};
enum TZmodemFileOptions : std::uint8_t {
    zfoNoOption,
    zfoWriteNewerLonger,
    zfoWriteCrc,
    zfoWriteAppend,
    zfoWriteClobber,
    zfoWriteNewer,
    zfoWriteDifferent,
    zfoWriteProtect
};

using TFileNameString = std::string;

// Asked before each block goes out: whether block `index` (0-based, of
// BlockSize bytes but the last) is the one expected; `last` tells that it
// ends the file. Runs on the port's dispatcher thread.
using TBlockVerifier =
    std::function<bool(std::uint32_t index, const std::uint8_t* data, std::size_t size, bool last)>;

// Notices from the engine to the object's hidden window.
inline constexpr std::uint16_t kProtocolNoticeStatus = 0x7E15;
inline constexpr std::uint16_t kProtocolNoticeLog = 0x7E16;
inline constexpr std::uint16_t kProtocolNoticeNextFile = 0x7E17;
inline constexpr std::uint16_t kProtocolNoticeAccept = 0x7E18;
inline constexpr std::uint16_t kProtocolNoticeFinish = 0x7E19;
inline constexpr std::uint16_t kProtocolNoticeResume = 0x7E1A;
inline constexpr std::uint16_t kProtocolNoticeError = 0x7E1B;

// Status options word: first and last report of a run.
inline constexpr std::uint16_t kStatusFirst = 1;
inline constexpr std::uint16_t kStatusLast = 2;

// Log codes.
inline constexpr std::uint16_t lfTransmitStart = 4;
inline constexpr std::uint16_t lfTransmitOk = 5;
inline constexpr std::uint16_t lfTransmitFail = 6;

// Protocol status codes of ASCII send.
inline constexpr std::uint16_t psOK = 0;
inline constexpr std::uint16_t psEndFile = 14;
inline constexpr std::uint16_t psAbortNoCarrier = 17;
// Statuses of the other protocol types that end a run with an error.
inline constexpr std::uint16_t psFileRejected = 3;
inline constexpr std::uint16_t psCantWriteFile = 7;
inline constexpr std::uint16_t psTimeout = 8;
inline constexpr std::uint16_t psProtocolError = 12;
inline constexpr std::uint16_t psCancelRequested = 13;
inline constexpr std::uint16_t psSequenceError = 16;

using platform::kSendBlockSize;

// A run whose sender stood still longer than this between two of its writes
// ends with ecSenderStalled (platform/serial/serial_device.h says why).
using platform::kSenderStallLimit;
inline constexpr std::size_t kProtocolBufferSize = 8192;

// The error a run without one ends with, derived from its last status.
int ErrorFromProtocolStatus(std::uint16_t status);

// The read-ahead of the file being sent: an 8192-byte window over the file.
// The window's unused tail is filled with the byte 26, which never leaves it:
// a block ends at the end of the data.
class AsciiFileWindow {
public:
    // 0, -2 for an empty name, or the open's negated code.
    int Open(const std::string& path);
    bool IsOpen() const { return file_.Valid(); }
    // 0 when it could not be read.
    std::uint32_t FileSize() const { return file_size_; }
    std::uint32_t FileDate() const { return file_.DosTime(); }
    // Copies up to n (<= 8192) bytes from `position` into `out`; `last` tells
    // that they end the file. The count, or a negative code for a failed read
    // (then `last` is set too).
    int ReadBlock(std::uint32_t position, std::uint8_t* out, std::uint16_t n, bool& last);
    void Close();

private:
    platform::File file_;
    std::unique_ptr<std::uint8_t[]> window_;
    std::uint32_t file_size_ = 0;
    std::uint32_t window_start_ = 0; // file offset of window_[0]
    std::uint32_t window_end_ = 0;   // file offset the next read starts at
    std::uint32_t data_end_ = 0;     // end of the data, once a short read found it
    bool end_seen_ = false;
    bool filled_ = false;
};

struct ProtocolData;

class TCustomProtocol {
public:
    using TProtocolStatusEvent = std::function<void(TCustomProtocol& CP, std::uint16_t Options)>;
    using TProtocolFinishEvent = std::function<void(TCustomProtocol& CP, int ErrorCode)>;
    using TProtocolErrorEvent = std::function<void(TCustomProtocol& CP, int ErrorCode)>;
    using TProtocolLogEvent = std::function<void(TCustomProtocol& CP, std::uint16_t Log)>;
    using TProtocolNextFileEvent = std::function<void(TCustomProtocol& CP, TFileNameString& FName)>;
    using TProtocolAcceptEvent =
        std::function<void(TCustomProtocol& CP, bool& Accept, TFileNameString& FName)>;
    using TProtocolResumeEvent = std::function<void(TCustomProtocol& CP, TWriteFailAction& Resume)>;

    explicit TCustomProtocol(platform::WindowThread& window, TCustomComPort* port = nullptr);
    virtual ~TCustomProtocol(); // ends a run in progress; no event fires afterwards
    TCustomProtocol(const TCustomProtocol&) = delete;
    TCustomProtocol& operator=(const TCustomProtocol&) = delete;

    // ---- Published properties that ASCII send uses.
    TCustomComPort* ComPort() const { return com_port_; }
    void SetComPort(TCustomComPort* port) { com_port_ = port; }
    TProtocolType ProtocolType() const;
    // Selecting ptAscii gives the engine its block buffer and block size;
    // the same type again changes nothing. Another type during a run raises
    // EBadArgument.
    void SetProtocolType(TProtocolType type);
    // The file a run sends, by its path, taken as it is written: no
    // character of it is a wildcard. Set between runs.
    const std::string& FileName() const;
    void SetFileName(const std::string& path);
    // When set, every block read is checked before it is written: the first
    // one refused ends the run with ecBlockMismatch and is not sent. Empty
    // (the default) sends the file unchecked. Changing it during a run raises
    // EBadArgument.
    void SetBlockVerifier(TBlockVerifier verifier);
    // The clock the run's stall watch reads (monotonic milliseconds); empty
    // gives the platform's. For tests that stand the sender still without
    // stopping it. Changing it during a run raises EBadArgument.
    void SetStallClock(StallClock clock);
    // The modem was just told to expect data: the watch over the sender's
    // own stalls begins now rather than at BeginSend, so a stall before the
    // first block (the pause before an upload) ends the next run before it
    // sends anything. A run without it is watched from its BeginSend. Called
    // during a run it raises EBadArgument.
    void WatchSender();
    std::uint16_t TransmitTimeout() const { return transmit_timeout_; } // ticks
    void SetTransmitTimeout(std::uint16_t ticks);
    std::uint16_t StatusInterval() const { return status_interval_; } // ticks
    void SetStatusInterval(std::uint16_t ticks);
    bool AbortNoCarrier() const { return abort_no_carrier_; }
    void SetAbortNoCarrier(bool on);

    // Kept for the interface's shape only: each is stored and read back,
    // and changes nothing in what is sent (the file goes out unchanged,
    // unchecked but by the verifier, at the line's pace, from the path
    // FileName gives, which on a case-sensitive file system its upper-cased
    // form need not name). The translations would apply to receiving.
    bool UpcaseFileNames() const { return upcase_file_names_; }
    void SetUpcaseFileNames(bool on) { upcase_file_names_ = on; }
    TBlockCheckMethod BlockCheckMethod() const { return block_check_method_; }
    void SetBlockCheckMethod(TBlockCheckMethod method) { block_check_method_ = method; }
    std::uint16_t AsciiCharDelay() const { return ascii_char_delay_; } // ms
    void SetAsciiCharDelay(std::uint16_t ms) { ascii_char_delay_ = ms; }
    std::uint16_t AsciiLineDelay() const { return ascii_line_delay_; } // ms
    void SetAsciiLineDelay(std::uint16_t ms) { ascii_line_delay_ = ms; }
    char AsciiEOLChar() const { return ascii_eol_char_; }
    void SetAsciiEOLChar(char c) { ascii_eol_char_ = c; }
    TAsciiEOLTranslation AsciiCRTranslation() const { return ascii_cr_translation_; }
    void SetAsciiCRTranslation(TAsciiEOLTranslation t) { ascii_cr_translation_ = t; }
    TAsciiEOLTranslation AsciiLFTranslation() const { return ascii_lf_translation_; }
    void SetAsciiLFTranslation(TAsciiEOLTranslation t) { ascii_lf_translation_ = t; }
    std::uint16_t AsciiEOFTimeout() const { return ascii_eof_timeout_; } // ticks
    void SetAsciiEOFTimeout(std::uint16_t ticks) { ascii_eof_timeout_ = ticks; }
    bool AsciiSuppressCtrlZ() const { return ascii_suppress_ctrl_z_; }
    void SetAsciiSuppressCtrlZ(bool on) { ascii_suppress_ctrl_z_ = on; }

    // Settings of the other protocol types and of receiving: kept for the
    // form, never used by ASCII send.
    struct OtherSettings {
        std::string DestinationDirectory;
        std::uint16_t HandshakeRetry = 10;
        std::uint16_t HandshakeWait = 182;
        std::uint16_t FinishWait = 364;
        std::uint16_t TurnDelay = 0;
        std::uint16_t Overhead = 0;
        TWriteFailAction WriteFailAction = wfWriteRename;
        bool HonorDirectory = false;
        bool IncludeDirectory = false;
        bool RTSLowForWrite = false;
        bool BP2KTransmit = false;
        std::uint16_t XYmodemBlockWait = 91;
        bool ZmodemOptionOverride = false;
        bool ZmodemSkipNoFile = false;
        TZmodemFileOptions ZmodemFileOption = zfoWriteNewer;
        bool ZmodemRecover = false;
        bool Zmodem8K = false;
        std::uint16_t ZmodemFinishRetry = 0;
        std::uint16_t KermitMaxLen = 80;
        std::uint16_t KermitMaxWindows = 0;
        std::uint16_t KermitSWCTurnDelay = 0;
        std::uint16_t KermitTimeoutSecs = 5;
        char KermitPadCharacter = 32;
        std::uint16_t KermitPadCount = 0;
        char KermitTerminator = 13;
        char KermitCtlPrefix = 35;
        char KermitHighbitPrefix = 89;
        char KermitRepeatPrefix = 126;
    } Other;

    // ---- Events (run on the window thread).
    TProtocolStatusEvent OnProtocolStatus;
    TProtocolFinishEvent OnProtocolFinish;
    TProtocolErrorEvent OnProtocolError;
    TProtocolLogEvent OnProtocolLog;
    // When set, it names the run's file in place of FileName (empty: none);
    // that file is first opened when the send starts.
    TProtocolNextFileEvent OnProtocolNextFile;
    // Kept for the interface's shape only: they belong to receiving and to
    // the other protocol types, and ASCII send never raises them.
    TProtocolAcceptEvent OnProtocolAccept;
    TProtocolResumeEvent OnProtocolResume;

    // ---- Operations.

    // Starts sending the file that FileName names and returns before the
    // data is sent. A path that names no file ends the run with -2, or -6004
    // when its directory is missing; an empty one with -6002. Raises EPortNotAssigned without a port
    // object; nothing happens with ptNoProtocol. The run ends with
    // OnProtocolFinish (after OnProtocolError when an error was reported).
    // A call while a run is in progress does nothing; a type without an
    // engine raises ENotSupported.
    void BeginSend();
    // The block length (kSendBlockSize for ASCII send); safe inside event
    // handlers.
    std::uint16_t BlockSize() const;
    // Progress of the current or last run; safe inside event handlers.
    std::uint16_t BlockNum() const;
    std::int32_t BytesTransferred() const;
    std::int32_t BytesRemaining() const;
    std::int32_t FileLength() const;
    // True from BeginSend until the run has ended.
    bool InProgress() const;

private:
    friend struct ProtocolData;

    platform::WindowThread& window_;
    TCustomComPort* com_port_ = nullptr;
    std::shared_ptr<ProtocolData> data_;

    std::uint16_t transmit_timeout_ = 1092;
    std::uint16_t status_interval_ = 18;
    bool upcase_file_names_ = true;
    bool abort_no_carrier_ = false;
    TBlockCheckMethod block_check_method_ = bcmNone;
    std::uint16_t ascii_char_delay_ = 0;
    std::uint16_t ascii_line_delay_ = 0;
    char ascii_eol_char_ = 13;
    TAsciiEOLTranslation ascii_cr_translation_ = aetNone;
    TAsciiEOLTranslation ascii_lf_translation_ = aetNone;
    std::uint16_t ascii_eof_timeout_ = 364;
    bool ascii_suppress_ctrl_z_ = false;
};

// The protocol object as the form publishes it.
class TProtocol : public TCustomProtocol {
public:
    using TCustomProtocol::TCustomProtocol;
};

} // namespace tollander::serial
