// The hosted kernel's structures against the DDK's, row by row: the table of
// layout_table.h as this build lays it out and as the windows-x86 build did
// (its table file, KORVAX_LAYOUT_FILE). A driver image built against the DDK
// reads and writes the hosted kernel's objects at the DDK's offsets, so any
// difference is a fault that only the shipped binary would show.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// After the C++ library: with 16-bit wchar_t the hosted headers rename the wide
// string routines that <cwchar> declares.
#include "layout_table.h"

namespace {

using korvax_layout::kNames;
using korvax_layout::kRows;
using korvax_layout::kValues;

struct Comparison {
    std::string error;                    // the file could not be used
    std::vector<std::string> differences; // one line per differing row
};

// Every row whose value differs, as "<row>: Windows <value>, hosted <value>".
std::vector<std::string> Differences(const std::vector<uint32_t>& windows,
                                     const std::vector<uint32_t>& hosted) {
    std::vector<std::string> lines;
    for (size_t row = 0; row < kRows; ++row) {
        if (windows[row] != hosted[row])
            lines.push_back(std::string(kNames[row]) + ": Windows " + std::to_string(windows[row]) +
                            ", hosted " + std::to_string(hosted[row]));
    }
    return lines;
}

std::vector<uint32_t> HostedTable() {
    return std::vector<uint32_t>(std::begin(kValues), std::end(kValues));
}

// Reads a table file and compares it with this build's table. The section the
// file was copied from may be padded after the last row.
Comparison CompareWithFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {path + " is missing: build the windows-x86 preset first (cmake --preset "
                       "windows-x86 && cmake --build --preset windows-x86)",
                {}};
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto word = [&](size_t index) {
        uint32_t value = 0;
        for (int byte = 3; byte >= 0; --byte)
            value = (value << 8) | static_cast<unsigned char>(bytes[index * 4 + byte]);
        return value;
    };
    const size_t headerWords = sizeof(korvax_layout::FileHeader) / 4;
    if (bytes.size() < headerWords * 4 || word(0) != korvax_layout::kMagic)
        return {path + " is not a layout table", {}};
    if (word(1) != kRows || word(2) != korvax_layout::RowNamesHash())
        return {path + " was built from another list of rows: build the windows-x86 preset again",
                {}};
    if (bytes.size() < (headerWords + kRows) * 4)
        return {path + " is cut short", {}};
    std::vector<uint32_t> windows;
    for (size_t row = 0; row < kRows; ++row)
        windows.push_back(word(headerWords + row));
    return {"", Differences(windows, HostedTable())};
}

std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    return text;
}

// A table file as the windows-x86 build writes it, from the given values.
std::string WriteTableFile(const std::string& name, const std::vector<uint32_t>& words) {
    std::string path = ::testing::TempDir() + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (uint32_t value : words)
        for (int byte = 0; byte < 4; ++byte)
            out.put(static_cast<char>(value >> (8 * byte)));
    return path;
}

std::vector<uint32_t> FileWords(const std::vector<uint32_t>& values) {
    std::vector<uint32_t> words = {korvax_layout::kMagic, kRows, korvax_layout::RowNamesHash()};
    words.insert(words.end(), values.begin(), values.end());
    return words;
}

size_t RowOf(const std::string& name) {
    for (size_t row = 0; row < kRows; ++row)
        if (name == kNames[row])
            return row;
    ADD_FAILURE() << "no row " << name;
    return 0;
}

TEST(Layout, HostedHeadersGiveTheWindowsX86Layout) {
    Comparison result = CompareWithFile(KORVAX_LAYOUT_FILE);
    ASSERT_EQ(result.error, "");
    EXPECT_TRUE(result.differences.empty())
        << result.differences.size() << " of " << kRows << " rows differ:\n"
        << Lines(result.differences);
}

// The probe: a Windows table that differs from this build's in one row, at the
// start, in the middle and at the end of the table, is reported as that row only.
TEST(Layout, ChangedOffsetIsReportedByItsRow) {
    for (const char* name :
         {"sizeof(LARGE_INTEGER)", "IRP.Tail.Overlay.CurrentStackLocation",
          "IO_STACK_LOCATION.Parameters.Power.State", "SERIAL_COMMPROP.ProvChar"}) {
        size_t row = RowOf(name);
        std::vector<uint32_t> windows = HostedTable();
        windows[row] += 4;
        std::vector<uint32_t> words = FileWords(windows);
        words.push_back(0); // section padding
        Comparison result = CompareWithFile(WriteTableFile("layout-changed.bin", words));
        EXPECT_EQ(result.error, "") << name;
        EXPECT_EQ(Lines(result.differences), std::string(name) + ": Windows " +
                                                 std::to_string(windows[row]) + ", hosted " +
                                                 std::to_string(kValues[row]) + "\n");
    }
}

// A file that is not this table is refused as a whole rather than compared.
TEST(Layout, ForeignTableFileIsRefused) {
    std::vector<uint32_t> good = FileWords(HostedTable());
    struct Case {
        const char* what;
        std::vector<uint32_t> words;
        const char* error;
    };
    std::vector<Case> cases = {
        {"short", std::vector<uint32_t>(good.begin(), good.end() - 1), "is cut short"},
        {"magic", good, "is not a layout table"},
        {"rows", good, "another list of rows"},
        {"names", good, "another list of rows"},
    };
    cases[1].words[0] ^= 1;
    cases[2].words[1] -= 1;
    cases[3].words[2] ^= 1;
    for (const Case& c : cases) {
        Comparison result = CompareWithFile(WriteTableFile("layout-foreign.bin", c.words));
        EXPECT_NE(result.error.find(c.error), std::string::npos) << c.what << ": " << result.error;
    }
    EXPECT_NE(CompareWithFile(::testing::TempDir() + "no-such-layout.bin")
                  .error.find("build the windows-x86 preset first"),
              std::string::npos);
}

} // namespace
