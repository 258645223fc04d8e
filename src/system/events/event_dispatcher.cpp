#include "system/events/event_dispatcher.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace voxapp {

namespace {

// The dispatchers whose handlers are running on this thread, innermost first. Frames live on the
// stack of publish, so keeping the chain costs no allocation.
struct PublishFrame {
    const EventDispatcher* dispatcher;
    const PublishFrame* outer;
};

thread_local const PublishFrame* innermost_publish = nullptr;

// Only reached through a broken contract (a handler subscribing) or a corrupted lock. Going on
// would mean a hang or unsynchronised access, so stop loudly instead.
[[noreturn]] void fail(const char* what, int code) {
    std::fprintf(stderr, "FATAL: EventDispatcher: %s (errno %d)\n", what, code);
    std::abort();
}

class ReadLock {
public:
    explicit ReadLock(pthread_rwlock_t& lock) : lock_(lock) {
        int rc;
        // EAGAIN means the reader count is momentarily exhausted; readers leave quickly.
        while ((rc = pthread_rwlock_rdlock(&lock_)) == EAGAIN) {
            sched_yield();
        }
        if (rc != 0) {
            fail("cannot take the read lock", rc);
        }
    }
    ~ReadLock() { pthread_rwlock_unlock(&lock_); }
    ReadLock(const ReadLock&) = delete;
    ReadLock& operator=(const ReadLock&) = delete;

private:
    pthread_rwlock_t& lock_;
};

class WriteLock {
public:
    explicit WriteLock(pthread_rwlock_t& lock) : lock_(lock) {
        if (int rc = pthread_rwlock_wrlock(&lock_); rc != 0) {
            fail("cannot take the write lock", rc);
        }
    }
    ~WriteLock() { pthread_rwlock_unlock(&lock_); }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    pthread_rwlock_t& lock_;
};

class FrameScope {
public:
    explicit FrameScope(const EventDispatcher* dispatcher) : frame_{dispatcher, innermost_publish} {
        innermost_publish = &frame_;
    }
    ~FrameScope() { innermost_publish = frame_.outer; }
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;

private:
    PublishFrame frame_;
};

}  // namespace

Result<std::unique_ptr<EventDispatcher>> EventDispatcher::create() {
    return std::unique_ptr<EventDispatcher>(new EventDispatcher());
}

EventDispatcher::~EventDispatcher() {
    pthread_rwlock_destroy(&lock_);
}

void EventDispatcher::subscribe_erased(TypeKey key, ErasedHandler handler) {
    // glibc does not detect a reader asking for the write lock; it would simply hang.
    for (const PublishFrame* frame = innermost_publish; frame != nullptr; frame = frame->outer) {
        if (frame->dispatcher == this) {
            fail("subscribe called from inside one of this dispatcher's handlers", EDEADLK);
        }
    }

    WriteLock lock(lock_);
    auto it = position_of(key);
    if (it == entries_.end() || it->key != key) {
        it = entries_.insert(it, Entry{key, {}});
    }
    it->handlers.push_back(std::move(handler));
}

void EventDispatcher::publish_erased(TypeKey key, const void* event) {
    // Handlers run under the read lock and may publish again, taking it recursively. That is safe
    // because the lock prefers readers (the default of glibc and the only policy of musl): a
    // waiting subscriber does not block a nested reader.
    ReadLock lock(lock_);
    auto it = position_of(key);
    if (it == entries_.end() || it->key != key) {
        return;
    }
    FrameScope frame(this);
    for (const ErasedHandler& handler : it->handlers) {
        if (handler) {
            handler(event);
        }
    }
}

std::vector<EventDispatcher::Entry>::iterator EventDispatcher::position_of(TypeKey key) {
    // Unrelated addresses are only totally ordered through std::less, not through <.
    return std::lower_bound(
        entries_.begin(), entries_.end(), key,
        [](const Entry& entry, TypeKey wanted) { return std::less<TypeKey>()(entry.key, wanted); });
}

std::size_t EventDispatcher::type_count() const {
    ReadLock lock(lock_);
    return entries_.size();
}

}  // namespace voxapp
