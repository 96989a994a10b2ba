#include "app/row_tooltips.h"

#include "app/main_form.h"
#include "platform/port_info.h"

namespace tollander::app {

bool RowTooltips::Refresh(MainForm& form, int n) {
    const std::string key = form.EditText(n) + '\n' + form.PortNote[n];
    if (!text_.at(n).empty() && key == key_[n]) return false;
    key_[n] = key;
    const std::string device = form.ComPort1().DeviceName(static_cast<std::uint16_t>(n));
    const auto facts = platform::describe_device(device);
    std::string text;
    for (const auto& line : platform::port_fact_lines(static_cast<unsigned>(n), facts))
        text += (text.empty() ? "" : "\n") + line;
    // A port without a usable device: how to take another port of the system.
    if (facts.access == platform::DeviceFault::unmapped ||
        facts.access == platform::DeviceFault::missing)
        if (const std::string hint = platform::other_port_hint(); !hint.empty())
            text += "\n" + hint;
    if (!form.PortNote[n].empty()) text += "\n" + form.PortNote[n];
    text_[n] = text;
    return true;
}

} // namespace tollander::app
