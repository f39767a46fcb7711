#pragma once

namespace korvax_test {

// Milliseconds in the kernel clock's 100 ns units.
constexpr long long Ms(long long milliseconds) {
    return milliseconds * 10000;
}

} // namespace korvax_test
