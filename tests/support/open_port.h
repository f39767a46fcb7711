// Unit-test ground for the port's request handlers and data path: a port device
// made by AddDevice on a simulated modem PDO and put by hand into the state an
// open leaves it in, with read and device-control requests reaching the driver's
// dispatch routines. HeldRequest sends a request that the test keeps after it
// completes, so that cancellation can race with completion.
#pragma once

#include <driver/data/data.h>
#include <driver/frame/frame.h>
#include <driver/pnp/pnp.h>
#include <driver/port/serial.h>
#include <driver/usb/usb.h>
#include <tests/support/kernel_time.h>
#include <kx/host.h>
#include <sim/bus.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace korvax_test {

// A buffered request built the way the I/O manager builds one, in memory the test
// owns: the IRP stays valid after completion until the object goes, so IoCancelIrp
// may be called at any time. Counts how often the request came back to the top.
class HeldRequest {
  public:
    // IRP_MJ_DEVICE_CONTROL (METHOD_BUFFERED): input copied into the system buffer,
    // output returned in it.
    static std::unique_ptr<HeldRequest> Ioctl(PDEVICE_OBJECT target, ULONG code,
                                              const void* input = nullptr, ULONG inputLength = 0,
                                              ULONG outputLength = 0) {
        auto request = Other(target, IRP_MJ_DEVICE_CONTROL, std::max(inputLength, outputLength));
        if (inputLength != 0)
            std::memcpy(request->buffer_.data(), input, inputLength);
        auto& parameters = IoGetNextIrpStackLocation(request->irp_)->Parameters.DeviceIoControl;
        parameters.IoControlCode = code;
        parameters.InputBufferLength = inputLength;
        parameters.OutputBufferLength = outputLength;
        return request;
    }

    // IOCTL_SERIAL_WAIT_ON_MASK with room for the event word.
    static std::unique_ptr<HeldRequest> WaitOnMask(PDEVICE_OBJECT target) {
        return Ioctl(target, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    }

    // IRP_MJ_READ for a DO_BUFFERED_IO device (its Length sits where a write's does).
    static std::unique_ptr<HeldRequest> Read(PDEVICE_OBJECT target, ULONG length) {
        return Other(target, IRP_MJ_READ, length);
    }

    // Any other major function with a system buffer of the given size (for stand-ins).
    static std::unique_ptr<HeldRequest> Other(PDEVICE_OBJECT target, UCHAR major, ULONG length) {
        std::unique_ptr<HeldRequest> request(new HeldRequest(target, length));
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request->irp_);
        next->MajorFunction = major;
        next->Parameters.Write.Length = length;
        return request;
    }

    ~HeldRequest() {
        if (Completions() == 0) {
            ADD_FAILURE() << "request " << irp_ << " never completed; it is left to leak";
            return;
        }
        IoFreeIrp(irp_);
    }

    HeldRequest(const HeldRequest&) = delete;
    HeldRequest& operator=(const HeldRequest&) = delete;

    // Sends the request down as the I/O manager does; returns the dispatch status.
    NTSTATUS Send() {
        returned_ = IoCallDriver(target_, irp_);
        return returned_;
    }
    BOOLEAN Cancel() { return IoCancelIrp(irp_); }
    // Runs on the completing thread once the request is back at the top, before
    // whoever completed it goes on: a test's pause point inside the completer.
    void OnCompletion(std::function<void()> hook) { hook_ = std::move(hook); }

    PIRP Irp() const { return irp_; }
    NTSTATUS Returned() const { return returned_; }
    int Completions() const { return completions_.load(); }
    bool Completed() const { return Completions() != 0; }
    // Waits for the completion that another thread or a DPC brings; false when it
    // does not come within the limit.
    bool WaitCompleted(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return done_.wait_for(lock, limit, [this] { return completions_.load() != 0; });
    }
    NTSTATUS Status() const { return status_; }
    ULONG_PTR Information() const { return information_; }
    // The order in which requests came back, across all HeldRequests of the process.
    uint64_t CompletionOrder() const { return order_; }
    // The bytes the request returned (Information of them).
    std::vector<uint8_t> Data() const {
        size_t n = std::min<size_t>(information_, buffer_.size());
        return std::vector<uint8_t>(buffer_.begin(), buffer_.begin() + n);
    }
    ULONG Word() const {
        ULONG value = 0;
        std::memcpy(&value, buffer_.data(), std::min<size_t>(sizeof(value), buffer_.size()));
        return value;
    }

  private:
    HeldRequest(PDEVICE_OBJECT target, ULONG bufferLength)
        : target_(target), buffer_(bufferLength) {
        irp_ = IoAllocateIrp(target->StackSize, FALSE);
        irp_->RequestorMode = UserMode;
        if (bufferLength != 0) {
            irp_->AssociatedIrp.SystemBuffer = buffer_.data();
            irp_->Flags = IRP_BUFFERED_IO;
        }
        kx::SetIrpTopCompletion(irp_, [this](PIRP done) {
            // Taken first: once the completion is seen, the test may let the
            // object go.
            std::function<void()> hook;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                hook = hook_;
                status_ = done->IoStatus.Status;
                information_ = done->IoStatus.Information;
                order_ = ++NextOrder();
                completions_++;
                done_.notify_all();
            }
            if (hook)
                hook();
        });
    }

    static std::atomic<uint64_t>& NextOrder() {
        static std::atomic<uint64_t> next{0};
        return next;
    }

    PDEVICE_OBJECT target_;
    PIRP irp_ = nullptr;
    std::vector<uint8_t> buffer_;
    NTSTATUS returned_ = STATUS_PENDING;
    std::mutex mutex_;
    std::condition_variable done_;
    std::atomic<int> completions_{0};
    std::function<void()> hook_;
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
    uint64_t order_ = 0;
};

struct IoctlResult {
    NTSTATUS returned;
    IO_STATUS_BLOCK iosb;
    std::vector<uint8_t> output;
};

// The port as an open leaves it: started, open, the open-time settings in place,
// the ring empty, no reader running. Received data is put into the ring by hand
// (Receive), as the receive engine's completion does.
class OpenPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        NTSTATUS status;
        driver_ = kx::LoadDriver(DriverEntry, u"korvaxser", &status);
        ASSERT_EQ(status, STATUS_SUCCESS);

        pdo_ = &bus_.CreateModemPdo(PdoOptions());
        ASSERT_EQ(AddDevice(driver_, pdo_->Device()), STATUS_SUCCESS);
        fdo_ = driver_->DeviceObject;
        ASSERT_NE(fdo_, nullptr);
        context_ = GetDeviceContext(fdo_);
        PutInOpenState();
    }

    void TearDown() override {
        if (fdo_ == nullptr)
            return;
        CancelAllQueues(fdo_);
        CancelReadTimers();
        kx::DrainDispatchQueue();
        if (context_->DeviceName.Buffer != nullptr)
            RtlFreeUnicodeString(&context_->DeviceName);
        if (context_->InterfaceName.Buffer != nullptr)
            RtlFreeUnicodeString(&context_->InterfaceName);
        IoDetachDevice(context_->LowerDeviceObject);
        IoDeleteDevice(fdo_);
        kx::UnloadDriver(driver_);
    }

    virtual sim::PdoOptions PdoOptions() const { return sim::PdoOptions(); }

    void PutInOpenState() {
        context_->PnpState = Started;
        context_->BulkInPipe = pdo_->BulkInPipe();
        context_->BulkOutPipe = pdo_->BulkOutPipe();
        context_->InterruptInPipe = pdo_->InterruptInPipe();
        KeInitializeEvent(&context_->NoPendingTransfersEvent, NotificationEvent, FALSE);
        context_->PendingTransferCount = 1;
        context_->BaudRate = 460800;
        context_->StopBits = STOP_BITS_2;
        context_->Parity = NO_PARITY;
        context_->DataBits = 8;
        context_->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
        context_->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
        context_->SpecialChars.XonChar = 0x11;
        context_->SpecialChars.XoffChar = 0x13;
        context_->WaitMask = 0;
        context_->PendingEvents = 0;
        context_->ModemStatus |= SERIAL_MSR_DSR;
        context_->WriteBytesQueued = 0;
        context_->WriteBusy = 0;
        context_->BulkInThrottled = 0;
        context_->CommErrors = 0;
        context_->SystemSuspended = 0;
        RingPurge(context_);
        context_->IsOpen = 1;
    }

    // Close's view of the port: IsOpen cleared under Lock.
    void MarkClosed() {
        KIRQL oldIrql;
        KeAcquireSpinLock(&context_->Lock, &oldIrql);
        context_->IsOpen = 0;
        KeReleaseSpinLock(&context_->Lock, oldIrql);
    }

    // A reader's transfer comes back as at close; the port then counts as open again.
    void EndReaderAsAtClose(USBD_PIPE_HANDLE pipe) {
        MarkClosed();
        AbortPipe(fdo_, pipe);
        kx::DrainDispatchQueue();
        context_->IsOpen = 1;
    }

    // What the receive engine does with a packet, as far as reads are concerned:
    // store it, stop the read timers, serve the waiting read. At DISPATCH_LEVEL on a
    // simulated processor, as the bulk-in completion runs.
    void Receive(const std::vector<uint8_t>& bytes) {
        kx::QueueAtDispatch([this, bytes] {
            ULONG written = 0;
            if (!bytes.empty())
                RingWrite(context_, bytes.data(), (ULONG)bytes.size(), &written);
            CancelReadTimers();
            CompleteQueuedReads(context_);
        });
        kx::DrainDispatchQueue();
    }

    // Stops both read timers as the driver does, giving back the holds they kept.
    void CancelReadTimers() {
        KIRQL oldIrql;
        KeAcquireSpinLock(&context_->Lock, &oldIrql);
        ::CancelReadTimers(context_);
        KeReleaseSpinLock(&context_->Lock, oldIrql);
    }

    // Puts bytes into the ring without serving any waiting read.
    void Store(const std::vector<uint8_t>& bytes) {
        if (bytes.empty())
            return; // the driver never stores nothing (nor copies from a null source)
        ULONG written = 0;
        RingWrite(context_, bytes.data(), (ULONG)bytes.size(), &written);
        ASSERT_EQ(written, bytes.size());
    }

    // A device-control request sent and waited for on this thread.
    IoctlResult Ioctl(ULONG code, const void* input = nullptr, ULONG inputLength = 0,
                      ULONG outputLength = 0) {
        IoctlResult result{};
        result.output.resize(outputLength);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, fdo_, const_cast<void*>(input), inputLength,
                                                 outputLength ? result.output.data() : nullptr,
                                                 outputLength, FALSE, &event, &result.iosb);
        result.returned = IoCallDriver(fdo_, irp);
        // A request that fails at once leaves the status block and the event
        // untouched: its status is the one returned.
        if (result.returned == STATUS_PENDING || !NT_ERROR(result.returned))
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        else
            result.iosb.Status = result.returned;
        return result;
    }

    template <typename T> IoctlResult Set(ULONG code, const T& value) {
        return Ioctl(code, &value, sizeof(T), 0);
    }

    template <typename T> T Get(ULONG code) {
        IoctlResult result = Ioctl(code, nullptr, 0, sizeof(T));
        EXPECT_EQ(result.iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(result.iosb.Information, sizeof(T));
        T value{};
        std::memcpy(&value, result.output.data(), sizeof(T));
        return value;
    }

    // A read sent and waited for on this thread (it must not stay queued).
    IO_STATUS_BLOCK ReadNow(ULONG length, std::vector<uint8_t>* data = nullptr) {
        std::vector<uint8_t> buffer(length);
        IO_STATUS_BLOCK iosb{};
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, fdo_, buffer.data(), length, nullptr,
                                                &event, &iosb);
        NTSTATUS status = IoCallDriver(fdo_, irp);
        if (status == STATUS_PENDING || !NT_ERROR(status))
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        else
            iosb.Status = status; // failed at once: the status block stays untouched
        if (data != nullptr)
            data->assign(buffer.begin(),
                         buffer.begin() + std::min<size_t>(iosb.Information, length));
        return iosb;
    }

    // A wait-on-mask request, sent; it may complete at once or stay queued.
    std::unique_ptr<HeldRequest> SendWait() {
        auto wait = HeldRequest::WaitOnMask(fdo_);
        wait->Send();
        return wait;
    }

    void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
        SERIAL_TIMEOUTS timeouts{interval, multiplier, constant, 0, 0};
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts).iosb.Status, STATUS_SUCCESS);
    }

    // Holds taken on the remove lock besides the bias of one it starts with.
    LONG RemoveLockHolds() const { return context_->RemoveLock.Common.IoCount - 1; }

    kx::Kernel kernel_;
    sim::ParentBus bus_;
    sim::ModemPdo* pdo_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_CONTEXT context_ = nullptr;
};

} // namespace korvax_test
