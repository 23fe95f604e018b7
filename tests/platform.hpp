#pragma once

// The only place where the tests differ between platforms.
#include <cstdlib>
#include <ctime>

namespace hexstamp::testing {

#ifdef _WIN32
// The C runtime reads TZ in its own syntax ("UTC0", "IST-5:30"), also under Wine.
inline void use_time_zone(const char* zone) {
    _putenv_s("TZ", zone);
    _tzset();
}
inline constexpr const char* NullDevice = "NUL";
#else
inline void use_time_zone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
}
inline constexpr const char* NullDevice = "/dev/null";
#endif

} // namespace hexstamp::testing
