// Result codes of the serial layer and the exceptions the port object turns
// them into. Record operations return codes and never raise; RaiseCommError
// is the one place where a negative code becomes an exception.
#pragma once

#include "platform/serial/device_fault.h"
#include "platform/fs/io_error.h"

#include <new>
#include <stdexcept>
#include <string>

namespace tollander::serial {

inline constexpr int ecOK = 0;
inline constexpr int ecFileNotFound = -2;
inline constexpr int ecPathNotFound = -3;
inline constexpr int ecAccessDenied = -5;
inline constexpr int ecOutOfMemory = -8;
inline constexpr int ecNotOpen = -103;
inline constexpr int ecBadHandle = -1001;
inline constexpr int ecBadArgument = -1002;
inline constexpr int ecPortNotAssigned = -1005;
inline constexpr int ecBadId = -2001;
inline constexpr int ecAlreadyOpen = -2008;
inline constexpr int ecNoHandles = -2009;
inline constexpr int ecNullApi = -3001;
inline constexpr int ecNotSupported = -3002;
inline constexpr int ecPutBlockFail = -3004;
inline constexpr int ecOutputBufferTooSmall = -3006;
inline constexpr int ecBufferIsEmpty = -3007;
inline constexpr int ecTracingNotEnabled = -3008;
inline constexpr int ecLoggingNotEnabled = -3009;
inline constexpr int ecNoMoreTriggers = -5001;
inline constexpr int ecTriggerTooLong = -5002;
inline constexpr int ecBadTriggerHandle = -5003;
inline constexpr int ecNoSearchMask = -6002;
inline constexpr int ecNoMatchingFiles = -6003;
inline constexpr int ecDirNotFound = -6004;
inline constexpr int ecTimeout = -6005;
inline constexpr int ecFatalTimeout = -6006;
// Derived from statuses of the other protocol types; ASCII send never sets them.
inline constexpr int ecProtocolError = -6007;
inline constexpr int ecSequenceError = -6009;
inline constexpr int ecFileRejected = -6011;
inline constexpr int ecCantWriteFile = -6012;
inline constexpr int ecCarrierLost = -6014;
// The output queue had no room for the next block within the transmit time-out.
inline constexpr int ecNoOutputRoom = -6020;
// A block read for sending is not the one the file held when it was checked.
inline constexpr int ecBlockMismatch = -6021;
// The modem answered (its data time-out, its boot prompt, ERROR) before the
// last block went out: it takes no more of the file.
inline constexpr int ecModemAnswered = -6022;
// The sender itself stood still (the process stopped, the machine asleep)
// longer than kSenderStallLimit: the modem may have given up waiting.
inline constexpr int ecSenderStalled = -6023;

// Message number of a code: |code| when 13800..13900, 11800 + |code| when
// 100..199, else 11000 + |code| mod 1000 + (|code| div 1000) * 100.
int CommMessageNumber(int code);
// The message text of a code ("Comm exception" for one with no text).
std::string CommErrorMessage(int code);

class ECommException : public std::runtime_error {
public:
    ECommException(int code, const std::string& message, std::string os_reason = {},
                   platform::DeviceFault os_fault = platform::DeviceFault::None)
        : std::runtime_error(message), ErrorCode(code), OsReason(std::move(os_reason)),
          OsFault(os_fault) {}
    int ErrorCode;
    // The operating system's own reason, where one is known (for diagnostics;
    // the message stays the library's), and its cause as the device told it.
    std::string OsReason;
    platform::DeviceFault OsFault;
};

#define TOLLANDER_COMM_EXCEPTION(name)                                                             \
    class name : public ECommException {                                                           \
    public:                                                                                        \
        using ECommException::ECommException;                                                      \
    }
TOLLANDER_COMM_EXCEPTION(EBadHandle);
TOLLANDER_COMM_EXCEPTION(EBadArgument);
TOLLANDER_COMM_EXCEPTION(EPortNotAssigned);
TOLLANDER_COMM_EXCEPTION(EBadId);
TOLLANDER_COMM_EXCEPTION(EAlreadyOpen);
TOLLANDER_COMM_EXCEPTION(ENoHandles);
TOLLANDER_COMM_EXCEPTION(ENullApi);
TOLLANDER_COMM_EXCEPTION(ENotSupported);
TOLLANDER_COMM_EXCEPTION(EPutBlockFail);
TOLLANDER_COMM_EXCEPTION(EOutputBufferTooSmall);
TOLLANDER_COMM_EXCEPTION(EBufferIsEmpty);
TOLLANDER_COMM_EXCEPTION(ETracingNotEnabled);
TOLLANDER_COMM_EXCEPTION(ELoggingNotEnabled);
TOLLANDER_COMM_EXCEPTION(ENoMoreTriggers);
TOLLANDER_COMM_EXCEPTION(ETriggerTooLong);
TOLLANDER_COMM_EXCEPTION(EBadTriggerHandle);
#undef TOLLANDER_COMM_EXCEPTION

// The standard out-of-memory exception of this layer (code -8).
class EOutOfMemory : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "Insufficient memory"; }
};

// Throws the exception of a negative code: ECommException or a class derived
// from it; EOutOfMemory for -8; platform::EInOutError for the other codes from
// -2 to -162. `os_reason` and `os_fault` travel with a comm exception.
[[noreturn]] void RaiseCommError(int code, const std::string& os_reason = {},
                                 platform::DeviceFault os_fault = platform::DeviceFault::None);

} // namespace tollander::serial
