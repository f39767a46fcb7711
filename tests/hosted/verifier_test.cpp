// Each verifier rule, broken on purpose by a small misbehaving driver, is caught.
#include <kx/host.h>
#include <sim/bus.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

// Control codes of the misbehaving driver: each selects one fault.
constexpr ULONG TestTag = 0x74736554;  // "Test"
constexpr ULONG OtherTag = 0x7268744F; // "Othr"

enum Fault : ULONG {
    CompleteTwice = 1,
    CompletePending,
    CompleteWithCancelRoutine,
    PendingWithoutMark,
    MarkWithoutPending,
    LeaveRaisedIrql,
};

void NTAPI IgnoreCancel(PDEVICE_OBJECT, PIRP) {}

NTSTATUS NTAPI MisbehavingDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    ULONG fault = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    switch (fault) {
    case CompleteTwice:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case CompletePending:
        Irp->IoStatus.Status = STATUS_PENDING;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case CompleteWithCancelRoutine:
        IoSetCancelRoutine(Irp, IgnoreCancel);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case PendingWithoutMark:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    case MarkWithoutPending:
        IoMarkIrpPending(Irp);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case LeaveRaisedIrql: {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI MisbehavingEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = MisbehavingDispatch;
    return STATUS_SUCCESS;
}

class VerifierTest : public ::testing::Test {
  protected:
    void SetUp() override {
        NTSTATUS status;
        driver_ = kx::LoadDriver(MisbehavingEntry, u"Misbehaving", &status);
        ASSERT_EQ(IoCreateDevice(driver_, 64, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
                  STATUS_SUCCESS);
    }

    void TearDown() override {
        if (device_)
            IoDeleteDevice(device_);
        kx::UnloadDriver(driver_);
    }

    NTSTATUS Send(ULONG code) {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, device_, nullptr, 0, nullptr, 0, FALSE,
                                                 &event, &iosb);
        NTSTATUS status = IoCallDriver(device_, irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        (void)status;
        return iosb.Status;
    }

    kx::Kernel kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
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
    };
    for (const Case& c : cases) {
        kx::VerifierCapture capture;
        Send(c.fault);
        EXPECT_EQ(capture.Count(c.rule), 1u) << kx::RuleName(c.rule);
        EXPECT_EQ(capture.Findings().size(), 1u) << kx::RuleName(c.rule);
    }
}

TEST_F(VerifierTest, DispatchReturningAtRaisedIrqlIsCaught) {
    kx::VerifierCapture capture;
    Send(LeaveRaisedIrql);
    EXPECT_TRUE(capture.Has(kx::Rule::IrqlNotRestored));
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(VerifierTest, WaitAtDispatchLevelIsCaughtButPollingIsNot) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    kx::VerifierCapture capture;
    kx::RunAtIrql(DISPATCH_LEVEL, [&] {
        LARGE_INTEGER zero{};
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
    });
    EXPECT_FALSE(capture.Has(kx::Rule::WaitAtRaisedIrql));
    kx::RunAtIrql(DISPATCH_LEVEL,
                  [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
    EXPECT_TRUE(capture.Has(kx::Rule::WaitAtRaisedIrql));
}

TEST_F(VerifierTest, SpinLockMisuseIsCaught) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    kx::VerifierCapture capture;

    kx::RunAtIrql(DISPATCH_LEVEL, [&] { KeReleaseSpinLock(&lock, DISPATCH_LEVEL); });
    EXPECT_EQ(capture.Count(kx::Rule::SpinLockNotHeld), 1u);

    // Held by another processor: releasing it here is still a release of a lock not held.
    KEVENT held, done;
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    std::thread other([&] {
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
        KeLowerIrql(PASSIVE_LEVEL);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    });
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
    kx::RunAtIrql(DISPATCH_LEVEL, [&] { KeReleaseSpinLock(&lock, DISPATCH_LEVEL); });
    EXPECT_EQ(capture.Count(kx::Rule::SpinLockNotHeld), 2u);
    KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    other.join();
    EXPECT_EQ(lock, 0u) << "the owner's release still frees the lock";

    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    KeLowerIrql(PASSIVE_LEVEL);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    EXPECT_EQ(capture.Count(kx::Rule::SpinLockWrongIrql), 1u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(VerifierTest, LockOrderInversionIsCaught) {
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    kx::VerifierCapture capture;
    KIRQL first, second;
    KeAcquireSpinLock(&a, &first);
    KeAcquireSpinLock(&b, &second);
    KeReleaseSpinLock(&b, second);
    KeReleaseSpinLock(&a, first);
    EXPECT_FALSE(capture.Has(kx::Rule::LockOrderInversion));

    // The opposite order on another thread never deadlocks here, but could.
    std::thread other([&] {
        KIRQL x, y;
        KeAcquireSpinLock(&b, &x);
        KeAcquireSpinLock(&a, &y);
        KeReleaseSpinLock(&a, y);
        KeReleaseSpinLock(&b, x);
    });
    other.join();
    EXPECT_EQ(capture.Count(kx::Rule::LockOrderInversion), 1u);
}

TEST_F(VerifierTest, FastMutexAboveApcLevelIsCaught) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    kx::VerifierCapture capture;
    kx::RunAtIrql(DISPATCH_LEVEL, [&] {
        ExAcquireFastMutex(&mutex);
        ExReleaseFastMutex(&mutex);
    });
    EXPECT_TRUE(capture.Has(kx::Rule::FastMutexIrql));
}

TEST_F(VerifierTest, PoolDoubleAndForeignFreesAreCaught) {
    kx::VerifierCapture capture;
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 32, TestTag);
    ASSERT_NE(p, nullptr);
    ExFreePool(p);
    ExFreePool(p);
    EXPECT_EQ(capture.Count(kx::Rule::PoolDoubleFree), 1u);
    int onStack = 0;
    ExFreePool(&onStack);
    EXPECT_EQ(capture.Count(kx::Rule::PoolBadFree), 1u);
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

PVOID leakedPool;
PIRP leakedIrp;

NTSTATUS NTAPI LeakyEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    leakedPool = ExAllocatePoolWithTag(NonPagedPool, 100, TestTag);
    leakedIrp = IoAllocateIrp(1, FALSE);
    return STATUS_SUCCESS;
}

TEST_F(VerifierTest, PoolAndIrpLeaksAreCaughtAtUnload) {
    kx::VerifierCapture capture;
    PDRIVER_OBJECT leaky = kx::LoadDriver(LeakyEntry, u"Leaky", nullptr);
    ASSERT_NE(leaky, nullptr);
    kx::UnloadDriver(leaky);
    EXPECT_EQ(capture.Count(kx::Rule::PoolLeak), 1u);
    EXPECT_EQ(capture.Count(kx::Rule::IrpLeak), 1u);
    // Give back what the driver leaked, so the shutdown check finds nothing.
    ExFreePool(leakedPool);
    IoFreeIrp(leakedIrp);
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

TEST(FaultInjectionTest, TheNthAllocationOfATagFails) {
    kx::Kernel kernel;
    kx::ArmFault({kx::AllocationKind::Pool, 2, TestTag, std::nullopt});
    PVOID other = ExAllocatePoolWithTag(NonPagedPool, 8, OtherTag);
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, TestTag);
    PVOID second = ExAllocatePoolWithTag(NonPagedPool, 8, TestTag);
    PVOID third = ExAllocatePoolWithTag(NonPagedPool, 8, TestTag);
    EXPECT_NE(other, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    kx::ArmFault({kx::AllocationKind::Irp, 1, std::nullopt, std::nullopt});
    EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
    PIRP irp = IoAllocateIrp(2, FALSE);
    EXPECT_NE(irp, nullptr);
    IoFreeIrp(irp);
    ExFreePool(other);
    ExFreePool(first);
    ExFreePool(third);
    EXPECT_EQ(kx::OutstandingPool().allocations, 0u);
}

} // namespace
