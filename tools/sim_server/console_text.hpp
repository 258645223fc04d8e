#pragma once

// Text helpers and limits that the console's line handling and its directives share.

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/hex_digit.hpp"
#include "sim_server/console.hpp"

namespace voxapp::sim::console_text {

inline constexpr auto kReplyLimit = std::chrono::seconds(10);
inline constexpr auto kDefaultWait = std::chrono::seconds(30);
inline constexpr std::size_t kShownBytes = 512;
inline constexpr std::size_t kDefaultPiece = 4096;

inline std::string stamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", parts.tm_hour, parts.tm_min,
                  parts.tm_sec, static_cast<int>(millis));
    return text;
}

inline std::string escape(std::string_view bytes) {
    std::string shown;
    const std::size_t limit = std::min(bytes.size(), kShownBytes);
    for (std::size_t i = 0; i < limit; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == '\\') {
            shown += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            shown += hex;
        } else {
            shown.push_back(static_cast<char>(byte));
        }
    }
    if (limit < bytes.size()) {
        shown += "... (" + std::to_string(bytes.size()) + " bytes)";
    }
    return shown;
}

// "\xHH" and "\\" stand for one byte; any other backslash is kept as it is.
inline std::string unescape(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            bytes.push_back('\\');
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
                   hex_value(text[i + 2]) >= 0 && hex_value(text[i + 3]) >= 0) {
            bytes.push_back(
                static_cast<char>(hex_value(text[i + 2]) * 16 + hex_value(text[i + 3])));
            i += 3;
        } else {
            bytes.push_back(text[i]);
        }
    }
    return bytes;
}

template <typename Number>
std::optional<Number> number(std::string_view word) {
    Number value{};
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size() || word.empty()) {
        return std::nullopt;
    }
    return value;
}

inline std::vector<std::string> words_of(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

inline double milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

inline std::string fixed3(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

// "median_ms=... p99_ms=..." for `samples` (sorted here).
inline std::string statistics(const std::string& prefix, std::vector<double> samples) {
    if (samples.empty()) {
        return "";
    }
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    const double median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
    const auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
    const double p99 = samples[std::max<std::size_t>(rank, 1) - 1];
    const double mean = std::accumulate(samples.begin(), samples.end(), 0.0) / n;
    return " " + prefix + "median_ms=" + fixed3(median) + " " + prefix + "p99_ms=" + fixed3(p99) +
           " " + prefix + "min_ms=" + fixed3(samples.front()) + " " + prefix +
           "max_ms=" + fixed3(samples.back()) + " " + prefix + "mean_ms=" + fixed3(mean);
}

}  // namespace voxapp::sim::console_text
