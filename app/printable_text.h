// Command-line arguments shown back in messages: safe to print on a terminal.
#pragma once

#include <string>
#include <string_view>

namespace tr350 {

// The argument as UTF-8 text with every control character (C0, DEL, C1) and every byte that is
// not part of valid UTF-8 written as \xHH, and a backslash as \\, so that an argument can neither
// drive the terminal nor be mistaken for another.
std::string PrintableArgument(std::string_view argument);

}  // namespace tr350
