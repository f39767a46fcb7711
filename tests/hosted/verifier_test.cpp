// Each verifier rule, broken on purpose by a small misbehaving driver, is caught.
#include <kx/host.h>
#include <sim/bus.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <utility>

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
    // Keeps the IRP, unmarked, and returns STATUS_SUCCESS (the test completes it).
    KeepAndReturnSuccess,
    // Completes with STATUS_SUCCESS and returns STATUS_UNSUCCESSFUL.
    ReturnAnotherStatus,
    // Completes with STATUS_INVALID_PARAMETER and returns it.
    FailAtOnce,
    // Returns 8 bytes of output whatever the caller's buffer holds (METHOD_BUFFERED).
    OverstateOutput = 0x100,
    // Well-behaved: marked pending, completed, STATUS_PENDING returned.
    PendAndComplete,
};

void NTAPI IgnoreCancel(PDEVICE_OBJECT, PIRP) {}

PIRP kept = nullptr; // the IRP KeepAndReturnSuccess holds

NTSTATUS NTAPI MisbehavingDispatch(PDEVICE_OBJECT, PIRP Irp) {
    ULONG fault = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    if (fault == KeepAndReturnSuccess) {
        kept = Irp;
        return STATUS_SUCCESS;
    }
    if (fault == FailAtOnce) {
        Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
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
    if (fault == ReturnAnotherStatus)
        return STATUS_UNSUCCESSFUL;
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
        {KeepAndReturnSuccess, kx::Rule::DispatchReturnedWithIrpOutstanding},
        {ReturnAnotherStatus, kx::Rule::DispatchStatusMismatch},
        {LeaveRaisedIrql, kx::Rule::IrqlNotRestored}, // last: the thread stays raised
    };
    for (const Case& c : cases) {
        kx::VerifierCapture capture;
        Send(c.fault);
        if (kept != nullptr) {
            IoCompleteRequest(std::exchange(kept, nullptr), IO_NO_INCREMENT);
            KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr);
        }
        EXPECT_EQ(capture.Count(c.rule), 1u) << kx::RuleName(c.rule);
        EXPECT_EQ(capture.Findings().size(), 1u) << kx::RuleName(c.rule);
    }
    KeLowerIrql(PASSIVE_LEVEL);
}

// A filter above the misbehaving driver, passing each request down in one of the
// ways a driver may, and once keeping a request that came back.
enum class Filtering { Skip, RoutineChangesStatus, WaitAndComplete, KeepWhatCameBack };
Filtering filtering = Filtering::Skip;
PDEVICE_OBJECT filterLower = nullptr;

NTSTATUS NTAPI ChangeStatus(PDEVICE_OBJECT, PIRP Irp, PVOID) {
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    Irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SignalBack(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI KeepBack(PDEVICE_OBJECT, PIRP Irp, PVOID) {
    kept = Irp;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT, PIRP Irp) {
    if (filtering == Filtering::Skip) {
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(filterLower, Irp);
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    KEVENT back;
    KeInitializeEvent(&back, NotificationEvent, FALSE);
    if (filtering == Filtering::RoutineChangesStatus)
        IoSetCompletionRoutine(Irp, ChangeStatus, nullptr, TRUE, TRUE, TRUE);
    else if (filtering == Filtering::WaitAndComplete)
        IoSetCompletionRoutine(Irp, SignalBack, &back, TRUE, TRUE, TRUE);
    else
        IoSetCompletionRoutine(Irp, KeepBack, nullptr, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(filterLower, Irp);
    if (filtering != Filtering::WaitAndComplete)
        return status;
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr);
    status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FilterDispatch;
    return STATUS_SUCCESS;
}

// A request passed down returns what IoCallDriver returned, or the status the
// filter completed it with itself; only a filter that keeps the request that came
// back and returns a status anyway is caught. Completions below come at once or
// later (pending), with success or failure.
TEST_F(VerifierTest, ADispatchReturnIsHeldAgainstHowTheRequestWasPassedDownOrCompleted) {
    PDRIVER_OBJECT filterDriver = kx::LoadDriver(FilterEntry, u"Filter", nullptr);
    PDEVICE_OBJECT filter = nullptr;
    ASSERT_EQ(IoCreateDevice(filterDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter),
              STATUS_SUCCESS);
    filterLower = IoAttachDeviceToDeviceStack(filter, device_);
    const struct {
        Filtering filtering;
        Fault below;
        size_t findings;
    } rows[] = {
        {Filtering::Skip, FailAtOnce, 0},
        {Filtering::Skip, PendAndComplete, 0},
        {Filtering::RoutineChangesStatus, FailAtOnce, 0},
        {Filtering::RoutineChangesStatus, PendAndComplete, 0},
        {Filtering::WaitAndComplete, FailAtOnce, 0},
        {Filtering::WaitAndComplete, PendAndComplete, 0},
        {Filtering::KeepWhatCameBack, FailAtOnce, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.filtering) * 100 + static_cast<int>(row.below));
        kx::VerifierCapture capture;
        filtering = row.filtering;
        KeInitializeEvent(&event_, NotificationEvent, FALSE);
        NTSTATUS status =
            IoCallDriver(filter, IoBuildDeviceIoControlRequest(row.below, filter, nullptr, 0,
                                                               nullptr, 0, FALSE, &event_, &iosb_));
        if (kept != nullptr)
            IoCompleteRequest(std::exchange(kept, nullptr), IO_NO_INCREMENT);
        else if (status == STATUS_PENDING)
            KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(capture.Count(kx::Rule::DispatchReturnedWithIrpOutstanding), row.findings);
        EXPECT_EQ(capture.Findings().size(), row.findings);
    }
    IoDetachDevice(device_);
    IoDeleteDevice(filter);
    kx::UnloadDriver(filterDriver);
}

void NTAPI KeepCancelSpinLock(PDEVICE_OBJECT, PIRP) {}

NTSTATUS NTAPI FreeInItsCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID) {
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Each routine at an IRQL above its documented maximum, and the pool, cancel, lock,
// device-stack, IRP and power-state rules, broken once each.
TEST_F(VerifierTest, IrqlPoolCancelLockDeviceAndIrpRulesAreCaught) {
    auto atDispatch = [](std::function<void()> fn) {
        return [fn] { kx::RunAtIrql(DISPATCH_LEVEL, fn); };
    };
    auto atHigh = [](std::function<void()> fn) { return [fn] { kx::RunAtIrql(HIGH_LEVEL, fn); }; };
    KEVENT event, set;
    KSPIN_LOCK a, b, d, e, f;
    for (PKSPIN_LOCK lock : {&a, &b, &d, &e, &f})
        KeInitializeSpinLock(lock);
    auto nested = [](PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
        KIRQL x, y;
        KeAcquireSpinLock(outer, &x);
        KeAcquireSpinLock(inner, &y);
        KeReleaseSpinLock(inner, y);
        KeReleaseSpinLock(outer, x);
    };
    auto nestedOnThread = [nested](PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
        std::thread([=] { nested(outer, inner); }).join();
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
        // No two of the threads ever hold the same two locks in opposite orders,
        // yet the three together can deadlock.
        {"three locks taken in a cycle on three threads",
         [&] {
             nestedOnThread(&d, &e);
             nestedOnThread(&e, &f);
             nestedOnThread(&f, &d);
         },
         kx::Rule::LockOrderInversion},
        {"spin lock acquired again by its owner",
         [&] {
             KIRQL x, y;
             KeAcquireSpinLock(&a, &x);
             KeAcquireSpinLock(&a, &y);
             KeReleaseSpinLock(&a, x);
         },
         kx::Rule::LockRecursion},
        {"fast mutex acquired again by its owner",
         [] {
             FAST_MUTEX mutex;
             ExInitializeFastMutex(&mutex);
             ExAcquireFastMutex(&mutex);
             ExAcquireFastMutex(&mutex);
             ExReleaseFastMutex(&mutex);
         },
         kx::Rule::LockRecursion},
        {"fast mutex released by a thread that does not own it",
         [] {
             FAST_MUTEX mutex;
             ExInitializeFastMutex(&mutex);
             ExAcquireFastMutex(&mutex);
             std::thread([&] {
                 KIRQL old;
                 KeRaiseIrql(APC_LEVEL, &old);
                 ExReleaseFastMutex(&mutex);
                 KeLowerIrql(old);
             }).join();
             ExReleaseFastMutex(&mutex);
         },
         kx::Rule::FastMutexNotOwned},
        {"device deleted while attached to another",
         [this] {
             PDEVICE_OBJECT upper;
             IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
             IoAttachDeviceToDeviceStack(upper, device_);
             ObReferenceObject(upper); // keeps its memory for the detach below
             IoDeleteDevice(upper);
             IoDetachDevice(device_);
             ObDereferenceObject(upper);
         },
         kx::Rule::DeviceStillAttached},
        {"driver's own IRP completed past its last location",
         [this] {
             PIRP irp = IoAllocateIrp(device_->StackSize, FALSE);
             IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
             IoCallDriver(device_, irp); // completed at once, no completion routine
             IoFreeIrp(irp);
         },
         kx::Rule::DriverIrpCompletedToTop},
        {"IRP sent with no stack location left",
         [this] {
             PIRP irp = IoAllocateIrp(1, FALSE);
             IoSetNextIrpStackLocation(irp); // its one location taken by its owner
             IoCallDriver(device_, irp);
             IoFreeIrp(irp);
         },
         kx::Rule::NoMoreStackLocations},
        {"IRP that was never allocated freed",
         [] {
             alignas(8) char memory[IoSizeOfIrp(1)];
             auto* irp = reinterpret_cast<PIRP>(memory);
             IoInitializeIrp(irp, sizeof memory, 1);
             IoFreeIrp(irp);
         },
         kx::Rule::IrpNotLive},
        // The I/O manager frees what it built for a thread, once completed.
        {"threaded IRP freed before it is sent",
         [this] {
             IoFreeIrp(IoBuildDeviceIoControlRequest(FailAtOnce, device_, nullptr, 0, nullptr, 0,
                                                     FALSE, &event_, &iosb_));
         },
         kx::Rule::ThreadedIrpFreed},
        {"threaded IRP freed by a completion routine",
         [this] {
             PIRP irp = IoBuildDeviceIoControlRequest(FailAtOnce, device_, nullptr, 0, nullptr, 0,
                                                      FALSE, &event_, &iosb_);
             IoSetCompletionRoutine(irp, FreeInItsCompletion, nullptr, TRUE, TRUE, TRUE);
             IoCallDriver(device_, irp);
         },
         kx::Rule::ThreadedIrpFreed},
        {"DO_POWER_PAGABLE set above a device that has cleared it",
         [this] {
             PDEVICE_OBJECT upper;
             IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
             IoAttachDeviceToDeviceStack(upper, device_);
             upper->Flags |= DO_POWER_PAGABLE;
             PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
             PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
             next->MajorFunction = IRP_MJ_POWER;
             next->MinorFunction = IRP_MN_POWER_SEQUENCE;
             IoSetCompletionRoutine(irp, FreeInItsCompletion, nullptr, TRUE, TRUE, TRUE);
             PoCallDriver(upper, irp);
             IoDetachDevice(device_);
             IoDeleteDevice(upper);
         },
         kx::Rule::PowerPagableAboveNonPagable},
        {"KeSetEvent with Wait TRUE at DISPATCH_LEVEL",
         [this] {
             kx::RunAtIrql(DISPATCH_LEVEL, [this] { KeSetEvent(&event_, IO_NO_INCREMENT, TRUE); });
         },
         kx::Rule::IrqlTooHigh},
        {"PoSetPowerState of D3 at DISPATCH_LEVEL",
         [this] {
             POWER_STATE d3;
             d3.DeviceState = PowerDeviceD3;
             kx::RunAtIrql(DISPATCH_LEVEL, [&] { PoSetPowerState(device_, DevicePowerState, d3); });
         },
         kx::Rule::IrqlTooHigh},
    };
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeEvent(&set, NotificationEvent, TRUE);
    for (const Case& c : cases) {
        kx::VerifierCapture capture;
        KeInitializeEvent(&event_, NotificationEvent, FALSE);
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

// Windows' own behaviour where a driver might expect another: KeSetEvent with Wait
// TRUE returns at DISPATCH_LEVEL and the wait that follows restores the IRQL; D0
// may be announced at DISPATCH_LEVEL; a request built by the I/O manager that
// fails at once, or that cannot be built, leaves the caller's status block and
// event as they were.
TEST_F(VerifierTest, WindowsBehaviourAtTheEdgesOfSetEventPowerStateAndBuiltRequests) {
    kx::VerifierCapture capture;
    KEVENT other;
    KeInitializeEvent(&other, NotificationEvent, TRUE);
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    KeSetEvent(&event_, IO_NO_INCREMENT, TRUE);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(KeWaitForSingleObject(&other, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(KeReadStateEvent(&event_), 1);

    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    kx::RunAtIrql(DISPATCH_LEVEL, [&] { PoSetPowerState(device_, DevicePowerState, d0); });

    for (bool builds : {true, false}) {
        KeInitializeEvent(&event_, NotificationEvent, FALSE);
        iosb_.Status = STATUS_ALERTED;
        iosb_.Information = 0x5A;
        if (!builds) {
            kx::FaultRule fail;
            fail.kind = kx::AllocationKind::Irp;
            kx::ArmFault(fail);
        }
        PIRP irp = IoBuildDeviceIoControlRequest(FailAtOnce, device_, nullptr, 0, nullptr, 0, FALSE,
                                                 &event_, &iosb_);
        ASSERT_EQ(irp == nullptr, !builds);
        if (builds) {
            EXPECT_EQ(IoCallDriver(device_, irp), STATUS_INVALID_PARAMETER);
        }
        kx::DeliverApcs();
        EXPECT_EQ(iosb_.Status, STATUS_ALERTED) << builds;
        EXPECT_EQ(iosb_.Information, 0x5Au) << builds;
        EXPECT_EQ(KeReadStateEvent(&event_), 0) << builds;
    }
    EXPECT_TRUE(capture.Findings().empty());
}

TEST(VerifierUnloadTest, ADriverUnloadedWithADeviceLeftIsCaught) {
    kx::VerifierCapture capture; // outlives the kernel, which reports the device again
    kx::Kernel kernel;
    PDRIVER_OBJECT driver = kx::LoadDriver(MisbehavingEntry, u"Misbehaving", nullptr);
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    kx::UnloadDriver(driver);
    EXPECT_EQ(capture.Count(kx::Rule::DriverUnloadedWithDevices), 1u);
    EXPECT_EQ(capture.Findings().size(), 1u);
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
