#include "server/device_link.hpp"

#include <cerrno>
#include <string_view>
#include <thread>

#include "server/reply_kind.hpp"
#include "system/logging/tagging_logger.hpp"

namespace voxapp {

ServerEndpoint DeviceLink::endpoint_for(std::uint8_t device_class, const Settings& settings) {
    if (device_class == 0 || device_class == 1) {
        return {settings.remote_address_rd, settings.remote_port_rd, settings.remote_timeout_rd,
                settings.ca_path};
    }
    return {settings.remote_address, settings.remote_port, settings.remote_timeout,
            settings.ca_path};
}

DeviceLink::DeviceLink(std::shared_ptr<Device> device, const Settings& settings,
                       std::shared_ptr<Logger> logger, const Factories& factories, Timing timing)
    : device_(std::move(device)),
      logger_(std::make_shared<TaggingLogger>(std::move(logger),
                                              std::to_string(device_->serial_number()))),
      timing_(timing),
      work_queued_(factories.work_queued) {
    logger_->info("Creating components");
    for (const ComponentSwitch& entry : settings.components) {
        std::shared_ptr<Logger> component_logger = entry.log ? logger_ : nullptr;
        switch (entry.id) {
            case ComponentId::remote_connection:
                logger_->info("Creating TCP component with SSL");
                if (factories.connection) {
                    components_.push_back(factories.connection(
                        endpoint_for(device_->device_class(), settings), component_logger, *this));
                }
                break;
            case ComponentId::gps_location:
                if (!device_->has_gps_tracker()) {
                    logger_->info("GpsTracker component is not supported by this device");
                    break;
                }
                logger_->info("Creating GpsTracker component");
                if (factories.gps_tracker) {
                    components_.push_back(factories.gps_tracker(*this, component_logger));
                }
                break;
            case ComponentId::event_tracker:
                break;
        }
    }
}

DeviceLink::~DeviceLink() {
    stopping_ = true;
    {
        std::lock_guard alive(liveness_->mutex);
        liveness_->alive = false;
    }
    // Destroying a component joins its thread, which may still call back into this link until
    // then, so the components go first.
    components_.clear();
    std::lock_guard lock(subscriptions_mutex_);
    for (const int id : subscriptions_) {
        device_->unsubscribe_messages(id);
    }
}

void DeviceLink::start() {
    if (started_) {
        return;
    }
    started_ = true;
    for (const auto& component : components_) {
        component->start();
    }
}

void DeviceLink::stop() {
    if (!started_) {
        return;
    }
    // The caller may hold the device lock a transfer waits for (an exchange in flight on the
    // main thread): the transfer must give up before its thread is joined.
    stopping_ = true;
    for (const auto& component : components_) {
        component->stop();
    }
}

void DeviceLink::enqueue(RemoteConnection* connection, std::uint16_t request_id, std::string text,
                         CommandExpiry expiry) {
    const bool binary = connection != nullptr && is_binary_reply_command(text);
    Device::ReplyCallback reply;
    if (connection != nullptr) {
        // The request id means something only to the session that sent it.
        const std::uint64_t link = connection->current_link();
        reply = [liveness = liveness_, connection, link, request_id,
                 binary](const std::string& answer) {
            std::lock_guard alive(liveness->mutex);
            if (!liveness->alive) {
                return;
            }
            (void)connection->queue_reply_on(link, request_id, answer, binary);
        };
    }
    device_->enqueue_command(std::move(text), std::move(reply), expiry);
    if (work_queued_) {
        work_queued_();
    }
}

void DeviceLink::on_unsolicited(RemoteConnection& connection, const char* text,
                                std::size_t length) {
    enqueue(&connection, 0, std::string(text, length), std::nullopt);
}

void DeviceLink::on_command(RemoteConnection& connection, std::uint16_t request_id,
                            const char* text, std::size_t length, CommandExpiry expiry) {
    enqueue(&connection, request_id, std::string(text, length), expiry);
}

void DeviceLink::submit_command(std::string text, TimePoint expiry) {
    // The tracker expects no answer: the reply is dropped.
    enqueue(nullptr, 0, std::move(text), expiry);
}

void DeviceLink::on_binary_begin(RemoteConnection&, std::uint16_t request_id, const char* data,
                                 std::size_t length) {
    binary_request_id_ = request_id;
    transfer_ = Transfer::none;
    while (!device_->try_lock_for(timing_.lock_slice)) {
        if (stopping_) {
            // The rest of the frame passes by unwritten; nothing was taken, nothing is given back.
            logger_->error("Binary transfer to the device given up: the link is stopping");
            return;
        }
    }
    transfer_ = Transfer::writing;
    write_piece(data, length);
}

void DeviceLink::on_binary_chunk(RemoteConnection&, const char* data, std::size_t length) {
    write_piece(data, length);
}

void DeviceLink::write_piece(const char* data, std::size_t length) {
    if (transfer_ != Transfer::writing || length == 0) {
        return;
    }
    if (Status written = device_->write_data(data, length); !written) {
        // What is left of the payload would land in the instrument after a gap: the transfer
        // is lost, and the server hears so at its end.
        logger_->error("Binary transfer to the device failed, error " +
                       std::to_string(written.error().code()));
        transfer_ = Transfer::failed;
    }
}

void DeviceLink::on_binary_end(RemoteConnection& connection, const char* data, std::size_t length) {
    if (transfer_ == Transfer::none) {
        return;
    }
    write_piece(data, length);
    if (transfer_ == Transfer::failed) {
        static constexpr std::string_view kFailed = "#9,?;";
        (void)connection.send_reply(binary_request_id_, kFailed.data(), kFailed.size());
        end_transfer();
        return;
    }
    char answer[1024];
    const auto deadline = std::chrono::steady_clock::now() + timing_.answer_timeout;
    while (!stopping_) {
        auto read = device_->read_data(answer, sizeof answer);
        if (read) {
            if (*read > 0) {
                (void)connection.send_reply(binary_request_id_, answer, *read);
            }
            break;
        }
        if (read.error().code() != EAGAIN) {
            break;
        }
        // The worker thread, and with it the whole connection, waits here: an instrument that
        // never answers must not keep it for ever.
        if (std::chrono::steady_clock::now() >= deadline) {
            logger_->error("No answer from the device to the binary transfer within " +
                           std::to_string(timing_.answer_timeout.count() / 1000) +
                           " seconds; releasing it without a reply");
            break;
        }
        std::this_thread::sleep_for(timing_.answer_poll);
    }
    end_transfer();
}

void DeviceLink::end_transfer() {
    transfer_ = Transfer::none;
    device_->unlock();
    if (work_queued_) {
        work_queued_();
    }
}

void DeviceLink::on_binary_abandoned(RemoteConnection&) {
    if (transfer_ == Transfer::none) {
        return;
    }
    // The device was left with half a payload; it gets its lock back so that its command
    // exchanges go on.
    logger_->error("Binary transfer to the device abandoned; releasing it");
    end_transfer();
}

void DeviceLink::on_started(RemoteConnection& connection) {
    const int id = device_->subscribe_messages(
        [liveness = liveness_, &connection](const std::string& message) {
            std::lock_guard alive(liveness->mutex);
            if (liveness->alive) {
                (void)connection.queue_reply(0, message, false);
            }
        });
    std::lock_guard lock(subscriptions_mutex_);
    subscriptions_.push_back(id);
}

std::optional<LinkStatus> DeviceLink::link_status() const {
    for (const auto& component : components_) {
        if (auto status = component->link_status()) {
            return status;
        }
    }
    return std::nullopt;
}

}  // namespace voxapp
