// What the portable media player (sound.cpp) needs from the system: an
// output that plays one loaded sound in the background. One implementation
// per system (sound_posix.cpp).
#pragma once

#include "platform/sound/sound.h"
#include "platform/sound/wav.h"

#include <memory>
#include <optional>
#include <string>

namespace tollander::platform::sound_os {

class Output {
public:
    virtual ~Output() = default; // stops playback
    // The sound the next Start() plays, read from path (both empty: none).
    virtual void Load(const std::string& path, WavSound sound) = 0;
    // Plays what was loaded on a worker of its own; false with the reason in
    // `error`, which must outlive the output (a failure met while playing is
    // put there too).
    virtual bool Start(std::string& error) = 0;
    // Stops playback and joins the worker.
    virtual void Halt() = 0;
    virtual bool Playing() const = 0;
};

// The system's default device without `device`.
std::unique_ptr<Output> MakeOutput(std::optional<std::string> device);

} // namespace tollander::platform::sound_os
