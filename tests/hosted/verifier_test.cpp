// Each verifier rule, broken on purpose by a small misbehaving driver, is caught.
#include <kx/host.h>
#include <sim/bus.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace {

constexpr ULONG TestTag = 0x74736554;  // "Test"
constexpr ULONG OtherTag = 0x7268744F; // "Othr"

// Control codes of the misbehaving driver: each selects one fault.
enum Fault : ULONG {
    CompleteTwice = 1,
    CompletePending,
    CompleteWithCancelRoutine,
    PendingWithoutMark,
    MarkWithoutPending,
    LeaveRaisedIrql,
    // Returns 8 bytes of output whatever the caller's buffer holds (METHOD_BUFFERED).
    OverstateOutput = 0x100,
    // Well-behaved: marked pending, completed, STATUS_PENDING returned.
    PendAndComplete,
};

void NTAPI IgnoreCancel(PDEVICE_OBJECT, PIRP) {}

NTSTATUS NTAPI MisbehavingDispatch(PDEVICE_OBJECT, PIRP Irp) {
    ULONG fault = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    Irp->IoStatus.Status = fault == CompletePending ? STATUS_PENDING : STATUS_SUCCESS;
    KIRQL old;
    if (fault == CompleteWithCancelRoutine)
        IoSetCancelRoutine(Irp, IgnoreCancel);
    if (fault == MarkWithoutPending || fault == PendAndComplete)
        IoMarkIrpPending(Irp);
    if (fault == LeaveRaisedIrql)
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    if (fault == OverstateOutput)
        Irp->IoStatus.Information = 8;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    if (fault == CompleteTwice)
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return fault == PendingWithoutMark || fault == PendAndComplete ? STATUS_PENDING
                                                                   : STATUS_SUCCESS;
}

NTSTATUS NTAPI MisbehavingEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = MisbehavingDispatch;
    return STATUS_SUCCESS;
}

class VerifierTest : public ::testing::Test {
  protected:
    void SetUp() override {
        driver_ = kx::LoadDriver(MisbehavingEntry, u"Misbehaving", nullptr);
        ASSERT_EQ(IoCreateDevice(driver_, 64, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
                  STATUS_SUCCESS);
    }

    void TearDown() override {
        if (device_)
            IoDeleteDevice(device_);
        kx::UnloadDriver(driver_);
    }

    // Every fault completes the request before the dispatch routine returns. The
    // status block and event outlive the call: a completion at raised IRQL reaches
    // them only when this thread is back at PASSIVE_LEVEL.
    void Send(ULONG code) {
        KeInitializeEvent(&event_, NotificationEvent, FALSE);
        IoCallDriver(device_, IoBuildDeviceIoControlRequest(code, device_, nullptr, 0, nullptr, 0,
                                                            FALSE, &event_, &iosb_));
    }

    kx::Kernel kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    KEVENT event_;
    IO_STATUS_BLOCK iosb_{};
};

TEST_F(VerifierTest, CompletionRulesAreCaught) {
    struct Case {
        Fault fault;
        kx::Rule rule;
    } cases[] = {
        {CompleteTwice, kx::Rule::IrpCompletedTwice},
        {CompletePending, kx::Rule::IrpCompletedPending},
        {CompleteWithCancelRoutine, kx::Rule::IrpCompletedWithCancelRoutine},
        {PendingWithoutMark, kx::Rule::PendingNotMarked},
        {MarkWithoutPending, kx::Rule::MarkedNotPending},
        {LeaveRaisedIrql, kx::Rule::IrqlNotRestored},
    };
    for (const Case& c : cases) {
        kx::VerifierCapture capture;
        Send(c.fault);
        EXPECT_EQ(capture.Count(c.rule), 1u) << kx::RuleName(c.rule);
        EXPECT_EQ(capture.Findings().size(), 1u) << kx::RuleName(c.rule);
    }
    KeLowerIrql(PASSIVE_LEVEL);
}

void NTAPI KeepCancelSpinLock(PDEVICE_OBJECT, PIRP) {}

// Each routine at an IRQL above its documented maximum, and the pool and cancel
// rules, broken once each.
TEST_F(VerifierTest, IrqlPoolAndCancelRulesAreCaught) {
    auto atDispatch = [](std::function<void()> fn) {
        return [fn] { kx::RunAtIrql(DISPATCH_LEVEL, fn); };
    };
    auto atHigh = [](std::function<void()> fn) { return [fn] { kx::RunAtIrql(HIGH_LEVEL, fn); }; };
    KEVENT event, set;
    KSPIN_LOCK a, b;
    auto nested = [](PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
        KIRQL x, y;
        KeAcquireSpinLock(outer, &x);
        KeAcquireSpinLock(inner, &y);
        KeReleaseSpinLock(inner, y);
        KeReleaseSpinLock(outer, x);
    };
    KTIMER timer;
    IO_REMOVE_LOCK lock;
    WCHAR digits[12];
    UNICODE_STRING number{0, sizeof digits, digits};
    UNICODE_STRING empty{};
    struct Case {
        const char* what;
        std::function<void()> breakIt;
        kx::Rule rule;
    } cases[] = {
        {"ExReleaseFastMutex below APC_LEVEL",
         [] {
             FAST_MUTEX mutex;
             ExInitializeFastMutex(&mutex);
             ExAcquireFastMutex(&mutex);
             KeLowerIrql(PASSIVE_LEVEL);
             ExReleaseFastMutex(&mutex);
         },
         kx::Rule::FastMutexIrql},
        {"KeClearEvent", atHigh([&] { KeClearEvent(&event); }), kx::Rule::IrqlTooHigh},
        {"KeResetEvent", atHigh([&] { KeResetEvent(&event); }), kx::Rule::IrqlTooHigh},
        {"KeInitializeTimerEx", atHigh([&] { KeInitializeTimerEx(&timer, NotificationTimer); }),
         kx::Rule::IrqlTooHigh},
        {"IoInitializeRemoveLockEx",
         atDispatch([&] { IoInitializeRemoveLockEx(&lock, TestTag, 0, 0, sizeof lock); }),
         kx::Rule::IrqlTooHigh},
        {"RtlIntegerToUnicodeString",
         atDispatch([&] { RtlIntegerToUnicodeString(42, 10, &number); }), kx::Rule::IrqlTooHigh},
        {"RtlFreeUnicodeString", atDispatch([&] { RtlFreeUnicodeString(&empty); }),
         kx::Rule::IrqlTooHigh},
        {"DbgPrint %ws", atDispatch([] { DbgPrint("%ws\n", u"port"); }), kx::Rule::IrqlTooHigh},
        {"DbgPrint %wZ", atDispatch([&] { DbgPrint("%wZ\n", &empty); }), kx::Rule::IrqlTooHigh},
        {"paged pool freed at DISPATCH_LEVEL",
         [&] {
             PVOID p = ExAllocatePoolWithTag(PagedPool, 16, TestTag);
             kx::RunAtIrql(DISPATCH_LEVEL, [p] { ExFreePool(p); });
         },
         kx::Rule::IrqlTooHigh},
        {"KeWaitForSingleObject at DISPATCH_LEVEL without a time-out",
         atDispatch([&] { KeWaitForSingleObject(&set, Executive, KernelMode, FALSE, nullptr); }),
         kx::Rule::WaitAtRaisedIrql},
        {"pool freed twice",
         [] {
             PVOID p = ExAllocatePoolWithTag(NonPagedPool, 32, TestTag);
             ExFreePool(p);
             ExFreePool(p);
         },
         kx::Rule::PoolDoubleFree},
        {"pool that was never allocated freed",
         [] {
             int onStack = 0;
             ExFreePool(&onStack);
         },
         kx::Rule::PoolBadFree},
        {"zero-byte allocation",
         [] { ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 0, TestTag)); },
         kx::Rule::ZeroSizeAllocation},
        {"cancel routine keeps the cancel spin lock",
         [this] {
             PIRP irp = IoAllocateIrp(1, FALSE);
             IoSetNextIrpStackLocation(irp); // as the driver that holds it sees it
             IoSetCancelRoutine(irp, KeepCancelSpinLock);
             IoCancelIrp(irp);
             IoFreeIrp(irp);
         },
         kx::Rule::CancelRoutineReturn},
        {"Information beyond the output buffer",
         [this] {
             KEVENT done;
             IO_STATUS_BLOCK iosb{};
             char output[4];
             KeInitializeEvent(&done, NotificationEvent, FALSE);
             IoCallDriver(device_, IoBuildDeviceIoControlRequest(OverstateOutput, device_, nullptr,
                                                                 0, output, sizeof output, FALSE,
                                                                 &done, &iosb));
         },
         kx::Rule::OutputOverrun},
        {"spin lock released that was never acquired",
         atDispatch([&] { KeReleaseSpinLock(&a, DISPATCH_LEVEL); }), kx::Rule::SpinLockNotHeld},
        {"spin lock released below its acquiring IRQL",
         [&] {
             KIRQL old;
             KeAcquireSpinLock(&a, &old);
             KeLowerIrql(PASSIVE_LEVEL);
             KeReleaseSpinLock(&a, PASSIVE_LEVEL);
         },
         kx::Rule::SpinLockWrongIrql},
        // The opposite order on another thread never deadlocks here, but could.
        {"spin locks taken in both orders",
         [&] {
             nested(&a, &b);
             std::thread([&] { nested(&b, &a); }).join();
         },
         kx::Rule::LockOrderInversion},
    };
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeEvent(&set, NotificationEvent, TRUE);
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    for (const Case& c : cases) {
        kx::VerifierCapture capture;
        c.breakIt();
        EXPECT_EQ(capture.Count(c.rule), 1u) << c.what;
        EXPECT_EQ(capture.Findings().size(), 1u) << c.what;
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << c.what;
    }
    {
        kx::VerifierCapture capture;
        kx::RunAtIrql(DISPATCH_LEVEL, [] {
            FAST_MUTEX mutex;
            ExInitializeFastMutex(&mutex);
            ExAcquireFastMutex(&mutex);
            ExReleaseFastMutex(&mutex);
        });
        EXPECT_EQ(capture.Count(kx::Rule::FastMutexIrql), 2u) << "both calls above APC_LEVEL";
    }
    // Within their limits the same routines are quiet; a wait that only polls may
    // be made at DISPATCH_LEVEL.
    kx::VerifierCapture capture;
    kx::RunAtIrql(DISPATCH_LEVEL, [&] {
        LARGE_INTEGER zero{};
        KeWaitForSingleObject(&set, Executive, KernelMode, FALSE, &zero);
        KeClearEvent(&event);
        KeInitializeTimerEx(&timer, NotificationTimer);
        DbgPrint("%d\n", 1);
    });
    RtlIntegerToUnicodeString(42, 10, &number);
    EXPECT_TRUE(capture.Findings().empty());
}

struct Recursion {
    PDEVICE_OBJECT device = nullptr;
    int limit = 0;
    int sends = 0;
    bool cleared = true; // every location passed down came back cleared
};

// Sends the request down again from its completion routine, as a driver that
// sends a transfer piece by piece without leaving the completion does. The first
// send is marked pending and completed by its dispatch routine; the later ones
// complete at once, unmarked. Each reads back the parameters it passed.
NTSTATUS NTAPI SendAgain(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    auto* recursion = static_cast<Recursion*>(Context);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    recursion->cleared = recursion->cleared && next->Parameters.Others.Argument1 == nullptr &&
                         next->Parameters.Others.Argument4 == nullptr && next->MinorFunction == 0 &&
                         next->FileObject == nullptr;
    if (recursion->sends < recursion->limit) {
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        next->MinorFunction = 1;
        next->Parameters.DeviceIoControl.IoControlCode =
            recursion->sends++ == 0 ? ULONG(PendAndComplete) : ~0u;
        next->Parameters.Others.Argument4 = Irp;
        IoSetCompletionRoutine(Irp, SendAgain, recursion, TRUE, TRUE, TRUE);
        IoCallDriver(recursion->device, Irp);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The IRP comes back to the same stack location before the dispatch routine of the
// first call has returned: each return is held against its own call's mark, and
// each completion routine that reads its request's parameters back finds zeros.
// Recursion through the I/O path is caught by its depth, once, before the kernel
// stack would overflow; a few nested sends are not.
TEST_F(VerifierTest, AnIrpSentAgainFromItsCompletionIsCheckedCallByCallAndCaughtWhenTooDeep) {
    for (int limit : {4, 40}) {
        kx::VerifierCapture capture;
        Recursion recursion{device_, limit};
        PIRP irp = IoAllocateIrp(device_->StackSize, FALSE);
        SendAgain(nullptr, irp, &recursion);
        EXPECT_EQ(recursion.sends, limit);
        EXPECT_TRUE(recursion.cleared) << limit;
        EXPECT_EQ(capture.Count(kx::Rule::CallDriverTooDeep), limit > 8 ? 1u : 0u) << limit;
        EXPECT_EQ(capture.Findings().size(), limit > 8 ? 1u : 0u) << limit;
        IoFreeIrp(irp);
    }
}

TEST_F(VerifierTest, RemoveLockHoldAtDeletionAndUnknownReleaseAreCaught) {
    auto* lock = static_cast<PIO_REMOVE_LOCK>(device_->DeviceExtension);
    IoInitializeRemoveLock(lock, 0, 0, 0);
    int tag = 0;
    ASSERT_EQ(IoAcquireRemoveLock(lock, &tag), STATUS_SUCCESS);
    kx::VerifierCapture capture;
    IoReleaseRemoveLock(lock, &capture);
    EXPECT_EQ(capture.Count(kx::Rule::RemoveLockNotHeld), 1u);
    IoDeleteDevice(device_);
    device_ = nullptr;
    EXPECT_EQ(capture.Count(kx::Rule::RemoveLockLeak), 1u);
}

TEST_F(VerifierTest, DeletingADeviceWithARequestInsideIsCaught) {
    sim::ParentBus bus;
    sim::ModemPdo& pdo = bus.CreateModemPdo();
    pdo.ScriptNext(sim::Response::Pend());
    PIRP irp = IoAllocateIrp(pdo.Device()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    EXPECT_EQ(IoCallDriver(pdo.Device(), irp), STATUS_PENDING);
    kx::VerifierCapture capture;
    bus.DeletePdo(pdo);
    EXPECT_EQ(capture.Count(kx::Rule::DeviceDeletedBusy), 1u);
    IoFreeIrp(irp);
    EXPECT_EQ(capture.Count(kx::Rule::IrpFreedWhileInUse), 1u);
}

TEST(VerifierDeathTest, AnUncapturedFindingStopsWithTheRuleAndTheIrp) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            kx::Kernel kernel;
            PDRIVER_OBJECT driver = kx::LoadDriver(MisbehavingEntry, u"Misbehaving", nullptr);
            PDEVICE_OBJECT device;
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            PIRP irp = IoBuildDeviceIoControlRequest(CompleteTwice, device, nullptr, 0, nullptr, 0,
                                                     FALSE, nullptr, nullptr);
            IoCallDriver(device, irp);
        },
        "VERIFIER: IRP completed twice: IRP 0x");
}

} // namespace
