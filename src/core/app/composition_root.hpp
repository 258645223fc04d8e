#pragma once

#include <memory>

#include "core/app/application.hpp"
#include "core/app/application_context.hpp"
#include "core/app/service_registry.hpp"
#include "system/events/event_dispatcher.hpp"
#include "system/io/event_loop.hpp"

namespace voxapp {

// Creates every long-lived service of the daemon once, on first request, each after the
// collaborators it asks for, and destroys them in reverse order when it is destroyed. A service
// that cannot be created ends the process with a FATAL line. Main thread only.
class CompositionRoot {
public:
    explicit CompositionRoot(ApplicationContext& context) : context_(context) {}
    ~CompositionRoot() { registry_.clear(); }
    CompositionRoot(const CompositionRoot&) = delete;
    CompositionRoot& operator=(const CompositionRoot&) = delete;

    std::shared_ptr<Logger> logger() { return context_.logger(); }
    // Created with its whole subscription list.
    std::shared_ptr<EventDispatcher> event_dispatcher();
    // Created with its descriptor handlers and named timers registered.
    std::shared_ptr<EventLoop> event_loop();
    // Composes everything the application needs, then the application itself with its stop
    // signal handlers.
    std::shared_ptr<Application> application();

private:
    void subscribe_all(EventDispatcher& dispatcher);
    void register_with(EventLoop& loop);

    ApplicationContext& context_;
    ServiceRegistry registry_;
};

}  // namespace voxapp
