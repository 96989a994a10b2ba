// The message catalogue: 34 messages in five languages (UTF-8), and the
// forms in which event-log lines are built from them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tollander::app {

enum MsgId : int {
    MsgDebugActive = 1,
    MsgPressFlash,
    MsgEnsureSelected,
    MsgNoModems,
    MsgEnsureInstalled,
    MsgIntegrityPassed,
    MsgIntegrityFailed,
    MsgFlashingBoot,
    MsgCheckingModem,
    MsgProgrammingFailed,
    MsgFlashingMain,
    MsgRewritingNvram,
    MsgResetting,
    MsgFailure,
    MsgComplete,
    MsgUploadSent,
    MsgUploadIncomplete,
    MsgInitialized,
    MsgEnteringFlashMode,
    MsgNoFlashSupport,
    MsgCannotOpenPort,
    MsgUpdateNotNeeded,
    MsgUpdateNeeded,
    MsgNotRespondingAbort,
    MsgProgrammingRom,
    MsgNotResponding,
    MsgCommandMode,
    MsgStartingModemCode,
    MsgCodeCorrupt,
    MsgNoDevice,
    MsgDevicePresent,
    MsgInFlashMode,
    MsgCodeCorruptOn,
    MsgCodeMissingOn,
};

inline constexpr int kMessageCount = 34;

// Language index = the config record's Language code + 1: 1 English,
// 2 German, 3 French, 4 Italian, 5 Spanish.
inline constexpr int kEnglish = 1;

// A catalogue lookup with a language index outside 1..5.
class ERangeError : public std::out_of_range {
public:
    ERangeError() : std::out_of_range("Range check error") {}
};

// Text of message `id` in language `language_index`; throws ERangeError for a
// language index outside 1..5 (and for an id outside 1..34).
std::string MessageText(MsgId id, int language_index);

// The line forms.
// Numbered with the port: text, the port's digit, ".".
std::string NumberedLine(const std::string& text, int port);
// Suffixed: text, then ".  (1)" (boot code) or ".  (2)" (main code).
std::string SuffixedLine(const std::string& text, int image);
// With code: text (ending with a space), " ", the signed number.
std::string CodeLine(const std::string& text, std::int64_t code);
// After the family name: family, then the text (which begins with a space).
std::string FamilyLine(const std::string& family, const std::string& text);

} // namespace tollander::app
