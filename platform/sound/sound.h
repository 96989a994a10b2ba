// The hidden media player: plays a WAV file through the sound system on a
// worker thread of its own. Destroying the player stops the sound.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tollander::platform {

// The sound of a PCM WAV file, its samples as stored (little-endian frames).
struct WavSound {
    std::uint16_t channels = 0;
    std::uint32_t rate = 0;
    std::uint16_t bits = 0;
    std::vector<std::uint8_t> samples;
};

// Reads a RIFF WAVE image; false with a reason for anything but 8, 16, 24 or
// 32-bit PCM. A data chunk cut short by the end of the file plays as far as
// it goes.
bool parse_wav(const std::vector<std::uint8_t>& file, WavSound& out, std::string& error);
// Reads and parses the WAV file at path; false with "cannot open PATH" or
// "PATH: <what parse_wav found>".
bool read_wav_file(const std::string& path, WavSound& out, std::string& error);

class MediaPlayer {
public:
    MediaPlayer();
    // Plays on the named sound device instead of the default one.
    explicit MediaPlayer(std::string device);
    ~MediaPlayer(); // stops playback and joins the worker
    MediaPlayer(const MediaPlayer&) = delete;
    MediaPlayer& operator=(const MediaPlayer&) = delete;

    // Opens a PCM WAV file; false (with a reason in last_error()) when the
    // file cannot be read or is not a WAV file it can play.
    bool open(const std::string& path);
    // Starts playing what was opened, in the background; false when there is
    // nothing to play or no audio device (the reason in last_error()).
    bool play();
    // Stops playback and forgets the file.
    void close();
    // True from a successful play() until the sound has ended or stopped.
    bool playing() const;
    const std::string& last_error() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tollander::platform
