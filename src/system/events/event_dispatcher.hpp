#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/result.hpp"

namespace voxapp {

namespace detail {

// One object per event type; its address is the type's key. Deliberately not const, so that no
// linker can fold two tags into one address.
template <typename Event>
struct EventTypeTag {
    static inline char tag = 0;
};

}  // namespace detail

// The in-process publish/subscribe hub. Any value type can be an event type; each type has its
// own list of handlers, kept in subscription order. Handlers cannot be removed.
//
// Threads: `subscribe` and `publish` may be called from any thread. `subscribe` takes the write
// lock. `publish` takes the read lock and, still holding it, calls the handlers synchronously on
// the publishing thread, so publishers on several threads run concurrently.
//
// What a handler may do:
// - publish any event type (also its own) on this or any dispatcher; the nested publish runs
//   all of its handlers before it returns to the handler;
// - subscribe to a different dispatcher.
// What a handler must not do:
// - subscribe to the dispatcher that is calling it: its thread holds the read lock and the write
//   lock would never come. This is a programming error; it is detected and the process aborts
//   with a message on standard error instead of hanging;
// - wait for another thread that is subscribing to this dispatcher (the same deadlock, which
//   cannot be detected);
// - let an exception escape (the lock is released, but the remaining handlers are skipped).
//
// The dispatcher must outlive every subscriber and publisher.
class EventDispatcher {
public:
    template <typename Event>
    using Handler = std::function<void(const Event&)>;

    // Cannot fail: the lock is statically initialised. Returns a Result so that the composition
    // root treats every service alike.
    static Result<std::unique_ptr<EventDispatcher>> create();

    ~EventDispatcher();
    EventDispatcher(const EventDispatcher&) = delete;
    EventDispatcher& operator=(const EventDispatcher&) = delete;

    // Appends the handler to Event's list. An empty handler keeps its place and is skipped.
    template <typename Event>
    void subscribe(Handler<Event> handler);

    // Calls Event's handlers with the payload, in subscription order, each once, and returns when
    // the last has returned. An event type without subscriptions costs a lookup and nothing more.
    // Never allocates.
    template <typename Event>
    void publish(const Event& event);

    // Number of event types that have at least one subscription; for diagnostics and tests.
    std::size_t type_count() const;

private:
    using TypeKey = const void*;
    using ErasedHandler = std::function<void(const void*)>;

    struct Entry {
        TypeKey key;
        std::vector<ErasedHandler> handlers;
    };

    template <typename Event>
    static TypeKey key_of() {
        return &detail::EventTypeTag<std::remove_cvref_t<Event>>::tag;
    }

    EventDispatcher() = default;

    void subscribe_erased(TypeKey key, ErasedHandler handler);
    void publish_erased(TypeKey key, const void* event);
    // The first entry whose key is not below key; the caller holds the lock.
    std::vector<Entry>::iterator position_of(TypeKey key);

    mutable pthread_rwlock_t lock_ = PTHREAD_RWLOCK_INITIALIZER;
    std::vector<Entry> entries_;  // sorted by key; entries are never removed
};

template <typename Event>
void EventDispatcher::subscribe(Handler<Event> handler) {
    ErasedHandler erased;
    if (handler) {
        erased = [handler = std::move(handler)](const void* event) {
            handler(*static_cast<const Event*>(event));
        };
    }
    subscribe_erased(key_of<Event>(), std::move(erased));
}

template <typename Event>
void EventDispatcher::publish(const Event& event) {
    publish_erased(key_of<Event>(), &event);
}

}  // namespace voxapp
