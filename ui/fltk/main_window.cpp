#include "ui/fltk/main_window.h"

#include "app/form_layout.h"
#include "app/main_form.h"
#include "app/row_tooltips.h"
#include "ui/fltk/caption.h"
#include "ui/fltk/dialogs.h"
#include "ui/fltk/fltk_window_thread.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Menu_Item.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>
#include <FL/Fl_Tooltip.H>

// X11 names its mouse buttons Button1 to Button5 as macros; the form's buttons
// carry the same names.
#undef Button1
#undef Button2
#undef Button4

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tollander::ui {

namespace {

namespace layout = app::layout;
using layout::Id;

constexpr int kFontSize = layout::kFontPixels;

Fl_Color Colour(layout::Rgb rgb) {
    return fl_rgb_color(rgb.r, rgb.g, rgb.b);
}

// A control's box in the window, from the layout: the client area starts
// below the menu bar.
struct Box {
    int x, y, w, h;
};
Box Place(Id id) {
    const layout::Point p = layout::ClientPlace(id);
    const layout::Control& c = layout::Find(id);
    return {p.x, p.y + kMenuHeight, c.width, c.height};
}

// The menu bar's commands, carried as the items' user data.
enum MenuCommand : long { kFile1 = 1, kAbout1 = 2 };

// A caption of the layout, as wide as its text.
Caption* Label(Id id) {
    const layout::Control& c = layout::Find(id);
    const Box b = Place(id);
    auto* caption = new Caption(b.x, b.y, 10, c.font_pixels + 4, c.caption);
    caption->labelfont(c.bold ? FL_HELVETICA_BOLD : FL_HELVETICA);
    caption->labelsize(c.font_pixels);
    caption->labelcolor(Colour(c.colour));
    caption->FitText(kClientWidth);
    return caption;
}

Fl_Group* Panel(Id id) {
    const Box b = Place(id);
    auto* group = new Fl_Group(b.x, b.y, b.w, b.h);
    group->box(FL_THIN_UP_BOX);
    return group;
}

// A port's status field: disabled for the user (no focus, no editing, no
// selection), but its text keeps its colour, where FLTK would grey it out.
class StatusField final : public Fl_Output {
public:
    StatusField(int x, int y, int w, int h) : Fl_Output(x, y, w, h) { clear_visible_focus(); }
    int handle(int event) override {
        // Entering still counts, so that the row's tooltip shows.
        return event == FL_ENTER || event == FL_LEAVE || event == FL_MOVE ? 1 : 0;
    }
};

// The event log: FLTK shows the vertical scroll bar only once the lines
// overflow; this one keeps it, inactive while everything fits, as the log's
// box always has one. The text is laid out beside that bar in either case,
// so that a line scrolls sideways until its last character clears the bar.
class LogDisplay final : public Fl_Text_Display {
public:
    using Fl_Text_Display::Fl_Text_Display;

    void resize(int x, int y, int w, int h) override {
        // The place asked for (scroll() passes it through resize), before
        // the first layout holds it within the whole width.
        const int top_asked = mTopLineNumHint, offset_asked = mHorizOffsetHint;
        Fl_Text_Display::resize(x, y, w, h);
        if (mVScrollBar->visible()) {
            if (!mVScrollBar->active()) mVScrollBar->activate();
            return;
        }
        // Everything fits: FLTK laid the text out over the whole width. Lay
        // it out again in the width left of the bar (which may call for the
        // sideways bar, and the line that takes may make the lines overflow
        // after all); the box keeps its own size.
        const int bar = scrollbar_width() > 0 ? scrollbar_width() : Fl::scrollbar_size();
        const int right = x + w - Fl::box_dw(box()) + Fl::box_dx(box());
        mTopLineNumHint = top_asked;
        mHorizOffsetHint = offset_asked;
        Fl_Text_Display::resize(x, y, w - bar, h);
        Fl_Widget::resize(x, y, w, h);
        if (mVScrollBar->visible()) {
            // FLTK's bar stands inside the narrowed width: it goes to the
            // box's edge, and the text and the sideways bar take the room.
            text_area.w += bar;
            mVScrollBar->resize(right - bar, mVScrollBar->y(), bar, mVScrollBar->h());
            mHScrollBar->size(mHScrollBar->w() + bar, mHScrollBar->h());
            mVScrollBar->activate();
            // The wider view may reach past the widest line's end.
            scroll_(mTopLineNum, std::min(mHorizOffset, WidestOffset()));
            mHorizOffsetHint = mHorizOffset;
            update_h_scrollbar();
        } else {
            mVScrollBar->resize(right - bar, text_area.y - 1, bar, text_area.h + 2);
            mVScrollBar->value(0, 1, 0, 1);
            mVScrollBar->deactivate();
            mVScrollBar->set_visible();
        }
    }

    // Brings the newest line fully into view, keeping the line starts in
    // view too (no wrapping: long lines run past the right edge).
    void ShowLastLine() { scroll(mNBufferLines + 3 - mNVisibleLines, 0); }

    // Read-only, but it takes the focus, so its text can be selected with
    // the mouse, copied, and scrolled with the keys: Left and Right move
    // sideways, Home and End to a line's start and the longest line's end,
    // Up, Down and the page keys through the lines; the right button opens
    // the copy menu.
    int handle(int event) override {
        switch (event) {
        case FL_FOCUS:
        case FL_UNFOCUS:
            Fl_Text_Display::handle(event);
            redraw();
            return 1;
        case FL_PUSH:
            if (Fl::event_button() == FL_RIGHT_MOUSE) {
                take_focus();
                ContextMenu();
                return 1;
            }
            break;
        case FL_KEYBOARD:
            if (Key()) return 1;
            break;
        default:
            break;
        }
        return Fl_Text_Display::handle(event);
    }

    // Copy: the selection, or the whole log when nothing is selected.
    void CopyLog() {
        Fl_Text_Buffer* text = buffer();
        char* copy = text->selected() ? text->selection_text() : text->text();
        const int length = static_cast<int>(std::strlen(copy));
        Fl::copy(copy, length, 1); // the clipboard
        Fl::copy(copy, length, 0); // and the selection middle-click pastes
        std::free(copy);
    }

    void SelectAll() {
        buffer()->select(0, buffer()->length());
        redraw();
    }

private:
    bool Key() {
        const bool ctrl = (Fl::event_state() & (FL_CTRL | FL_COMMAND)) != 0;
        const int key = Fl::event_key();
        const int step = std::max(8, text_area.w / 8);
        if (ctrl && (key == 'c' || key == FL_Insert)) {
            CopyLog();
            return true;
        }
        if (ctrl && key == 'a') {
            SelectAll();
            return true;
        }
        switch (key) {
        case FL_Left:
            scroll(mTopLineNum, std::max(0, mHorizOffset - step));
            return true;
        case FL_Right:
            scroll(mTopLineNum, std::min(WidestOffset(), mHorizOffset + step));
            return true;
        case FL_Home:
            scroll(ctrl ? 1 : mTopLineNum, 0);
            return true;
        case FL_End:
            scroll(ctrl ? mNBufferLines + 3 - mNVisibleLines : mTopLineNum, WidestOffset());
            return true;
        default:
            return false;
        }
    }

    // The offset that shows the right end of the longest line in view.
    int WidestOffset() const { return std::max(0, longest_vline() - text_area.w); }

    void ContextMenu() {
        const Fl_Menu_Item items[] = {
            {buffer()->selected() ? "&Copy" : "&Copy All", 0, nullptr, nullptr, 0, 0, 0, 0, 0},
            {"Select &All", 0, nullptr, nullptr, 0, 0, 0, 0, 0},
            {nullptr, 0, nullptr, nullptr, 0, 0, 0, 0, 0}};
        const Fl_Menu_Item* chosen =
            items->popup(Fl::event_x(), Fl::event_y(), nullptr, nullptr, nullptr);
        if (chosen == &items[0])
            CopyLog();
        else if (chosen == &items[1])
            SelectAll();
    }
};

} // namespace

TForm1::TForm1(FltkWindowThread& window_thread) : window_thread_(window_thread) {
    Build();
}

TForm1::~TForm1() {
    if (window_) window_->hide();
}

void TForm1::Build() {
    FL_NORMAL_SIZE = kFontSize;
    Fl_Tooltip::size(kFontSize);
    Fl::background(192, 192, 192);
    Fl_Window::default_xclass("tollander-flash");

    window_ = std::make_unique<Fl_Double_Window>(kClientWidth, kClientHeight + kMenuHeight,
                                                 kMainCaption);
    w_.Form1 = window_.get();
    window_->iconlabel(kApplicationTitle);
    window_->callback(OnWindow, this);

    w_.MainMenu1 = new Fl_Menu_Bar(0, 0, kClientWidth, kMenuHeight);
    w_.MainMenu1->textsize(kFontSize);
    w_.MainMenu1->box(FL_FLAT_BOX);
    // Alt and the underlined letter choose a command, as on the system the
    // program was made for.
    w_.MainMenu1->add(layout::kMenuExit, FL_ALT + 'x', OnMenu, reinterpret_cast<void*>(kFile1));
    w_.MainMenu1->add(layout::kMenuAbout, FL_ALT + 'a', OnMenu, reinterpret_cast<void*>(kAbout1));
    w_.MainMenu1->user_data(this);

    // Panel1: one row per port.
    w_.Panel1 = Panel(Id::Panel1);
    {
        w_.Label5 = Label(Id::Label5);
        w_.Label6 = Label(Id::Label6);
        w_.Label7 = Label(Id::Label7);
        for (int n = 1; n <= 4; ++n) {
            w_.PortLabel[n] = Label(layout::PortLabel(n));
            const Box e = Place(layout::Edit(n));
            auto* edit = new StatusField(e.x, e.y, e.w, e.h);
            edit->textsize(kFontSize);
            edit->textcolor(Colour(layout::Find(layout::Edit(n)).colour));
            w_.Edit[n] = edit;
            const Box c = Place(layout::CheckBox(n));
            auto* box = new Fl_Check_Button(c.x, c.y, c.w, c.h);
            box->callback(OnCheckBox, this);
            box->deactivate();
            w_.CheckBox[n] = box;
        }
    }
    w_.Panel1->end();

    // The progress display.
    w_.ProgressPanel = Panel(Id::ProgressPanel);
    {
        auto* caption = Label(Id::Label9);
        // It must end before the gauge.
        caption->FitText(Place(Id::Gauge1).x - caption->x() - 4);
        caption->hide();
        w_.Label9 = caption;
        const Box g = Place(Id::Gauge1);
        w_.Gauge1 = new Fl_Progress(g.x, g.y, g.w, g.h);
        w_.Gauge1->color(Colour(layout::Find(Id::Gauge1).background));
        w_.Gauge1->selection_color(Colour(layout::Find(Id::Gauge1).colour));
        w_.Gauge1->box(FL_THIN_DOWN_BOX);
        w_.Gauge1->labelsize(kFontSize);
        w_.Gauge1->minimum(0);
        w_.Gauge1->maximum(100);
        w_.Gauge1->value(0);
        w_.Gauge1->hide();
    }
    w_.ProgressPanel->end();

    // The event log.
    w_.LogPanel = Panel(Id::LogPanel);
    {
        w_.Label10 = Label(Id::Label10);
        log_ = std::make_unique<Fl_Text_Buffer>();
        const Box m = Place(Id::Memo1);
        w_.Memo1 = new LogDisplay(m.x, m.y, m.w, m.h);
        w_.Memo1->buffer(log_.get());
        w_.Memo1->textfont(FL_HELVETICA);
        w_.Memo1->textsize(kFontSize);
        w_.Memo1->color(Colour(layout::Find(Id::Memo1).background));
        w_.Memo1->box(FL_DOWN_BOX);
        // A line wider than the box scrolls sideways rather than being cut.
        w_.Memo1->scrollbar_align(FL_ALIGN_RIGHT | FL_ALIGN_BOTTOM);
        w_.Memo1->wrap_mode(Fl_Text_Display::WRAP_NONE, 0);
    }
    w_.LogPanel->end();

    auto button = [&](Id id) {
        const layout::Control& c = layout::Find(id);
        const Box p = Place(id);
        auto* b = new Fl_Button(p.x, p.y, p.w, p.h, c.caption);
        b->labelsize(c.font_pixels);
        b->labelfont(c.bold ? FL_HELVETICA_BOLD : FL_HELVETICA);
        b->callback(OnButton, this);
        return b;
    };
    w_.Button4 = button(Id::Button4);
    w_.Button2 = button(Id::Button2);
    w_.Button1 = button(Id::Button1);
    w_.Button4->deactivate();
    w_.Button2->deactivate();

    window_->end();
    // Fixed single border: no resizing, hence no maximize.
    window_->size_range(window_->w(), window_->h(), window_->w(), window_->h());
    static std::unique_ptr<Fl_RGB_Image> icon = MakeProgramPicture(32, 32);
    window_->icon(icon.get());
}

void TForm1::Attach(app::MainForm* form) {
    form_ = form;
    if (form_) Render();
}

// Each row's tooltip (the same on the row's caption, field and box).
void TForm1::SetTooltips() {
    for (int n = 1; n <= 4; ++n) {
        if (!tooltips_.Refresh(*form_, n)) continue;
        const char* text = tooltips_.Text(n).c_str();
        w_.PortLabel[n]->tooltip(text);
        w_.Edit[n]->tooltip(text);
        w_.CheckBox[n]->tooltip(text);
    }
}

void TForm1::Show() {
    int sx = 0, sy = 0, sw = 0, sh = 0;
    Fl::screen_work_area(sx, sy, sw, sh);
    window_->position(sx + (sw - window_->w()) / 2, sy + (sh - window_->h()) / 2);
    window_->show();
}

bool TForm1::Shown() const {
    return window_->shown() != 0;
}

namespace {

template <typename W> void SetActive(W* widget, bool active) {
    if (active && !widget->active())
        widget->activate();
    else if (!active && widget->active())
        widget->deactivate();
}

template <typename W> void SetVisible(W* widget, bool visible) {
    if (visible && !widget->visible())
        widget->show();
    else if (!visible && widget->visible())
        widget->hide();
}

} // namespace

void TForm1::Render() {
    if (!form_) return;
    const app::MainForm& f = *form_;
    SetTooltips();
    for (int n = 1; n <= 4; ++n) {
        const std::string& text = f.EditText(n);
        if (text != w_.Edit[n]->value()) w_.Edit[n]->value(text.c_str());
        const int checked = f.Checked(n) ? 1 : 0;
        if (w_.CheckBox[n]->value() != checked) w_.CheckBox[n]->value(checked);
        SetActive(w_.CheckBox[n], f.CheckBoxEnabled(n));
    }
    SetActive(w_.Button1, f.Enabled(app::ButtonId::Button1));
    SetActive(w_.Button2, f.Enabled(app::ButtonId::Button2));
    SetActive(w_.Button4, f.Enabled(app::ButtonId::Button4));

    const app::Gauge& gauge = f.Gauge1();
    SetVisible(w_.Label9, f.Label9Visible());
    SetVisible(w_.Gauge1, gauge.Visible());
    // The gauge shows Progress as a share of MaxValue.
    const float max = gauge.MaxValue() > 0 ? static_cast<float>(gauge.MaxValue()) : 1.0f;
    const float value = gauge.MaxValue() > 0 ? static_cast<float>(gauge.Progress()) : 0.0f;
    if (w_.Gauge1->maximum() != max || w_.Gauge1->value() != value) {
        w_.Gauge1->maximum(max);
        w_.Gauge1->value(value);
    }
    // On the bar: during an upload the image, the bytes the line has sent
    // and the time left; otherwise the bar's share.
    std::string text = f.UploadProgressText();
    if (text.empty()) text = std::to_string(static_cast<int>(100.0 * value / max)) + "%";
    if (!w_.Gauge1->label() || text != w_.Gauge1->label()) w_.Gauge1->copy_label(text.c_str());
}

void TForm1::ModelChanged() {
    Render();
}

void TForm1::LineLogged(const std::string& line) {
    if (log_->length() > 0) log_->append("\n");
    log_->append(line.c_str());
    // Keep the newest line in view, as a memo does when lines are added.
    static_cast<LogDisplay*>(w_.Memo1)->ShowLastLine();
}

void TForm1::LogCleared() {
    log_->text("");
}

void TForm1::ShowMessage(const std::string& text, app::MessageKind kind) {
    if (kind == app::MessageKind::Error)
        ShowMessageBox(window_thread_, "Error", text, MessageIcon::Error);
    else
        ShowMessageBox(window_thread_, kApplicationTitle, text, MessageIcon::Stop);
}

void TForm1::ShowAbout() {
    ShowAboutBox(window_thread_);
}

void TForm1::CloseMainWindow() {
    // Only hidden here: a step may still be unwinding through this window's
    // handlers. The loop ends, and the owner destroys everything after it.
    window_->hide();
    window_thread_.terminate();
}

template <typename Fn> void TForm1::Handle(Fn&& fn) {
    if (!form_ || window_thread_.terminating()) return;
    app::MainForm* form = form_;
    form->Guarded(std::forward<Fn>(fn));
    if (form_ && !window_thread_.terminating()) Render();
}

void TForm1::OnWindow(Fl_Widget*, void* data) {
    auto* self = static_cast<TForm1*>(data);
    // Escape is the cancel key, and the window manager's close button asks
    // the same: both press "&Quit", and only while that button is enabled
    // (not while a modem is being flashed).
    if (self->form_ && self->form_->Enabled(app::ButtonId::Button1))
        self->Handle([self] { self->form_->Button1Click(); });
}

void TForm1::OnButton(Fl_Widget* button, void* data) {
    auto* self = static_cast<TForm1*>(data);
    if (button == self->w_.Button1)
        self->Handle([self] { self->form_->Button1Click(); });
    else if (button == self->w_.Button2)
        self->Handle([self] { self->form_->Button2Click(); });
    else if (button == self->w_.Button4)
        self->Handle([self] { self->form_->Button4Click(); });
}

void TForm1::OnCheckBox(Fl_Widget* box, void* data) {
    auto* self = static_cast<TForm1*>(data);
    for (int n = 1; n <= 4; ++n) {
        if (box != self->w_.CheckBox[n]) continue;
        const bool ticked = self->w_.CheckBox[n]->value() != 0;
        self->Handle([self, n, ticked] { self->form_->SetChecked(n, ticked); });
    }
}

void TForm1::OnMenu(Fl_Widget* menu, void* data) {
    auto* bar = static_cast<Fl_Menu_Bar*>(menu);
    auto* self = static_cast<TForm1*>(bar->user_data());
    const long command = reinterpret_cast<long>(data);
    if (command == kFile1)
        self->Handle([self] { self->form_->File1Click(); });
    else if (command == kAbout1)
        self->Handle([self] { self->form_->About1Click(); });
}

} // namespace tollander::ui
