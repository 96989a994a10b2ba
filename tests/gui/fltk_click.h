// A left click in the middle of a widget, through FLTK's own dispatch, as a
// user's click arrives.
#pragma once

#include <FL/Fl.H>
#include <FL/Fl_Widget.H>
#include <FL/Fl_Window.H>

namespace tollander::testing {

inline void Click(Fl_Widget* widget) {
    Fl_Window* window = widget->window();
    Fl::e_x = widget->x() + widget->w() / 2;
    Fl::e_y = widget->y() + widget->h() / 2;
    Fl::e_x_root = window->x() + Fl::e_x;
    Fl::e_y_root = window->y() + Fl::e_y;
    Fl::e_keysym = FL_Button + FL_LEFT_MOUSE;
    Fl::e_state = FL_BUTTON1;
    Fl::e_clicks = 0;
    Fl::e_is_click = 1;
    Fl::handle(FL_PUSH, window);
    Fl::e_state = 0;
    Fl::handle(FL_RELEASE, window);
}

} // namespace tollander::testing
