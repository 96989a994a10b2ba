// The main window TForm1 drawn with FLTK: renders the MainForm model and
// hands every user action to the model's handlers.
#pragma once

#include "app/form_layout.h"
#include "app/front_end.h"
#include "app/row_tooltips.h"

#include <array>
#include <memory>
#include <string>

class Fl_Box;
class Fl_Button;
class Fl_Check_Button;
class Fl_Double_Window;
class Fl_Group;
class Fl_Menu_Bar;
class Fl_Output;
class Fl_Progress;
class Fl_Text_Buffer;
class Fl_Text_Display;
class Fl_Widget;

namespace tollander::app {
class MainForm;
}

namespace tollander::ui {

class FltkWindowThread;

inline constexpr const char* kApplicationTitle = app::layout::kApplicationTitle;
inline constexpr const char* kMainCaption = app::layout::kMainCaption;

// The client area as the layout counts it; the menu bar sits above it.
inline constexpr int kClientWidth = app::layout::kClientWidth;
inline constexpr int kClientHeight = app::layout::kClientHeight;
inline constexpr int kMenuHeight = 20;

class TForm1 final : public app::FrontEnd {
public:
    explicit TForm1(FltkWindowThread& window_thread);
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // The model whose state is shown and whose handlers the widgets call;
    // nullptr detaches (before the model is destroyed).
    void Attach(app::MainForm* form);
    // Shows the window centred on the screen.
    void Show();
    bool Shown() const;

    // FrontEnd
    void ModelChanged() override;
    void LineLogged(const std::string& line) override;
    void LogCleared() override;
    void ShowMessage(const std::string& text, app::MessageKind kind) override;
    void ShowAbout() override;
    void CloseMainWindow() override;

    // The widgets, for tests and screenshots. Ports are numbered 1..4.
    struct Widgets {
        Fl_Double_Window* Form1 = nullptr;
        Fl_Menu_Bar* MainMenu1 = nullptr;
        Fl_Group* Panel1 = nullptr;
        Fl_Box* Label5 = nullptr;
        Fl_Box* Label6 = nullptr;
        Fl_Box* Label7 = nullptr;
        std::array<Fl_Box*, 5> PortLabel{}; // Label1..Label4
        std::array<Fl_Output*, 5> Edit{};   // Edit1..Edit4
        std::array<Fl_Check_Button*, 5> CheckBox{};
        Fl_Group* ProgressPanel = nullptr;
        Fl_Box* Label9 = nullptr;
        Fl_Progress* Gauge1 = nullptr;
        Fl_Group* LogPanel = nullptr;
        Fl_Box* Label10 = nullptr;
        Fl_Text_Display* Memo1 = nullptr;
        Fl_Button* Button4 = nullptr;
        Fl_Button* Button2 = nullptr;
        Fl_Button* Button1 = nullptr;
    };
    const Widgets& TheWidgets() const { return w_; }

private:
    void Build();
    void Render();
    void SetTooltips();
    static void OnWindow(Fl_Widget*, void* self);
    static void OnButton(Fl_Widget* button, void* self);
    static void OnCheckBox(Fl_Widget* box, void* self);
    static void OnMenu(Fl_Widget* menu, void* self);
    // Runs a user action as a handler of the window (an exception goes to a
    // message box), then re-renders.
    template <typename Fn> void Handle(Fn&& fn);

    FltkWindowThread& window_thread_;
    app::MainForm* form_ = nullptr;
    Widgets w_;
    // The buffer outlives the window, whose log display still refers to it.
    std::unique_ptr<Fl_Text_Buffer> log_;
    std::unique_ptr<Fl_Double_Window> window_;
    app::RowTooltips tooltips_;
    bool log_dirty_ = false;
};

} // namespace tollander::ui
