#include "app/composition_root.hpp"

#include "app/fatal.hpp"
#include "app/wiring.hpp"
#include "system/events/event_logger.hpp"

namespace voxapp {

std::shared_ptr<Application> CompositionRoot::application() {
    return registry_.get<Application>([this] {
        auto manager = device_manager();
        auto logger = this->logger();
        subscribe_all();
        auto loop = event_loop();
        register_with_event_loop();
        const Settings& settings = context_.settings();
        auto application = std::make_shared<Application>(
            logger, *loop, [manager](float elapsed) { return manager->process_all(elapsed); },
            Application::Heartbeat{settings.heartbeat_path, settings.heartbeat_interval});
        application->install_signal_handlers();
        return application;
    });
}

std::shared_ptr<EventDispatcher> CompositionRoot::event_dispatcher() {
    return registry_.get<EventDispatcher>([] {
        return std::shared_ptr<EventDispatcher>(
            require(EventDispatcher::create(), "App::System::Events::EventDispatcher"));
    });
}

std::shared_ptr<EventLoop> CompositionRoot::event_loop() {
    return registry_.get<EventLoop>([] {
        return std::make_shared<EventLoop>(
            require(EventLoop::create(), "App::System::IO::EventLoop"));
    });
}

void CompositionRoot::subscribe_all() {
    if (subscribed_) {
        return;
    }
    subscribed_ = true;
    // Handlers of one event run in subscription order: a mounted USB storage first takes the
    // log file, then is logged, then reaches the services that store data on it.
    subscribe_log_file_to_storage(*this);
    subscribe_event_logger(*event_dispatcher(), logger());
    subscribe_instruments(*this);
    subscribe_cameras(*this);
    subscribe_recordings(*this);
    subscribe_bus_events(*this);
}

void CompositionRoot::register_with_event_loop() {
    if (registered_) {
        return;
    }
    registered_ = true;
    auto loop = event_loop();
    register_instruments(*this, *loop);
    register_platform(*this, *loop);
    register_cameras(*this, *loop);
    register_recordings(*this, *loop);
    register_bus(*this, *loop);
}

}  // namespace voxapp
