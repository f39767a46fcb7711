// The suites' main. In a build configured with a driver image (the 32-bit build
// runs the packaged korvaxser.sys), every world a suite makes loads that image
// instead of the linked-in driver. With --filters (or KORVAX_TEST_FILTERS=1 in the
// environment) every world attaches the pass-through filters above and below the
// port in each device stack.
#include <sim/world.h>

#include <gmock/gmock.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    testing::InitGoogleMock(&argc, argv);
#if defined(KORVAX_TEST_DRIVER_IMAGE)
    sim::SetDefaultDriverImage(KORVAX_TEST_DRIVER_IMAGE);
#endif
    const char* filters = std::getenv("KORVAX_TEST_FILTERS");
    bool withFilters = filters != nullptr && std::strcmp(filters, "1") == 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--filters") == 0)
            withFilters = true;
    }
    sim::SetDefaultFilters(withFilters);
    return RUN_ALL_TESTS();
}
