// A caption whose text starts exactly at its box's left edge (FLTK insets
// left-aligned labels by 3 pixels), as the window's layout places captions.
#pragma once

#include <FL/Fl_Box.H>

namespace tollander::ui {

class Caption final : public Fl_Box {
public:
    Caption(int x, int y, int w, int h, const char* text = nullptr) : Fl_Box(x, y, w, h, text) {
        box(FL_NO_BOX);
        align(FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE);
    }

    void draw() override { draw_label(x(), y(), w(), h(), align()); }

    // Sizes the box to its text; a text wider than `max_width` gets a smaller
    // font, down to 8 pixels, where the layout's narrower font would fit.
    void FitText(int max_width) {
        for (;;) {
            int w = 0, h = 0;
            measure_label(w, h);
            size(w, h);
            if (w <= max_width || labelsize() <= 8) return;
            labelsize(labelsize() - 1);
        }
    }
};

} // namespace tollander::ui
