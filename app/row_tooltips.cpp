#include "app/row_tooltips.h"

#include "app/main_form.h"
#include "platform/serial/port_info.h"

namespace tollander::app {

namespace {

// Whether the row's note already says what a fact line says: the note that
// begins with the line ("COM2: no device mapped; ..."), or one that carries
// the reason a "can open: no (...)" line gives.
bool SaidByNote(const std::string& line, const std::string& note) {
    if (note.empty()) return false;
    if (note.rfind(line, 0) == 0) return true;
    static const std::string kRefused = "  can open: no (";
    if (line.rfind(kRefused, 0) != 0 || line.back() != ')') return false;
    const std::string reason = line.substr(kRefused.size(), line.size() - kRefused.size() - 1);
    return note.find(reason) != std::string::npos;
}

} // namespace

bool RowTooltips::Refresh(MainForm& form, int n) {
    const std::string key = form.EditText(n) + '\n' + form.Fields().PortNote[n];
    if (!text_.at(n).empty() && key == key_[n]) return false;
    key_[n] = key;
    const std::string device = form.ComPort1().DeviceName(static_cast<std::uint16_t>(n));
    const std::string& note = form.Fields().PortNote[n];
    const auto facts = platform::DescribeDevice(device);
    std::string text;
    for (const auto& line : platform::PortFactLines(static_cast<unsigned>(n), facts))
        if (!SaidByNote(line, note)) text += (text.empty() ? "" : "\n") + line;
    // A port without a usable device: how to take another port of the system.
    if (facts.access == platform::DeviceFault::Unmapped ||
        facts.access == platform::DeviceFault::Missing)
        if (const std::string hint = platform::OtherPortHint(); !hint.empty())
            text += (text.empty() ? "" : "\n") + hint;
    if (!note.empty()) text += (text.empty() ? "" : "\n") + note;
    text_[n] = text;
    return true;
}

} // namespace tollander::app
