#include "support/recording_logger.hpp"

namespace voxapp::test {

void RecordingLogger::log(std::string_view text, LogLevel level) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(level, std::string(text));
}

std::vector<std::pair<LogLevel, std::string>> RecordingLogger::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> RecordingLogger::texts() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& [level, text] : lines_) {
        texts.push_back(text);
    }
    return texts;
}

bool RecordingLogger::contains(std::string_view text) const {
    std::lock_guard lock(mutex_);
    for (const auto& [level, line] : lines_) {
        if (line == text) {
            return true;
        }
    }
    return false;
}

void RecordingLogger::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

}  // namespace voxapp::test
