#include "tools/mkfirmware/sample_firmware.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

namespace tollander::tools {

namespace {

constexpr std::size_t kEsaRecordSize = 17;  // ":02000002SSSSCC\r\n"
constexpr std::size_t kEofRecordSize = 13;  // ":00000001FF\r\n"
constexpr std::size_t kRecordOverhead = 13; // ':' len addr type checksum CR LF
constexpr std::size_t kMaxData = 32;
constexpr std::size_t kRecordsPerSegment = 65536 / kMaxData;

class Random {
public:
    explicit Random(std::uint32_t seed) : state_(seed ? seed : 0x9e3779b9u) {}
    std::uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    std::uint32_t Below(std::uint32_t n) { return Next() % n; }

private:
    std::uint32_t state_;
};

// Code-like bytes: a few dozen recurring instruction patterns with varying
// operands, and stretches of erased (0xFF) memory, so the text compresses
// about as well as real firmware does.
class CodeBytes {
public:
    explicit CodeBytes(std::uint32_t seed) : random_(seed) {
        for (auto& idiom : idioms_) {
            idiom.size = 2 + random_.Below(5);
            for (std::size_t i = 0; i < idiom.size; ++i)
                idiom.bytes[i] = static_cast<std::uint8_t>(random_.Next());
        }
    }
    std::uint8_t Next() {
        if (pos_ == size_) Refill();
        return pending_[pos_++];
    }

private:
    struct Idiom {
        std::array<std::uint8_t, 8> bytes{};
        std::size_t size = 0;
    };
    void Refill() {
        pos_ = 0;
        const std::uint32_t pick = random_.Below(100);
        if (pick < 2) {
            size_ = 16 + random_.Below(48);
            pending_.fill(0xFF);
            size_ = std::min(size_, pending_.size());
            return;
        }
        const Idiom& idiom = idioms_[random_.Below(static_cast<std::uint32_t>(idioms_.size()))];
        size_ = 0;
        for (std::size_t i = 0; i < idiom.size; ++i)
            pending_[size_++] = idiom.bytes[i];
        const std::uint32_t operands = random_.Below(3);
        for (std::uint32_t i = 0; i < operands; ++i)
            pending_[size_++] = static_cast<std::uint8_t>(random_.Below(16) * 3);
    }

    Random random_;
    std::array<Idiom, 40> idioms_{};
    std::array<std::uint8_t, 64> pending_{};
    std::size_t size_ = 0;
    std::size_t pos_ = 0;
};

void AppendHexByte(std::string& out, std::uint8_t b) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
}

void AppendRecord(std::string& out, std::uint8_t type, std::uint16_t address,
                  const std::uint8_t* data, std::size_t n) {
    std::uint8_t sum = static_cast<std::uint8_t>(n + (address >> 8) + (address & 0xFF) + type);
    out += ':';
    AppendHexByte(out, static_cast<std::uint8_t>(n));
    AppendHexByte(out, static_cast<std::uint8_t>(address >> 8));
    AppendHexByte(out, static_cast<std::uint8_t>(address & 0xFF));
    AppendHexByte(out, type);
    for (std::size_t i = 0; i < n; ++i) {
        AppendHexByte(out, data[i]);
        sum = static_cast<std::uint8_t>(sum + data[i]);
    }
    AppendHexByte(out, static_cast<std::uint8_t>(-sum));
    out += "\r\n";
}

} // namespace

std::string MakeIntelHex(std::size_t size, std::uint16_t first_segment, std::uint32_t seed) {
    // size = 17 S + 13 + 13 k + 2 D, with k records holding D bytes in all.
    for (std::size_t segments = 1; segments <= 16; ++segments) {
        const std::size_t fixed = kEsaRecordSize * segments + kEofRecordSize;
        if (size < fixed + kRecordOverhead + 2) break;
        const std::size_t rest = size - fixed;
        const std::size_t full = kRecordOverhead + 2 * kMaxData;
        std::size_t records = (rest + full - 1) / full;
        if ((rest - kRecordOverhead * records) % 2 != 0) ++records;
        if (kRecordOverhead * records > rest) break;
        if (records > kRecordsPerSegment * segments) continue;
        const std::size_t data_bytes = (rest - kRecordOverhead * records) / 2;
        if (data_bytes < records) break;
        // Full records, with the shortfall taken from the last few.
        std::vector<std::size_t> lengths(records, kMaxData);
        std::size_t shortfall = kMaxData * records - data_bytes;
        for (std::size_t i = records; i-- > 0 && shortfall > 0;) {
            const std::size_t cut = std::min(shortfall, kMaxData - 1);
            lengths[i] -= cut;
            shortfall -= cut;
        }

        CodeBytes code(seed);
        std::string out;
        out.reserve(size);
        std::size_t record = 0;
        for (std::size_t s = 0; s < segments && record < records; ++s) {
            const auto segment = static_cast<std::uint16_t>(first_segment + 0x1000 * s);
            const std::uint8_t esa[2] = {static_cast<std::uint8_t>(segment >> 8),
                                         static_cast<std::uint8_t>(segment & 0xFF)};
            AppendRecord(out, 0x02, 0, esa, 2);
            std::size_t address = 0;
            for (std::size_t i = 0; i < kRecordsPerSegment && record < records; ++i, ++record) {
                std::uint8_t data[kMaxData];
                for (std::size_t j = 0; j < lengths[record]; ++j)
                    data[j] = code.Next();
                AppendRecord(out, 0x00, static_cast<std::uint16_t>(address), data, lengths[record]);
                address += lengths[record];
            }
        }
        AppendRecord(out, 0x01, 0, nullptr, 0);
        if (out.size() == size) return out;
    }
    throw std::invalid_argument("no Intel HEX layout has " + std::to_string(size) + " bytes");
}

std::string MakeBootHex() {
    return MakeIntelHex(kBootHexSize, 0xF000, 0x0228u);
}

std::string MakeMainHex() {
    return MakeIntelHex(kMainHexSize, 0x1000, 0x0529u);
}

std::vector<std::uint8_t> MakeAlertWav() {
    std::vector<std::uint8_t> wav;
    wav.reserve(kAlertSize);
    auto text = [&](const char* s) { wav.insert(wav.end(), s, s + 4); };
    auto u32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            wav.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    auto u16 = [&](std::uint16_t v) {
        wav.push_back(static_cast<std::uint8_t>(v & 0xFF));
        wav.push_back(static_cast<std::uint8_t>(v >> 8));
    };

    // A name chunk brings the file to its fixed length.
    constexpr std::size_t kNameSize = 32;
    constexpr char kName[kNameSize] = "Tollander alert";

    text("RIFF");
    u32(static_cast<std::uint32_t>(kAlertSize - 8));
    text("WAVE");
    text("fmt ");
    u32(16);
    u16(1); // PCM
    u16(1); // mono
    u32(kAlertRate);
    u32(kAlertRate); // bytes per second
    u16(1);          // block align
    u16(8);          // bits per sample
    text("data");
    u32(static_cast<std::uint32_t>(kAlertSamples));
    // Two tones taking turns every quarter second, each faded in and out so
    // the switch does not click.
    constexpr double kPi = 3.14159265358979323846;
    constexpr std::size_t kBeat = kAlertRate / 4;
    constexpr std::size_t kFade = 110;
    double phase = 0.0;
    for (std::size_t i = 0; i < kAlertSamples; ++i) {
        const std::size_t beat = i / kBeat;
        const std::size_t in_beat = i % kBeat;
        const double frequency = (beat % 2 == 0) ? 880.0 : 660.0;
        phase += 2.0 * kPi * frequency / kAlertRate;
        const std::size_t edge = std::min({in_beat, kBeat - 1 - in_beat, kAlertSamples - 1 - i});
        const double gain = edge < kFade ? static_cast<double>(edge) / kFade : 1.0;
        const long sample = std::lround(128.0 + 90.0 * gain * std::sin(phase));
        wav.push_back(static_cast<std::uint8_t>(std::clamp(sample, 0L, 255L)));
    }
    text("LIST");
    u32(4 + 8 + kNameSize);
    text("INFO");
    text("INAM");
    u32(kNameSize);
    wav.insert(wav.end(), kName, kName + kNameSize);
    return wav;
}

} // namespace tollander::tools
