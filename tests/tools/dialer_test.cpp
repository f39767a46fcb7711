// What the dialer makes of the modem's answers.
#include <tools/dialer.h>

#include <gtest/gtest.h>

namespace tools_test {
namespace {

using korvaxsim::IsFinalResult;
using korvaxsim::ParseAnswer;

TEST(Dialer, FinalResultCodes) {
    for (const char* code : {"OK", "ERROR", "NO CARRIER", "BUSY", "NO ANSWER", "NO DIALTONE",
                             "CONNECT", "CONNECT 3100000"})
        EXPECT_TRUE(IsFinalResult(code)) << code;
    for (const char* text : {"", "AT", "+CSQ: 21,99", "CONNECTED", "OK ", "ok"})
        EXPECT_FALSE(IsFinalResult(text)) << text;
}

TEST(Dialer, AnAnswerDropsTheEchoAndKeepsTheInformationText) {
    auto answer = ParseAnswer("ATI\r\r\nKORVAX EV-DO Rev.A USB Modem\r\n\r\nOK\r\n", "ATI");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->lines, std::vector<std::string>{"KORVAX EV-DO Rev.A USB Modem"});
    EXPECT_EQ(answer->result, "OK");
    EXPECT_TRUE(answer->Ok());
    EXPECT_FALSE(answer->Connected());
}

TEST(Dialer, AnAnswerIsCompleteOnlyOnceItsResultLineHasEnded) {
    EXPECT_FALSE(ParseAnswer("ATD#777\r", "ATD#777"));
    EXPECT_FALSE(ParseAnswer("ATD#777\r\r\nCONNECT 31", "ATD#777"));
    EXPECT_FALSE(ParseAnswer("ATD#777\r\r\nCONNECT 3100000\r", "ATD#777"));
    auto answer = ParseAnswer("ATD#777\r\r\nCONNECT 3100000\r\n", "ATD#777");
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->Connected());
    EXPECT_TRUE(answer->lines.empty());
}

TEST(Dialer, BytesAfterTheResultAreNotPartOfTheAnswer) {
    auto answer = ParseAnswer("AT\r\r\nOK\r\nmore", "AT");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->raw, "AT\r\r\nOK\r\n");
}

TEST(Dialer, WithoutEchoTheFirstLineIsText) {
    auto answer = ParseAnswer("\r\n+CSQ: 21,99\r\n\r\nOK\r\n", "AT+CSQ");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->lines, std::vector<std::string>{"+CSQ: 21,99"});
}

TEST(Dialer, TheEscapeEchoComesBeforeTheOk) {
    auto answer = ParseAnswer("+++\r\nOK\r\n", "+++");
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->lines.empty());
    EXPECT_TRUE(answer->Ok());
}

TEST(Dialer, AnErrorIsAFinalResult) {
    auto answer = ParseAnswer("ATX9Q\r\r\nERROR\r\n", "ATX9Q");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->result, "ERROR");
    EXPECT_FALSE(answer->Ok());
}

} // namespace
} // namespace tools_test
