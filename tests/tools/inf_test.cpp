// The driver package's INF: a Ports-class function driver for Windows 2000/XP whose
// hardware ID is the identity the simulator gives the modem in its captures, with a
// demand-start kernel driver service.
#include <tools/simulation.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace tools_test {
namespace {

using Lines = std::vector<std::pair<std::string, std::string>>;

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// An INF as sections of "key = value" lines (comments and blank lines dropped; a
// line without '=' is a key with an empty value). Section names and keys compare
// case-insensitively, as SetupAPI compares them.
class Inf {
  public:
    explicit Inf(const std::string& path) {
        std::ifstream in(path);
        ok_ = static_cast<bool>(in);
        std::string line, section;
        while (std::getline(in, line)) {
            bool quoted = false; // a ';' outside quotes starts a comment
            for (size_t i = 0; i < line.size(); ++i) {
                quoted ^= line[i] == '"';
                if (line[i] == ';' && !quoted)
                    line.resize(i);
            }
            std::string text = Trim(line);
            if (text.empty())
                continue;
            if (text.front() == '[' && text.back() == ']') {
                section = Lower(text.substr(1, text.size() - 2));
                sections_[section];
                continue;
            }
            size_t equals = text.find('=');
            std::string value = equals == std::string::npos ? "" : Trim(text.substr(equals + 1));
            sections_[section].push_back({Trim(text.substr(0, equals)), value});
        }
    }

    bool Ok() const { return ok_; }
    bool Has(const std::string& section) const { return sections_.count(Lower(section)) != 0; }
    Lines Of(const std::string& section) const {
        auto it = sections_.find(Lower(section));
        return it == sections_.end() ? Lines{} : it->second;
    }
    std::string Value(const std::string& section, const std::string& key) const {
        for (const auto& entry : Of(section)) {
            if (Lower(entry.first) == Lower(key))
                return entry.second;
        }
        return "";
    }

  private:
    bool ok_ = false;
    std::map<std::string, Lines> sections_;
};

TEST(Inf, InstallsThePortsClassDriverForTheModemsHardwareId) {
    const std::string path = std::string(KORVAX_SOURCE_DIR) + "/driver/korvaxser.inf";
    Inf inf(path);
    ASSERT_TRUE(inf.Ok()) << path;
    EXPECT_EQ(inf.Value("Version", "Signature"), "\"$Windows NT$\"");
    EXPECT_EQ(inf.Value("Version", "Class"), "Ports");
    EXPECT_EQ(inf.Value("Version", "ClassGuid"), "{4D36E978-E325-11CE-BFC1-08002BE10318}");
    EXPECT_FALSE(inf.Value("Version", "DriverVer").empty());
    EXPECT_EQ(inf.Value("SourceDisksFiles", "korvaxser.sys"), "1");
    EXPECT_EQ(inf.Value("DestinationDirs", "DefaultDestDir"), "12");

    Lines manufacturer = inf.Of("Manufacturer");
    ASSERT_EQ(manufacturer.size(), 1u);
    // Windows 2000 reads no platform decoration on the models section.
    std::string models = manufacturer[0].second;
    ASSERT_TRUE(inf.Has(models)) << models;
    char hardwareId[64];
    std::snprintf(hardwareId, sizeof hardwareId, "USB\\VID_%04X&PID_%04X&MI_00",
                  korvaxsim::ModemVendorId, korvaxsim::ModemProductId);
    Lines model = inf.Of(models);
    ASSERT_EQ(model.size(), 1u);
    std::string value = model[0].second;
    size_t comma = value.find(',');
    ASSERT_NE(comma, std::string::npos);
    std::string install = value.substr(0, comma);
    EXPECT_EQ(value.substr(value.find_first_not_of(' ', comma + 1)), hardwareId);

    ASSERT_TRUE(inf.Has(install + ".NT")) << install;
    EXPECT_TRUE(inf.Has(inf.Value(install + ".NT", "CopyFiles")));
    EXPECT_EQ(inf.Of(inf.Value(install + ".NT", "CopyFiles"))[0].first, "korvaxser.sys");
    std::string addReg = inf.Value(install + ".NT", "AddReg");
    ASSERT_TRUE(inf.Has(addReg));
    bool serialSubClass = false;
    for (const auto& line : inf.Of(addReg))
        serialSubClass |= line.first.rfind("HKR,,PortSubClass,1,01", 0) == 0;
    EXPECT_TRUE(serialSubClass);

    // A demand-start kernel driver service.
    std::string services = inf.Value(install + ".NT.Services", "AddService");
    EXPECT_EQ(services.rfind("korvaxser, 0x00000002, ", 0), 0u) << services;
    std::string service = Trim(services.substr(services.rfind(',') + 1));
    ASSERT_TRUE(inf.Has(service)) << service;
    EXPECT_EQ(inf.Value(service, "ServiceType"), "1");
    EXPECT_EQ(inf.Value(service, "StartType"), "3");
    EXPECT_EQ(inf.Value(service, "ErrorControl"), "1");
    EXPECT_EQ(inf.Value(service, "ServiceBinary"), "%12%\\korvaxser.sys");
    // Every %string% the INF uses is defined.
    for (const char* key :
         {"Provider", "Manufacturer", "DiskName", "KorvaxSer.DeviceDesc", "KorvaxSer.ServiceName"})
        EXPECT_FALSE(inf.Value("Strings", key).empty()) << key;
}

} // namespace
} // namespace tools_test
