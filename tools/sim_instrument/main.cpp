// voxapp-sim-instrument: a simulated USB serial instrument driven from a console on standard
// input; every report goes to standard output as one line.

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "instrument_simulator.hpp"

namespace {

using voxapp::sim::InstrumentSimulator;

constexpr const char* kUsage =
    "usage: voxapp-sim-instrument --root DIR [--tty NAME] [--unit-type N] [--serial N]\n"
    "       [--vendor HEX] [--product HEX] [--usb BUS/DEV] [--plugged]\n"
    "console: plug | unplug | vanish | hello on|off | hello-reply TEXT | silent on|off |\n"
    "         split BYTES [PAUSE_MS] | on PREFIX => REPLY | send TEXT | uevent add|remove |\n"
    "         chatter MS [TEXT] | stall on|off | unread | reenumerate on|off |\n"
    "         quit   (TEXT, PREFIX and REPLY take \\xNN, \\r, \\n and \\\\ escapes)\n";

void report(const std::string& line) {
    std::cout << line << std::endl;
}

bool handle(InstrumentSimulator& instrument, const std::string& line) {
    const std::size_t blank = line.find(' ');
    const std::string word = line.substr(0, blank);
    const std::string rest = blank == std::string::npos ? "" : line.substr(blank + 1);
    if (word == "quit") {
        return false;
    }
    if (word == "plug") {
        instrument.plug();
    } else if (word == "unplug") {
        instrument.unplug();
    } else if (word == "vanish") {
        instrument.vanish();
    } else if (word == "hello") {
        instrument.set_hello(rest != "off");
    } else if (word == "hello-reply") {
        instrument.set_hello_reply(voxapp::sim::unescape(rest));
    } else if (word == "silent") {
        instrument.set_silent(rest != "off");
    } else if (word == "split") {
        const std::size_t pause = rest.find(' ');
        instrument.set_split(std::strtoul(rest.c_str(), nullptr, 10),
                             pause == std::string::npos ? 0 : std::atoi(rest.c_str() + pause));
    } else if (word == "on") {
        const std::size_t arrow = rest.find(" => ");
        if (arrow == std::string::npos) {
            report("error usage: on PREFIX => REPLY");
            return true;
        }
        instrument.add_rule(voxapp::sim::unescape(rest.substr(0, arrow)),
                            voxapp::sim::unescape(rest.substr(arrow + 4)));
    } else if (word == "send") {
        instrument.send(voxapp::sim::unescape(rest));
    } else if (word == "uevent") {
        instrument.send_uevent(rest);
    } else if (word == "chatter") {
        const std::size_t text = rest.find(' ');
        instrument.set_chatter(std::atoi(rest.c_str()),
                               text == std::string::npos
                                   ? std::string("#7,XX;")
                                   : voxapp::sim::unescape(rest.substr(text + 1)));
    } else if (word == "stall") {
        if (!instrument.set_stalled(rest != "off")) {
            report("error stall: no line");
            return true;
        }
    } else if (word == "unread") {
        report("unread " + std::to_string(instrument.unread()));
    } else if (word == "reenumerate") {
        instrument.set_reenumerate(rest != "off");
    } else if (!word.empty()) {
        report("error unknown command: " + word);
        return true;
    }
    report("ok " + word);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    InstrumentSimulator::Options options;
    bool plugged = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << kUsage;
                std::exit(2);
            }
            return argv[++i];
        };
        if (word == "--root") {
            options.root = value();
        } else if (word == "--tty") {
            options.tty = value();
        } else if (word == "--unit-type") {
            options.unit_type = static_cast<std::uint32_t>(std::stoul(value()));
        } else if (word == "--serial") {
            options.serial = static_cast<std::uint32_t>(std::stoul(value()));
        } else if (word == "--vendor") {
            options.vendor = static_cast<unsigned>(std::stoul(value(), nullptr, 16));
        } else if (word == "--product") {
            options.product = static_cast<unsigned>(std::stoul(value(), nullptr, 16));
        } else if (word == "--usb") {
            const std::string usb = value();
            options.usb_bus = usb.substr(0, usb.find('/'));
            options.usb_device = usb.substr(usb.find('/') + 1);
        } else if (word == "--plugged") {
            plugged = true;
        } else {
            std::cerr << kUsage;
            return 2;
        }
    }
    if (options.root.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    InstrumentSimulator instrument(options, report);
    if (plugged) {
        // Present before the daemon starts: no announcement, the daemon's scan finds it.
        instrument.plug(false);
    }
    report("ready");
    std::string input;
    for (;;) {
        pollfd console{0, POLLIN, 0};
        if (poll(&console, 1, 0) > 0) {
            char buffer[4096];
            const ssize_t count = read(0, buffer, sizeof buffer);
            if (count <= 0) {
                break;
            }
            input.append(buffer, static_cast<std::size_t>(count));
            std::size_t end;
            bool running = true;
            while (running && (end = input.find('\n')) != std::string::npos) {
                running = handle(instrument, input.substr(0, end));
                input.erase(0, end + 1);
            }
            if (!running) {
                break;
            }
        }
        instrument.poll_once(5);
    }
    if (instrument.plugged()) {
        instrument.unplug(false);
    }
    return 0;
}
