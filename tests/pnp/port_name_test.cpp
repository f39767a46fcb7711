// The port's public names at start and their teardown: the \DosDevices link, the
// SERIALCOMM device-map value and the device interface, for names that fit and
// names that do not, a start that fails part-way, a name another port holds, and a
// restart under a changed PortName.
#include <tests/support/pnp_port.h>

namespace {

using korvax_test::PnpPortTest;
using korvax_test::Utf16Bytes;

class PortNameTest : public PnpPortTest {};

// The next call of the operation fails with STATUS_ACCESS_DENIED.
void FailOnce(kx::ObjectOperation operation) {
    kx::ObjectFault fault;
    fault.operation = operation;
    fault.status = STATUS_ACCESS_DENIED;
    kx::ArmObjectFault(fault);
}

void FailPool(uint64_t nth) {
    kx::ArmFault({kx::AllocationKind::Pool, nth, KORVAX_POOL_TAG, std::nullopt});
}

// Sixty-three characters leave room for a terminator; a value of the full 128
// bytes has none of its own, and the name still ends where the value does. The
// value's type is not looked at: the bytes of one that is not REG_SZ name the port
// all the same. Each name is linked (the application's way in reaching the port's
// own device object), mapped and announced, and goes with its port.
TEST_F(PortNameTest, NamesUpToSixtyFourCharactersOfAnyTypeAreLinkedMappedAndAnnounced) {
    const struct {
        const char* name;
        std::u16string portName;
        ULONG type;
        size_t zeros;
    } rows[] = {
        {"63 characters", std::u16string(63, u'P'), REG_SZ, 1},
        {"64 characters without terminator", std::u16string(64, u'R'), REG_SZ, 0},
        {"REG_BINARY", u"COM9", REG_BINARY, 1},
    };
    for (char16_t number = u'0'; number < u'3'; ++number) {
        const auto& row = rows[number - u'0'];
        SCOPED_TRACE(row.name);
        sim::ModemPdo& modem = NewModem(u"");
        kx::SetHardwareValue(modem.Device(), u"PortName", row.type,
                             Utf16Bytes(row.portName, row.zeros));
        auto node = Arrive(modem);
        ASSERT_TRUE(node->Started()) << row.name;
        const std::u16string deviceName = u"\\Device\\KORVAXSER" + std::u16string(1, number);
        EXPECT_EQ(LinkTarget(row.portName), deviceName) << row.name;
        auto links = kx::SymbolicLinks();
        ASSERT_EQ(links.size(), 1u) << row.name;
        EXPECT_TRUE(links[0].unprotected) << row.name;
        EXPECT_EQ(kx::OpenTarget(u"\\\\.\\" + row.portName), Fdo(modem)) << row.name;
        auto value = DeviceMapValue(deviceName);
        ASSERT_TRUE(value.has_value()) << row.name;
        EXPECT_EQ(value->type, (ULONG)REG_SZ) << row.name;
        EXPECT_EQ(value->data, Utf16Bytes(row.portName, 2)) << row.name;
        EXPECT_TRUE(InterfaceOf(modem)->enabled) << row.name;

        EXPECT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS) << row.name;
        ExpectNoNames(modem, row.portName, deviceName);
        EXPECT_TRUE(kx::SymbolicLinks().empty()) << row.name;
    }
}

// Whatever step of the naming fails, the start fails with that step's status and
// the teardown that follows takes back everything the steps before it made. The
// failing start is a restart after a stop, so that the faults count from the
// naming's own first call.
TEST_F(PortNameTest, EveryFailingNamingStepIsUndone) {
    struct Step {
        const char* name;
        std::function<void()> arm;
        NTSTATUS expected;
    } steps[] = {
        {"hardware key", [] { FailOnce(kx::ObjectOperation::OpenDeviceKey); },
         STATUS_ACCESS_DENIED},
        {"value query", [] { FailOnce(kx::ObjectOperation::QueryValue); }, STATUS_ACCESS_DENIED},
        {"query buffer", [] { FailPool(1); }, STATUS_INSUFFICIENT_RESOURCES},
        {"link name", [] { FailPool(2); }, STATUS_INSUFFICIENT_RESOURCES},
        {"stored link name", [] { FailPool(3); }, STATUS_INSUFFICIENT_RESOURCES},
        {"link", [] { FailOnce(kx::ObjectOperation::CreateLink); }, STATUS_ACCESS_DENIED},
        {"device map", [] { FailOnce(kx::ObjectOperation::WriteValue); }, STATUS_ACCESS_DENIED},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        sim::ModemPdo& modem = NewModem(u"COM5");
        auto node = Arrive(modem);
        ASSERT_TRUE(node->Started());
        PDEVICE_OBJECT fdo = Fdo(modem);
        PDEVICE_CONTEXT context = GetDeviceContext(fdo);
        std::u16string deviceName = kx::ToU16(context->DeviceName);
        ASSERT_EQ(SendPnp(fdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
        ASSERT_EQ(SendPnp(fdo, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);

        step.arm();
        EXPECT_EQ(SendPnp(fdo, IRP_MN_START_DEVICE), step.expected);
        kx::DisarmFaults();
        kx::DisarmObjectFaults();
        EXPECT_EQ(context->PnpState, (ULONG)NotStarted);
        EXPECT_EQ(context->SymbolicLinkName.Buffer, nullptr);
        ExpectNoNames(modem, u"COM5", deviceName);
        EXPECT_TRUE(kx::SymbolicLinks().empty());
        EXPECT_EQ(kx::OpenKernelHandles(driver_), 0u);

        EXPECT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
        EXPECT_EQ(driver_->DeviceObject, nullptr);
        EXPECT_EQ(kx::OutstandingPool(KORVAX_POOL_TAG).allocations, 0u);
    }
}

// A start without a name of its own fails, and its teardown must not take the
// names of the port already started (COM5) with it.
TEST_F(PortNameTest, AStartWithoutANameOfItsOwnFailsAndTheOtherPortKeepsItsNames) {
    sim::ModemPdo& first = NewModem(u"COM5");
    auto owner = Arrive(first);
    ASSERT_TRUE(owner->Started());
    const struct {
        const char* name;
        std::u16string portName;
        NTSTATUS status;
    } rows[] = {
        {"no PortName", u"", STATUS_OBJECT_NAME_NOT_FOUND},
        // 64 characters and the terminator are 130 bytes, beyond the 128 accepted.
        {"64 characters", std::u16string(64, u'Q'), STATUS_INSUFFICIENT_RESOURCES},
        {"the name another port holds", u"COM5", STATUS_OBJECT_NAME_COLLISION},
    };
    for (const auto& row : rows) {
        sim::ModemPdo& modem = NewModem(row.portName);
        auto refused = Arrive(modem);
        EXPECT_EQ(refused->State(), kx::DeviceNodeState::StartFailed) << row.name;
        EXPECT_EQ(refused->LastStatus(IRP_MN_START_DEVICE), row.status) << row.name;
        EXPECT_EQ(Fdo(modem), nullptr) << row.name;
        EXPECT_EQ(driver_->DeviceObject, Fdo(first)) << row.name;
        EXPECT_EQ(Fdo(first)->NextDevice, nullptr) << row.name << ": its device is gone";
        auto port = InterfaceOf(modem);
        EXPECT_TRUE(!port || !port->enabled) << row.name;
        EXPECT_EQ(kx::SymbolicLinks().size(), 1u) << row.name;
        EXPECT_EQ(LinkTarget(u"COM5"), u"\\Device\\KORVAXSER0") << row.name;
        auto map = kx::SerialCommMap();
        ASSERT_EQ(map.size(), 1u) << row.name;
        EXPECT_EQ(map[0].first, u"\\Device\\KORVAXSER0") << row.name;
        EXPECT_EQ(map[0].second, u"COM5") << row.name;
        EXPECT_TRUE(InterfaceOf(first)->enabled) << row.name;
    }
    EXPECT_EQ(kx::RemoveDevice(*owner), STATUS_SUCCESS);
    EXPECT_TRUE(kx::SymbolicLinks().empty());
    EXPECT_TRUE(kx::SerialCommMap().empty());
}

// A rebalance takes the names down at the stop and reads PortName afresh at the
// restart: the port comes back under its new name, its interface enabled again,
// and nothing of the old name remains. At the removal the stored link name does
// not delete; the name rebuilt from PortName does, so the link does not outlive
// the port.
TEST_F(PortNameTest, RestartAfterStopComesBackUnderAChangedPortNameThatTheRemovalDeletes) {
    sim::ModemPdo& modem = NewModem(u"COM5");
    auto node = Arrive(modem);
    ASSERT_TRUE(node->Started());
    PDEVICE_CONTEXT context = Context(modem);

    kx::SetHardwareString(modem.Device(), u"PortName", u"COM7");
    EXPECT_EQ(kx::StopDevice(*node), STATUS_SUCCESS);
    ASSERT_TRUE(node->Started());
    EXPECT_EQ(context->PnpState, (ULONG)Started);
    EXPECT_FALSE(LinkTarget(u"COM5").has_value());
    EXPECT_EQ(LinkTarget(u"COM7"), u"\\Device\\KORVAXSER0");
    auto map = kx::SerialCommMap();
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map[0].second, u"COM7");
    ASSERT_NE(context->InterfaceName.Buffer, nullptr);
    EXPECT_TRUE(kx::DeviceInterfaceEnabled(kx::ToU16(context->InterfaceName)));

    FailOnce(kx::ObjectOperation::DeleteLink);
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
    kx::DisarmObjectFaults();
    ExpectNoNames(modem, u"COM7", u"\\Device\\KORVAXSER0");
}

} // namespace
