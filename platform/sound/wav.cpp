// WAV parsing and reading, the same on every platform.
#include "platform/sound/wav.h"

#include "platform/fs/files.h"
#include "platform/little_endian.h"

#include <algorithm>
#include <cstring>

namespace tollander::platform {

bool ParseWav(const std::vector<std::uint8_t>& file, WavSound& out, std::string& error) {
    const std::size_t size = file.size();
    const std::uint8_t* p = file.data();
    if (size < 12 || std::memcmp(p, "RIFF", 4) != 0 || std::memcmp(p + 8, "WAVE", 4) != 0) {
        error = "not a RIFF WAVE file";
        return false;
    }
    bool have_format = false;
    std::uint16_t format_tag = 0;
    std::size_t pos = 12;
    while (pos + 8 <= size) {
        const std::uint32_t chunk = GetLE32(p + pos + 4);
        const std::size_t body = pos + 8;
        // A data chunk that claims more than the file holds is played as far
        // as the file goes; any other chunk must fit.
        const std::size_t avail = size - body;
        if (std::memcmp(p + pos, "fmt ", 4) == 0) {
            if (chunk < 16 || chunk > avail) {
                error = "malformed format chunk";
                return false;
            }
            format_tag = GetLE16(p + body);
            out.channels = GetLE16(p + body + 2);
            out.rate = GetLE32(p + body + 4);
            out.bits = GetLE16(p + body + 14);
            // WAVE_FORMAT_EXTENSIBLE carries the real tag in its sub-format.
            if (format_tag == 0xFFFE && chunk >= 26) format_tag = GetLE16(p + body + 24);
            have_format = true;
        } else if (std::memcmp(p + pos, "data", 4) == 0) {
            if (!have_format) {
                error = "data before the format chunk";
                return false;
            }
            const std::size_t length = std::min<std::size_t>(chunk, avail);
            out.samples.assign(p + body, p + body + length);
            break;
        } else if (chunk > avail) {
            error = "chunk runs past the end of the file";
            return false;
        }
        pos = body + chunk + (chunk & 1);
    }
    if (!have_format) {
        error = "no format chunk";
        return false;
    }
    if (format_tag != 1) {
        error = "not PCM (format " + std::to_string(format_tag) + ")";
        return false;
    }
    if (out.channels < 1 || out.channels > 8 || out.rate < 1000 || out.rate > 384000) {
        error = "unsupported channel count or sample rate";
        return false;
    }
    if (out.bits != 8 && out.bits != 16 && out.bits != 24 && out.bits != 32) {
        error = "unsupported sample size of " + std::to_string(out.bits) + " bits";
        return false;
    }
    const std::size_t frame = out.channels * (out.bits / 8);
    out.samples.resize(out.samples.size() - out.samples.size() % frame);
    return true;
}

bool ReadWavFile(const std::string& path, WavSound& out, std::string& error) {
    File in = File::OpenRead(path);
    if (!in.Valid()) {
        error = "cannot open " + path;
        return false;
    }
    std::vector<std::uint8_t> bytes;
    try {
        std::uint8_t block[65536];
        for (std::size_t n; (n = in.Read(block, sizeof block)) > 0;)
            bytes.insert(bytes.end(), block, block + n);
    } catch (const EInOutError&) {
        error = "cannot read " + path;
        return false;
    }
    if (!ParseWav(bytes, out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

} // namespace tollander::platform
