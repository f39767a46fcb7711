// Special pool: overruns, underruns and uses after free of pool blocks and IRPs
// fault where they happen and are reported as the verifier reports them; freed
// addresses are not handed out again at once, so stale pointers are still caught
// after other allocations; frees with the wrong tag are caught.
#include <kx/host.h>

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr ULONG TestTag = 0x74736554;  // "Test"
constexpr ULONG OtherTag = 0x7268744F; // "Othr"

// ExAllocatePoolWithTag routine (WDK): blocks smaller than a page are aligned to
// 8 bytes on 32-bit systems and to 16 bytes on 64-bit ones.
constexpr size_t Alignment = sizeof(void*) == 4 ? 8 : 16;

volatile char* Bytes(void* p) {
    return static_cast<volatile char*>(p);
}

// Each fault stops the process with the verifier's message naming the block. The
// kernel runs threads, so each death test runs in a freshly started process.
TEST(SpecialPoolDeathTest, OverrunUnderrunAndUseAfterFreeStopWithTheBlock) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* what;
        kx::SpecialPoolGuard guard;
        void (*breakIt)();
        const char* message;
    } cases[] = {
        {"a write just past a block that fills its alignment", kx::SpecialPoolGuard::End,
         [] {
             Bytes(ExAllocatePoolWithTag(NonPagedPool, 4 * Alignment, TestTag))[4 * Alignment] = 1;
         },
         "VERIFIER: special pool: overrun of pool block 0x[0-9a-f]+ \\(tag Test, (32|64) bytes\\): "
         "write 1 byte\\(s\\) past its end"},
        // 13 bytes take 16 on both systems: the first byte past that faults.
        {"a read past the alignment slack", kx::SpecialPoolGuard::End,
         [] { (void)Bytes(ExAllocatePoolWithTag(PagedPool, 13, TestTag))[16]; },
         "overrun of pool block 0x[0-9a-f]+ \\(tag Test, 13 bytes\\): read 4 byte\\(s\\) past"},
        {"a write before the block, the guard before it", kx::SpecialPoolGuard::Start,
         [] { Bytes(ExAllocatePoolWithTag(NonPagedPool, 40, TestTag))[-2] = 1; },
         "underrun of pool block 0x[0-9a-f]+ \\(tag Test, 40 bytes\\): write 2 byte\\(s\\) before"},
        {"a read of a freed block", kx::SpecialPoolGuard::End,
         [] {
             PVOID p = ExAllocatePoolWithTag(NonPagedPool, 24, TestTag);
             ExFreePoolWithTag(p, TestTag);
             (void)Bytes(p)[8];
         },
         "use after free of pool block 0x[0-9a-f]+ \\(tag Test, 24 bytes\\): read at offset 8"},
        {"a read of a freed IRP", kx::SpecialPoolGuard::End,
         [] {
             PIRP irp = IoAllocateIrp(2, FALSE);
             IoFreeIrp(irp);
             (void)*static_cast<volatile NTSTATUS*>(&irp->IoStatus.Status);
         },
         "use after free of IRP 0x[0-9a-f]+ \\(tag Irp , [0-9]+ bytes\\): read at offset"},
    };
    for (const Case& c : cases) {
        EXPECT_DEATH(
            {
                kx::KernelOptions options;
                options.specialPool = c.guard;
                kx::Kernel kernel(options);
                c.breakIt();
            },
            c.message)
            << c.what;
    }
}

class SpecialPoolTest : public ::testing::Test {
  protected:
    kx::Kernel kernel_;
};

// The slack between a block's end and its alignment does not fault; a write there
// is caught when the block is freed (SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION).
TEST_F(SpecialPoolTest, AWriteIntoTheAlignmentSlackIsCaughtAtTheFree) {
    kx::VerifierCapture capture;
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 13, TestTag);
    Bytes(p)[14] = 0;
    ExFreePool(p);
    ASSERT_EQ(capture.Count(kx::Rule::KernelBugCheck), 1u);
    EXPECT_NE(capture.Findings()[0].detail.find("SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION"),
              std::string::npos);
    EXPECT_NE(capture.Findings()[0].detail.find("2 past its end"), std::string::npos)
        << capture.Findings()[0].detail;
    PVOID clean = ExAllocatePoolWithTag(NonPagedPool, 13, TestTag);
    Bytes(clean)[12] = 0;
    ExFreePool(clean);
    EXPECT_EQ(capture.Findings().size(), 1u);
}

// A freed block, or a freed IRP, keeps its address out of use while other blocks
// and IRPs come and go: a second free, or a completion, through the stale pointer
// is caught instead of hitting the newer one.
TEST_F(SpecialPoolTest, StalePointersAreCaughtAfterOthersWereAllocated) {
    kx::VerifierCapture capture;
    PVOID stale = ExAllocatePoolWithTag(NonPagedPool, 32, TestTag);
    ExFreePool(stale);
    PVOID newer[8];
    for (PVOID& p : newer) {
        p = ExAllocatePoolWithTag(NonPagedPool, 32, TestTag);
        EXPECT_NE(p, stale);
    }
    ExFreePool(stale);
    EXPECT_EQ(capture.Count(kx::Rule::PoolDoubleFree), 1u);
    EXPECT_EQ(kx::OutstandingPool(TestTag).allocations, 8u) << "no newer block was freed";
    for (PVOID p : newer)
        ExFreePool(p);

    PIRP freed = IoAllocateIrp(1, FALSE);
    IoFreeIrp(freed);
    PIRP live = IoAllocateIrp(1, FALSE);
    EXPECT_NE(live, freed);
    IoFreeIrp(freed);
    EXPECT_EQ(capture.Count(kx::Rule::IrpNotLive), 1u);
    IoCompleteRequest(freed, IO_NO_INCREMENT);
    EXPECT_EQ(capture.Count(kx::Rule::IrpCompletedTwice), 1u);
    EXPECT_EQ(kx::OutstandingIrps(), 1u) << "the newer IRP is untouched";
    IoFreeIrp(live);
    EXPECT_EQ(capture.Findings().size(), 3u);
}

// Bug Check 0xC2: BAD_POOL_CALLER (WDK), 0x0A: pool freed with a tag other than
// the allocator's. ExFreePool names no tag; the block is freed either way.
TEST_F(SpecialPoolTest, AFreeWithAnotherTagIsCaught) {
    kx::VerifierCapture capture;
    ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, TestTag), OtherTag);
    EXPECT_EQ(capture.Count(kx::Rule::PoolFreeTagMismatch), 1u);
    EXPECT_EQ(kx::OutstandingPool(TestTag).allocations, 0u);
    ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, TestTag), TestTag);
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, OtherTag));
    EXPECT_EQ(capture.Findings().size(), 1u);
}

} // namespace
