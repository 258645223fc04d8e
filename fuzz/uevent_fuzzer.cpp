// libFuzzer harness for the kernel uevent parser and the serial-port filter.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "instruments/uevent.hpp"
#include "fuzz_check.hpp"

namespace {

// Every field views bytes of the message itself, never the header or past the end.
void check_inside(std::string_view field, const char* begin, const char* end) {
    if (field.empty()) {
        return;
    }
    check(field.data() > begin && field.data() + field.size() <= end, "field outside the message");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* begin = reinterpret_cast<const char*>(data);
    const voxapp::Uevent event = voxapp::parse_uevent(begin, size);
    for (std::string_view field : {event.devpath, event.subsystem, event.devname, event.devtype}) {
        check_inside(field, begin, begin + size);
        check(field.find('\0') == std::string_view::npos, "NUL inside a field");
    }
    if (voxapp::is_serial_port_uevent(event)) {
        check(event.devname.find('/') == std::string_view::npos, "a path in a tty name");
        check(event.devname.starts_with("tty"), "a serial port outside the tty names");
    }
    return 0;
}
