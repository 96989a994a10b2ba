#include "ui/fltk/dialogs.h"

#include "app/form_layout.h"
#include "app/program_picture.h"
#include "ui/fltk/caption.h"
#include "ui/fltk/fltk_window_thread.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Return_Button.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tollander::ui {

namespace {

constexpr int kFontSize = app::layout::kFontPixels;

// The message box's symbol: a red disc with a white cross.
class SymbolBox final : public Fl_Widget {
public:
    SymbolBox(int x, int y, MessageIcon icon) : Fl_Widget(x, y, 32, 32), icon_(icon) {}

    void draw() override {
        fl_color(icon_ == MessageIcon::Stop ? fl_rgb_color(200, 0, 0) : fl_rgb_color(230, 30, 30));
        fl_pie(x(), y(), w(), h(), 0, 360);
        fl_color(FL_WHITE);
        fl_line_style(FL_SOLID | FL_CAP_ROUND, 4);
        fl_line(x() + 10, y() + 10, x() + 22, y() + 22);
        fl_line(x() + 22, y() + 10, x() + 10, y() + 22);
        fl_line_style(0);
    }

private:
    MessageIcon icon_;
};

void CloseWindow(Fl_Widget*, void* window) {
    static_cast<Fl_Window*>(window)->hide();
}

void CentreOnScreen(Fl_Window& window) {
    int sx = 0, sy = 0, sw = 0, sh = 0;
    Fl::screen_work_area(sx, sy, sw, sh);
    window.position(sx + (sw - window.w()) / 2, sy + (sh - window.h()) / 2);
}

// The dialog's own loop: the window thread's wait, so that the steps behind
// the dialog and the serial notices keep being served.
void RunModal(FltkWindowThread& window_thread, Fl_Window& window) {
    window.set_modal();
    CentreOnScreen(window);
    window.show();
    while (window.shown() && !window_thread.terminating())
        window_thread.wait(platform::Millis(3'600'000));
    window.hide();
}

} // namespace

void ShowMessageBox(FltkWindowThread& window_thread, const std::string& caption,
                    const std::string& text, MessageIcon icon) {
    if (window_thread.terminating()) return;
    fl_open_display(); // text is measured with the display's fonts
    fl_font(FL_HELVETICA, kFontSize);
    int text_w = 360, text_h = 0;
    fl_measure(text.c_str(), text_w, text_h, 0);
    text_w = std::max(text_w + 4, 120);
    text_h = std::max(text_h, 32);
    const int width = std::max(12 + 32 + 14 + text_w + 16, 75 + 24);
    const int height = 14 + text_h + 16 + 25 + 12;

    Fl_Double_Window window(width, height);
    window.copy_label(caption.c_str());
    new SymbolBox(12, 14, icon);
    auto* message = new Caption(12 + 32 + 14, 14, text_w, text_h);
    message->copy_label(text.c_str());
    message->labelfont(FL_HELVETICA);
    message->labelsize(kFontSize);
    message->align(FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
    auto* ok = new Fl_Return_Button((width - 75) / 2, height - 12 - 25, 75, 25, "OK");
    ok->labelsize(kFontSize);
    ok->callback(CloseWindow, &window);
    window.end();
    window.callback(CloseWindow, &window);
    RunModal(window_thread, window);
}

void ShowAboutBox(FltkWindowThread& window_thread) {
    if (window_thread.terminating()) return;
    namespace about = app::layout::about;
    Fl_Double_Window window(about::kClientWidth, about::kClientHeight, about::kCaption);
    // The bevelled panel; the children are placed relative to it.
    auto* panel =
        new Fl_Group(about::kPanel.left, about::kPanel.top, about::kPanel.width, about::kPanel.height);
    panel->box(FL_THIN_DOWN_BOX);
    const int px = panel->x(), py = panel->y();

    constexpr auto pic = about::kProgramIcon;
    auto picture = MakeProgramPicture(pic.width, pic.height);
    auto* icon = new Fl_Box(px + pic.left, py + pic.top, pic.width, pic.height);
    icon->box(FL_NO_BOX);
    icon->image(picture.get());

    auto label = [&](app::layout::Point at, const char* text) {
        auto* caption = new Caption(px + at.x, py + at.y, 10, 16, text);
        caption->labelsize(kFontSize);
        caption->FitText(panel->w() - at.x - 6);
        return caption;
    };
    label(about::kProductName, app::layout::kMainCaption);
    label(about::kVersion, about::kVersionText);
    label(about::kPublisher, about::kPublisherText);
    // The second line wraps within the panel.
    auto* note = label(about::kNote, about::kNoteText);
    note->labelsize(kFontSize);
    note->align(note->align() | FL_ALIGN_WRAP);
    note->size(panel->w() - about::kNote.x - 6, panel->h() - about::kNote.y - 4);
    panel->end();

    constexpr auto b = about::kOkButton;
    auto* ok = new Fl_Return_Button(b.left, b.top, b.width, b.height, "OK");
    ok->labelsize(kFontSize);
    ok->callback(CloseWindow, &window);
    window.end();
    window.callback(CloseWindow, &window);
    RunModal(window_thread, window);
    icon->image(nullptr);
}

std::unique_ptr<Fl_RGB_Image> MakeProgramPicture(int width, int height) {
    std::vector<std::uint8_t> rgba = app::ProgramPictureRgba(width, height);
    auto image = std::make_unique<Fl_RGB_Image>(rgba.data(), width, height, 4);
    // Fl_RGB_Image only points at the pixels: give it a copy it owns.
    auto owned = std::unique_ptr<Fl_RGB_Image>(static_cast<Fl_RGB_Image*>(image->copy()));
    return owned;
}

} // namespace tollander::ui
