#include "app/row_tooltips.h"

#include "app/main_form.h"
#include "platform/port_info.h"

namespace tollander::app {

bool RowTooltips::Refresh(MainForm& form, int n) {
    const std::string key = form.EditText(n) + '\n' + form.PortNote[n];
    if (!text_.at(n).empty() && key == key_[n]) return false;
    key_[n] = key;
    const std::string device = form.ComPort1().DeviceName(static_cast<std::uint16_t>(n));
    std::string text;
    for (const auto& line :
         platform::port_fact_lines(static_cast<unsigned>(n), platform::describe_device(device)))
        text += (text.empty() ? "" : "\n") + line;
    if (!form.PortNote[n].empty()) text += "\n" + form.PortNote[n];
    text_[n] = text;
    return true;
}

} // namespace tollander::app
