#include "app/program_picture.h"

#include <algorithm>
#include <cstddef>

namespace tollander::app {

std::vector<std::uint8_t> ProgramPictureRgba(int width, int height) {
    // An upright external modem: a dark case with a lighter front face, a row
    // of indicator lamps and ventilation slots, on a transparent ground.
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width) * height * 4, 0);
    auto put = [&](int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
        if (x < 0 || y < 0 || x >= width || y >= height) return;
        auto* p = &rgba[(static_cast<std::size_t>(y) * width + x) * 4];
        p[0] = r, p[1] = g, p[2] = b, p[3] = 255;
    };
    const int margin = std::max(1, width / 12);
    const int left = margin, right = width - margin - 1;
    const int top = margin, bottom = height - margin - 1;
    const int radius = std::max(2, width / 8);
    for (int y = top; y <= bottom; ++y) {
        for (int x = left; x <= right; ++x) {
            // Rounded corners.
            const int cx = std::clamp(x, left + radius, right - radius);
            const int cy = std::clamp(y, top + radius, bottom - radius);
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) > radius * radius) continue;
            const bool edge = x - left < 2 || right - x < 2 || y - top < 2 || bottom - y < 2;
            if (edge)
                put(x, y, 30, 34, 52);
            else
                put(x, y, 58, 66, 96);
        }
    }
    // Front face.
    const int fl = left + 3 * margin, fr = right - 3 * margin;
    const int ft = top + 3 * margin, fb = top + (bottom - top) / 3;
    for (int y = ft; y <= fb; ++y)
        for (int x = fl; x <= fr; ++x)
            put(x, y, 170, 180, 200);
    // Lamps: power, transmit, receive, carrier.
    const std::uint8_t lamps[4][3] = {{40, 220, 60}, {250, 190, 30}, {250, 190, 30}, {40, 220, 60}};
    const int lamp = std::max(2, (fr - fl) / 9);
    for (int i = 0; i < 4; ++i) {
        const int lx = fl + (fr - fl) * (2 * i + 1) / 8 - lamp / 2;
        const int ly = (ft + fb) / 2 - lamp / 2;
        for (int y = 0; y < lamp; ++y)
            for (int x = 0; x < lamp; ++x)
                put(lx + x, ly + y, lamps[i][0], lamps[i][1], lamps[i][2]);
    }
    // Ventilation slots.
    for (int y = fb + 3 * margin; y < bottom - 2 * margin; y += std::max(3, height / 14))
        for (int x = fl; x <= fr; ++x)
            put(x, y, 25, 28, 44);
    return rgba;
}

} // namespace tollander::app
