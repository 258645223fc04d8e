#include "recordings/video_id_counter.hpp"

#include <charconv>
#include <cstdio>
#include <string>

#include "core/file_text.hpp"

namespace voxapp {

VideoIdCounter::VideoIdCounter(std::string path) : path_(std::move(path)) {
    const std::string whole = read_file_text(path_, 64).value_or("");
    const std::string text = whole.substr(0, whole.find('\n'));
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || value == 0 || text.empty()) {
        value = 1;
        store(value);
    }
    next_ = value;
}

std::uint64_t VideoIdCounter::take() {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = next_;
    next_ = id + 1;
    store(next_);
    return id;
}

void VideoIdCounter::store(std::uint64_t value) const {
    // Written under a temporary name and renamed, so a power cut leaves the old or the new
    // value, never an empty file that would restart the ids at 1.
    const std::string temporary = path_ + ".new";
    if (!write_file_text(temporary, std::to_string(value) + "\n")) {
        return;
    }
    std::rename(temporary.c_str(), path_.c_str());
}

}  // namespace voxapp
