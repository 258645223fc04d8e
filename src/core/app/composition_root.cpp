#include "core/app/composition_root.hpp"

#include "core/app/fatal.hpp"
#include "system/events/event_logger.hpp"
#include "system/events/events.hpp"

namespace voxapp {

std::shared_ptr<EventDispatcher> CompositionRoot::event_dispatcher() {
    return registry_.get<EventDispatcher>([this] {
        std::shared_ptr<EventDispatcher> dispatcher =
            require(EventDispatcher::create(), "App::System::Events::EventDispatcher");
        subscribe_all(*dispatcher);
        return dispatcher;
    });
}

std::shared_ptr<EventLoop> CompositionRoot::event_loop() {
    return registry_.get<EventLoop>([this] {
        auto loop =
            std::make_shared<EventLoop>(require(EventLoop::create(), "App::System::IO::EventLoop"));
        register_with(*loop);
        return loop;
    });
}

std::shared_ptr<Application> CompositionRoot::application() {
    return registry_.get<Application>([this] {
        event_dispatcher();
        auto logger = this->logger();
        auto loop = event_loop();
        const Settings& settings = context_.settings();
        auto application = std::make_shared<Application>(
            logger, *loop, Application::PassWork{},
            Application::Heartbeat{settings.heartbeat_path, settings.heartbeat_interval});
        application->install_signal_handlers();
        return application;
    });
}

void CompositionRoot::subscribe_all(EventDispatcher& dispatcher) {
    // The order matters: handlers of one event run in subscription order, so a mounted USB
    // storage first takes the log file, then is logged.
    std::shared_ptr<FileSink> file_sink = context_.file_sink();
    dispatcher.subscribe<StorageMounted>(
        [file_sink](const StorageMounted& event) { file_sink->on_storage_mounted(event.storage); });
    dispatcher.subscribe<StorageUnmounted>([file_sink](const StorageUnmounted& event) {
        // Until storages can be listed, leaving the USB storage means going back inside.
        file_sink->on_storage_unmounted(event.storage, {});
    });
    subscribe_event_logger(dispatcher, logger());
}

void CompositionRoot::register_with(EventLoop& /*loop*/) {
    // Descriptor handlers and named timers join here as their services arrive.
}

}  // namespace voxapp
