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

// Every import of the image, by its own import directory: the slot the image calls
// through holds, once loaded, the kernel routine of that name, and that routine has
// the calling convention and argument bytes the DDK header declares (the decorated
// names in the Windows build's objects: __imp__Name@N stdcall, __imp_@Name@N
// fastcall, _Name cdecl).
TEST_F(DriverImageTest, EveryImportIsBoundWithTheCallingConventionTheDdkDeclares) {
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

    // The file's import directory (data directory 1): per module, the names (lookup
    // table) and the slots the code calls through (address table), as RVAs.
    auto offsetOf = [&](uint32_t rva) -> size_t {
        size_t sections = Optional() + (Word(image_, ntHeaders_ + 20) & 0xFFFF);
        for (size_t i = 0; i < (Word(image_, ntHeaders_ + 4) >> 16); ++i) {
            size_t header = sections + 40 * i;
            uint32_t va = Word(image_, header + 12), size = Word(image_, header + 8);
            if (rva >= va && rva < va + size)
                return Word(image_, header + 20) + (rva - va);
        }
        ADD_FAILURE() << "RVA " << rva << " is in no section";
        return 0;
    };
    struct Import {
        std::string module, name;
        uint32_t slot;
    };
    std::vector<Import> imports;
    for (size_t d = offsetOf(Word(image_, Optional() + 96 + 8));; d += 20) {
        uint32_t lookup = Word(image_, d), nameRva = Word(image_, d + 12),
                 slots = Word(image_, d + 16);
        if (nameRva == 0 && slots == 0)
            break;
        std::string module(image_.data() + offsetOf(nameRva));
        for (uint32_t i = 0;; ++i) {
            uint32_t thunk = Word(image_, offsetOf((lookup ? lookup : slots) + 4 * i));
            if (thunk == 0)
                break;
            imports.push_back({module, image_.data() + offsetOf(thunk) + 2, slots + 4 * i});
        }
    }
    ASSERT_GE(imports.size(), 60u);

    NTSTATUS status = STATUS_PENDING;
    std::string error;
    PDRIVER_OBJECT driver =
        kx::LoadDriverImage(KORVAX_DRIVER_IMAGE_FILE, u"korvaxser", &status, &error);
    ASSERT_NE(driver, nullptr) << error;
    ASSERT_NE(driver->DriverStart, nullptr);
    for (const Import& import : imports) {
        SCOPED_TRACE(import.module + "!" + import.name);
        ASSERT_LT(import.slot, driver->DriverSize);
        void* called;
        std::memcpy(&called, static_cast<char*>(driver->DriverStart) + import.slot, sizeof called);
        auto binding = kx::KernelExport(import.module, import.name);
        ASSERT_TRUE(binding.has_value());
        EXPECT_EQ(called, binding->address) << "the slot holds another routine";
        auto declaration = declared.find(import.name);
        ASSERT_NE(declaration, declared.end()) << "no declaration in the Windows build's objects";
        EXPECT_EQ(int(binding->convention), int(declaration->second.first));
        if (declaration->second.first != kx::CallingConvention::Cdecl) {
            EXPECT_EQ(binding->argumentBytes, declaration->second.second);
        }
    }
    kx::UnloadDriver(driver);
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
