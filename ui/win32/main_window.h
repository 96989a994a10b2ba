// The main window TForm1 as a native Win32 window with the system's standard
// controls, laid out from the shared layout table: renders the MainForm model
// and hands every user action to the model's handlers.
#pragma once

#include "app/form_layout.h"
#include "app/front_end.h"
#include "app/row_tooltips.h"

#include <array>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>

namespace tollander::app {
class MainForm;
}

namespace tollander::ui {

class Win32WindowThread;

class TForm1 final : public app::FrontEnd {
public:
    explicit TForm1(Win32WindowThread& window_thread);
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // The model whose state is shown and whose handlers the controls call;
    // nullptr detaches (before the model is destroyed).
    void Attach(app::MainForm* form);
    // Shows the window centred on the screen.
    void Show();

    // FrontEnd
    void ModelChanged() override;
    void LineLogged(const std::string& line) override;
    void LogCleared() override;
    void ShowMessage(const std::string& text, app::MessageKind kind) override;
    void ShowAbout() override;
    void CloseMainWindow() override;

    // The window, and each control of the layout, for tests and screenshots
    // (nullptr for the panels, which the window paints).
    HWND Handle() const { return hwnd_; }
    int Dpi() const { return dpi_; }
    HWND Control(app::layout::Id id) const;
    // The line under the gauge that says where an upload stands.
    HWND UploadText() const { return upload_text_; }

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam);
    void Build();
    // Places and sizes every control, and makes the fonts and icons, at
    // `dpi` (the monitor's scale; 96 is the table's own).
    void Relayout(int dpi);
    void Render();
    void SetTooltips();
    void OnCommand(int id);
    void Paint();
    // Runs a user action as a handler of the window (an exception goes to a
    // message box), then re-renders.
    template <typename Fn> void Run(Fn&& fn);

    Win32WindowThread& window_thread_;
    app::MainForm* form_ = nullptr;
    HWND hwnd_ = nullptr;
    int dpi_ = 0; // the scale the window is laid out at
    HFONT font_ = nullptr;
    HFONT bold_font_ = nullptr;
    HFONT large_font_ = nullptr;
    HFONT small_font_ = nullptr; // the upload's line, in the room under the gauge
    HICON icon_ = nullptr;
    HICON small_icon_ = nullptr;
    HBRUSH memo_brush_ = nullptr;
    HWND tooltip_ = nullptr;
    // Each control of the layout with its row of the table, for its colours.
    std::vector<std::pair<HWND, const app::layout::Control*>> controls_;
    std::array<HWND, 5> port_label_{};
    std::array<HWND, 5> edit_{};
    std::array<HWND, 5> check_{};
    app::RowTooltips tooltips_;
    std::array<std::wstring, 5> tooltip_text_; // the tooltip control keeps pointers to these
    HWND label9_ = nullptr;
    HWND gauge_ = nullptr;
    HWND upload_text_ = nullptr;
    HWND memo_ = nullptr;
    HWND button1_ = nullptr;
    HWND button2_ = nullptr;
    HWND button4_ = nullptr;
    int gauge_max_ = -1;
    int gauge_pos_ = -1;
};

} // namespace tollander::ui
