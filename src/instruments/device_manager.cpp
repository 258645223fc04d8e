#include "instruments/device_manager.hpp"

#include <algorithm>
#include <cerrno>

#include "instruments/usb_device_paths.hpp"

namespace voxapp {

namespace {

constexpr const char* kTtyPrefix = "/dev/";

std::int64_t nanoseconds(std::chrono::milliseconds duration) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

// Rounded up to the next millisecond, so that a wait never ends just before its due time.
std::chrono::milliseconds until(TimePoint due, TimePoint now) {
    return std::chrono::milliseconds(std::max<std::int64_t>(0, due - now) / 1'000'000 + 1);
}

void keep_soonest(std::optional<std::chrono::milliseconds>& soonest,
                  std::optional<std::chrono::milliseconds> candidate) {
    if (candidate && (!soonest || *candidate < *soonest)) {
        soonest = candidate;
    }
}

}  // namespace

DeviceManager::DeviceManager(std::shared_ptr<Logger> logger,
                             std::shared_ptr<DeviceCountStore> device_count,
                             std::uint32_t router_serial, RouterUnitFactory make_router_unit,
                             LinkFactory make_link, Instruments instruments)
    : logger_(std::move(logger)),
      device_count_(std::move(device_count)),
      router_serial_(router_serial),
      make_router_unit_(std::move(make_router_unit)),
      make_link_(std::move(make_link)),
      instruments_(std::move(instruments)) {}

DeviceManager::~DeviceManager() {
    std::lock_guard lock(mutex_);
    greetings_.clear();
    for (auto& [serial, entry] : devices_) {
        entry.link->stop();
    }
    devices_.clear();
}

void DeviceManager::start() {
    if (instruments_.tracker) {
        instruments_.tracker->scan();
    }
    {
        std::lock_guard lock(mutex_);
        deciding_self_ = !greetings_.empty();
    }
    // Outside the lock: reading the count takes the store's lock, which is held while it
    // publishes the count changes that come back here.
    if (!deciding_self_) {
        register_self_if_counted_zero();
    }
}

void DeviceManager::register_self_if_counted_zero() {
    auto count = device_count_->get();
    if (count && *count == 0) {
        register_self();
    }
}

void DeviceManager::set_self_registered(std::uint8_t count) {
    if (count == 0) {
        register_self();
    } else {
        deregister_self();
    }
}

void DeviceManager::register_self() {
    std::lock_guard lock(mutex_);
    if (devices_.contains(router_serial_)) {
        return;
    }
    logger_->info("[DeviceManager] Registering self as a device");
    std::shared_ptr<Device> unit = make_router_unit_();
    std::unique_ptr<DeviceLink> link = make_link_(unit);
    link->start();
    devices_.emplace(router_serial_,
                     Entry{std::move(unit), std::move(link), {}, nullptr, nullptr});
}

void DeviceManager::deregister_self() {
    std::lock_guard lock(mutex_);
    auto found = devices_.find(router_serial_);
    if (found == devices_.end() || found->second.instrument) {
        return;
    }
    logger_->info("[DeviceManager] Deregistering self as a device");
    found->second.link->stop();
    devices_.erase(found);
}

void DeviceManager::on_serial_added(const std::string& name) {
    std::lock_guard lock(mutex_);
    add_serial_locked(name);
}

void DeviceManager::store_count(std::optional<std::uint32_t> seen) {
    // Outside the manager's lock: storing publishes DeviceCountChanged, whose handler takes the
    // lock again, and the dispatcher's lock must never be taken inside the manager's.
    if (!seen) {
        return;
    }
    if (Status stored = device_count_->set(*seen); !stored) {
        logger_->error("[DeviceManager] Failed to set the number of devices, error code " +
                       std::to_string(stored.error().code()));
    }
}

void DeviceManager::add_serial_locked(const std::string& name) {
    if (tty_serials_.contains(kTtyPrefix + name) || greeting(name)) {
        return;
    }
    auto paths = resolve_device_paths(name);
    if (!paths) {
        logger_->error("[DeviceManager] Failed to resolve the device path for " + name +
                       ". Will retry again later.");
        m_device_path_retries.push_back({name, instruments_.clocks.monotonic()});
        return;
    }
    logger_->info("[DeviceManager] New serial device detected: " + paths->tty_path + " (" +
                  (paths->usb_node.empty() ? "No real path detected" : paths->usb_node) + ")");
    start_greeting(name, std::move(*paths), false);
}

void DeviceManager::start_greeting(const std::string& name, DevicePaths paths, bool retry) {
    greetings_.push_back(
        {name, retry,
         std::make_unique<InstrumentGreeting>(std::move(paths), logger_, instruments_.greeting,
                                              instruments_.reset, instruments_.clocks.monotonic()),
         nullptr});
}

bool DeviceManager::greeting(const std::string& name) const {
    return std::any_of(greetings_.begin(), greetings_.end(),
                       [&name](const Greeting& entry) { return entry.name == name; });
}

void DeviceManager::greeting_pass(std::optional<std::uint32_t>& seen) {
    const TimePoint now = instruments_.clocks.monotonic();
    for (auto it = greetings_.begin(); it != greetings_.end();) {
        Greeting& entry = *it;
        if (!entry.greeting->step(now)) {
            if (!entry.watch && entry.greeting->fd() >= 0 && instruments_.event_loop != nullptr) {
                // Without the watch the reply is still read on the empty-poll cadence.
                entry.watch = std::make_unique<LineWatch>(entry.greeting->fd());
                (void)instruments_.event_loop->add(*entry.watch);
            } else if (entry.watch) {
                entry.watch->rearm();
            }
            ++it;
            continue;
        }
        const std::string path = entry.greeting->paths().tty_path;
        if (const auto& outcome = entry.greeting->outcome(); outcome) {
            register_instrument(entry.greeting->port(), *outcome, seen);
            if (entry.retry) {
                std::erase_if(m_device_path_retries,
                              [&entry](const Retry& retry) { return retry.name == entry.name; });
            }
        } else if (entry.retry) {
            logger_->error("[DeviceManager] Failed to register a device " + path +
                           " after a retry. Will retry again in 60 seconds.");
        } else {
            m_device_path_retries.push_back({entry.name, now});
        }
        // The greeting's copy of the port closes here; a registered instrument keeps its own.
        it = greetings_.erase(it);
    }
}

void DeviceManager::register_instrument(const SerialDevice& port,
                                        const InstrumentIdentity& identity,
                                        std::optional<std::uint32_t>& seen) {
    const std::uint32_t serial = identity.serial_number;
    std::shared_ptr<InstrumentProxy> proxy;
    if (instruments_.make_instrument) {
        proxy = instruments_.make_instrument(port, identity);
    }
    logger_->info("[DeviceManager] Adding a new KELMARO device (tty: " + port.tty_path() +
                  ", serial: " + std::to_string(serial) + ")");
    if (devices_.contains(serial) || !proxy) {
        // The instrument already registered under this serial keeps it; this tty is not
        // recorded, so that unplugging it never removes the first one.
        logger_->warning("[DeviceManager] Serial " + std::to_string(serial) +
                         " is already registered; ignoring the device on " + port.tty_path());
    } else {
        tty_serials_.emplace(port.tty_path(), serial);
        std::unique_ptr<DeviceLink> link = make_link_(proxy);
        link->start();
        std::unique_ptr<LineWatch> watch;
        if (instruments_.event_loop != nullptr) {
            watch = std::make_unique<LineWatch>(proxy->line_fd());
            // Without the watch the line is still read on every pass that other work brings.
            if (Status added = instruments_.event_loop->add(*watch); !added) {
                logger_->error("[DeviceManager] Cannot watch " + port.tty_path() +
                               " for input, error " + std::to_string(added.error().code()));
            }
        }
        auto [added, _] = devices_.emplace(
            serial, Entry{proxy, std::move(link), port.tty_path(), proxy, std::move(watch)});
        added->second.unit_type = identity.unit_type;
        if (instrument_observer_) {
            instrument_observer_(view_of(added->second), true);
        }
    }
    if (serials_seen_.insert(serial).second) {
        seen = static_cast<std::uint32_t>(serials_seen_.size());
    }
}

void DeviceManager::on_serial_removed(const std::string& name) {
    std::lock_guard lock(mutex_);
    const std::string path = kTtyPrefix + name;
    logger_->debug("Device removed: " + path);
    std::erase_if(greetings_, [&name](const Greeting& entry) { return entry.name == name; });
    std::erase_if(m_device_path_retries, [&](const Retry& retry) {
        if (retry.name != name) {
            return false;
        }
        logger_->debug("Found in m_device_path_retries, removing: " + path);
        return true;
    });
    remove_instrument(path);
}

void DeviceManager::remove_instrument(const std::string& path) {
    auto tty = tty_serials_.find(path);
    if (tty == tty_serials_.end()) {
        return;
    }
    const std::uint32_t serial = tty->second;
    logger_->info("[DeviceManager] Removing an existing KELMARO device (tty: " + path +
                  ", serial: " + std::to_string(serial) + ")");
    if (auto entry = devices_.find(serial); entry != devices_.end()) {
        if (instrument_observer_) {
            instrument_observer_(view_of(entry->second), false);
        }
        entry->second.link->stop();
        devices_.erase(entry);
    }
    tty_serials_.erase(tty);
}

void DeviceManager::retry_pass() {
    const TimePoint now = instruments_.clocks.monotonic();
    const std::int64_t period = nanoseconds(instruments_.retry_period);
    for (Retry& retry : m_device_path_retries) {
        if (now - retry.last_attempt <= period || greeting(retry.name)) {
            continue;
        }
        auto paths = resolve_device_paths(retry.name);
        retry.last_attempt = now;
        if (!paths) {
            logger_->error("[DeviceManager] Failed to resolve the device path for " + retry.name +
                           " after a retry. Will retry again in 60 seconds.");
            continue;
        }
        logger_->info("[DeviceManager] Retrying to register a device " + paths->tty_path +
                      " after a failed attempt.");
        start_greeting(retry.name, std::move(*paths), true);
    }
}

void DeviceManager::LineWatch::rearm() {
    if (fired_ && registered()) {
        fired_ = false;
        (void)event_loop()->modify(*this);
    }
}

std::optional<std::chrono::milliseconds> DeviceManager::next_due_in(TimePoint now) const {
    std::optional<std::chrono::milliseconds> soonest;
    const std::int64_t period = nanoseconds(instruments_.retry_period);
    for (const Retry& retry : m_device_path_retries) {
        // Due once more than the period has passed.
        keep_soonest(soonest, until(retry.last_attempt + period, now));
    }
    for (const Greeting& entry : greetings_) {
        keep_soonest(soonest, until(entry.greeting->due(), now));
    }
    for (const auto& [serial, entry] : devices_) {
        if (entry.instrument) {
            keep_soonest(soonest, entry.instrument->reset_due_in());
        }
    }
    return soonest;
}

std::optional<std::chrono::milliseconds> DeviceManager::process_all(float /*elapsed_seconds*/) {
    std::optional<std::uint32_t> seen;
    bool decide_self = false;
    {
        std::lock_guard lock(mutex_);
        retry_pass();
        greeting_pass(seen);
        if (deciding_self_ && greetings_.empty()) {
            deciding_self_ = false;
            decide_self = true;
        }
        pass_.clear();
        for (const auto& [serial, entry] : devices_) {
            pass_.push_back(entry.device);
        }
    }
    store_count(seen);
    if (decide_self) {
        register_self_if_counted_zero();
    }
    // Devices are processed outside the lock: a command may change the stored count, whose
    // event comes back here. A device that leaves the table meanwhile stays alive in pass_
    // until its turn is over. Everything runs on the main loop thread, so nothing else touches
    // pass_ meanwhile.
    DeviceActivity busiest = DeviceActivity::idle;
    for (const auto& device : pass_) {
        auto processed = device->process();
        if (!processed && processed.error().code() != EAGAIN) {
            logger_->error("Error processing device: " + std::to_string(processed.error().code()));
        }
        const DeviceActivity activity = device->activity();
        if (activity == DeviceActivity::ready ||
            (activity == DeviceActivity::waiting && busiest == DeviceActivity::idle)) {
            busiest = activity;
        }
    }
    pass_.clear();
    std::lock_guard lock(mutex_);
    remove_vanished();
    for (auto& [serial, entry] : devices_) {
        // A line that a transfer reads stays unwatched until the transfer ends (the link wakes
        // the loop then); a gone one is about to be removed.
        if (entry.watch && !entry.instrument->transferring() && !entry.instrument->gone()) {
            entry.watch->rearm();
        }
    }
    switch (busiest) {
        case DeviceActivity::ready:
            return std::chrono::milliseconds(0);
        case DeviceActivity::waiting:
            return kExchangeCadence;
        case DeviceActivity::idle:
            break;
    }
    return next_due_in(instruments_.clocks.monotonic());
}

void DeviceManager::remove_vanished() {
    std::vector<std::string> vanished;
    for (const auto& [serial, entry] : devices_) {
        if (entry.instrument && entry.instrument->gone()) {
            vanished.push_back(entry.tty_path);
        }
    }
    for (const std::string& path : vanished) {
        remove_instrument(path);
        // Its removal event may never come (or came already); a later addition of the same
        // name must be greeted afresh.
        if (instruments_.tracker) {
            instruments_.tracker->forget(path.substr(std::char_traits<char>::length(kTtyPrefix)));
        }
    }
}

bool DeviceManager::has_device(std::uint32_t serial) const {
    std::lock_guard lock(mutex_);
    return devices_.contains(serial);
}

std::size_t DeviceManager::device_count() const {
    std::lock_guard lock(mutex_);
    return devices_.size();
}

std::size_t DeviceManager::pending_retries() const {
    std::lock_guard lock(mutex_);
    return m_device_path_retries.size();
}

std::size_t DeviceManager::greetings_in_progress() const {
    std::lock_guard lock(mutex_);
    return greetings_.size();
}

DeviceManager::DeviceView DeviceManager::view_of(const Entry& entry) {
    DeviceView view;
    view.serial = entry.device->serial_number();
    view.device_class = entry.device->device_class();
    view.unit_type = entry.unit_type;
    view.tty_path = entry.tty_path;
    view.link = entry.link.get();
    view.instrument = entry.instrument.get();
    return view;
}

void DeviceManager::visit_devices(const std::function<void(const DeviceView&)>& visit) const {
    std::lock_guard lock(mutex_);
    std::vector<std::uint32_t> serials;
    serials.reserve(devices_.size());
    for (const auto& [serial, entry] : devices_) {
        serials.push_back(serial);
    }
    std::sort(serials.begin(), serials.end());
    for (const std::uint32_t serial : serials) {
        visit(view_of(devices_.at(serial)));
    }
}

void DeviceManager::set_instrument_observer(
    std::function<void(const DeviceView&, bool added)> observer) {
    std::lock_guard lock(mutex_);
    instrument_observer_ = std::move(observer);
}

}  // namespace voxapp
