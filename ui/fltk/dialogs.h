// The modal dialogs of the window: message boxes and the About box. Both
// keep the window thread serving tasks and timers while they are open, as
// the sequencer's steps go on behind them.
#pragma once

#include <memory>
#include <string>

class Fl_RGB_Image;

namespace tollander::ui {

class FltkWindowThread;

enum class MessageIcon { Error, Stop };

// Shows the box and returns when it is closed with "OK" (or Escape, or the
// window's close button), or at once when the window thread is ending.
void ShowMessageBox(FltkWindowThread& window_thread, const std::string& caption,
                    const std::string& text, MessageIcon icon);

// The About dialog TAboutBox, shown modally; returns when it is closed.
void ShowAboutBox(FltkWindowThread& window_thread);

// The program's picture (a modem) drawn at the given size: the About box's
// ProgramIcon and the windows' icon.
std::unique_ptr<Fl_RGB_Image> MakeProgramPicture(int width, int height);

} // namespace tollander::ui
