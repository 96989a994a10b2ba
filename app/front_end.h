// What a front end (the FLTK window, the console) does for the main form
// model: render it, show modal message boxes, end the program.
#pragma once

#include <string>

namespace tollander::app {

enum class MessageKind {
    Error,     // a message the program shows on purpose (the wrong-utility box)
    Exception, // an exception that ended a step or a handler; the sequencer halted
};

class FrontEnd {
public:
    virtual ~FrontEnd() = default;

    // Something in the model changed (a text, a check box, a button, the
    // gauge): re-render. Called on the window thread, often; cheap is good.
    virtual void ModelChanged() = 0;

    // A line was appended to the event log (already split at line breaks).
    virtual void LineLogged(const std::string& line) = 0;
    // A line of the trace of the line's traffic (LineTrace): commands,
    // answers, blocks of an upload. Not part of the event log.
    virtual void LineTraced(const std::string& /*line*/) {}

    // The event log was emptied ("&Start Over").
    virtual void LogCleared() = 0;

    // A modal message box with one OK button. Returns once the user closed
    // it; the window thread keeps processing its messages meanwhile.
    virtual void ShowMessage(const std::string& text, MessageKind kind) = 0;

    // The modal About dialog; returns when it is closed.
    virtual void ShowAbout() = 0;

    // Close the main window: the program ends. Must terminate the window
    // thread (so that running waits return) and must NOT destroy the form
    // from inside this call: a step may still be unwinding. The form is
    // destroyed after the front end's loop has returned.
    virtual void CloseMainWindow() = 0;
};

} // namespace tollander::app
