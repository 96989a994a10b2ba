// The native Windows window over the form model, driven through the system's
// own message dispatch (button clicks, keys through the dialog manager, menu
// commands), under Wine on a virtual display.
#include "tests/unit/app_fakes.h"
#include "ui/win32/main_window.h"
#include "ui/win32/win32_window_thread.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace tollander;
using namespace std::chrono_literals;
using app::ButtonId;
using app::layout::Id;
namespace layout = app::layout;

namespace {

struct Rig {
    Rig() {
        auto p = std::make_unique<app::testing::FakePort>();
        port = p.get();
        app::Devices devices;
        devices.port = std::move(p);
        auto u = std::make_unique<app::testing::FakeUploader>();
        uploader = u.get();
        devices.protocol = std::move(u);
        devices.payload = std::make_unique<app::testing::FakePayload>();
        devices.make_player = [this] {
            return std::make_unique<app::testing::FakePlayer>(false, player_log);
        };
        devices.make_dialogue = [](app::MainForm& f) {
            return std::make_unique<app::testing::FakeDialogue>(f);
        };
        form = std::make_unique<app::MainForm>(
            window, view, std::vector<std::string>{"C:/tollander-flash.exe"}, std::move(devices));
        view.Attach(form.get());
        view.Show();
        form->FormShow();
    }
    ~Rig() {
        view.Attach(nullptr);
        form.reset();
    }

    HWND operator[](Id id) const { return view.Control(id); }
    app::Sequencer& TheSequencer() { return form->TheSequencer(); }
    // A click as the user makes it: the button tells its parent.
    void Click(Id id) { SendMessageW(view.Control(id), BM_CLICK, 0, 0); }
    // A key pressed in the control that has the focus, through the loop.
    void Key(WPARAM vk) {
        HWND focus = GetFocus() ? GetFocus() : view.Handle();
        PostMessageW(focus, WM_KEYDOWN, vk, 1);
        PostMessageW(focus, WM_KEYUP, vk, 1u | 3u << 30);
        window.process_pending();
    }
    // Alt and a letter, as the keyboard's translation delivers it.
    void Alt(wchar_t letter) {
        HWND focus = GetFocus() ? GetFocus() : view.Handle();
        PostMessageW(focus, WM_SYSCHAR, letter, 1u | 1u << 29);
        window.process_pending();
    }
    // The menu bar's n-th command, chosen.
    void Menu(int n) {
        const UINT id = GetMenuItemID(GetMenu(view.Handle()), n);
        SendMessageW(view.Handle(), WM_COMMAND, id, 0);
    }

    ui::Win32WindowThread window;
    ui::TForm1 view{window};
    app::testing::FakePort* port = nullptr;
    app::testing::FakeUploader* uploader = nullptr;
    std::vector<std::string> player_log;
    std::unique_ptr<app::MainForm> form;
};

std::wstring Text(HWND control) {
    std::wstring s(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    s.resize(static_cast<std::size_t>(GetWindowTextW(control, s.data(), static_cast<int>(s.size()))));
    return s;
}

std::wstring Wide(const char* utf8) {
    std::wstring s(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, s.data(), static_cast<int>(s.size()));
    s.pop_back();
    return s;
}

// The tooltip text of a control of the window.
std::wstring Tooltip(HWND form, HWND control) {
    HWND tip = nullptr;
    DWORD pid = GetCurrentProcessId();
    for (HWND w = FindWindowExW(nullptr, nullptr, TOOLTIPS_CLASSW, nullptr); w;
         w = FindWindowExW(nullptr, w, TOOLTIPS_CLASSW, nullptr)) {
        DWORD owner_pid = 0;
        GetWindowThreadProcessId(w, &owner_pid);
        if (owner_pid == pid && GetWindow(w, GW_OWNER) == form) tip = w;
    }
    if (!tip) return L"(no tooltip control)";
    wchar_t buffer[1024] = {};
    TOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = form;
    tool.uId = reinterpret_cast<UINT_PTR>(control);
    tool.lpszText = buffer;
    SendMessageW(tip, TTM_GETTEXTW, 1024, reinterpret_cast<LPARAM>(&tool));
    return buffer;
}

bool Checked(HWND box) {
    return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

} // namespace

TEST(Win32MainWindow, LayoutCaptionsAndInitialStatesFromTheTable) {
    Rig rig;
    HWND form = rig.view.Handle();
    EXPECT_EQ(Text(form), L"Veltrane Tollander z5 Upgrade Program");
    RECT client{};
    GetClientRect(form, &client);
    EXPECT_EQ(client.right, 492);
    EXPECT_EQ(client.bottom, 418);
    const LONG style = GetWindowLongW(form, GWL_STYLE);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME); // a fixed border

    // Every control of the table at its place in the client area, with its
    // size (labels: as large as their text) and caption.
    for (const layout::Control& c : layout::kControls) {
        HWND control = rig[c.id];
        if (c.kind == layout::Kind::Panel) {
            EXPECT_EQ(control, nullptr);
            continue;
        }
        ASSERT_NE(control, nullptr) << static_cast<int>(c.id);
        RECT box{};
        GetWindowRect(control, &box);
        MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&box), 2);
        const layout::Point at = layout::ClientPlace(c.id);
        EXPECT_EQ(box.left, at.x) << static_cast<int>(c.id);
        EXPECT_EQ(box.top, at.y) << static_cast<int>(c.id);
        if (c.width > 0) {
            EXPECT_EQ(box.right - box.left, c.width) << static_cast<int>(c.id);
            EXPECT_EQ(box.bottom - box.top, c.height) << static_cast<int>(c.id);
        } else {
            EXPECT_GT(box.right - box.left, 0) << static_cast<int>(c.id);
        }
        if (c.caption) {
            EXPECT_EQ(Text(control), Wide(c.caption)) << static_cast<int>(c.id);
        }
    }
    EXPECT_EQ(Text(rig[Id::Label1]), L"COM1");
    EXPECT_EQ(Text(rig[Id::Button2]), L"&FLASH!");

    // The menu bar's two commands.
    HMENU menu = GetMenu(form);
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(GetMenuItemCount(menu), 2);
    wchar_t item[32];
    GetMenuStringW(menu, 0, item, 32, MF_BYPOSITION);
    EXPECT_EQ(std::wstring(item), L"E&xit");
    GetMenuStringW(menu, 1, item, 32, MF_BYPOSITION);
    EXPECT_EQ(std::wstring(item), L"&About");

    // Initial states: empty read-only fields, unticked disabled boxes, the
    // gauge and its caption hidden, an empty read-only log, only "&Quit".
    for (int n = 1; n <= 4; ++n) {
        HWND edit = rig[layout::Edit(n)];
        EXPECT_EQ(Text(edit), L"") << n;
        EXPECT_TRUE(GetWindowLongW(edit, GWL_STYLE) & ES_READONLY) << n;
        EXPECT_FALSE(Checked(rig[layout::CheckBox(n)])) << n;
        EXPECT_FALSE(IsWindowEnabled(rig[layout::CheckBox(n)])) << n;
    }
    EXPECT_FALSE(IsWindowVisible(rig[Id::Label9]));
    EXPECT_FALSE(IsWindowVisible(rig[Id::Gauge1]));
    const LONG memo = GetWindowLongW(rig[Id::Memo1], GWL_STYLE);
    EXPECT_EQ(Text(rig[Id::Memo1]), L"");
    EXPECT_TRUE(memo & ES_READONLY);
    EXPECT_TRUE(memo & WS_VSCROLL);
    EXPECT_TRUE(memo & WS_HSCROLL); // no wrapping: long lines scroll sideways
    EXPECT_TRUE(IsWindowEnabled(rig[Id::Button1]));
    EXPECT_FALSE(IsWindowEnabled(rig[Id::Button2]));
    EXPECT_FALSE(IsWindowEnabled(rig[Id::Button4]));

    // Each row's tooltip names its port and what the system knows of it, and
    // follows the row's note.
    rig.form->Fields().PortNote[3] = "Port in use by another program.";
    rig.form->Changed();
    EXPECT_EQ(Tooltip(form, rig[Id::Edit2]).rfind(L"COM2", 0), 0u) << Tooltip(form, rig[Id::Edit2]);
    const std::wstring row3 = Tooltip(form, rig[Id::CheckBox3]);
    EXPECT_EQ(row3.rfind(L"COM3", 0), 0u) << row3;
    EXPECT_NE(row3.find(L"\r\nPort in use by another program."), std::wstring::npos) << row3;
}

// Moved to a monitor of another scale (WM_DPICHANGED, as Windows sends it to
// a program aware of each monitor's scale): the window takes the place
// Windows suggests and lays every control, font and panel out again at the
// new scale; back at 100 % it is the table's layout again.
TEST(Win32MainWindow, ANewMonitorScaleLaysTheWindowOutAgain) {
    Rig rig;
    HWND form = rig.view.Handle();
    const auto font_height = [](HWND control) {
        LOGFONTW font{};
        GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof font,
                   &font);
        return font.lfHeight;
    };
    for (const int dpi : {144, 120, 192, 96}) {
        SCOPED_TRACE(dpi);
        const auto scaled = [dpi](int pixels) { return MulDiv(pixels, dpi, 96); };
        RECT suggested{40, 30, 40 + scaled(500), 30 + scaled(460)};
        SendMessageW(form, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
        EXPECT_EQ(rig.view.Dpi(), dpi);

        RECT frame{}, client{};
        GetWindowRect(form, &frame);
        GetClientRect(form, &client);
        EXPECT_EQ(frame.left, 40);
        EXPECT_EQ(frame.top, 30);
        EXPECT_EQ(client.right, scaled(layout::kClientWidth));
        EXPECT_EQ(client.bottom, scaled(layout::kClientHeight));
        for (const layout::Control& c : layout::kControls) {
            HWND control = rig[c.id];
            if (c.kind == layout::Kind::Panel) continue;
            RECT box{};
            GetWindowRect(control, &box);
            MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&box), 2);
            const layout::Point at = layout::ClientPlace(c.id);
            EXPECT_EQ(box.left, scaled(at.x)) << static_cast<int>(c.id);
            EXPECT_EQ(box.top, scaled(at.y)) << static_cast<int>(c.id);
            if (c.width > 0) {
                EXPECT_EQ(box.right - box.left, scaled(c.width)) << static_cast<int>(c.id);
                EXPECT_EQ(box.bottom - box.top, scaled(c.height)) << static_cast<int>(c.id);
            }
            if (c.kind != layout::Kind::Gauge) {
                EXPECT_EQ(font_height(control), -scaled(c.font_pixels)) << static_cast<int>(c.id);
            }
        }
        // The upload's line: under the gauge, as wide, within the progress
        // panel's bevel, its text as tall as the room at most.
        HWND line = rig.view.UploadText();
        RECT box{}, gauge{};
        GetWindowRect(line, &box);
        MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&box), 2);
        GetWindowRect(rig[Id::Gauge1], &gauge);
        MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&gauge), 2);
        const layout::Point panel = layout::ClientPlace(Id::ProgressPanel);
        EXPECT_EQ(box.left, gauge.left);
        EXPECT_EQ(box.right, gauge.right);
        EXPECT_GE(box.top, gauge.bottom);
        EXPECT_LE(box.bottom, scaled(panel.y + layout::Find(Id::ProgressPanel).height - 1));
        HDC dc = GetDC(line);
        HGDIOBJ old =
            SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(line, WM_GETFONT, 0, 0)));
        SIZE size{};
        GetTextExtentPoint32W(dc, L"Main code (2): 0:00 left", 24, &size);
        SelectObject(dc, old);
        ReleaseDC(line, dc);
        EXPECT_GT(size.cy, 0);
        EXPECT_LE(size.cy, box.bottom - box.top);
    }
}

TEST(Win32MainWindow, ClicksRunTheHandlers) {
    Rig rig;
    // As after a scan that found modems on COM2 and COM4, COM4 ticked.
    rig.TheSequencer().StepNumber = 20;
    rig.form->SetCheckBoxEnabled(2, true);
    rig.form->SetCheckBoxEnabled(4, true);
    rig.form->SetChecked(4, true);
    rig.form->SetEnabled(ButtonId::Button4, true);
    EXPECT_TRUE(Checked(rig[Id::CheckBox4]));
    EXPECT_TRUE(IsWindowEnabled(rig[Id::Button2]));

    rig.Click(Id::CheckBox2); // ticking COM2 unticks COM4
    EXPECT_TRUE(rig.form->Checked(2));
    EXPECT_FALSE(rig.form->Checked(4));
    EXPECT_TRUE(Checked(rig[Id::CheckBox2]));
    EXPECT_FALSE(Checked(rig[Id::CheckBox4]));

    rig.Click(Id::CheckBox2); // unticking the only ticked box disables "&FLASH!"
    EXPECT_FALSE(rig.form->Checked(2));
    EXPECT_FALSE(IsWindowEnabled(rig[Id::Button2]));

    rig.Click(Id::CheckBox4);
    ASSERT_TRUE(IsWindowEnabled(rig[Id::Button2]));
    rig.Click(Id::Button2);
    EXPECT_EQ(rig.TheSequencer().StepNumber, 21);
    EXPECT_TRUE(rig.form->Timer1Enabled());

    // "&Start Over", by Alt and its underlined letter, empties the fields and
    // the log and unticks the boxes.
    rig.TheSequencer().StepNumber = 99;
    rig.form->SetEditText(2, "Tollander modem found.");
    rig.form->LogLine("Complete.");
    EXPECT_EQ(Text(rig[Id::Edit2]), L"Tollander modem found.");
    rig.Alt(L's');
    EXPECT_EQ(rig.TheSequencer().StepNumber, 0);
    EXPECT_EQ(Text(rig[Id::Edit2]), L"");
    EXPECT_EQ(Text(rig[Id::Memo1]), L"");
    for (int n = 1; n <= 4; ++n) {
        EXPECT_FALSE(Checked(rig[layout::CheckBox(n)])) << n;
        EXPECT_FALSE(IsWindowEnabled(rig[layout::CheckBox(n)])) << n;
    }
    EXPECT_FALSE(IsWindowEnabled(rig[Id::Button4]));
}

TEST(Win32MainWindow, EventLogAndGaugeFollowTheModel) {
    Rig rig;
    rig.form->LogLine("Tollander flash utility initialized...");
    rig.form->LogLine("Ger\xc3\xa4t gefunden\r\nzweite Zeile"); // UTF-8, two lines
    EXPECT_EQ(Text(rig[Id::Memo1]), Wide("Tollander flash utility initialized...\r\n"
                                         "Ger\xc3\xa4t gefunden\r\nzweite Zeile"));
    // The newest line stays in view.
    for (int i = 0; i < 30; ++i)
        rig.form->LogLine("line " + std::to_string(i));
    EXPECT_GT(SendMessageW(rig[Id::Memo1], EM_GETFIRSTVISIBLELINE, 0, 0), 20);

    rig.form->SetProgressVisible(true);
    rig.form->SetGaugeMaxValue(1000);
    rig.form->SetGaugeProgress(250);
    HWND gauge = rig[Id::Gauge1];
    EXPECT_TRUE(IsWindowVisible(rig[Id::Label9]));
    EXPECT_TRUE(IsWindowVisible(gauge));
    EXPECT_EQ(SendMessageW(gauge, PBM_GETRANGE, FALSE, 0), 1000);
    EXPECT_EQ(SendMessageW(gauge, PBM_GETPOS, 0, 0), 250);
    // The bar in aqua on the button face, as painted.
    UpdateWindow(gauge);
    RECT inside{};
    GetClientRect(gauge, &inside);
    HDC dc = GetDC(gauge);
    const COLORREF bar = GetPixel(dc, inside.right / 8, inside.bottom / 2);
    const COLORREF ground = GetPixel(dc, inside.right * 7 / 8, inside.bottom / 2);
    ReleaseDC(gauge, dc);
    EXPECT_EQ(bar, RGB(0, 255, 255));
    EXPECT_EQ(ground, RGB(192, 192, 192));
    rig.form->SetGaugeProgress(5000); // held at the maximum
    EXPECT_EQ(SendMessageW(gauge, PBM_GETPOS, 0, 0), 1000);
    rig.form->SetGaugeMaxValue(0);
    EXPECT_EQ(SendMessageW(gauge, PBM_GETPOS, 0, 0), 0);
    rig.form->SetProgressVisible(false);
    EXPECT_FALSE(IsWindowVisible(gauge));
}

// The bar draws no text: the line under it says which image goes, the bytes
// the line has sent and, once known, the rate and the time left; it is empty
// outside an upload.
TEST(Win32MainWindow, TheLineUnderTheGaugeTellsWhereTheUploadStands) {
    Rig rig;
    HWND line = rig.view.UploadText();
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(Text(line), L"");
    rig.form->SetProgressVisible(true);
    const std::int32_t size = rig.form->Payload().UploadSize();
    const auto upload = [&](int image) {
        rig.TheSequencer().FlashStage = static_cast<std::uint8_t>(image);
        rig.form->BeginUploadWatch();
        rig.form->SetGaugeMaxValue(size);
        rig.form->SetGaugeProgress(0);
        EXPECT_EQ(Text(line), L""); // nothing sent yet
    };
    const auto block = [&](std::int64_t handed, std::int64_t queued) {
        rig.uploader->handed = handed;
        rig.port->queued = queued;
        rig.form->Protocol1ProtocolStatus(0);
    };
    const std::wstring total = std::to_wstring(size);

    // A driver that reports no queue: the line's own rate from the start.
    upload(1);
    block(8191, 0);
    EXPECT_EQ(Text(line), L"Boot code (1): 0 of " + total + L" bytes, 0%, 11.5 kB/s, 0:02 left");
    // One that does: the bytes it no longer holds; the rate once measured.
    upload(2);
    block(8191, 4000);
    EXPECT_EQ(Text(line), L"Main code (2): 4191 of " + total + L" bytes, 19%");
    EXPECT_TRUE(IsWindowVisible(line));

    rig.form->SetGaugeProgress(0); // the upload is over
    EXPECT_EQ(Text(line), L"");
    block(16382, 0);
    rig.form->SetProgressVisible(false);
    EXPECT_EQ(Text(line), L"");
}

std::wstring Clipboard() {
    std::wstring text;
    if (!OpenClipboard(nullptr)) return L"(clipboard busy)";
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        text = static_cast<const wchar_t*>(GlobalLock(data));
        GlobalUnlock(data);
    }
    CloseClipboard();
    return text;
}

TEST(Win32MainWindow, CopyTakesTheSelectionOrTheWholeLog) {
    Rig rig;
    rig.form->LogLine("Tollander flash utility initialized...");
    rig.form->LogLine("Device present on COM1.");
    HWND log = rig[Id::Memo1];
    const std::wstring whole = Text(log);
    SetFocus(log);
    SendMessageW(log, EM_SETSEL, 0, 0);
    SendMessageW(log, WM_CHAR, 'C' - '@', 1); // Ctrl+C, nothing selected
    EXPECT_EQ(Clipboard(), whole);
    SendMessageW(log, EM_SETSEL, 0, 9);
    SendMessageW(log, WM_CHAR, 'C' - '@', 1);
    EXPECT_EQ(Clipboard(), L"Tollander");
    SendMessageW(log, WM_CHAR, 'A' - '@', 1); // Ctrl+A
    DWORD start = 1, end = 0;
    SendMessageW(log, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(end, whole.size());
}

TEST(Win32MainWindow, EscapePressesQuitOnlyWhileItIsEnabled) {
    Rig rig;
    SetFocus(rig[Id::Button1]);
    rig.form->SetEnabled(ButtonId::Button1, false); // as during a flash
    rig.Key(VK_ESCAPE);
    EXPECT_TRUE(IsWindowVisible(rig.view.Handle()));
    EXPECT_FALSE(rig.window.terminating());

    rig.form->SetEnabled(ButtonId::Button1, true);
    rig.Key(VK_ESCAPE);
    EXPECT_FALSE(IsWindowVisible(rig.view.Handle()));
    EXPECT_TRUE(rig.window.terminating());
    ASSERT_FALSE(rig.port->calls.empty());
    EXPECT_EQ(rig.port->calls.back(), "close"); // "&Quit" closes the port first
}

// "E&xit" ends the program at any time; the title bar's close button follows
// "&Quit": nothing while a modem is being flashed.
TEST(Win32MainWindow, ExitEndsTheProgramWhileQuitIsDisabledTheCloseButtonOnlyWithQuit) {
    {
        Rig rig;
        rig.form->SetEnabled(ButtonId::Button1, false);
        rig.Menu(0); // "E&xit"
        EXPECT_FALSE(IsWindowVisible(rig.view.Handle()));
        EXPECT_TRUE(rig.window.terminating());
    }
    {
        Rig rig;
        rig.form->SetEnabled(ButtonId::Button1, false);
        SendMessageW(rig.view.Handle(), WM_CLOSE, 0, 0); // the title bar's close button
        EXPECT_TRUE(IsWindowVisible(rig.view.Handle()));
        EXPECT_FALSE(rig.window.terminating());

        rig.form->SetEnabled(ButtonId::Button1, true);
        SendMessageW(rig.view.Handle(), WM_CLOSE, 0, 0);
        EXPECT_FALSE(IsWindowVisible(rig.view.Handle()));
        EXPECT_TRUE(rig.window.terminating());
        ASSERT_FALSE(rig.port->calls.empty());
        EXPECT_EQ(rig.port->calls.back(), "close"); // as "&Quit": the port first
    }
}

TEST(Win32MainWindow, AboutBoxOpensFromTheMenuIsModalAndClosesWithOk) {
    Rig rig;
    std::vector<std::wstring> labels;
    RECT client{};
    bool owner_disabled = false;
    // Runs inside the About box's loop.
    rig.window.post([&] {
        HWND about = FindWindowW(L"TAboutBox", L"About");
        ASSERT_NE(about, nullptr);
        GetClientRect(about, &client);
        owner_disabled = !IsWindowEnabled(rig.view.Handle());
        for (HWND child = GetWindow(about, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
            labels.push_back(Text(child));
        // Enter presses the default button, "OK".
        PostMessageW(GetFocus(), WM_KEYDOWN, VK_RETURN, 1);
    });
    rig.Menu(1); // "&About"
    EXPECT_EQ(client.right, 298);
    EXPECT_EQ(client.bottom, 213);
    EXPECT_TRUE(owner_disabled);
    const auto has = [&](const wchar_t* s) {
        return std::find(labels.begin(), labels.end(), std::wstring(s)) != labels.end();
    };
    EXPECT_TRUE(has(L"Veltrane Tollander z5 Upgrade Program"));
    EXPECT_TRUE(has(L"Version 1.54/32"));
    EXPECT_TRUE(has(L"OK"));
    EXPECT_EQ(FindWindowW(L"TAboutBox", nullptr), nullptr); // closed and gone
    EXPECT_TRUE(IsWindowEnabled(rig.view.Handle()));
    EXPECT_FALSE(rig.window.terminating());
}

TEST(Win32MainWindow, AMessageBoxTakesItsKeysWhileAStepWaitsBehindIt) {
    Rig rig;
    std::wstring shown;
    bool closed_by_key = false;
    // Runs inside the message box's own loop, as a step's Pause would.
    rig.window.post([&] {
        HWND box = FindWindowW(L"#32770", L"Error");
        ASSERT_NE(box, nullptr);
        for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
            shown += Text(child) + L"|";
        PostMessageW(GetFocus(), WM_KEYDOWN, VK_RETURN, 1);
        // The box ends (hidden at once; its own loop destroys it later).
        for (int i = 0; i < 100 && IsWindowVisible(box); ++i)
            rig.window.wait(100ms);
        closed_by_key = !IsWindowVisible(box);
        if (!closed_by_key) PostMessageW(box, WM_COMMAND, IDOK, 0); // so that the test ends
    });
    rig.view.ShowMessage("Incorrect flash utility for modem.", app::MessageKind::Error);
    EXPECT_NE(shown.find(L"Incorrect flash utility for modem."), std::wstring::npos) << shown;
    EXPECT_TRUE(closed_by_key);
}
