// The suites' main. In a build configured with a driver image (the 32-bit build
// runs the packaged korvaxser.sys), every world a suite makes loads that image
// instead of the linked-in driver.
#include <sim/world.h>

#include <gmock/gmock.h>

int main(int argc, char** argv) {
    testing::InitGoogleMock(&argc, argv);
#if defined(KORVAX_TEST_DRIVER_IMAGE)
    sim::SetDefaultDriverImage(KORVAX_TEST_DRIVER_IMAGE);
#endif
    return RUN_ALL_TESTS();
}
