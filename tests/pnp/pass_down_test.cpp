// The PnP requests the port does not handle go down its stack untouched: the
// parameters, the status and the information the PnP manager preset reach the bus,
// and what the bus answers comes back to the manager as the bus left it. With
// filters below and above the port, the port still takes its pipe handles from
// the PDO, whatever device lies directly below it.
#include <sim/filter.h>
#include <tests/support/pnp_port.h>

namespace {

using korvax_test::PnpPortTest;

class PassDownTest : public PnpPortTest {
  protected:
    // The last PnP request that reached the bus.
    static sim::RecordedIrp LastAtBus(const sim::ModemPdo& pdo) {
        sim::RecordedIrp last;
        for (const sim::RecordedIrp& r : pdo.Records()) {
            if (r.major == IRP_MJ_PNP)
                last = r;
        }
        return last;
    }
};

// Each request the port passes on, answered by the bus with a status and
// information of the test's choosing: the bus sees what the manager sent (status
// STATUS_NOT_SUPPORTED, information 0: "Passing PnP IRPs down the device stack",
// WDK), and the manager gets the bus's answer back unchanged.
TEST_F(PassDownTest, EveryRequestThePortDoesNotHandleReachesTheBusAndComesBackUntouched) {
    const struct {
        UCHAR minor;
        ULONG type;
    } rows[] = {
        {0x07, 0 /* BusRelations */},
        {0x07, 1 /* EjectionRelations */},
        {0x07, 3 /* RemovalRelations */},
        {0x07, 4 /* TargetDeviceRelation */},
        {0x08 /* QUERY_INTERFACE */, 0},
        {0x0A /* QUERY_RESOURCES */, 0},
        {0x0B /* QUERY_RESOURCE_REQUIREMENTS */, 0},
        {0x0C /* QUERY_DEVICE_TEXT */, 0 /* DeviceTextDescription */},
        {0x0C, 1 /* DeviceTextLocationInformation */},
        {0x0D /* FILTER_RESOURCE_REQUIREMENTS */, 0},
        {0x0E /* the unused code between them */, 0},
        {0x12 /* SET_LOCK */, 0},
        {0x13 /* QUERY_ID */, 0 /* BusQueryDeviceID */},
        {0x13, 1 /* BusQueryHardwareIDs */},
        {0x13, 2 /* BusQueryCompatibleIDs */},
        {0x13, 3 /* BusQueryInstanceID */},
        {0x14 /* QUERY_PNP_DEVICE_STATE */, 0},
        {0x15 /* QUERY_BUS_INFORMATION */, 0},
        {0x16 /* DEVICE_USAGE_NOTIFICATION */, 1 /* DeviceUsageTypePaging */},
        {0x16, 2 /* DeviceUsageTypeHibernation */},
        {0x16, 3 /* DeviceUsageTypeDumpFile */},
        {0x18 /* codes past the last the port knows */, 0},
    };
    sim::ModemPdo& modem = NewModem();
    auto node = Arrive(modem);
    ASSERT_TRUE(node->Started());
    ULONG_PTR information = 0x5000;
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "minor " << int(row.minor) << " type " << row.type);
        // A failure status: the manager then takes nothing the information could
        // point to.
        sim::Response answer = sim::Response::Complete(STATUS_DEVICE_NOT_READY, ++information);
        answer.major = IRP_MJ_PNP;
        answer.minor = row.minor;
        modem.ScriptNext(answer);
        kx::PnpQuery query;
        query.minor = row.minor;
        query.type = row.type;
        kx::PnpRequest request = kx::QueryStack(*node, query);

        sim::RecordedIrp atBus = LastAtBus(modem);
        EXPECT_EQ(atBus.minor, row.minor);
        EXPECT_EQ(atBus.statusOnEntry, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(atBus.informationOnEntry, 0u);
        EXPECT_EQ(atBus.pnpType, row.type);
        EXPECT_EQ(request.status, STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(request.information, information);
    }
    EXPECT_TRUE(node->Started());
}

// What the bus answers by itself comes back whole through the port: the IDs that
// make up the instance path, the device text, the bus type, no resources, the
// target relation (the PDO), and the unknown minor code with the status it came
// with.
TEST_F(PassDownTest, TheBussOwnAnswersReachTheManagerThroughThePort) {
    sim::ModemPdo& modem = bus_.CreateModemPdo();
    kx::SetDeviceInstancePath(modem.Device(), u"USB\\VID_0000&PID_0000\\7&1A2B&0&1");
    kx::SetHardwareString(modem.Device(), u"PortName", u"COM5");
    auto node = Arrive(modem);
    ASSERT_TRUE(node->Started());
    auto query = [&](UCHAR minor, ULONG type) {
        kx::PnpQuery q;
        q.minor = minor;
        q.type = type;
        return kx::QueryStack(*node, q);
    };
    kx::PnpRequest deviceId = query(IRP_MN_QUERY_ID, BusQueryDeviceID);
    EXPECT_EQ(deviceId.status, STATUS_SUCCESS);
    EXPECT_EQ(deviceId.text, u"USB\\VID_0000&PID_0000");
    EXPECT_EQ(query(IRP_MN_QUERY_ID, BusQueryInstanceID).text, u"7&1A2B&0&1");
    EXPECT_EQ(query(IRP_MN_QUERY_ID, BusQueryHardwareIDs).text, u"USB\\VID_0000&PID_0000");
    // The USB class IDs of a communications device (class 2, subclass 2, protocol
    // 1), in a multi-string.
    std::u16string compatible = u"USB\\Class_02&SubClass_02&Prot_01";
    compatible += u'\0';
    compatible += u"USB\\Class_02&SubClass_02";
    compatible += u'\0';
    compatible += u"USB\\Class_02";
    EXPECT_EQ(query(IRP_MN_QUERY_ID, BusQueryCompatibleIDs).text, compatible);
    EXPECT_EQ(query(IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription).text, u"USB modem");

    kx::PnpRequest bus = query(IRP_MN_QUERY_BUS_INFORMATION, 0);
    ASSERT_EQ(bus.status, STATUS_SUCCESS);
    // GUID_BUS_TYPE_USB {9D7DEBBC-C85D-11D1-9EB4-006008C3A19A}; PNPBus is 15.
    EXPECT_EQ(bus.busInformation.BusTypeGuid.Data1, 0x9D7DEBBCu);
    EXPECT_EQ(bus.busInformation.BusTypeGuid.Data4[7], 0x9A);
    EXPECT_EQ(int(bus.busInformation.LegacyBusType), 15);

    kx::PnpRequest requirements = query(IRP_MN_QUERY_RESOURCE_REQUIREMENTS, 0);
    EXPECT_EQ(requirements.status, STATUS_SUCCESS);
    EXPECT_EQ(requirements.information, 0u);
    kx::PnpRequest target = query(IRP_MN_QUERY_DEVICE_RELATIONS, TargetDeviceRelation);
    EXPECT_EQ(target.status, STATUS_SUCCESS);
    EXPECT_EQ(target.relations, std::vector<PDEVICE_OBJECT>{modem.Device()});
    kx::PnpRequest removal = query(IRP_MN_QUERY_DEVICE_RELATIONS, RemovalRelations);
    EXPECT_EQ(removal.status, STATUS_NOT_SUPPORTED);

    kx::VerifierCapture capture;
    kx::PnpRequest unknown = query(kx::PnpUnknownMinor, 0);
    EXPECT_EQ(unknown.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(unknown.information, 0u);
    EXPECT_EQ(capture.Findings().size(), 0u);
}

// A filter below the port, as Driver Verifier inserts one: the pipe handles the
// port uses are the PDO's, not words of the filter's extension, and the stack is
// PDO, lower filter, port, upper filter.
TEST_F(PassDownTest, WithAFilterBelowThePortThePipeHandlesAreStillThePdos) {
    sim::FilterDriver lower(u"LowerFilter");
    sim::FilterDriver upper(u"UpperFilter");
    sim::ModemPdo& modem = NewModem();
    kx::StackDrivers drivers;
    drivers.lowerFilters = {lower.Driver()};
    drivers.function = driver_;
    drivers.upperFilters = {upper.Driver()};
    auto node = kx::ReportDevice(modem.Device(), drivers);
    ASSERT_TRUE(node && node->Started());

    PDEVICE_OBJECT filterBelow = modem.Device()->AttachedDevice;
    ASSERT_EQ(filterBelow->DriverObject, lower.Driver());
    PDEVICE_OBJECT port = filterBelow->AttachedDevice;
    ASSERT_EQ(port->DriverObject, driver_);
    ASSERT_EQ(port->AttachedDevice->DriverObject, upper.Driver());
    // The filter above takes on what the I/O manager reads from the top of the
    // stack: the port's type and buffered I/O.
    EXPECT_EQ(port->AttachedDevice->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
    EXPECT_TRUE(port->AttachedDevice->Flags & DO_BUFFERED_IO);

    PDEVICE_CONTEXT context = GetDeviceContext(port);
    EXPECT_EQ(context->LowerDeviceObject, filterBelow);
    EXPECT_EQ(context->BulkInPipe, modem.BulkInPipe());
    EXPECT_EQ(context->BulkOutPipe, modem.BulkOutPipe());
    EXPECT_EQ(context->InterruptInPipe, modem.InterruptInPipe());

    // The removal takes the whole stack down, filters included.
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
    EXPECT_EQ(modem.Device()->AttachedDevice, nullptr);
    EXPECT_EQ(lower.Driver()->DeviceObject, nullptr);
    EXPECT_EQ(upper.Driver()->DeviceObject, nullptr);
}

} // namespace
