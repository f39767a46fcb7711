// The platform's 16-bit swprintf as drivers use it for device and link names.
#include <kx/host.h>

#include <gtest/gtest.h>

namespace {

TEST(SwprintfTest, FormatsWideAndNarrowStringsAndIntegersWithWidths) {
    WCHAR buffer[128];
    const char16_t* port = u"COM5";
    int n = KxSwprintf(buffer, u"\\DosDevices\\%ws|%s|%S", port, port, "ab");
    EXPECT_EQ(std::u16string(buffer), u"\\DosDevices\\COM5|COM5|ab");
    EXPECT_EQ(n, 24);

    KxSwprintf(buffer, u"%d %u %lu %04x %-3X| %5d %%", -7, 4000000000u, 12u, 0xAB, 0xC, 42);
    EXPECT_EQ(std::u16string(buffer), u"-7 4000000000 12 00ab C  |    42 %");

    // What is not a conversion stands as written.
    KxSwprintf(buffer, u"%q and %");
    EXPECT_EQ(std::u16string(buffer), u"%q and %");
}

} // namespace
