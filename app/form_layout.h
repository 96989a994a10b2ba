// The main window's layout: every control with its place, size, caption,
// colour and font, and the About box's. One table that every front end with
// a window builds its controls from, so the windows agree by construction.
#pragma once

#include <cstdint>
#include <stdexcept>

namespace tollander::app::layout {

inline constexpr const char* kApplicationTitle = "Veltrane Tollander Flash Utility";
inline constexpr const char* kMainCaption = "Veltrane Tollander z5 Upgrade Program";

// The client area, without the menu bar above it.
inline constexpr int kClientWidth = 492;
inline constexpr int kClientHeight = 418;

// "MS Sans Serif" 8 point at 96 dots per inch, as a character height.
inline constexpr int kFontPixels = 11;
// Label10's larger font.
inline constexpr int kLargeFontPixels = 14;

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    bool set = false; // false: the system's own colour for the control
};
inline constexpr Rgb kSystem{};
inline constexpr Rgb kBlack{0, 0, 0, true};
inline constexpr Rgb kWhite{255, 255, 255, true};
inline constexpr Rgb kNavy{0, 0, 128, true};
inline constexpr Rgb kMaroon{128, 0, 0, true};
inline constexpr Rgb kPurple{128, 0, 128, true};
inline constexpr Rgb kBlue{0, 0, 255, true};
inline constexpr Rgb kAqua{0, 255, 255, true};
inline constexpr Rgb kButtonFace{192, 192, 192, true};

enum class Kind { Panel, Label, Edit, CheckBox, Gauge, Memo, Button };

// The controls of the main window, parents before their children.
enum class Id {
    Form1, // the client area: the parent of the panels and the buttons
    Panel1,
    Label5,
    Label6,
    Label7,
    Label1,
    Label2,
    Label3,
    Label4,
    Edit1,
    Edit2,
    Edit3,
    Edit4,
    CheckBox1,
    CheckBox2,
    CheckBox3,
    CheckBox4,
    ProgressPanel,
    Label9,
    Gauge1,
    LogPanel,
    Label10,
    Memo1,
    Button4,
    Button2,
    Button1,
};

struct Control {
    Id id;
    Kind kind;
    Id parent;
    int left, top;     // relative to the parent
    int width, height; // 0 for a label: as large as its text
    const char* caption;
    Rgb colour;     // the text's, or the gauge's bar
    Rgb background; // the gauge's ground, the log's
    int font_pixels = kFontPixels;
    bool bold = false;
};

// clang-format off
inline constexpr Control kControls[] = {
    {Id::Form1,         Kind::Panel,    Id::Form1,         0,   0,   kClientWidth, kClientHeight, nullptr, kSystem, kSystem},
    {Id::Panel1,        Kind::Panel,    Id::Form1,         8,   8,   475, 149, nullptr,                kSystem, kSystem},
    {Id::Label5,        Kind::Label,    Id::Panel1,        8,   16,  0,   0,   "Port",                 kNavy,   kSystem},
    {Id::Label6,        Kind::Label,    Id::Panel1,        72,  16,  0,   0,   "Modem Type Installed", kMaroon, kSystem},
    {Id::Label7,        Kind::Label,    Id::Panel1,        420, 20,  0,   0,   "Flash",                kPurple, kSystem},
    {Id::Label1,        Kind::Label,    Id::Panel1,        8,   44,  0,   0,   "COM1",                 kNavy,   kSystem},
    {Id::Label2,        Kind::Label,    Id::Panel1,        8,   68,  0,   0,   "COM2",                 kNavy,   kSystem},
    {Id::Label3,        Kind::Label,    Id::Panel1,        8,   92,  0,   0,   "COM3",                 kNavy,   kSystem},
    {Id::Label4,        Kind::Label,    Id::Panel1,        8,   116, 0,   0,   "COM4",                 kNavy,   kSystem},
    {Id::Edit1,         Kind::Edit,     Id::Panel1,        66,  40,  331, 21,  nullptr,                kMaroon, kSystem},
    {Id::Edit2,         Kind::Edit,     Id::Panel1,        66,  64,  331, 21,  nullptr,                kMaroon, kSystem},
    {Id::Edit3,         Kind::Edit,     Id::Panel1,        66,  88,  331, 21,  nullptr,                kMaroon, kSystem},
    {Id::Edit4,         Kind::Edit,     Id::Panel1,        66,  112, 331, 21,  nullptr,                kMaroon, kSystem},
    {Id::CheckBox1,     Kind::CheckBox, Id::Panel1,        428, 40,  17,  17,  nullptr,                kSystem, kSystem},
    {Id::CheckBox2,     Kind::CheckBox, Id::Panel1,        428, 64,  17,  17,  nullptr,                kSystem, kSystem},
    {Id::CheckBox3,     Kind::CheckBox, Id::Panel1,        428, 88,  17,  17,  nullptr,                kSystem, kSystem},
    {Id::CheckBox4,     Kind::CheckBox, Id::Panel1,        428, 116, 17,  17,  nullptr,                kSystem, kSystem},
    {Id::ProgressPanel, Kind::Panel,    Id::Form1,         8,   164, 475, 49,  nullptr,                kSystem, kSystem},
    {Id::Label9,        Kind::Label,    Id::ProgressPanel, 8,   18,  0,   0,   "Flash Progress:",      kBlack,  kSystem},
    {Id::Gauge1,        Kind::Gauge,    Id::ProgressPanel, 90,  14,  371, 22,  nullptr,                kAqua,   kButtonFace},
    {Id::LogPanel,      Kind::Panel,    Id::Form1,         8,   220, 475, 161, nullptr,                kSystem, kSystem},
    {Id::Label10,       Kind::Label,    Id::LogPanel,      184, 14,  0,   0,   "System events:",       kBlue,   kSystem, kLargeFontPixels, true},
    {Id::Memo1,         Kind::Memo,     Id::LogPanel,      8,   44,  457, 105, nullptr,                kBlack,  kWhite},
    {Id::Button4,       Kind::Button,   Id::Form1,         119, 388, 75,  25,  "&Start Over",          kSystem, kSystem},
    {Id::Button2,       Kind::Button,   Id::Form1,         206, 388, 75,  25,  "&FLASH!",              kSystem, kSystem, kFontPixels, true},
    {Id::Button1,       Kind::Button,   Id::Form1,         293, 388, 75,  25,  "&Quit",                kSystem, kSystem},
};
// clang-format on

constexpr const Control& Find(Id id) {
    for (const Control& c : kControls)
        if (c.id == id) return c;
    throw std::logic_error("no such control");
}

// The port rows, ports 1..4.
constexpr Id PortLabel(int port) {
    return static_cast<Id>(static_cast<int>(Id::Label1) + port - 1);
}
constexpr Id Edit(int port) {
    return static_cast<Id>(static_cast<int>(Id::Edit1) + port - 1);
}
constexpr Id CheckBox(int port) {
    return static_cast<Id>(static_cast<int>(Id::CheckBox1) + port - 1);
}

struct Point {
    int x, y;
};
// A control's place in the client area.
constexpr Point ClientPlace(Id id) {
    const Control& c = Find(id);
    if (c.parent == id) return {c.left, c.top};
    const Point p = ClientPlace(c.parent);
    return {p.x + c.left, p.y + c.top};
}

// The menu bar's two commands.
inline constexpr const char* kMenuExit = "E&xit";   // File1
inline constexpr const char* kMenuAbout = "&About"; // About1

// The About box: dialog border, centred on the screen; places relative to the
// bevelled panel, whose own place is in the client area.
namespace about {
inline constexpr const char* kCaption = "About";
inline constexpr int kClientWidth = 298;
inline constexpr int kClientHeight = 213;
struct Box {
    int left, top, width, height;
};
inline constexpr Box kPanel{8, 8, 281, 161};
inline constexpr Box kProgramIcon{12, 12, 55, 81};
inline constexpr Point kProductName{74, 16};
inline constexpr Point kVersion{74, 40};
inline constexpr const char* kVersionText = "Version 1.54/32";
inline constexpr Point kPublisher{19, 102};
inline constexpr const char* kPublisherText = "Veltrane Data Communications";
inline constexpr Point kNote{7, 128}; // word-wrapped within the panel
inline constexpr const char* kNoteText =
    "Keep the modem switched on and connected until the event log says \"Complete.\"";
inline constexpr Box kOkButton{111, 180, 75, 25};
} // namespace about

} // namespace tollander::app::layout
