#include "request_filter.h"

#include <gtest/gtest.h>

namespace scenario {
namespace {

// One filter at a time: the driver's routines find it here.
RequestFilter* current = nullptr;

struct FilterExtension {
    PDEVICE_OBJECT lower;
};

NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<FilterExtension*>(device->DeviceExtension);
    if (current != nullptr && current->Take(irp)) {
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(extension->lower, irp);
}

void NTAPI FilterUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& routine : driver->MajorFunction)
        routine = FilterDispatch;
    driver->DriverUnload = FilterUnload;
    return STATUS_SUCCESS;
}

} // namespace

RequestFilter::RequestFilter(PDEVICE_OBJECT pdo) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = kx::LoadDriver(FilterEntry, u"RequestFilter", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(driver_, sizeof(FilterExtension), nullptr, FILE_DEVICE_SERIAL_PORT, 0,
                             FALSE, &device_),
              STATUS_SUCCESS);
    lower_ = IoAttachDeviceToDeviceStack(device_, pdo);
    EXPECT_NE(lower_, nullptr);
    static_cast<FilterExtension*>(device_->DeviceExtension)->lower = lower_;
    device_->Flags |= lower_->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    current = this;
}

RequestFilter::~RequestFilter() {
    current = nullptr;
    IoDetachDevice(lower_);
    IoDeleteDevice(device_);
    kx::UnloadDriver(driver_);
}

void RequestFilter::AddRule(FilterRule rule) {
    std::lock_guard<std::mutex> guard(mutex_);
    rules_.push_back(std::move(rule));
}

std::vector<SeenRequest> RequestFilter::Seen() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return seen_;
}

std::vector<ULONG> RequestFilter::Codes() const {
    std::vector<ULONG> codes;
    for (const SeenRequest& request : Seen()) {
        if (request.major == IRP_MJ_DEVICE_CONTROL)
            codes.push_back(request.code);
    }
    return codes;
}

void RequestFilter::Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    seen_.clear();
}

bool RequestFilter::Take(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    SeenRequest request;
    request.major = stack->MajorFunction;
    if (request.major == IRP_MJ_DEVICE_CONTROL) {
        request.code = stack->Parameters.DeviceIoControl.IoControlCode;
        auto* input = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
        if (input != nullptr)
            request.input.assign(input, input + length);
    }
    std::lock_guard<std::mutex> guard(mutex_);
    seen_.push_back(request);
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (it->major != request.major ||
            (request.major == IRP_MJ_DEVICE_CONTROL && it->code != request.code))
            continue;
        irp->IoStatus.Status = it->status;
        irp->IoStatus.Information = it->information;
        rules_.erase(it);
        return true;
    }
    return false;
}

} // namespace scenario
