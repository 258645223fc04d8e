#include "cameras/camera_service.hpp"

#include <utility>

namespace voxapp {

namespace {

void publish(EventDispatcher& dispatcher, const CameraEvent& event) {
    std::visit([&dispatcher](const auto& typed) { dispatcher.publish(typed); }, event);
}

}  // namespace

CameraService::CameraService(std::shared_ptr<EventDispatcher> dispatcher,
                             std::shared_ptr<CameraRepository> repository,
                             std::shared_ptr<CameraQuery> query,
                             std::shared_ptr<CameraDriverFactory> drivers,
                             std::shared_ptr<CameraCredentialsProvider> credentials)
    : dispatcher_(std::move(dispatcher)),
      repository_(std::move(repository)),
      query_(std::move(query)),
      drivers_(std::move(drivers)),
      credentials_(std::move(credentials)) {}

// Drivers die before the maps they sit in are half gone: a driver's destruction drops its
// completions, so none can reach a map being torn down.
CameraService::~CameraService() {
    verifications_.clear();
    provisionings_.clear();
    limit_checks_.clear();
    probes_.clear();
    time_zone_pushes_.clear();
}

Status CameraService::publish_saved(Camera& camera) {
    if (Status saved = repository_->save(camera); !saved) {
        return saved;
    }
    for (const CameraEvent& event : camera.take_events()) {
        publish(*dispatcher_, event);
    }
    return {};
}

template <typename Operation>
Status CameraService::command(std::string_view id_text, Operation operation) {
    auto id = Uuid::parse(id_text);
    if (!id) {
        return id.error();
    }
    auto camera = repository_->find_by_id(*id);
    if (!camera) {
        return camera.error();
    }
    if (Status applied = operation(*camera); !applied) {
        return applied;
    }
    return publish_saved(*camera);
}

Status CameraService::reconcile_discovered(std::string_view mac_text, std::string_view ip_text) {
    auto mac = MacAddress::parse(mac_text);
    if (!mac) {
        return mac.error();
    }
    auto ip = Ipv4Address::parse(ip_text);
    if (!ip) {
        return ip.error();
    }
    auto known = repository_->find_by_mac(*mac);
    if (known) {
        return follow_move(*known, *ip);
    }
    auto id = repository_->new_id();
    if (!id) {
        return id.error();
    }
    Camera camera = Camera::create(*id, *mac, *ip);
    return publish_saved(camera);
}

// Whoever answers at a camera's new address may be another host that took its MAC: the camera
// is not used there, and no verification from the old address counts, until the stored
// credentials are proven at the new one.
Status CameraService::follow_move(Camera& camera, const Ipv4Address& ip) {
    const bool moved = !(camera.ip() == ip);
    (void)camera.change_ip(ip);
    if (moved && camera.status() == CameraStatus::Online) {
        (void)camera.go_offline();
    }
    if (Status saved = publish_saved(camera); !saved) {
        return saved;
    }
    if (moved && camera.stored_credentials()) {
        verifications_.erase(camera.id().octets());
        (void)verify(camera.id().to_string());
    }
    return {};
}

Status CameraService::mark_online(std::string_view id) {
    return command(id, [](Camera& camera) { return camera.go_online(); });
}

Status CameraService::mark_offline(std::string_view id) {
    return command(id, [](Camera& camera) { return camera.go_offline(); });
}

Status CameraService::invalidate_credentials(std::string_view id) {
    return command(id, [](Camera& camera) { return camera.invalidate_credentials(); });
}

Status CameraService::mark_provisioned(std::string_view id) {
    return command(id, [](Camera& camera) { return camera.bootstrap(); });
}

Status CameraService::mark_provisioning_failed(std::string_view id) {
    return command(id, [](Camera& camera) { return camera.reset_provisioning(); });
}

Status CameraService::set_credentials(std::string_view id_text, const std::string& user_name,
                                      const std::string& password) {
    auto id = Uuid::parse(id_text);
    if (!id) {
        return id.error();
    }
    if (user_name.empty()) {
        return Error::fixed("Username cannot be empty");
    }
    if (password.empty()) {
        return Error::fixed("Password cannot be empty");
    }
    return command(id_text, [&](Camera& camera) {
        return camera.set_credentials(CameraCredential{user_name, password});
    });
}

Result<std::unique_ptr<CameraDriver>> CameraService::driver_for(const Uuid& id) {
    auto camera = repository_->find_by_id(id);
    if (!camera) {
        return camera.error();
    }
    auto credential = camera->credentials();
    if (!credential) {
        return credential.error();
    }
    return drivers_->create(camera->ip(), *credential);
}

// A completion runs inside the driver that the map entry owns; erasing the entry destroys that
// driver and the completion with it, so everything needed afterwards is copied out first.

template <typename Start, typename Finish>
Status CameraService::start_once(Requests& requests, std::string_view id_text, Start start,
                                 Finish finish) {
    auto id = Uuid::parse(id_text);
    if (!id) {
        return id.error();
    }
    const Key key = id->octets();
    if (requests.count(key) != 0) {
        return {};
    }
    auto driver = driver_for(*id);
    if (!driver) {
        return driver.error();
    }
    CameraDriver& started = **driver;
    requests[key] = std::move(*driver);
    start(started, [this, &requests, key, text = id->to_string(), finish](CameraOutcome outcome) {
        CameraService& self = *this;
        const std::string camera = text;
        const Key entry = key;
        const Finish then = finish;
        requests.erase(entry);
        then(self, camera, outcome);
    });
    return {};
}

Status CameraService::verify(std::string_view id) {
    return start_once(
        verifications_, id,
        [](CameraDriver& driver, CameraDriver::Done done) { driver.get_device_info(std::move(done)); },
        [](CameraService& self, const std::string& camera, const CameraOutcome& outcome) {
            if (outcome) {
                (void)self.mark_online(camera);
            } else if (outcome.error() == CameraDriverError::Unauthorized) {
                (void)self.invalidate_credentials(camera);
            } else {
                (void)self.mark_offline(camera);
            }
        });
}

Status CameraService::probe_credentials(std::string_view id_text) {
    auto id = Uuid::parse(id_text);
    if (!id) {
        return id.error();
    }
    const Key key = id->octets();
    if (probes_.count(key) != 0) {
        return {};
    }
    auto camera = repository_->find_by_id(*id);
    if (!camera) {
        return camera.error();
    }
    probes_[key] = Probe{credentials_->candidates(), 0, nullptr};
    try_next_candidate(*id);
    return {};
}

void CameraService::try_next_candidate(const Uuid& id) {
    const Key key = id.octets();
    auto probe = probes_.find(key);
    if (probe == probes_.end()) {
        return;
    }
    if (probe->second.index >= probe->second.candidates.size()) {
        probes_.erase(probe);
        return;
    }
    auto camera = query_->find_summary_by_id(id);
    if (!camera) {
        probes_.erase(probe);
        return;
    }
    const CameraCredential candidate = probe->second.candidates[probe->second.index];
    // Replacing the driver of the previous attempt may be the completion that called us: it
    // touches nothing of its own after this call.
    probe->second.driver = drivers_->create(camera->ip, candidate);
    CameraDriver& driver = *probe->second.driver;
    driver.get_device_info([this, id, candidate](CameraOutcome outcome) {
        CameraService& self = *this;
        const Uuid camera_id = id;
        const CameraCredential tried = candidate;
        auto state = self.probes_.find(camera_id.octets());
        if (state == self.probes_.end()) {
            return;
        }
        if (outcome) {
            self.probes_.erase(state);
            // Credentials that come back unchanged (a camera that refused them for a while)
            // publish no change and so start no verification; start it here, or the camera
            // would stay invalid for good.
            auto stored = self.repository_->find_by_id(camera_id);
            const bool unchanged =
                stored && stored->stored_credentials() == std::optional<CameraCredential>(tried);
            if (unchanged) {
                (void)self.verify(camera_id.to_string());
            } else {
                (void)self.set_credentials(camera_id.to_string(), tried.user_name, tried.password);
            }
            return;
        }
        ++state->second.index;
        self.try_next_candidate(camera_id);
    });
}

Status CameraService::provision(std::string_view id) {
    return start_once(
        provisionings_, id,
        [](CameraDriver& driver, CameraDriver::Done done) { driver.provision(std::move(done)); },
        [](CameraService& self, const std::string& camera, const CameraOutcome& outcome) {
            if (outcome) {
                (void)self.mark_provisioned(camera);
            } else {
                (void)self.mark_provisioning_failed(camera);
            }
        });
}

Status CameraService::push_time_zone(std::string_view id_text, const std::string& zone_name) {
    auto id = Uuid::parse(id_text);
    if (!id) {
        return id.error();
    }
    const Key key = id->octets();
    if (auto running = time_zone_pushes_.find(key); running != time_zone_pushes_.end()) {
        running->second.pending = zone_name;
        return {};
    }
    auto driver = driver_for(*id);
    if (!driver) {
        return driver.error();
    }
    CameraDriver& started = **driver;
    time_zone_pushes_[key] = TimeZonePush{std::move(*driver), std::nullopt};
    started.set_time_zone(zone_name, [this, key, text = id->to_string()](CameraOutcome) {
        CameraService& self = *this;
        const std::string camera = text;
        auto entry = self.time_zone_pushes_.find(Key(key));
        if (entry == self.time_zone_pushes_.end()) {
            return;
        }
        std::optional<std::string> pending = std::move(entry->second.pending);
        self.time_zone_pushes_.erase(entry);
        if (pending) {
            (void)self.push_time_zone(camera, *pending);
        }
    });
    return {};
}

Status CameraService::enforce_streaming_limits(std::string_view id) {
    return start_once(
        limit_checks_, id,
        [](CameraDriver& driver, CameraDriver::Done done) {
            driver.enforce_streaming_limits(std::move(done));
        },
        [](CameraService&, const std::string&, const CameraOutcome&) {});
}

std::size_t CameraService::requests_in_flight() const {
    return verifications_.size() + provisionings_.size() + limit_checks_.size() + probes_.size() +
           time_zone_pushes_.size();
}

}  // namespace voxapp
