#pragma once

#include <csignal>
#include <functional>
#include <mutex>

#include "platform/gps_receiver.hpp"

namespace voxapp::test {

// A GPS receiver whose answer the test sets. Thread-safe, so a tracker's thread may read it.
class FakeGpsReceiver : public GpsReceiver {
public:
    explicit FakeGpsReceiver(GpsRecord record = {}) : record_(record) {}

    int get(GpsRecordBytes& bytes) override {
        std::function<void(int call)> hook;
        int call;
        int result;
        {
            std::lock_guard lock(mutex_);
            call = ++calls_;
            hook = on_get_;
            result = result_;
            if (advance_) {
                ++record_.timestamp;
            }
            bytes = encode_gps_record(record_);
        }
        if (hook) {
            hook(call);
        }
        return result;
    }

    void set(const GpsRecord& record) {
        std::lock_guard lock(mutex_);
        record_ = record;
    }
    void set_timestamp(std::int64_t timestamp) {
        std::lock_guard lock(mutex_);
        record_.timestamp = timestamp;
    }
    void set_result(int result) {
        std::lock_guard lock(mutex_);
        result_ = result;
    }
    // Every get moves the timestamp on by one second, like a receiver with a live fix.
    void advance_on_every_get() {
        std::lock_guard lock(mutex_);
        advance_ = true;
    }
    // Runs after the answer is fixed, with the number of the call (from 1), outside the lock.
    void on_get(std::function<void(int call)> hook) {
        std::lock_guard lock(mutex_);
        on_get_ = std::move(hook);
    }
    int calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    mutable std::mutex mutex_;
    GpsRecord record_;
    int result_ = kGpsResultOk;
    bool advance_ = false;
    int calls_ = 0;
    std::function<void(int)> on_get_;
};

}  // namespace voxapp::test
