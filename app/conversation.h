// The one shape of every modem conversation: a command line, then a wait for
// one of several texts separated by "^", in any letter case, with the window's
// messages processed meanwhile. The wait gives 0 on time-out, else the number
// of the text seen. Time-outs are ticks of 55 ms.
#pragma once

#include <cstdint>
#include <string>

#include "app/devices.h"

namespace tollander::app {

// The row's status text when nothing answers on the port.
inline constexpr char kNoModemFound[] = "No modem found.";

inline constexpr std::int32_t kTickMillis = 55;
inline constexpr std::int32_t kAnswerTicks = 36;    // about 2 s
inline constexpr std::int32_t kCodeStartTicks = 72; // about 4 s: the boot loader after "ATGM"

inline int AwaitAnswer(ModemPort& com, const std::string& alternatives, std::int32_t ticks) {
    return com.AwaitAnyText(alternatives, ticks, true, true, '^');
}

} // namespace tollander::app
