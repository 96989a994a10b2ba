// The tooltip of each port row of a window: what the system knows of the
// port's device (as --list-ports shows it), then the row's note. Looked up
// again whenever the row's text or note changes, since a device can come and
// go between scans.
#pragma once

#include <array>
#include <string>

namespace tollander::app {

class MainForm;

class RowTooltips {
public:
    // Brings port n's tooltip (1..4) up to date; true when its text changed.
    bool Refresh(MainForm& form, int port);
    // Lines separated by '\n'.
    const std::string& Text(int port) const { return text_.at(port); }

private:
    std::array<std::string, 5> text_;
    std::array<std::string, 5> key_; // the row text and note the tooltip was made for
};

} // namespace tollander::app
