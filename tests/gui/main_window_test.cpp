// The FLTK window over the form model, driven through real FLTK event
// dispatch (pointer and key events), on a virtual display.
#include "tests/unit/app_fakes.h"
#include "tests/gui/fltk_click.h"
#include "ui/fltk/fltk_window_thread.h"
#include "ui/fltk/main_window.h"

// Before the X11 headers, whose macros (None, Button1...) clash with it.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Scrollbar.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#undef Button1
#undef Button2
#undef Button4

using namespace tollander;
using namespace std::chrono_literals;
using app::ButtonId;
using app::testing::FakeDialogue;

namespace {

// COM1 is mapped to a device; the others are not.
struct MappedPort : app::testing::FakePort {
    std::string DeviceName(std::uint16_t n) const override { return n == 1 ? "/dev/ttyUSB0" : ""; }
};

struct GuiRig {
    GuiRig() {
        auto p = std::make_unique<MappedPort>();
        auto u = std::make_unique<app::testing::FakeUploader>();
        auto l = std::make_unique<app::testing::FakePayload>();
        port = p.get();
        payload = l.get();
        app::Devices devices;
        devices.port = std::move(p);
        devices.protocol = std::move(u);
        devices.payload = std::move(l);
        devices.make_player = [this] {
            return std::make_unique<app::testing::FakePlayer>(false, player_log);
        };
        devices.make_dialogue = [this](app::MainForm& f) {
            auto d = std::make_unique<FakeDialogue>(f);
            dialogue = d.get();
            return d;
        };
        form = std::make_unique<app::MainForm>(
            window, view, std::vector<std::string>{"/opt/tollander-flash"}, std::move(devices));
        view.Attach(form.get());
        view.Show();
        form->FormShow();
    }
    ~GuiRig() {
        view.Attach(nullptr);
        form.reset();
    }

    const ui::TForm1::Widgets& TheWidgets() const { return view.TheWidgets(); }
    app::Sequencer& TheSequencer() { return form->TheSequencer(); }

    ui::FltkWindowThread window;
    ui::TForm1 view{window};
    MappedPort* port = nullptr;
    app::testing::FakePayload* payload = nullptr;
    FakeDialogue* dialogue = nullptr;
    std::vector<std::string> player_log;
    std::unique_ptr<app::MainForm> form;
};

using tollander::testing::Click;

void Key(Fl_Window* window, int keysym, const char* text, int state = 0) {
    static char buffer[8];
    std::strncpy(buffer, text, sizeof buffer - 1);
    Fl::e_keysym = keysym;
    Fl::e_state = state;
    Fl::e_text = buffer;
    Fl::e_length = static_cast<int>(std::strlen(buffer));
    Fl::handle(FL_KEYBOARD, window);
    Fl::e_state = 0;
}

Fl_Window* FindWindow(const std::string& caption) {
    for (Fl_Window* w = Fl::first_window(); w; w = Fl::next_window(w))
        if (w->label() && caption == w->label()) return w;
    return nullptr;
}

// Every caption shown inside a window, in order.
void CollectLabels(Fl_Group* group, std::vector<std::string>& out) {
    for (int i = 0; i < group->children(); ++i) {
        Fl_Widget* child = group->child(i);
        if (child->label()) out.push_back(child->label());
        if (auto* g = child->as_group()) CollectLabels(g, out);
    }
}

Fl_Button* FindButton(Fl_Group* group, const std::string& caption) {
    for (int i = 0; i < group->children(); ++i) {
        Fl_Widget* child = group->child(i);
        if (child->label() && caption == child->label())
            if (auto* b = dynamic_cast<Fl_Button*>(child)) return b;
        if (auto* g = child->as_group())
            if (auto* b = FindButton(g, caption)) return b;
    }
    return nullptr;
}

// The log's vertical or horizontal scroll bar.
Fl_Scrollbar* LogBar(Fl_Text_Display* memo, unsigned char type) {
    for (int i = 0; i < memo->children(); ++i)
        if (auto* bar = dynamic_cast<Fl_Scrollbar*>(memo->child(i)))
            if (bar->type() == type) return bar;
    return nullptr;
}

std::string TextOf(Fl_Text_Display* memo) {
    char* raw = memo->buffer()->text();
    std::string text(raw);
    free(raw);
    return text;
}

} // namespace

TEST(MainWindow, LayoutCaptionsAndInitialStates) {
    GuiRig rig;
    const auto& w = rig.TheWidgets();
    ASSERT_TRUE(rig.view.Shown());
    EXPECT_STREQ(w.Form1->label(), "Veltrane Tollander z5 Upgrade Program");
    EXPECT_STREQ(w.Form1->iconlabel(), "Veltrane Tollander Flash Utility");
    EXPECT_EQ(w.Form1->w(), 492);
    EXPECT_EQ(w.Form1->h() - ui::kMenuHeight, 418);
    int sx = 0, sy = 0, sw = 0, sh = 0;
    Fl::screen_work_area(sx, sy, sw, sh);
    EXPECT_EQ(w.Form1->x(), sx + (sw - w.Form1->w()) / 2); // centred on the screen
    EXPECT_EQ(w.Form1->y(), sy + (sh - w.Form1->h()) / 2);

    // Place relative to the parent (the client area for the panels and the
    // buttons), size and caption.
    struct Place {
        const char* name;
        Fl_Widget* widget;
        int x, y, width, height;
        const char* caption;
    };
    const int m = ui::kMenuHeight;
    const std::vector<Place> places = {
        {"Panel1", w.Panel1, 8, 8 + m, 475, 149, nullptr},
        {"Label5", w.Label5, 8, 16, -1, -1, "Port"},
        {"Label6", w.Label6, 72, 16, -1, -1, "Modem Type Installed"},
        {"Label7", w.Label7, 420, 20, -1, -1, "Flash"},
        {"Label1", w.PortLabel[1], 8, 44, -1, -1, "COM1"},
        {"Label4", w.PortLabel[4], 8, 116, -1, -1, "COM4"},
        {"Edit1", w.Edit[1], 66, 40, 331, 21, nullptr},
        {"Edit2", w.Edit[2], 66, 64, 331, 21, nullptr},
        {"Edit3", w.Edit[3], 66, 88, 331, 21, nullptr},
        {"Edit4", w.Edit[4], 66, 112, 331, 21, nullptr},
        {"CheckBox1", w.CheckBox[1], 428, 40, 17, 17, nullptr},
        {"CheckBox3", w.CheckBox[3], 428, 88, 17, 17, nullptr},
        {"CheckBox4", w.CheckBox[4], 428, 116, 17, 17, nullptr},
        {"progress panel", w.ProgressPanel, 8, 164 + m, 475, 49, nullptr},
        {"Label9", w.Label9, 8, 18, -1, -1, "Flash Progress:"},
        {"Gauge1", w.Gauge1, 90, 14, 371, 22, nullptr},
        {"log panel", w.LogPanel, 8, 220 + m, 475, 161, nullptr},
        {"Label10", w.Label10, 184, 14, -1, -1, "System events:"},
        {"Memo1", w.Memo1, 8, 44, 457, 105, nullptr},
        {"Button4", w.Button4, 119, 388 + m, 75, 25, "&Start Over"},
        {"Button2", w.Button2, 206, 388 + m, 75, 25, "&FLASH!"},
        {"Button1", w.Button1, 293, 388 + m, 75, 25, "&Quit"},
    };
    for (const auto& p : places) {
        Fl_Widget* parent = p.widget->parent();
        const bool in_panel = parent != w.Form1;
        EXPECT_EQ(p.widget->x() - (in_panel ? parent->x() : 0), p.x) << p.name;
        EXPECT_EQ(p.widget->y() - (in_panel ? parent->y() : 0), p.y) << p.name;
        if (p.width >= 0) {
            EXPECT_EQ(p.widget->w(), p.width) << p.name;
            EXPECT_EQ(p.widget->h(), p.height) << p.name;
        }
        if (p.caption) {
            EXPECT_STREQ(p.widget->label(), p.caption) << p.name;
        }
    }

    EXPECT_EQ(w.Label5->labelcolor(), fl_rgb_color(0, 0, 128));
    EXPECT_EQ(w.Label6->labelcolor(), fl_rgb_color(128, 0, 0));
    EXPECT_EQ(w.Label7->labelcolor(), fl_rgb_color(128, 0, 128));
    EXPECT_EQ(w.Label10->labelcolor(), fl_rgb_color(0, 0, 255));
    EXPECT_EQ(w.Label10->labelfont(), FL_HELVETICA_BOLD);
    EXPECT_GT(w.Label10->labelsize(), w.Label5->labelsize());
    EXPECT_EQ(w.Edit[2]->textcolor(), fl_rgb_color(128, 0, 0));
    EXPECT_EQ(w.Button2->labelfont(), FL_HELVETICA_BOLD);
    EXPECT_EQ(w.Gauge1->selection_color(), fl_rgb_color(0, 255, 255));
    EXPECT_EQ(w.Gauge1->color(), fl_rgb_color(192, 192, 192));

    // Initial states: empty disabled fields and boxes, hidden gauge, empty
    // log, only "&Quit" enabled.
    for (int n = 1; n <= 4; ++n) {
        EXPECT_STREQ(w.Edit[n]->value(), "") << n;
        EXPECT_EQ(w.CheckBox[n]->value(), 0) << n;
        EXPECT_FALSE(w.CheckBox[n]->active()) << n;
        EXPECT_EQ(w.CheckBox[n]->label(), nullptr) << n;
    }
    EXPECT_FALSE(w.Label9->visible());
    EXPECT_FALSE(w.Gauge1->visible());
    EXPECT_EQ(w.Memo1->buffer()->length(), 0);
    EXPECT_EQ(w.Memo1->scrollbar_align() & FL_ALIGN_RIGHT, FL_ALIGN_RIGHT);
    EXPECT_TRUE(w.Button1->active());
    EXPECT_FALSE(w.Button2->active());
    EXPECT_FALSE(w.Button4->active());

    // The menu bar's two commands.
    ASSERT_NE(w.MainMenu1->find_item("E&xit"), nullptr);
    ASSERT_NE(w.MainMenu1->find_item("&About"), nullptr);

    // Each row names the device its port is mapped to.
    // and, below, what the system knows of that device (here: nothing there).
    const std::string com1 = w.Edit[1]->tooltip();
    EXPECT_EQ(com1.substr(0, com1.find('\n')), "COM1: /dev/ttyUSB0");
    EXPECT_NE(com1.find("can open: no (no such device"), std::string::npos) << com1;
    EXPECT_STREQ(w.CheckBox[3]->tooltip(), "COM3: no device mapped");
    EXPECT_STREQ(w.PortLabel[3]->tooltip(), "COM3: no device mapped");
}

TEST(MainWindow, ClicksOnTheWidgetsRunTheHandlers) {
    GuiRig rig;
    const auto& w = rig.TheWidgets();
    // As after a scan that found modems on COM2 and COM4, COM4 ticked.
    rig.TheSequencer().StepNumber = app::stepWaitForUser;
    rig.form->SetCheckBoxEnabled(2, true);
    rig.form->SetCheckBoxEnabled(4, true);
    rig.form->SetChecked(4, true);
    rig.form->SetEnabled(ButtonId::Button4, true);
    EXPECT_EQ(w.CheckBox[4]->value(), 1);
    EXPECT_TRUE(w.Button2->active());

    Click(w.Edit[1]); // the status fields are not for the user
    EXPECT_NE(Fl::focus(), w.Edit[1]);
    Click(w.CheckBox[1]); // disabled: nothing happens
    EXPECT_FALSE(rig.form->Checked(1));

    Click(w.CheckBox[2]); // ticking COM2 unticks COM4
    EXPECT_TRUE(rig.form->Checked(2));
    EXPECT_FALSE(rig.form->Checked(4));
    EXPECT_EQ(w.CheckBox[2]->value(), 1);
    EXPECT_EQ(w.CheckBox[4]->value(), 0);

    Click(w.CheckBox[2]); // unticking the only ticked box disables "&FLASH!"
    EXPECT_FALSE(rig.form->Checked(2));
    EXPECT_FALSE(w.Button2->active());
    Click(w.Button2);
    EXPECT_EQ(rig.TheSequencer().StepNumber, app::stepWaitForUser);

    Click(w.CheckBox[4]);
    ASSERT_TRUE(w.Button2->active());
    Click(w.Button2);
    EXPECT_EQ(rig.TheSequencer().StepNumber, app::stepFlashRequested);
    EXPECT_TRUE(rig.form->Timer1Enabled());

    // "&Start Over" empties the fields and the log and unticks the boxes.
    rig.TheSequencer().StepNumber = app::stepStop;
    rig.form->SetEditText(2, "Tollander modem found.");
    rig.form->LogLine("Complete.");
    EXPECT_EQ(TextOf(w.Memo1), "Complete.");
    Click(w.Button4);
    EXPECT_EQ(rig.TheSequencer().StepNumber, app::stepStartUp);
    EXPECT_STREQ(w.Edit[2]->value(), "");
    EXPECT_EQ(w.Memo1->buffer()->length(), 0);
    for (int n = 1; n <= 4; ++n) {
        EXPECT_EQ(w.CheckBox[n]->value(), 0) << n;
        EXPECT_FALSE(w.CheckBox[n]->active()) << n;
    }
    EXPECT_FALSE(w.Button4->active());
}

TEST(MainWindow, EventLogAndGaugeFollowTheModel) {
    GuiRig rig;
    const auto& w = rig.TheWidgets();
    rig.form->LogLine("Tollander flash utility initialized...");
    rig.form->LogLine("Ger\xc3\xa4t gefunden\r\nzweite Zeile"); // UTF-8, two lines
    EXPECT_EQ(TextOf(w.Memo1),
              "Tollander flash utility initialized...\nGer\xc3\xa4t gefunden\nzweite Zeile");

    // The vertical scroll bar is always there; it works once lines overflow,
    // and the newest line stays in view.
    Fl_Scrollbar* bar = LogBar(w.Memo1, FL_VERTICAL);
    ASSERT_NE(bar, nullptr);
    EXPECT_TRUE(bar->visible());
    EXPECT_FALSE(bar->active());
    for (int i = 0; i < 30; ++i)
        rig.form->LogLine("line " + std::to_string(i));
    rig.window.process_pending();
    EXPECT_TRUE(bar->visible());
    EXPECT_TRUE(bar->active());
    EXPECT_GT(bar->value(), 1);

    rig.form->SetProgressVisible(true);
    rig.form->SetGaugeMaxValue(1000);
    rig.form->SetGaugeProgress(250);
    EXPECT_TRUE(w.Label9->visible());
    EXPECT_TRUE(w.Gauge1->visible());
    EXPECT_FLOAT_EQ(w.Gauge1->value() / w.Gauge1->maximum(), 0.25f);
    EXPECT_STREQ(w.Gauge1->label(), "25%");
    rig.form->SetGaugeProgress(5000); // held at the maximum
    EXPECT_STREQ(w.Gauge1->label(), "100%");
    rig.form->SetGaugeMaxValue(0);
    EXPECT_FLOAT_EQ(w.Gauge1->value(), 0.0f);
    rig.form->SetProgressVisible(false);
    EXPECT_FALSE(w.Gauge1->visible());
}

// Receives what a paste delivers.
struct PasteTarget final : Fl_Widget {
    PasteTarget() : Fl_Widget(0, 0, 1, 1) {}
    void draw() override {}
    int handle(int event) override {
        if (event != FL_PASTE) return 0;
        text.assign(Fl::event_text(), static_cast<std::size_t>(Fl::event_length()));
        return 1;
    }
    std::string text;
};

std::string Clipboard() {
    PasteTarget target;
    Fl::paste(target, 1); // we own the clipboard: delivered at once
    return target.text;
}

TEST(MainWindow, TheEventLogScrollsSidewaysToALongLinesEndAndCopiesWhole) {
    GuiRig rig;
    const auto& w = rig.TheWidgets();
    const std::string german = app::MessageText(app::MsgPressFlash, app::kEnglish + 1);
    ASSERT_EQ(german.rfind("Drücken Sie bitte die FLASH! Knopf", 0), 0u);
    rig.form->LogLine("Tollander ladeprogramm initialisiert...");
    rig.form->LogLine(german);
    rig.form->LogLine("Komplett.");
    w.Memo1->redraw();
    Fl::flush();

    Fl_Scrollbar* sideways = LogBar(w.Memo1, FL_HORIZONTAL);
    ASSERT_NE(sideways, nullptr);
    EXPECT_TRUE(sideways->visible()) << "the German line is wider than the box";
    fl_font(w.Memo1->textfont(), w.Memo1->textsize());
    const int hidden = static_cast<int>(fl_width(german.c_str())) - w.Memo1->w();
    ASSERT_GT(hidden, 0);
    EXPECT_GE(sideways->maximum(), hidden) << "the whole line can be reached";
    EXPECT_EQ(sideways->value(), 0);

    // The keyboard scrolls it, once the log has the focus, as a read-only
    // text box does.
    tollander::testing::Click(w.Memo1);
    ASSERT_EQ(Fl::focus(), w.Memo1);
    Key(w.Form1, FL_Right, "");
    EXPECT_GT(sideways->value(), 0);
    Key(w.Form1, FL_End, "");
    EXPECT_EQ(sideways->value(), sideways->maximum()) << "the line's end is in view";
    Key(w.Form1, FL_Left, "");
    EXPECT_LT(sideways->value(), sideways->maximum());
    Key(w.Form1, FL_Home, "");
    EXPECT_EQ(sideways->value(), 0);

    // A copy gives the whole log: with nothing selected, and after Select All;
    // a selection alone copies just that.
    const std::string whole = TextOf(w.Memo1);
    EXPECT_NE(whole.find(german), std::string::npos);
    Key(w.Form1, 'c', "c", FL_CTRL);
    EXPECT_EQ(Clipboard(), whole);
    w.Memo1->buffer()->select(0, 9);
    Key(w.Form1, 'c', "c", FL_CTRL);
    EXPECT_EQ(Clipboard(), "Tollander");
    Key(w.Form1, 'a', "a", FL_CTRL);
    Key(w.Form1, 'c', "c", FL_CTRL);
    EXPECT_EQ(Clipboard(), whole);
}

// A log that fits its box scrolls sideways, with the keys and with its bar,
// until the last character of its widest line clears the vertical bar, as
// one that overflows does; and so it stays while lines come, through the
// line at which the sideways bar's room makes the lines overflow. The box
// stays where the layout puts it, its bars inside it. German with one modem
// and English with none, as a scan leaves the log.
TEST(MainWindow, TheLogScrollsToItsWidestLinesEndWhetherOrNotItFits) {
    using app::MessageText;
    const int en = app::kEnglish, de = app::kEnglish + 1;
    struct Case {
        const char* what;
        std::vector<std::string> lines;
    };
    // A line just wider than the room beside the bar, not than the box: only
    // the bar's room calls for the sideways bar.
    std::string between;
    {
        GuiRig probe;
        Fl_Text_Display* log = probe.TheWidgets().Memo1;
        const int inner = log->w() - Fl::box_dw(log->box());
        const int bar = LogBar(log, FL_VERTICAL)->w();
        fl_font(log->textfont(), log->textsize());
        while (fl_width(between.c_str()) < inner - bar / 2 - 6)
            between += between.size() % 6 == 5 ? ' ' : 'x';
    }
    const std::vector<Case> cases = {
        {"a line about as wide as the box", {"Tollander flash utility initialized...", between}},
        {"German, one modem",
         {"Tollander " + MessageText(app::MsgInitialized, de),
          MessageText(app::MsgDevicePresent, de) + "COM1.", MessageText(app::MsgPressFlash, de)}},
        {"English, no modem",
         {"Tollander " + MessageText(app::MsgInitialized, en), MessageText(app::MsgNoModems, en),
          MessageText(app::MsgEnsureInstalled, en), MessageText(app::MsgComplete, en)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        GuiRig rig;
        const auto& w = rig.TheWidgets();
        Fl_Text_Display* log = w.Memo1;
        const int box[] = {log->x(), log->y(), log->w(), log->h()};
        Fl_Scrollbar* down = LogBar(log, FL_VERTICAL);
        Fl_Scrollbar* sideways = LogBar(log, FL_HORIZONTAL);
        ASSERT_TRUE(down && sideways);
        for (const auto& line : c.lines)
            rig.form->LogLine(line);
        // The widest line's start and end in the text.
        fl_font(log->textfont(), log->textsize());
        int start = 0, widest = 0;
        for (std::size_t at = 0, n = 0; n < c.lines.size(); at += c.lines[n++].size() + 1) {
            if (fl_width(c.lines[n].c_str()) > fl_width(c.lines[widest].c_str()))
                start = static_cast<int>(at), widest = static_cast<int>(n);
        }
        const int end = start + static_cast<int>(c.lines[widest].size());
        const auto x_of = [&](int position) {
            int x = 0, y = 0;
            EXPECT_NE(log->position_to_xy(position, &x, &y), 0) << "line out of view";
            return x;
        };
        Fl::flush();
        ASSERT_TRUE(down->visible());
        ASSERT_FALSE(down->active()) << "the log fits its box";
        ASSERT_GT(x_of(end), down->x()) << "the widest line runs under the bar";

        for (int added = 0, overflowing = 0; overflowing < 2; ++added) {
            SCOPED_TRACE("with " + std::to_string(added) + " more lines");
            ASSERT_LT(added, 20);
            if (down->active()) ++overflowing;
            Fl::flush();
            EXPECT_EQ((std::vector<int>{log->x(), log->y(), log->w(), log->h()}),
                      (std::vector<int>(std::begin(box), std::end(box))));
            const int inner_right =
                log->x() + log->w() - Fl::box_dw(log->box()) + Fl::box_dx(log->box());
            EXPECT_EQ(down->x() + down->w(), inner_right);
            ASSERT_TRUE(sideways->visible());
            EXPECT_LE(sideways->x() + sideways->w(), down->x());
            EXPECT_GT(sideways->x(), log->x());
            // While the lines fit, every one is in view above the sideways bar.
            if (!down->active()) {
                int x = 0, y = 0;
                EXPECT_NE(log->position_to_xy(log->buffer()->length(), &x, &y), 0);
                EXPECT_LE(y + fl_height(log->textfont(), log->textsize()), sideways->y());
            }
            // The widest line shows at its top after each line; End brings
            // its end clear of the bar, Home its start back.
            log->scroll(1, 0);
            tollander::testing::Click(log);
            Key(w.Form1, FL_End, "");
            EXPECT_LE(x_of(end), down->x());
            EXPECT_GT(x_of(end), down->x() - 10) << "scrolled no further than the end";
            Key(w.Form1, FL_Home, "");
            EXPECT_GE(x_of(start), log->x());
            // The sideways bar goes as far.
            sideways->value(sideways->maximum());
            sideways->do_callback();
            EXPECT_LE(x_of(end), down->x());
            log->scroll(1, 0);
            rig.form->LogLine("line " + std::to_string(added));
        }
    }
}

TEST(MainWindow, EscapePressesQuitOnlyWhileItIsEnabled) {
    GuiRig rig;
    Fl_Window* form = rig.TheWidgets().Form1;
    rig.form->SetEnabled(ButtonId::Button1, false); // as during a flash
    Key(form, FL_Escape, "\033");
    EXPECT_TRUE(rig.view.Shown());
    EXPECT_FALSE(rig.window.terminating());

    rig.form->SetEnabled(ButtonId::Button1, true);
    Key(form, FL_Escape, "\033");
    EXPECT_FALSE(rig.view.Shown());
    EXPECT_TRUE(rig.window.terminating());
    ASSERT_FALSE(rig.port->calls.empty());
    EXPECT_EQ(rig.port->calls.back(), "close"); // "&Quit" closes the port first
}

// "E&xit" ends the program at any time; the window manager's close button
// follows "&Quit": nothing while a modem is being flashed.
TEST(MainWindow, ExitEndsTheProgramWhileQuitIsDisabledTheCloseButtonOnlyWithQuit) {
    {
        GuiRig rig;
        rig.form->SetEnabled(ButtonId::Button1, false);
        // A click on "E&xit", the bar's first command: the menu follows the
        // pointer in a loop of its own until the button is released.
        Fl_Window* form = rig.TheWidgets().Form1;
        rig.window.post([&] {
            Fl::e_state = 0;
            Fl::handle(FL_RELEASE, Fl::grab() ? Fl::grab() : form);
        });
        Fl::e_x = rig.TheWidgets().MainMenu1->x() + 12;
        Fl::e_y = rig.TheWidgets().MainMenu1->y() + rig.TheWidgets().MainMenu1->h() / 2;
        Fl::e_x_root = form->x() + Fl::e_x;
        Fl::e_y_root = form->y() + Fl::e_y;
        Fl::e_keysym = FL_Button + FL_LEFT_MOUSE;
        Fl::e_state = FL_BUTTON1;
        Fl::handle(FL_PUSH, form);
        EXPECT_FALSE(rig.view.Shown());
        EXPECT_TRUE(rig.window.terminating());
    }
    {
        GuiRig rig;
        rig.form->SetEnabled(ButtonId::Button1, false);
        Fl::e_number = FL_CLOSE; // what the window manager's close request sends
        rig.TheWidgets().Form1->do_callback();
        EXPECT_TRUE(rig.view.Shown());
        EXPECT_FALSE(rig.window.terminating());

        rig.form->SetEnabled(ButtonId::Button1, true);
        rig.TheWidgets().Form1->do_callback();
        EXPECT_FALSE(rig.view.Shown());
        EXPECT_TRUE(rig.window.terminating());
        ASSERT_FALSE(rig.port->calls.empty());
        EXPECT_EQ(rig.port->calls.back(), "close"); // as "&Quit": the port first
    }
}

TEST(MainWindow, AboutBoxOpensFromTheMenuAndClosesWithOk) {
    GuiRig rig;
    std::vector<std::string> labels;
    int width = 0, height = 0;
    bool modal = false;
    // Runs inside the About box's own loop.
    rig.window.post([&] {
        Fl_Window* about = FindWindow("About");
        ASSERT_NE(about, nullptr);
        width = about->w();
        height = about->h();
        modal = about->modal() != 0;
        CollectLabels(about, labels);
        Fl_Button* ok = FindButton(about, "OK");
        ASSERT_NE(ok, nullptr);
        Click(ok);
    });
    Key(rig.TheWidgets().Form1, 'a', "a", FL_ALT); // the menu's "&About"
    EXPECT_EQ(width, 298);
    EXPECT_EQ(height, 213);
    EXPECT_TRUE(modal);
    const auto has = [&](const std::string& text) {
        return std::find(labels.begin(), labels.end(), text) != labels.end();
    };
    EXPECT_TRUE(has("Veltrane Tollander z5 Upgrade Program"));
    EXPECT_TRUE(has("Version 1.54/32"));
    EXPECT_TRUE(has("OK"));
    EXPECT_EQ(FindWindow("About"), nullptr); // closed and gone
    EXPECT_TRUE(rig.view.Shown());
}

TEST(MainWindow, AnExceptionInAStepShowsItsMessageAndHaltsTheSequencer) {
    GuiRig rig;
    rig.payload->expand_error = "Disk full";
    std::string caption, text;
    rig.window.post([&] {
        Fl_Window* box = FindWindow("Veltrane Tollander Flash Utility");
        ASSERT_NE(box, nullptr);
        caption = box->label();
        std::vector<std::string> labels;
        CollectLabels(box, labels);
        for (const auto& l : labels)
            if (l == "Disk full") text = l;
        Click(FindButton(box, "OK"));
    });
    rig.TheSequencer().StepNumber = app::stepExpandBootImage;
    rig.form->Guarded([&] { rig.TheSequencer().Timer1Timer(); });
    EXPECT_EQ(caption, "Veltrane Tollander Flash Utility");
    EXPECT_EQ(text, "Disk full");
    EXPECT_EQ(rig.TheSequencer().StepNumber, app::stepExpandBootImage);
    EXPECT_FALSE(rig.form->Timer1Enabled());
}

TEST(MainWindow, QuitDuringAStepEndsTheProgramCleanly) {
    GuiRig rig;
    rig.dialogue->ports[1] = FakeDialogue::Found::Family;
    bool pause_ended = false;
    rig.dialogue->on_probe = [&](int port) {
        if (port != 1) return;
        // The user presses "&Quit" while the probe waits for the modem.
        rig.window.post([&] { Click(rig.TheWidgets().Button1); });
        rig.form->Pause(5000);
        pause_ended = true;
    };
    rig.window.run(); // step 0, then the probe of COM1
    EXPECT_FALSE(pause_ended);
    EXPECT_FALSE(rig.view.Shown());
    EXPECT_EQ(rig.dialogue->calls, (std::vector<std::string>{"ProbePort(1)"}));
}

TEST(MainWindow, WrongUtilityShowsItsBoxWithoutASoundDeviceAndEnds) {
    GuiRig rig; // its player has no sound device
    rig.dialogue->country_mismatch = true;
    rig.form->SetCheckBoxEnabled(1, true);
    rig.form->SetChecked(1, true);
    std::vector<std::string> labels;
    rig.window.post([&] {
        Fl_Window* box = FindWindow("Error");
        ASSERT_NE(box, nullptr);
        CollectLabels(box, labels);
        Click(FindButton(box, "OK"));
    });
    rig.TheSequencer().StepNumber = app::stepFlashRequested;
    rig.form->Guarded([&] { rig.TheSequencer().Timer1Timer(); });
    EXPECT_NE(std::find(labels.begin(), labels.end(), "Incorrect flash utility for modem."),
              labels.end());
    ASSERT_EQ(rig.player_log.size(), 3u); // opened, failed to play, destroyed
    EXPECT_EQ(rig.player_log[1], "no device");
    EXPECT_EQ(rig.player_log[2], "player destroyed");
    EXPECT_FALSE(rig.view.Shown());
    EXPECT_TRUE(rig.window.terminating());
}
