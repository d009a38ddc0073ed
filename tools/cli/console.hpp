// The terminal the tool writes to takes UTF-8 while the tool runs.
#pragma once

namespace Wsr37100::cli {

// On Windows the console's output code page becomes UTF-8 (65001) and is put
// back on destruction; a UTF-8 terminal elsewhere needs nothing.
class Utf8Console {
public:
    Utf8Console();
    ~Utf8Console();
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

private:
    unsigned previous_ = 0;
};

// Whether standard error is a terminal a person watches (a progress line may go there).
bool stderr_is_terminal();

}  // namespace Wsr37100::cli
