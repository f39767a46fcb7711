// The command line: modes, options, their values and the mistakes a user makes.
#include <tools/options.h>

#include <gtest/gtest.h>

namespace tools_test {
namespace {

using korvaxsim::Mode;
using korvaxsim::Options;
using korvaxsim::ParseByteCount;
using korvaxsim::ParseOptions;

std::optional<Options> Parse(const std::vector<std::string>& args, std::string* error) {
    return ParseOptions(args, error);
}

TEST(Options, TheDemoDefaultsToFourMebibytesOnCom5) {
    std::string error;
    auto options = Parse({"demo"}, &error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->mode, Mode::Demo);
    EXPECT_EQ(options->port, "COM5");
    EXPECT_EQ(options->plugAs, "COM5");
    EXPECT_EQ(options->bytes, 4u * 1024 * 1024);
    EXPECT_EQ(options->seed, 1u);
    EXPECT_FALSE(options->quiet);
    EXPECT_TRUE(options->capture.empty());
}

TEST(Options, EveryDemoOptionIsTaken) {
    std::string error;
    auto options =
        Parse({"demo", "--port", "COM7", "--plug-as", "COM7", "--bytes", "64K", "--capture",
               "x.pcap", "--seed", "42", "--quiet", "--other-app", "--unplug-midway"},
              &error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->port, "COM7");
    EXPECT_EQ(options->plugAs, "COM7");
    EXPECT_EQ(options->bytes, 65536u);
    EXPECT_EQ(options->capture, "x.pcap");
    EXPECT_EQ(options->seed, 42u);
    EXPECT_TRUE(options->quiet);
    EXPECT_TRUE(options->otherApplication);
    EXPECT_TRUE(options->unplugMidway);
}

TEST(Options, PtyTakesEcho) {
    std::string error;
    auto options = Parse({"pty", "--echo"}, &error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->mode, Mode::Pty);
    EXPECT_TRUE(options->echo);
    EXPECT_EQ(Parse({"term"}, &error)->mode, Mode::Term);
}

TEST(Options, MistakesAreNamed) {
    std::string error;
    EXPECT_FALSE(Parse({}, &error));
    EXPECT_EQ(error, "no mode given");
    EXPECT_FALSE(Parse({"dial"}, &error));
    EXPECT_EQ(error, "unknown mode 'dial'");
    EXPECT_FALSE(Parse({"demo", "--bytes"}, &error));
    EXPECT_EQ(error, "--bytes needs a value");
    EXPECT_FALSE(Parse({"demo", "--bytes", "lots"}, &error));
    EXPECT_NE(error.find("--bytes wants"), std::string::npos);
    EXPECT_FALSE(Parse({"demo", "--bytes", "0"}, &error));
    EXPECT_FALSE(Parse({"demo", "--seed", "-1"}, &error));
    EXPECT_NE(error.find("--seed"), std::string::npos);
    EXPECT_FALSE(Parse({"demo", "--seed", "4K"}, &error));
    EXPECT_FALSE(Parse({"term", "--bytes", "1"}, &error));
    EXPECT_EQ(error, "--bytes is an option of demo");
    EXPECT_FALSE(Parse({"demo", "--echo"}, &error));
    EXPECT_EQ(error, "--echo is an option of pty");
    EXPECT_FALSE(Parse({"demo", "--port", ""}, &error));
    EXPECT_FALSE(Parse({"demo", "--frobnicate"}, &error));
    EXPECT_EQ(error, "unknown option '--frobnicate'");
}

TEST(Options, HelpIsNotAnError) {
    std::string error = "x";
    EXPECT_FALSE(Parse({"--help"}, &error));
    EXPECT_EQ(error, "");
    EXPECT_FALSE(Parse({"pty", "-h"}, &error));
    EXPECT_EQ(error, "");
}

TEST(Options, ByteCountsTakeBinaryMultiples) {
    EXPECT_EQ(ParseByteCount("65536"), 65536u);
    EXPECT_EQ(ParseByteCount("64K"), 65536u);
    EXPECT_EQ(ParseByteCount("64k"), 65536u);
    EXPECT_EQ(ParseByteCount("4M"), 4u * 1024 * 1024);
    EXPECT_EQ(ParseByteCount("4MiB"), 4u * 1024 * 1024);
    EXPECT_EQ(ParseByteCount("1G"), 1024u * 1024 * 1024);
    EXPECT_FALSE(ParseByteCount(""));
    EXPECT_FALSE(ParseByteCount("K"));
    EXPECT_FALSE(ParseByteCount("4X"));
    EXPECT_FALSE(ParseByteCount("4MB7"));
    EXPECT_FALSE(ParseByteCount("99999999999999999999"));
    EXPECT_FALSE(ParseByteCount("99999999999999G"));
}

} // namespace
} // namespace tools_test
