#include "platform/sound/sound.h"
#include "platform/sound/wav.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace tollander::platform;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

void Put32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Tag(Bytes& b, const char* t) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(t[i]));
}
void Append(Bytes& b, const Bytes& more) {
    for (auto byte : more)
        b.push_back(byte);
}

Bytes FmtChunk(std::uint16_t format, std::uint16_t channels, std::uint32_t rate,
                std::uint16_t bits) {
    Bytes b;
    Tag(b, "fmt ");
    Put32(b, 16);
    Put16(b, format);
    Put16(b, channels);
    Put32(b, rate);
    Put32(b, rate * channels * bits / 8);
    Put16(b, static_cast<std::uint16_t>(channels * bits / 8));
    Put16(b, bits);
    return b;
}

Bytes DataChunk(std::uint32_t declared, std::size_t actual) {
    Bytes b;
    Tag(b, "data");
    Put32(b, declared);
    for (std::size_t i = 0; i < actual; ++i)
        b.push_back(static_cast<std::uint8_t>(i * 7));
    return b;
}

Bytes Riff(std::initializer_list<Bytes> chunks) {
    Bytes body;
    Tag(body, "WAVE");
    for (const auto& c : chunks)
        Append(body, c);
    Bytes b;
    Tag(b, "RIFF");
    Put32(b, static_cast<std::uint32_t>(body.size()));
    Append(b, body);
    return b;
}

Bytes OddChunk() {
    Bytes b;
    Tag(b, "LIST");
    Put32(b, 3);
    Append(b, {1, 2, 3, 0}); // one pad byte after an odd body
    return b;
}

fs::path WriteTemp(const std::string& name, const Bytes& bytes) {
    const fs::path path = fs::temp_directory_path() / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    return path;
}

} // namespace

TEST(ParseWav, AcceptsPcmAndRejectsTheRest) {
    struct Case {
        const char* what;
        Bytes file;
        bool ok;
        std::size_t sample_bytes;
    };
    const Case cases[] = {
        {"16-bit stereo", Riff({FmtChunk(1, 2, 22050, 16), DataChunk(400, 400)}), true, 400},
        {"8-bit mono after an odd chunk",
         Riff({OddChunk(), FmtChunk(1, 1, 11025, 8), DataChunk(5, 5)}), true, 5},
        {"data cut short, whole frames kept",
         Riff({FmtChunk(1, 2, 8000, 16), DataChunk(1000, 10)}), true, 8},
        {"no data chunk", Riff({FmtChunk(1, 1, 8000, 8)}), true, 0},
        {"not RIFF", Bytes{'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, false, 0},
        {"too short", Bytes{'R', 'I'}, false, 0},
        {"no format", Riff({DataChunk(4, 4)}), false, 0},
        {"float samples", Riff({FmtChunk(3, 1, 8000, 32), DataChunk(4, 4)}), false, 0},
        {"12-bit samples", Riff({FmtChunk(1, 1, 8000, 12), DataChunk(4, 4)}), false, 0},
        {"no channels", Riff({FmtChunk(1, 0, 8000, 16), DataChunk(4, 4)}), false, 0},
        {"chunk past the end",
         Riff({OddChunk(), Bytes{'J', 'U', 'N', 'K', 0xff, 0xff, 0xff, 0x7f}}), false, 0},
    };
    for (const auto& c : cases) {
        WavSound sound;
        std::string error;
        EXPECT_EQ(ParseWav(c.file, sound, error), c.ok) << c.what << ": " << error;
        if (c.ok)
            EXPECT_EQ(sound.samples.size(), c.sample_bytes) << c.what;
        else
            EXPECT_FALSE(error.empty()) << c.what;
    }
}

TEST(MediaPlayer, OpenAndPlayFailWithAReason) {
    MediaPlayer player;
    EXPECT_FALSE(player.play());
    EXPECT_FALSE(player.last_error().empty());

    EXPECT_FALSE(player.open("/nonexistent/alert.wav"));
    EXPECT_NE(player.last_error().find("alert.wav"), std::string::npos);

    const auto junk = WriteTemp("tollander_sound_junk.wav", Bytes(64, 'x'));
    EXPECT_FALSE(player.open(junk.string()));
    fs::remove(junk);
}

TEST(MediaPlayer, MissingDeviceIsAFailureNotACrash) {
    const auto wav = WriteTemp("tollander_sound_nodev.wav",
                                Riff({FmtChunk(1, 1, 8000, 8), DataChunk(800, 800)}));
    MediaPlayer player("tollander_no_such_device");
    ASSERT_TRUE(player.open(wav.string())) << player.last_error();
    EXPECT_FALSE(player.play());
    EXPECT_FALSE(player.playing());
    EXPECT_NE(player.last_error().find("no audio device"), std::string::npos);
    fs::remove(wav);
}

TEST(MediaPlayer, PlaysInTheBackgroundAndStopsOnCloseOrDestruction) {
    // A minute of sound on the device that discards what it gets.
    const std::uint32_t rate = 8000;
    const auto wav =
        WriteTemp("tollander_sound_long.wav",
                   Riff({FmtChunk(1, 1, rate, 8), DataChunk(rate * 60, rate * 60)}));
    {
        MediaPlayer player("null");
        ASSERT_TRUE(player.open(wav.string())) << player.last_error();
        if (!player.play()) GTEST_SKIP() << "no null sound device: " << player.last_error();
        player.close();
        EXPECT_FALSE(player.playing());
        ASSERT_TRUE(player.open(wav.string()));
        ASSERT_TRUE(player.play()) << player.last_error();
    } // the destructor joins the worker
    fs::remove(wav);
}
