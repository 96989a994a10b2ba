// A Windows console takes text as UTF-16 (WriteConsoleW): UTF-8 bytes
// written to it would be read in the console's code page. Redirected to a
// file or a pipe, the standard streams stay UTF-8 bytes.
#include "platform/console/terminal.h"

#include "platform/text_win32.h"

#include <windows.h>

#include <cstring>
#include <iostream>
#include <streambuf>

namespace tollander::platform {

namespace {

// The length of `text` without a UTF-8 character cut short at its end.
std::size_t WholeCharacters(const char* text, std::size_t size) {
    std::size_t lead = size;
    // Back over at most three continuation bytes to the character's start.
    while (lead > 0 && size - lead < 4 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80)
        --lead;
    if (lead == 0) return size;
    const auto first = static_cast<unsigned char>(text[lead - 1]);
    const std::size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
    return size - (lead - 1) < length ? lead - 1 : size;
}

class ConsoleBuffer final : public std::streambuf {
public:
    explicit ConsoleBuffer(HANDLE console) : console_(console) {
        setp(buffer_, buffer_ + sizeof buffer_);
    }

protected:
    int_type overflow(int_type ch) override {
        if (Flush() != 0) return traits_type::eof();
        if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
        *pptr() = traits_type::to_char_type(ch);
        pbump(1);
        return ch;
    }

    int sync() override { return Flush(); }

private:
    // Writes the whole characters; a character the buffer cut waits for the
    // rest of its bytes.
    int Flush() {
        const std::size_t size = static_cast<std::size_t>(pptr() - pbase());
        const std::size_t whole = WholeCharacters(pbase(), size);
        const std::wstring wide = win32::Widen({pbase(), whole});
        for (std::size_t at = 0; at < wide.size();) {
            DWORD written = 0;
            if (!::WriteConsoleW(console_, wide.data() + at, static_cast<DWORD>(wide.size() - at),
                                 &written, nullptr) ||
                written == 0)
                return -1;
            at += written;
        }
        std::memmove(buffer_, buffer_ + whole, size - whole);
        setp(buffer_, buffer_ + sizeof buffer_);
        pbump(static_cast<int>(size - whole));
        return 0;
    }

    HANDLE console_;
    char buffer_[1024];
};

void UseConsoleFor(DWORD which, std::ostream& stream) {
    const HANDLE handle = ::GetStdHandle(which);
    DWORD mode = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !::GetConsoleMode(handle, &mode))
        return; // a file or a pipe: UTF-8 as it is
    stream.flush();
    // Never freed: the streams are flushed once more after every static is gone.
    stream.rdbuf(new ConsoleBuffer(handle));
}

} // namespace

void WriteTextForTheConsole() {
    UseConsoleFor(STD_OUTPUT_HANDLE, std::cout);
    UseConsoleFor(STD_ERROR_HANDLE, std::cerr);
}

} // namespace tollander::platform
