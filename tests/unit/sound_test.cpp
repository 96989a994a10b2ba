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

void put32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void tag(Bytes& b, const char* t) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(t[i]));
}
void append(Bytes& b, const Bytes& more) {
    for (auto byte : more)
        b.push_back(byte);
}

Bytes fmt_chunk(std::uint16_t format, std::uint16_t channels, std::uint32_t rate,
                std::uint16_t bits) {
    Bytes b;
    tag(b, "fmt ");
    put32(b, 16);
    put16(b, format);
    put16(b, channels);
    put32(b, rate);
    put32(b, rate * channels * bits / 8);
    put16(b, static_cast<std::uint16_t>(channels * bits / 8));
    put16(b, bits);
    return b;
}

Bytes data_chunk(std::uint32_t declared, std::size_t actual) {
    Bytes b;
    tag(b, "data");
    put32(b, declared);
    for (std::size_t i = 0; i < actual; ++i)
        b.push_back(static_cast<std::uint8_t>(i * 7));
    return b;
}

Bytes riff(std::initializer_list<Bytes> chunks) {
    Bytes body;
    tag(body, "WAVE");
    for (const auto& c : chunks)
        append(body, c);
    Bytes b;
    tag(b, "RIFF");
    put32(b, static_cast<std::uint32_t>(body.size()));
    append(b, body);
    return b;
}

Bytes odd_chunk() {
    Bytes b;
    tag(b, "LIST");
    put32(b, 3);
    append(b, {1, 2, 3, 0}); // one pad byte after an odd body
    return b;
}

fs::path write_temp(const std::string& name, const Bytes& bytes) {
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
        {"16-bit stereo", riff({fmt_chunk(1, 2, 22050, 16), data_chunk(400, 400)}), true, 400},
        {"8-bit mono after an odd chunk",
         riff({odd_chunk(), fmt_chunk(1, 1, 11025, 8), data_chunk(5, 5)}), true, 5},
        {"data cut short, whole frames kept",
         riff({fmt_chunk(1, 2, 8000, 16), data_chunk(1000, 10)}), true, 8},
        {"no data chunk", riff({fmt_chunk(1, 1, 8000, 8)}), true, 0},
        {"not RIFF", Bytes{'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, false, 0},
        {"too short", Bytes{'R', 'I'}, false, 0},
        {"no format", riff({data_chunk(4, 4)}), false, 0},
        {"float samples", riff({fmt_chunk(3, 1, 8000, 32), data_chunk(4, 4)}), false, 0},
        {"12-bit samples", riff({fmt_chunk(1, 1, 8000, 12), data_chunk(4, 4)}), false, 0},
        {"no channels", riff({fmt_chunk(1, 0, 8000, 16), data_chunk(4, 4)}), false, 0},
        {"chunk past the end",
         riff({odd_chunk(), Bytes{'J', 'U', 'N', 'K', 0xff, 0xff, 0xff, 0x7f}}), false, 0},
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

    const auto junk = write_temp("tollander_sound_junk.wav", Bytes(64, 'x'));
    EXPECT_FALSE(player.open(junk.string()));
    fs::remove(junk);
}

TEST(MediaPlayer, MissingDeviceIsAFailureNotACrash) {
    const auto wav = write_temp("tollander_sound_nodev.wav",
                                riff({fmt_chunk(1, 1, 8000, 8), data_chunk(800, 800)}));
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
        write_temp("tollander_sound_long.wav",
                   riff({fmt_chunk(1, 1, rate, 8), data_chunk(rate * 60, rate * 60)}));
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
