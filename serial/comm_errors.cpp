#include "serial/comm_errors.h"

#include <cstdlib>
#include <map>

namespace tollander::serial {

namespace {

// The library's message table, by message number.
const std::map<int, const char*>& MessageTable() {
    static const std::map<int, const char*> table = {
        {11002, "File not found"},
        {11003, "Path not found"},
        {11004, "Too many open files"},
        {11005, "File access denied"},
        {11006, "Invalid file handle"},
        {11008, "Insufficient memory"},
        {11012, "Invalid file access code"},
        {11015, "Invalid drive number"},
        {11016, "Cannot remove current directory"},
        {11017, "Cannot rename across drives"},
        {11018, "No more files"},
        {11900, "Disk read error"},
        {11901, "Disk write error"},
        {11902, "File not assigned"},
        {11903, "File/device not open"},
        {11904, "File not open for input"},
        {11905, "File not open for output"},
        {11906, "Invalid numeric format"},
        {11101, "Bad handle passed to com function"},
        {11102, "Bad argument passed to function"},
        {11105, "ComPort component not assigned"},
        {11201, "Specified comport does not exist (ie_BadId)"},
        {11208, "ie_Open - device already open"},
        {11209, "No more handles, can't open port"},
        {11301, "No device layer specified"},
        {11302, "Function not supported by driver"},
        {11304, "Failed to put entire block"},
        {11306, "Output buffer too small for block"},
        {11307, "Buffer is empty"},
        {11308, "Tracing not enabled"},
        {11309, "Logging not enabled"},
        {11501, "No more trigger slots"},
        {11502, "Data trigger too long"},
        {11503, "Bad trigger handle"},
        {11602, "No search mask specified during transmit"},
        {11603, "No files matched search mask"},
        {11604, "Directory in search mask doesn't exist"},
        {11606, "Fatal time out"},
        {11614, "Aborting due to carrier loss"},
        {11620, "No output room within the time-out"},
        {11621, "File changed since it was checked"},
        {11622, "The modem answered before the end of the file"},
        {11623, "The sender stood still too long"},
    };
    return table;
}

} // namespace

int CommMessageNumber(int code) {
    const int n = std::abs(code);
    if (n >= 13800 && n <= 13900) return n;
    if (n >= 100 && n < 200) return 11800 + n;
    return 11000 + n % 1000 + (n / 1000) * 100;
}

std::string CommErrorMessage(int code) {
    const auto& table = MessageTable();
    if (auto it = table.find(CommMessageNumber(code)); it != table.end()) return it->second;
    if (code <= -2 && code >= -162) return "I/O error " + std::to_string(-code);
    return "Comm exception";
}

void RaiseCommError(int code, const std::string& os_reason, platform::DeviceFault os_fault) {
    const std::string message = CommErrorMessage(code);
    switch (code) {
    case ecOutOfMemory:
        throw EOutOfMemory();
    case ecBadHandle:
        throw EBadHandle(code, message, os_reason, os_fault);
    case ecBadArgument:
        throw EBadArgument(code, message, os_reason, os_fault);
    case ecPortNotAssigned:
        throw EPortNotAssigned(code, message, os_reason, os_fault);
    case ecBadId:
        throw EBadId(code, message, os_reason, os_fault);
    case ecAlreadyOpen:
        throw EAlreadyOpen(code, message, os_reason, os_fault);
    case ecNoHandles:
        throw ENoHandles(code, message, os_reason, os_fault);
    case ecNullApi:
        throw ENullApi(code, message, os_reason, os_fault);
    case ecNotSupported:
        throw ENotSupported(code, message, os_reason, os_fault);
    case ecPutBlockFail:
        throw EPutBlockFail(code, message, os_reason, os_fault);
    case ecOutputBufferTooSmall:
        throw EOutputBufferTooSmall(code, message, os_reason, os_fault);
    case ecBufferIsEmpty:
        throw EBufferIsEmpty(code, message, os_reason, os_fault);
    case ecTracingNotEnabled:
        throw ETracingNotEnabled(code, message, os_reason, os_fault);
    case ecLoggingNotEnabled:
        throw ELoggingNotEnabled(code, message, os_reason, os_fault);
    case ecNoMoreTriggers:
        throw ENoMoreTriggers(code, message, os_reason, os_fault);
    case ecTriggerTooLong:
        throw ETriggerTooLong(code, message, os_reason, os_fault);
    case ecBadTriggerHandle:
        throw EBadTriggerHandle(code, message, os_reason, os_fault);
    default:
        break;
    }
    if (code <= -2 && code >= -162) throw platform::EInOutError(-code, message);
    throw ECommException(code, "Comm exception", os_reason, os_fault);
}

} // namespace tollander::serial
