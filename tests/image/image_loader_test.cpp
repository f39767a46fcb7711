// The driver image loader on the packaged korvaxser.sys: every import is bound with
// the calling convention and argument bytes the DDK headers declare (the decorated
// names in the Windows build's objects), an image the kernel cannot bind or a
// damaged one is refused with its cause, and unloading an image while one of its
// routines is still queued is caught.
#include <kx/host.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<char>;

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string WriteTemp(const Bytes& bytes, const std::string& name) {
    std::string path = testing::TempDir() + name;
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    return path;
}

uint32_t Word(const Bytes& b, size_t at) {
    uint32_t value;
    std::memcpy(&value, b.data() + at, sizeof value);
    return value;
}

void Patch(Bytes& b, size_t at, const void* value, size_t size) {
    std::memcpy(b.data() + at, value, size);
}

class DriverImageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        image_ = ReadFile(KORVAX_DRIVER_IMAGE_FILE);
        ASSERT_GT(image_.size(), 0x400u)
            << KORVAX_DRIVER_IMAGE_FILE << ": build the windows-x86 preset first";
        ntHeaders_ = Word(image_, 0x3C);
    }
    size_t Optional() const { return ntHeaders_ + 24; }

    // Loads a (changed) copy of the image; the status and error of a refusal.
    NTSTATUS Load(const Bytes& bytes, std::string* error) {
        std::string path = WriteTemp(bytes, "changed.sys");
        NTSTATUS status = STATUS_PENDING;
        PDRIVER_OBJECT driver = kx::LoadDriverImage(path, u"changed", &status, error);
        std::remove(path.c_str());
        EXPECT_EQ(driver, nullptr);
        return status;
    }

    kx::Kernel kernel_;
    Bytes image_;
    size_t ntHeaders_ = 0;
};

TEST_F(DriverImageTest, EveryImportIsBoundWithTheCallingConventionTheDdkDeclares) {
    // The Windows build's objects name each import as the DDK header declares it:
    // __imp__Name@N stdcall, __imp_@Name@N fastcall, _Name cdecl.
    std::string command = std::string(KORVAX_WINDOWS_NM) + " -u @" + KORVAX_WINDOWS_OBJECTS;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::map<std::string, std::pair<kx::CallingConvention, ULONG>> declared;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string symbol(line);
        symbol = symbol.substr(symbol.find_last_of(' ') + 1);
        symbol.erase(symbol.find_last_not_of("\r\n") + 1);
        kx::CallingConvention convention = kx::CallingConvention::Cdecl;
        if (symbol.rfind("__imp__", 0) == 0) {
            symbol = symbol.substr(7);
            convention = kx::CallingConvention::Stdcall;
        } else if (symbol.rfind("__imp_@", 0) == 0) {
            symbol = symbol.substr(7);
            convention = kx::CallingConvention::Fastcall;
        } else if (symbol.rfind("_", 0) == 0 && symbol.rfind("__Z", 0) != 0) {
            symbol = symbol.substr(1);
        } else {
            continue;
        }
        ULONG bytes = 0;
        size_t at = symbol.find('@');
        if (at != std::string::npos) {
            bytes = ULONG(std::stoul(symbol.substr(at + 1)));
            symbol.resize(at);
        }
        declared[symbol] = {convention, bytes};
    }
    pclose(pipe);
    ASSERT_GE(declared.size(), 60u) << command;

    for (const auto& [name, declaration] : declared) {
        auto binding = kx::KernelExport("ntoskrnl.exe", name);
        if (!binding)
            binding = kx::KernelExport("HAL.dll", name);
        if (!binding)
            continue; // data or the driver's own: the loader refuses a missing import
        EXPECT_EQ(int(binding->convention), int(declaration.first)) << name;
        if (declaration.first != kx::CallingConvention::Cdecl) {
            EXPECT_EQ(binding->argumentBytes, declaration.second) << name;
        }
    }
}

TEST_F(DriverImageTest, AnImportTheKernelLacksIsRefusedByName) {
    // The same length, so the import table stays intact.
    const std::string present = "KeReadStateTimer", absent = "KeReadStateTimex";
    auto at = std::search(image_.begin(), image_.end(), present.begin(), present.end());
    ASSERT_NE(at, image_.end());
    std::copy(absent.begin(), absent.end(), at);
    std::string error;
    EXPECT_EQ(Load(image_, &error), STATUS_PROCEDURE_NOT_FOUND);
    EXPECT_NE(error.find("ntoskrnl.exe!KeReadStateTimex"), std::string::npos) << error;
    EXPECT_EQ(kx::OutstandingPool().allocations, 0u);
}

TEST_F(DriverImageTest, DamagedImagesAreRefusedWithTheirCause) {
    const uint16_t windowsGui = 2;
    const uint32_t huge = 0x7FFFFFF0;
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        const char* cause;
    } cases[] = {
        {"truncated", [](Bytes& b) { b.resize(0x100); }, "truncated"},
        {"not a driver", [&](Bytes& b) { Patch(b, Optional() + 68, &windowsGui, 2); },
         "subsystem 2"},
        {"a section beyond the file",
         [&](Bytes& b) {
             Patch(b, Optional() + Word(b, ntHeaders_ + 20) % 0x10000 + 20, &huge, 4);
         },
         "outside the image or the file"},
        {"a relocation block overrunning the image",
         [&](Bytes& b) {
             // The first block's size (the base relocation directory is entry 5).
             uint32_t relocRva = Word(b, Optional() + 96 + 5 * 8);
             for (size_t s = 0; s < Word(b, ntHeaders_ + 4) >> 16; ++s) {
                 size_t header = Optional() + (Word(b, ntHeaders_ + 20) & 0xFFFF) + 40 * s;
                 uint32_t va = Word(b, header + 12), raw = Word(b, header + 20);
                 if (relocRva >= va && relocRva < va + Word(b, header + 8))
                     Patch(b, raw + (relocRva - va) + 4, &huge, 4);
             }
         },
         "damaged base relocations"},
    };
    for (const Case& c : cases) {
        Bytes damaged = image_;
        c.damage(damaged);
        std::string error;
        EXPECT_EQ(Load(damaged, &error), STATUS_INVALID_IMAGE_FORMAT) << c.what;
        EXPECT_NE(error.find(c.cause), std::string::npos) << c.what << ": " << error;
    }
}

void NTAPI Unused(PKDPC, PVOID, PVOID, PVOID) {}

TEST_F(DriverImageTest, UnloadingWithATimerThatRunsImageCodeIsCaught) {
    NTSTATUS status = STATUS_PENDING;
    std::string error;
    PDRIVER_OBJECT driver =
        kx::LoadDriverImage(KORVAX_DRIVER_IMAGE_FILE, u"korvaxser", &status, &error);
    ASSERT_NE(driver, nullptr) << error;
    ASSERT_EQ(status, STATUS_SUCCESS);

    // A timer of ours whose DPC routine is the image's: it must not fire into an
    // unmapped image. (A routine of our own in the same timer is not the image's.)
    KTIMER timer, own;
    KDPC dpc, ownDpc;
    KeInitializeTimer(&timer);
    KeInitializeTimer(&own);
    KeInitializeDpc(
        &dpc, reinterpret_cast<PKDEFERRED_ROUTINE>(reinterpret_cast<void*>(driver->DriverUnload)),
        nullptr);
    KeInitializeDpc(&ownDpc, Unused, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -10'000'000;
    KeSetTimer(&timer, due, &dpc);
    KeSetTimer(&own, due, &ownDpc);

    kx::VerifierCapture capture;
    kx::UnloadDriver(driver);
    auto findings = capture.Findings();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].rule, kx::Rule::ImageUnloadedWithWorkQueued);
    EXPECT_NE(findings[0].detail.find("1 timer(s) set"), std::string::npos) << findings[0].detail;
    EXPECT_TRUE(KeCancelTimer(&own));
}

} // namespace
