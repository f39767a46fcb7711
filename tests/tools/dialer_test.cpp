// What the dialer makes of the modem's answers.
#include <tools/dialer.h>

#include <gtest/gtest.h>

namespace tools_test {
namespace {

using korvaxsim::ParseAnswer;

// An answer drops the echo and keeps the information text; it is complete only once
// its result line has ended, and bytes after the result stay out of it.
TEST(Dialer, AnAnswerIsItsLinesAndResultOnceTheResultLineHasEnded) {
    auto answer = ParseAnswer("ATI\r\r\nKORVAX EV-DO Rev.A USB Modem\r\n\r\nOK\r\n", "ATI");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->lines, std::vector<std::string>{"KORVAX EV-DO Rev.A USB Modem"});
    EXPECT_EQ(answer->result, "OK");
    EXPECT_TRUE(answer->Ok());
    EXPECT_FALSE(answer->Connected());

    answer = ParseAnswer("AT\r\r\nOK\r\nmore", "AT");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->raw, "AT\r\r\nOK\r\n");

    for (const char* partial :
         {"ATD#777\r", "ATD#777\r\r\nCONNECT 31", "ATD#777\r\r\nCONNECT 3100000\r"})
        EXPECT_FALSE(ParseAnswer(partial, "ATD#777")) << partial;
    answer = ParseAnswer("ATD#777\r\r\nCONNECT 3100000\r\n", "ATD#777");
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->Connected());
    EXPECT_TRUE(answer->lines.empty());
}

} // namespace
} // namespace tools_test
