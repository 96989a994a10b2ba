// tollander-make-icon FILE: writes the program's icon, the modem picture the
// windows draw, at the sizes Windows shows from 100 % to 200 % scale, as
// 32-bit images with their alpha.
#include "app/program_picture.h"
#include "platform/little_endian.h"

#include <cstdio>
#include <fstream>
#include <vector>

namespace {

using tollander::platform::PutLE32;

void PutLE16(std::uint8_t* p, unsigned v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

constexpr int kSizes[] = {16, 20, 24, 32, 40, 48, 64};

// One image of the icon file: a bottom-up BITMAPINFOHEADER image of twice
// the height (the colours, then the transparency mask).
std::vector<std::uint8_t> Image(int size) {
    const std::vector<std::uint8_t> rgba = tollander::app::ProgramPictureRgba(size, size);
    const int mask_row = (size + 31) / 32 * 4;
    std::vector<std::uint8_t> out(40);
    PutLE32(out.data(), 40);
    PutLE32(out.data() + 4, static_cast<std::uint32_t>(size));
    PutLE32(out.data() + 8, static_cast<std::uint32_t>(size * 2));
    PutLE16(out.data() + 12, 1);
    PutLE16(out.data() + 14, 32);
    PutLE32(out.data() + 20,
                                   static_cast<std::uint32_t>(size * size * 4 + mask_row * size));
    for (int y = size - 1; y >= 0; --y)
        for (int x = 0; x < size; ++x) {
            const std::uint8_t* p = &rgba[static_cast<std::size_t>((y * size + x) * 4)];
            out.insert(out.end(), {p[2], p[1], p[0], p[3]});
        }
    std::vector<std::uint8_t> mask(static_cast<std::size_t>(mask_row * size), 0);
    for (int y = size - 1, row = 0; y >= 0; --y, ++row)
        for (int x = 0; x < size; ++x)
            if (rgba[static_cast<std::size_t>((y * size + x) * 4 + 3)] == 0)
                mask[static_cast<std::size_t>(row * mask_row + x / 8)] |=
                    static_cast<std::uint8_t>(0x80 >> (x % 8));
    out.insert(out.end(), mask.begin(), mask.end());
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tollander-make-icon FILE\n");
        return 2;
    }
    constexpr int count = sizeof kSizes / sizeof kSizes[0];
    std::vector<std::uint8_t> head(6 + 16 * count, 0);
    PutLE16(head.data() + 2, 1); // an icon
    PutLE16(head.data() + 4, count);
    std::vector<std::uint8_t> images;
    for (int i = 0; i < count; ++i) {
        const auto image = Image(kSizes[i]);
        std::uint8_t* entry = head.data() + 6 + 16 * i;
        entry[0] = static_cast<std::uint8_t>(kSizes[i]);
        entry[1] = static_cast<std::uint8_t>(kSizes[i]);
        PutLE16(entry + 4, 1);
        PutLE16(entry + 6, 32);
        PutLE32(entry + 8, static_cast<std::uint32_t>(image.size()));
        PutLE32(entry + 12,
                                       static_cast<std::uint32_t>(head.size() + images.size()));
        images.insert(images.end(), image.begin(), image.end());
    }
    std::ofstream out(argv[1], std::ios::binary);
    out.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
    out.write(reinterpret_cast<const char*>(images.data()),
              static_cast<std::streamsize>(images.size()));
    if (!out.flush()) {
        std::fprintf(stderr, "tollander-make-icon: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
