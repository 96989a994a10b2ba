// The hidden media player: plays a WAV file through the sound system on a
// worker thread of its own. Destroying the player stops the sound.
#pragma once

#include <memory>
#include <string>

namespace tollander::platform {

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
