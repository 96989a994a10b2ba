// The program's picture, a modem, drawn at any size: the About box's
// ProgramIcon and the windows' icon, for every front end with a window.
#pragma once

#include <cstdint>
#include <vector>

namespace tollander::app {

// Row by row from the top, four bytes a pixel (red, green, blue, alpha);
// the ground is transparent.
std::vector<std::uint8_t> ProgramPictureRgba(int width, int height);

} // namespace tollander::app
