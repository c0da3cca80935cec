#pragma once

#include <string>

namespace tralux {

// The text with every character that would act on a terminal written as an escape, as
// `ls -b` shows names: \a \b \t \n \v \f \r by their letters, every other control character
// (ESC, DEL, the C1 controls U+0080 to U+009F) and every byte that is not part of a UTF-8
// character as a backslash and three octal digits ("\033"). Printable characters, UTF-8
// included, and the backslash itself are kept, so an ordinary name reads as it is.
std::string TerminalSafeText(const std::string& text);

// The same for a message of several lines: its line breaks ("\n") are kept.
std::string TerminalSafeLines(const std::string& text);

}  // namespace tralux
