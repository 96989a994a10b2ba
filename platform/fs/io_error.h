// The two exceptions that file work raises everywhere in the program: the
// input/output error with its numeric code, and the silent abort that
// unwinds an action without showing any message.
#pragma once

#include <cstring>
#include <stdexcept>
#include <string>

namespace tollander::platform {

// Error code of a read that asked for more bytes than the file still held.
inline constexpr int kReadBeyondEnd = 100;

class EInOutError : public std::runtime_error {
public:
    EInOutError(int error_code, const std::string& message)
        : std::runtime_error(message), ErrorCode(error_code) {}

    // "<path>: <reason>" for an errno value.
    static EInOutError FromErrno(int err, const std::string& path) {
        return EInOutError(err, path + ": " + std::strerror(err));
    }

    int ErrorCode;
};

// Callers that show exceptions to the user skip this one.
class EAbort : public std::runtime_error {
public:
    EAbort() : std::runtime_error("Operation aborted") {}
};

} // namespace tollander::platform
