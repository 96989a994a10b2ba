#include "ui/win32/main_window.h"

#include "app/main_form.h"
#include "app/row_tooltips.h"
#include "platform/text_win32.h"
#include "ui/win32/dialogs.h"
#include "ui/win32/win32_window_thread.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <stdexcept>

namespace tollander::ui {

namespace {

namespace layout = app::layout;
using layout::Id;
using platform::win32::Widen;

constexpr wchar_t kClassName[] = L"TForm1";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

// Control and menu identifiers. "&Quit" is the window's cancel button: the
// dialog manager sends IDCANCEL for Escape.
enum : int {
    kButton1 = IDCANCEL,
    kButton2 = 102,
    kButton4 = 104,
    kCheckBox = 200, // + port
    kEdit = 300,     // + port
    kMemo1 = 400,
    kFile1 = 1001,
    kAbout1 = 1002,
};

COLORREF Colour(layout::Rgb rgb) {
    return RGB(rgb.r, rgb.g, rgb.b);
}

std::pair<DWORD, DWORD> Selection(HWND edit) {
    DWORD start = 0, end = 0;
    SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    return {start, end};
}

// The event log's copying, as the log offers it everywhere: Copy (Ctrl+C, or
// the right button's menu) takes the selection, or the whole log when
// nothing is selected; Ctrl+A selects it all.
LRESULT CALLBACK LogProc(HWND log, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                         DWORD_PTR) {
    enum : UINT { kCopy = 1, kSelectAll = 2 };
    switch (message) {
    case WM_COPY: {
        const auto [start, end] = Selection(log);
        if (start != end) break;
        DefSubclassProc(log, EM_SETSEL, 0, -1);
        const LRESULT result = DefSubclassProc(log, WM_COPY, 0, 0);
        DefSubclassProc(log, EM_SETSEL, start, static_cast<LPARAM>(end));
        return result;
    }
    case WM_CHAR:
        if (wparam == 'C' - '@') return SendMessageW(log, WM_COPY, 0, 0);
        if (wparam == 'A' - '@') return SendMessageW(log, EM_SETSEL, 0, -1);
        break;
    case WM_CONTEXTMENU: {
        const auto [start, end] = Selection(log);
        HMENU menu = CreatePopupMenu();
        AppendMenuW(menu, MF_STRING, kCopy, start != end ? L"&Copy" : L"&Copy All");
        AppendMenuW(menu, MF_STRING, kSelectAll, L"Select &All");
        POINT at{static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam))};
        if (lparam == -1) { // from the keyboard: at the log's corner
            at = {0, 0};
            ClientToScreen(log, &at);
        }
        SetFocus(log);
        const UINT chosen = static_cast<UINT>(TrackPopupMenu(
            menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, log, nullptr));
        DestroyMenu(menu);
        if (chosen == kCopy) SendMessageW(log, WM_COPY, 0, 0);
        if (chosen == kSelectAll) SendMessageW(log, EM_SETSEL, 0, -1);
        return 0;
    }
    default:
        break;
    }
    return DefSubclassProc(log, message, wparam, lparam);
}

// The upload's line, in a font small enough for the room the progress panel
// leaves under the gauge.
constexpr int kUploadTextFontPixels = 9;

SIZE TextSize(HWND control, HFONT font, const std::wstring& text) {
    SIZE size{};
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, font);
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return size;
}

} // namespace

TForm1::TForm1(Win32WindowThread& window_thread) : window_thread_(window_thread) {
    Build();
}

TForm1::~TForm1() {
    window_thread_.remove_dialog(hwnd_);
    if (hwnd_) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
    for (HFONT font : {font_, bold_font_, large_font_, small_font_})
        if (font) DeleteObject(font);
    if (memo_brush_) DeleteObject(memo_brush_);
    if (icon_) DestroyIcon(icon_);
    if (small_icon_) DestroyIcon(small_icon_);
}

void TForm1::Build() {
    INITCOMMONCONTROLSEX common{sizeof common, ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
    InitCommonControlsEx(&common);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    RegisterWindowClass(kClassName, WindowProc);

    HMENU menu = CreateMenu();
    AppendMenuW(menu, MF_STRING, kFile1, Widen(layout::kMenuExit).c_str());
    AppendMenuW(menu, MF_STRING, kAbout1, Widen(layout::kMenuAbout).c_str());

    // Made at the table's size; Relayout sets the monitor's scale below.
    RECT frame{0, 0, layout::kClientWidth, layout::kClientHeight};
    AdjustWindowRectEx(&frame, kStyle, TRUE, 0);
    hwnd_ = CreateWindowExW(0, kClassName, Widen(layout::kMainCaption).c_str(), kStyle,
                            CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                            frame.bottom - frame.top, nullptr, menu, instance, this);
    if (!hwnd_) throw std::runtime_error("cannot create the main window");
    memo_brush_ = CreateSolidBrush(Colour(layout::Find(Id::Memo1).background));

    auto create = [&](const layout::Control& c, const wchar_t* window_class, DWORD style,
                      DWORD ex_style, int id, const std::wstring& text) {
        HWND control = CreateWindowExW(ex_style, window_class, text.c_str(), WS_CHILD | style, 0,
                                       0, 0, 0, hwnd_,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                       instance, nullptr);
        controls_.emplace_back(control, &c);
        return control;
    };

    for (const layout::Control& c : layout::kControls) {
        const std::wstring caption = c.caption ? Widen(c.caption) : std::wstring();
        switch (c.kind) {
        case layout::Kind::Panel:
            break; // drawn by the window itself
        case layout::Kind::Label: {
            // "Flash Progress:" shows with the gauge.
            const DWORD visible = c.id == Id::Label9 ? 0 : WS_VISIBLE;
            HWND label = create(c, L"STATIC", visible | SS_LEFT | SS_NOPREFIX, 0, -1, caption);
            if (c.id == Id::Label9) label9_ = label;
            for (int n = 1; n <= 4; ++n)
                if (c.id == layout::PortLabel(n)) port_label_[n] = label;
            break;
        }
        case layout::Kind::Edit:
            for (int n = 1; n <= 4; ++n)
                if (c.id == layout::Edit(n))
                    edit_[n] = create(c, L"EDIT", WS_VISIBLE | ES_READONLY | ES_AUTOHSCROLL,
                                      WS_EX_CLIENTEDGE, kEdit + n, L"");
            break;
        case layout::Kind::CheckBox:
            for (int n = 1; n <= 4; ++n)
                if (c.id == layout::CheckBox(n))
                    check_[n] = create(c, L"BUTTON",
                                       WS_VISIBLE | WS_TABSTOP | WS_DISABLED | BS_CHECKBOX,
                                       0, kCheckBox + n, L"");
            break;
        case layout::Kind::Gauge:
            gauge_ = create(c, PROGRESS_CLASSW, PBS_SMOOTH, WS_EX_STATICEDGE, -1, L"");
            // Without a visual style, which would paint the bar in its own
            // colour (" " names no style).
            SetWindowTheme(gauge_, L" ", L" ");
            SendMessageW(gauge_, PBM_SETBARCOLOR, 0, Colour(c.colour));
            SendMessageW(gauge_, PBM_SETBKCOLOR, 0, Colour(c.background));
            break;
        case layout::Kind::Memo:
            // Read-only, no wrapping: long lines scroll sideways; the text
            // can be selected and copied (LogProc).
            memo_ = create(c, L"EDIT",
                           WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                               ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                           WS_EX_CLIENTEDGE, kMemo1, L"");
            SendMessageW(memo_, EM_SETLIMITTEXT, 0, 0);
            SetWindowSubclass(memo_, LogProc, 0, 0);
            break;
        case layout::Kind::Button: {
            const int id = c.id == Id::Button1 ? kButton1 : c.id == Id::Button2 ? kButton2 : kButton4;
            // Only "&Quit" is enabled at start.
            const DWORD enabled = c.id == Id::Button1 ? 0 : WS_DISABLED;
            HWND button =
                create(c, L"BUTTON", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON | enabled, 0, id, caption);
            (c.id == Id::Button1 ? button1_ : c.id == Id::Button2 ? button2_ : button4_) = button;
            break;
        }
        }
    }

    // Not one of the table's controls: it takes no room the table gives.
    upload_text_ = CreateWindowExW(0, L"STATIC", L"",
                                   WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS,
                                   0, 0, 0, 0, hwnd_, nullptr, instance, nullptr);

    // The rows' tooltips: the port's device and what the system knows of it.
    tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                               WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr,
                               instance, nullptr);
    if (tooltip_) {
        SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, 600);
        for (int n = 1; n <= 4; ++n) {
            for (HWND control : {port_label_[n], edit_[n], check_[n]}) {
                TOOLINFOW tool{};
                tool.cbSize = TTTOOLINFOW_V2_SIZE;
                tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
                tool.hwnd = hwnd_;
                tool.uId = reinterpret_cast<UINT_PTR>(control);
                tool.lpszText = const_cast<wchar_t*>(L"");
                SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
            }
        }
    }
    Relayout(WindowDpi(hwnd_));
    window_thread_.add_dialog(hwnd_);
}

void TForm1::Relayout(int dpi) {
    dpi_ = dpi;
    const auto scaled = [dpi](int pixels) { return Scaled(pixels, dpi); };
    // The client area at the new scale: the frame and the menu bar may take
    // another size than the system said, the client area is what counts.
    RECT frame{}, client{};
    GetWindowRect(hwnd_, &frame);
    GetClientRect(hwnd_, &client);
    const int width = frame.right - frame.left + scaled(layout::kClientWidth) - client.right;
    const int height = frame.bottom - frame.top + scaled(layout::kClientHeight) - client.bottom;
    SetWindowPos(hwnd_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    GetClientRect(hwnd_, &client);
    if (client.bottom != scaled(layout::kClientHeight)) // the menu bar wrapped or grew
        SetWindowPos(hwnd_, nullptr, 0, 0, width, height + scaled(layout::kClientHeight) - client.bottom,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    // New fonts and icons first; the old ones go once nothing uses them.
    const HFONT old_fonts[] = {font_, bold_font_, large_font_, small_font_};
    const HICON old_icons[] = {icon_, small_icon_};
    font_ = MakeFont(scaled(layout::kFontPixels), false);
    bold_font_ = MakeFont(scaled(layout::kFontPixels), true);
    large_font_ = MakeFont(scaled(layout::kLargeFontPixels), true);
    small_font_ = MakeFont(scaled(kUploadTextFontPixels), false);
    icon_ = MakeProgramIcon(scaled(32));
    small_icon_ = MakeProgramIcon(scaled(16));
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon_));

    for (const auto& [control, c] : controls_) {
        const layout::Point at = layout::ClientPlace(c->id);
        HFONT font = c->font_pixels == layout::kLargeFontPixels ? large_font_
                     : c->bold                                  ? bold_font_
                                                                : font_;
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        int w = scaled(c->width), h = scaled(c->height);
        if (c->kind == layout::Kind::Label) {
            // As large as its text.
            std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
            text.resize(static_cast<std::size_t>(
                GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
            const SIZE size = TextSize(control, font, text);
            w = size.cx;
            h = size.cy;
        }
        SetWindowPos(control, nullptr, scaled(at.x), scaled(at.y), w, h,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    // The upload's line: right under the gauge as placed above, as wide, down
    // to the progress panel's bevel.
    const layout::Control& gauge = layout::Find(Id::Gauge1);
    const layout::Point gauge_at = layout::ClientPlace(Id::Gauge1);
    const int top = scaled(gauge_at.y) + scaled(gauge.height);
    const int bottom = scaled(layout::ClientPlace(Id::ProgressPanel).y +
                              layout::Find(Id::ProgressPanel).height - 1);
    SendMessageW(upload_text_, WM_SETFONT, reinterpret_cast<WPARAM>(small_font_), FALSE);
    SetWindowPos(upload_text_, nullptr, scaled(gauge_at.x), top, scaled(gauge.width), bottom - top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    for (HFONT font : old_fonts)
        if (font) DeleteObject(font);
    for (HICON icon : old_icons)
        if (icon) DestroyIcon(icon);
    InvalidateRect(hwnd_, nullptr, TRUE);
}

HWND TForm1::Control(Id id) const {
    for (const auto& [hwnd, c] : controls_)
        if (c->id == id) return hwnd;
    return nullptr;
}

void TForm1::Attach(app::MainForm* form) {
    form_ = form;
    if (form_) Render();
}

void TForm1::Show() {
    CentreOnScreen(hwnd_);
    ShowWindow(hwnd_, SW_SHOW);
    UpdateWindow(hwnd_);
}

LRESULT CALLBACK TForm1::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<TForm1*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcW(hwnd, message, wparam, lparam);
    if (!self->hwnd_) self->hwnd_ = hwnd;
    return self->OnMessage(message, wparam, lparam);
}

LRESULT TForm1::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_COMMAND:
        OnCommand(LOWORD(wparam));
        return 0;
    case WM_CLOSE:
        // The title bar's close button presses "&Quit", and only while that
        // button is enabled (not while a modem is being flashed).
        if (form_ && form_->Enabled(app::ButtonId::Button1)) Run([this] { form_->Button1Click(); });
        return 0;
    case WM_PAINT:
        Paint();
        return 0;
    case WM_DPICHANGED: {
        // Moved to a monitor of another scale, or its scale changed: the
        // place Windows suggests, then everything at the new scale.
        const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
        SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top,
                     suggested->right - suggested->left, suggested->bottom - suggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        Relayout(HIWORD(wparam));
        return 0;
    }
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wparam);
        const HWND control = reinterpret_cast<HWND>(lparam);
        for (const auto& [hwnd, c] : controls_) {
            if (hwnd != control) continue;
            if (c->colour.set) SetTextColor(dc, Colour(c->colour));
            if (c->kind == layout::Kind::Memo) {
                SetBkColor(dc, Colour(c->background));
                return reinterpret_cast<LRESULT>(memo_brush_);
            }
        }
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    default:
        return DefWindowProcW(hwnd_, message, wparam, lparam);
    }
}

// The panels: raised frames the controls sit on.
void TForm1::Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd_, &ps);
    for (const layout::Control& c : layout::kControls) {
        if (c.kind != layout::Kind::Panel || c.id == Id::Form1) continue;
        const layout::Point at = layout::ClientPlace(c.id);
        RECT box{Scaled(at.x, dpi_), Scaled(at.y, dpi_), Scaled(at.x + c.width, dpi_),
                 Scaled(at.y + c.height, dpi_)};
        DrawEdge(dc, &box, BDR_RAISEDINNER, BF_RECT);
    }
    EndPaint(hwnd_, &ps);
}

void TForm1::OnCommand(int id) {
    if (!form_) return;
    switch (id) {
    case kButton1:
        // Escape presses "&Quit" only while that button is enabled.
        if (form_->Enabled(app::ButtonId::Button1)) Run([this] { form_->Button1Click(); });
        return;
    case kButton2:
        Run([this] { form_->Button2Click(); });
        return;
    case kButton4:
        Run([this] { form_->Button4Click(); });
        return;
    case kFile1:
        Run([this] { form_->File1Click(); });
        return;
    case kAbout1:
        Run([this] { form_->About1Click(); });
        return;
    default:
        break;
    }
    for (int n = 1; n <= 4; ++n) {
        if (id != kCheckBox + n) continue;
        // The box changes only through the model, which unticks the others.
        const bool ticked = !form_->Checked(n);
        Run([this, n, ticked] { form_->SetChecked(n, ticked); });
    }
}

template <typename Fn> void TForm1::Run(Fn&& fn) {
    if (!form_ || window_thread_.terminating()) return;
    app::MainForm* form = form_;
    form->Guarded(std::forward<Fn>(fn));
    if (form_ && !window_thread_.terminating()) Render();
}

// Each row's tooltip (the same on the row's caption, field and box), its
// lines as the tooltip control breaks them.
void TForm1::SetTooltips() {
    if (!tooltip_) return;
    for (int n = 1; n <= 4; ++n) {
        if (!tooltips_.Refresh(*form_, n)) continue;
        std::string text;
        for (char c : tooltips_.Text(n))
            text += c == '\n' ? std::string("\r\n") : std::string(1, c);
        tooltip_text_[n] = Widen(text);
        for (HWND control : {port_label_[n], edit_[n], check_[n]}) {
            TOOLINFOW tool{};
            tool.cbSize = TTTOOLINFOW_V2_SIZE;
            tool.uFlags = TTF_IDISHWND;
            tool.hwnd = hwnd_;
            tool.uId = reinterpret_cast<UINT_PTR>(control);
            tool.lpszText = tooltip_text_[n].data();
            SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
        }
    }
}

namespace {

void SetEnabled(HWND control, bool enabled) {
    if ((IsWindowEnabled(control) != 0) != enabled) EnableWindow(control, enabled);
}

void SetVisible(HWND control, bool visible) {
    if ((IsWindowVisible(control) != 0) != visible) ShowWindow(control, visible ? SW_SHOW : SW_HIDE);
}

std::wstring WindowText(HWND control) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

} // namespace

void TForm1::Render() {
    if (!form_) return;
    const app::MainForm& f = *form_;
    SetTooltips();
    for (int n = 1; n <= 4; ++n) {
        const std::wstring text = Widen(f.EditText(n));
        if (text != WindowText(edit_[n])) SetWindowTextW(edit_[n], text.c_str());
        const WPARAM checked = f.Checked(n) ? BST_CHECKED : BST_UNCHECKED;
        if (static_cast<WPARAM>(SendMessageW(check_[n], BM_GETCHECK, 0, 0)) != checked)
            SendMessageW(check_[n], BM_SETCHECK, checked, 0);
        SetEnabled(check_[n], f.CheckBoxEnabled(n));
    }
    SetEnabled(button1_, f.Enabled(app::ButtonId::Button1));
    SetEnabled(button2_, f.Enabled(app::ButtonId::Button2));
    SetEnabled(button4_, f.Enabled(app::ButtonId::Button4));

    const app::Gauge& gauge = f.Gauge1();
    SetVisible(label9_, f.Label9Visible());
    SetVisible(gauge_, gauge.Visible());
    // The gauge shows Progress as a share of MaxValue.
    const int max = gauge.MaxValue() > 0 ? gauge.MaxValue() : 1;
    const int pos = gauge.MaxValue() > 0 ? gauge.Progress() : 0;
    if (max != gauge_max_ || pos != gauge_pos_) {
        gauge_max_ = max;
        gauge_pos_ = pos;
        SendMessageW(gauge_, PBM_SETRANGE32, 0, max);
        SendMessageW(gauge_, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
    }
    // Under the bar, which draws no text: the image, the bytes the line has
    // sent and the time left.
    const std::wstring upload = Widen(f.UploadProgressText());
    if (upload != WindowText(upload_text_)) SetWindowTextW(upload_text_, upload.c_str());
}

void TForm1::ModelChanged() {
    Render();
}

void TForm1::LineLogged(const std::string& line) {
    const int length = GetWindowTextLengthW(memo_);
    const std::wstring text = (length > 0 ? L"\r\n" : L"") + Widen(line);
    SendMessageW(memo_, EM_SETSEL, static_cast<WPARAM>(length), length);
    SendMessageW(memo_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    // Keep the newest line in view from its start, as a memo does when lines
    // are added (no wrapping: long lines run past the right edge).
    const LRESULT lines = SendMessageW(memo_, EM_GETLINECOUNT, 0, 0);
    const LRESULT start = SendMessageW(memo_, EM_LINEINDEX, static_cast<WPARAM>(lines - 1), 0);
    SendMessageW(memo_, EM_SETSEL, static_cast<WPARAM>(start), start);
    SendMessageW(memo_, EM_SCROLLCARET, 0, 0);
}

void TForm1::LogCleared() {
    SetWindowTextW(memo_, L"");
}

void TForm1::ShowMessage(const std::string& text, app::MessageKind kind) {
    if (kind == app::MessageKind::Error)
        ShowMessageBox(window_thread_, hwnd_, "Error", text);
    else
        ShowMessageBox(window_thread_, hwnd_, layout::kApplicationTitle, text);
}

void TForm1::ShowAbout() {
    ShowAboutBox(window_thread_, hwnd_, font_);
}

void TForm1::CloseMainWindow() {
    // Only hidden here: a step may still be unwinding through this window's
    // handlers. The loop ends, and the owner destroys everything after it.
    ShowWindow(hwnd_, SW_HIDE);
    window_thread_.terminate();
}

} // namespace tollander::ui
