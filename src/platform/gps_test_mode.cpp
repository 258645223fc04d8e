#include "platform/gps_test_mode.hpp"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/gps_source.hpp"

namespace voxapp {

namespace {

// The signal handler's only way to reach the loop.
std::atomic<bool> running{false};
std::atomic<int> output_fd{STDOUT_FILENO};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the SIGINT handler may only touch lock-free atomics");

void on_interrupt(int signal) {
    const int saved_errno = errno;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char line[96];
    const std::size_t length = format_interrupt_line(now.tv_sec, signal, line);
    [[maybe_unused]] const ssize_t written = write(output_fd.load(), line, length);
    running = false;
    errno = saved_errno;
}

// Digits of a non-negative number, at least `width` of them.
char* put_number(char* out, std::int64_t value, int width) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (count < width) {
        digits[count++] = '0';
    }
    while (count > 0) {
        *out++ = digits[--count];
    }
    return out;
}

char* put_text(char* out, const char* text) {
    while (*text != '\0') {
        *out++ = *text++;
    }
    return out;
}

void sleep_until_next_second() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // Whole microseconds, as usleep would take them; a signal cuts the sleep short.
    const long micros = 1'000'000 - now.tv_nsec / 1000;
    const timespec rest{micros / 1'000'000, (micros % 1'000'000) * 1000};
    nanosleep(&rest, nullptr);
}

int truncate_to_int(double value) {
    if (!(value > -2147483648.0 && value < 2147483648.0)) {
        return 0;
    }
    return static_cast<int>(value);
}

}  // namespace

std::size_t format_interrupt_line(std::int64_t unix_seconds, int signal, char (&buffer)[96]) {
    // Civil date from days since the epoch (proleptic Gregorian); gmtime is not
    // async-signal-safe.
    std::int64_t days = unix_seconds / 86400;
    std::int64_t second_of_day = unix_seconds % 86400;
    if (second_of_day < 0) {
        second_of_day += 86400;
        --days;
    }
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t day_of_era = z - era * 146097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;
    const std::int64_t day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    const std::int64_t month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);

    char* out = buffer;
    out = put_number(out, year < 0 ? 0 : year, 4);
    *out++ = '-';
    out = put_number(out, month, 2);
    *out++ = '-';
    out = put_number(out, day, 2);
    *out++ = ' ';
    out = put_number(out, second_of_day / 3600, 2);
    *out++ = ':';
    out = put_number(out, second_of_day / 60 % 60, 2);
    *out++ = ':';
    out = put_number(out, second_of_day % 60, 2);
    out = put_text(out, " Interrupt (SIGINT) signal received - ");
    out = put_number(out, signal < 0 ? 0 : signal, 1);
    *out++ = '\n';
    return static_cast<std::size_t>(out - buffer);
}

std::string gps_test_fix_line(TimePoint now, const GpsFix& fix) {
    std::string line = format_local_time_point(now, "%Y-%m-%d %H:%M:%S");
    std::int64_t millis = now / 1'000'000 % 1000;
    if (millis < 0) {
        millis += 1000;
    }
    char numbers[128];
    std::snprintf(numbers, sizeof numbers, ".%03hd,%d,%.6f,%.6f,%.2f\n", static_cast<short>(millis),
                  truncate_to_int(fix.accuracy), fix.latitude, fix.longitude, fix.speed);
    line += numbers;
    return line;
}

int run_gps_test(std::function<Result<std::shared_ptr<GpsReceiver>>()> connect, std::FILE* out) {
    running = true;
    output_fd = fileno(out);
    const auto previous = std::signal(SIGINT, on_interrupt);

    std::shared_ptr<GpsReceiver> receiver;
    if (auto connection = connect(); connection.ok()) {
        receiver = std::move(connection).value();
    } else {
        std::fputs("Failed to connect to ubus.", out);
        std::fflush(out);
        receiver = make_gps_receiver(nullptr);
    }
    std::shared_ptr<GpsSource> source = GpsSource::create(std::move(receiver)).value();

    while (running) {
        sleep_until_next_second();
        if (!running) {
            break;
        }
        auto fix = source->get_fix();
        if (fix.ok()) {
            std::fputs(gps_test_fix_line(system_now(), *fix).c_str(), out);
        } else {
            const std::string_view message = fix.error().message();
            std::fprintf(out, "An error occured while getting gps data: %.*s\n",
                         static_cast<int>(message.size()), message.data());
        }
        // The handler writes to the descriptor directly; keep the lines in order.
        std::fflush(out);
    }

    source.reset();
    std::signal(SIGINT, previous);
    return 0;
}

}  // namespace voxapp
