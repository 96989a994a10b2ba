#include "ui/win32/dialogs.h"

#include "app/form_layout.h"
#include "app/program_picture.h"
#include "platform/text_win32.h"
#include "ui/win32/win32_window_thread.h"

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace tollander::ui {

namespace {

namespace about = app::layout::about;
using platform::win32::Widen;

constexpr wchar_t kAboutClass[] = L"TAboutBox";
constexpr DWORD kAboutStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kAboutExStyle = WS_EX_DLGMODALFRAME;

// The picture laid on the dialog's ground, as device-independent pixels:
// rows from the top, blue, green, red and a spare byte.
struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint8_t> bgrx;
};

Picture GroundPicture(int width, int height) {
    const std::vector<std::uint8_t> rgba = app::ProgramPictureRgba(width, height);
    const COLORREF ground = GetSysColor(COLOR_BTNFACE);
    const int ground_rgb[3] = {GetRValue(ground), GetGValue(ground), GetBValue(ground)};
    Picture picture{width, height, std::vector<std::uint8_t>(rgba.size())};
    for (std::size_t i = 0; i + 3 < rgba.size(); i += 4) {
        const int alpha = rgba[i + 3];
        for (int k = 0; k < 3; ++k) {
            const int mixed = (rgba[i + k] * alpha + ground_rgb[k] * (255 - alpha)) / 255;
            picture.bgrx[i + 2 - k] = static_cast<std::uint8_t>(mixed);
        }
    }
    return picture;
}

LRESULT CALLBACK AboutProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wparam) != IDOK && LOWORD(wparam) != IDCANCEL) break;
        [[fallthrough]];
    case WM_CLOSE:
        // The owner is enabled again first, so that it gets the activation.
        EnableWindow(GetWindow(hwnd, GW_OWNER), TRUE);
        DestroyWindow(hwnd);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        const int dpi = WindowDpi(GetWindow(hwnd, GW_OWNER));
        const auto Scaled = [dpi](int pixels) { return ui::Scaled(pixels, dpi); };
        RECT panel{Scaled(about::kPanel.left), Scaled(about::kPanel.top),
                   Scaled(about::kPanel.left + about::kPanel.width),
                   Scaled(about::kPanel.top + about::kPanel.height)};
        DrawEdge(dc, &panel, BDR_SUNKENOUTER, BF_RECT);
        // ProgramIcon, drawn at its size.
        const auto& box = about::kProgramIcon;
        const Picture picture = GroundPicture(Scaled(box.width), Scaled(box.height));
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = picture.width;
        info.bmiHeader.biHeight = -picture.height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        SetDIBitsToDevice(dc, panel.left + Scaled(box.left), panel.top + Scaled(box.top), picture.width,
                          picture.height, 0, 0, 0, picture.height, picture.bgrx.data(), &info,
                          DIB_RGB_COLORS);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_CTLCOLORSTATIC:
        SetBkColor(reinterpret_cast<HDC>(wparam), GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    default:
        break;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

} // namespace

int WindowDpi(HWND window) {
    // Windows 10 and later; looked up, so that older systems still start.
    using DpiForWindow = UINT(WINAPI*)(HWND);
    static const auto dpi_for_window = reinterpret_cast<DpiForWindow>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (window && dpi_for_window)
        if (const UINT dpi = dpi_for_window(window); dpi > 0) return static_cast<int>(dpi);
    HDC screen = GetDC(nullptr);
    const int value = screen ? GetDeviceCaps(screen, LOGPIXELSY) : USER_DEFAULT_SCREEN_DPI;
    if (screen) ReleaseDC(nullptr, screen);
    return value > 0 ? value : USER_DEFAULT_SCREEN_DPI;
}

int Scaled(int pixels, int dpi) {
    return MulDiv(pixels, dpi, USER_DEFAULT_SCREEN_DPI);
}

HFONT MakeFont(int pixels, bool bold) {
    return CreateFontW(-pixels, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
}

HICON MakeProgramIcon(int size) {
    const std::vector<std::uint8_t> rgba = app::ProgramPictureRgba(size, size);
    BITMAPV5HEADER header{};
    header.bV5Size = sizeof header;
    header.bV5Width = size;
    header.bV5Height = -size; // top-down, as the picture's rows run
    header.bV5Planes = 1;
    header.bV5BitCount = 32;
    header.bV5Compression = BI_BITFIELDS;
    header.bV5RedMask = 0x00ff0000;
    header.bV5GreenMask = 0x0000ff00;
    header.bV5BlueMask = 0x000000ff;
    header.bV5AlphaMask = 0xff000000;
    void* bits = nullptr;
    HDC dc = GetDC(nullptr);
    HBITMAP colour_bitmap = CreateDIBSection(dc, reinterpret_cast<BITMAPINFO*>(&header),
                                             DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, dc);
    if (!colour_bitmap) return nullptr;
    auto* out = static_cast<std::uint8_t*>(bits);
    for (std::size_t i = 0; i + 3 < rgba.size(); i += 4) {
        out[i] = rgba[i + 2];
        out[i + 1] = rgba[i + 1];
        out[i + 2] = rgba[i];
        out[i + 3] = rgba[i + 3];
    }
    HBITMAP mask = CreateBitmap(size, size, 1, 1, nullptr);
    ICONINFO info{};
    info.fIcon = TRUE;
    info.hbmMask = mask;
    info.hbmColor = colour_bitmap;
    HICON icon = CreateIconIndirect(&info);
    DeleteObject(mask);
    DeleteObject(colour_bitmap);
    return icon;
}

void CentreOnScreen(HWND window) {
    RECT work{}, box{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(window, &box);
    const int w = box.right - box.left, h = box.bottom - box.top;
    SetWindowPos(window, nullptr, work.left + (work.right - work.left - w) / 2,
                 work.top + (work.bottom - work.top - h) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void RegisterWindowClass(const wchar_t* name, WNDPROC proc, HICON icon, HICON small_icon) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpszClassName = name;
    wc.hIcon = icon;
    wc.hIconSm = small_icon;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        throw std::runtime_error("cannot register the window class " +
                                 platform::win32::Narrow(name) + ": " +
                                 platform::win32::SystemMessage(GetLastError()));
}

void ShowMessageBox(Win32WindowThread& window_thread, HWND owner, const std::string& caption,
                    const std::string& text) {
    if (window_thread.terminating()) return;
    // The system's box runs its own loop; the window thread's hidden window
    // is served there like anywhere else.
    MessageBoxW(owner && IsWindowVisible(owner) ? owner : nullptr, Widen(text).c_str(),
                Widen(caption).c_str(), MB_OK | MB_ICONERROR);
}

void ShowAboutBox(Win32WindowThread& window_thread, HWND owner, HFONT font) {
    if (window_thread.terminating()) return;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    RegisterWindowClass(kAboutClass, AboutProc);
    // At the scale of its owner, whose font it takes.
    const int dpi = WindowDpi(owner);
    const auto Scaled = [dpi](int pixels) { return ui::Scaled(pixels, dpi); };

    RECT frame{0, 0, Scaled(about::kClientWidth), Scaled(about::kClientHeight)};
    AdjustWindowRectEx(&frame, kAboutStyle, FALSE, kAboutExStyle);
    HWND box = CreateWindowExW(kAboutExStyle, kAboutClass, Widen(about::kCaption).c_str(),
                               kAboutStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                               frame.right - frame.left, frame.bottom - frame.top, owner, nullptr,
                               instance, nullptr);
    if (!box) return;

    const int px = about::kPanel.left, py = about::kPanel.top;
    auto label = [&](app::layout::Point at, const char* text, int width, int height) {
        HWND control = CreateWindowExW(0, L"STATIC", Widen(text).c_str(),
                                       WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                                       Scaled(px + at.x), Scaled(py + at.y), Scaled(width),
                                       Scaled(height), box, nullptr, instance, nullptr);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    };
    const int line = 16;
    label(about::kProductName, app::layout::kMainCaption, about::kPanel.width - about::kProductName.x - 6, line);
    label(about::kVersion, about::kVersionText, about::kPanel.width - about::kVersion.x - 6, line);
    label(about::kPublisher, about::kPublisherText, about::kPanel.width - about::kPublisher.x - 6, line);
    // The second line wraps within the panel.
    label(about::kNote, about::kNoteText, about::kPanel.width - about::kNote.x - 6,
          about::kPanel.height - about::kNote.y - 4);
    const auto& ok_box = about::kOkButton;
    HWND ok = CreateWindowExW(0, L"BUTTON", L"OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                              Scaled(ok_box.left), Scaled(ok_box.top), Scaled(ok_box.width),
                              Scaled(ok_box.height), box,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDOK)), instance, nullptr);
    SendMessageW(ok, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);

    // Modal: the owner takes no input until the box is gone. The loop is the
    // window thread's own, so the steps and the serial notices go on.
    CentreOnScreen(box);
    if (owner) EnableWindow(owner, FALSE);
    window_thread.add_dialog(box);
    ShowWindow(box, SW_SHOW);
    SetFocus(ok);
    while (IsWindow(box) && !window_thread.terminating())
        window_thread.wait(platform::Millis(3'600'000));
    window_thread.remove_dialog(box);
    if (IsWindow(box)) {
        if (owner) EnableWindow(owner, TRUE);
        DestroyWindow(box);
    }
}

} // namespace tollander::ui
