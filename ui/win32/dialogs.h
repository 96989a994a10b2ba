// The modal dialogs of the window, message boxes and the About box, and the
// pieces the windows share. While a dialog is open the window thread goes on
// serving tasks and timers, as the sequencer's steps go on behind it.
#pragma once

#include <string>

#include <windows.h>

namespace tollander::ui {

class Win32WindowThread;

// The system's message box with one OK button and the error symbol; returns
// when it is closed. Not shown when the window thread is ending.
void ShowMessageBox(Win32WindowThread& window_thread, HWND owner, const std::string& caption,
                    const std::string& text);

// The About dialog TAboutBox, modal to `owner`; returns when it is closed.
void ShowAboutBox(Win32WindowThread& window_thread, HWND owner, HFONT font);

// A window class of the program with the dialog face as its ground; a class
// registered already is taken as it is.
void RegisterWindowClass(const wchar_t* name, WNDPROC proc, HICON icon = nullptr,
                         HICON small_icon = nullptr);
// The scale of the monitor `window` is on, in dots per inch (96 is 100 %):
// the program is aware of each monitor's scale (its manifest), so Windows
// stretches nothing itself. The screen's scale without a window, or on a
// system that cannot tell a window's.
int WindowDpi(HWND window);
// A length of the layout (pixels at 100 %) at `dpi`.
int Scaled(int pixels, int dpi);
// "MS Sans Serif" at a character height in pixels.
HFONT MakeFont(int pixels, bool bold);
// The program's picture as an icon of size x size pixels.
HICON MakeProgramIcon(int size);
void CentreOnScreen(HWND window);

} // namespace tollander::ui
