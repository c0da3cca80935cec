#include <gtest/gtest.h>

#include "units/TerminalText.h"

namespace tralux {
namespace {

TEST(TerminalText, ControlCharactersAreEscaped) {
    // A name that would clear the screen and retitle the terminal window.
    EXPECT_EQ(TerminalSafeText("a\x1b[2J\x1b]0;owned\x07.wav"), "a\\033[2J\\033]0;owned\\a.wav");
    EXPECT_EQ(TerminalSafeText(std::string("\0\x01\x1f\x7f", 4)), "\\000\\001\\037\\177");
    EXPECT_EQ(TerminalSafeText("\b\t\n\v\f\r"), "\\b\\t\\n\\v\\f\\r");
    // A line break is escaped in a name, kept in a message.
    EXPECT_EQ(TerminalSafeLines("one\ntwo\r\x1b"), "one\ntwo\\r\\033");
}

TEST(TerminalText, PrintableTextIsKept) {
    const std::string names[] = {"plain name.wav", "back\\slash",
                                 "caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x8e\xb5", "\xc2\xa0nbsp"};
    for (const std::string& name : names) {
        EXPECT_EQ(TerminalSafeText(name), name);
    }
}

TEST(TerminalText, C1ControlsAndBrokenUtf8AreEscapedByteByByte) {
    // U+009B is the one-character form of ESC [.
    EXPECT_EQ(TerminalSafeText("a\xc2\x9b"
                               "2J"),
              "a\\302\\2332J");
    EXPECT_EQ(TerminalSafeText("\x9b"
                               "2J"),
              "\\2332J");
    EXPECT_EQ(TerminalSafeText("\xc3"), "\\303");                             // cut short
    EXPECT_EQ(TerminalSafeText("\xc0\xaf"), "\\300\\257");                    // overlong '/'
    EXPECT_EQ(TerminalSafeText("\xed\xa0\x80"), "\\355\\240\\200");           // a surrogate
    EXPECT_EQ(TerminalSafeText("\xf4\x90\x80\x80"), "\\364\\220\\200\\200");  // past U+10FFFF
}

}  // namespace
}  // namespace tralux
