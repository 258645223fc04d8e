#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/clocks.hpp"
#include "core/time_point.hpp"
#include "instruments/device_count_store.hpp"
#include "instruments/instrument_greeting.hpp"
#include "instruments/instrument_proxy.hpp"
#include "instruments/serial_device.hpp"
#include "instruments/serial_device_tracker.hpp"
#include "server/device.hpp"
#include "server/device_link.hpp"
#include "system/io/event_loop.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// What the device manager needs to serve instruments; without a tracker it serves only the
// router unit.
struct DeviceManagerInstruments {
    std::shared_ptr<SerialDeviceTracker> tracker;
    // Builds the proxy for an instrument that answered the hello; it keeps `port` (a copy).
    std::function<std::shared_ptr<InstrumentProxy>(SerialDevice port,
                                                   const InstrumentIdentity& identity)>
        make_instrument;
    GreetingTiming greeting;
    // A failed tty is greeted again once more than this has passed.
    std::chrono::milliseconds retry_period{60'000};
    UsbResetFunction reset = usbfs_reset;
    // Retries run on the monotonic clock.
    Clocks clocks;
    // Watches every instrument's line, so that bytes from an instrument end the main loop's
    // wait. Null: lines are read only on the passes that other work brings.
    EventLoop* event_loop = nullptr;
};

// The table of devices the server can talk to, each with its own DeviceLink, keyed by serial
// number: the instruments that answered the hello on their tty, and the router's own unit while
// the persisted device count is 0. A new tty is greeted over the passes of process_all (see
// InstrumentGreeting), never inside the tty handler, so that no greeting holds up the devices
// already registered. A tty whose greeting failed is greeted again after the retry period, for
// as long as it is plugged in.
//
// Threads: everything runs on the main loop thread (the tty handlers inside the netlink
// watcher's dispatch, process_all from the run loop); the mutex only serialises the handlers.
class DeviceManager {
public:
    using RouterUnitFactory = std::function<std::shared_ptr<Device>()>;
    using LinkFactory = std::function<std::unique_ptr<DeviceLink>(std::shared_ptr<Device>)>;

    using Instruments = DeviceManagerInstruments;

    DeviceManager(std::shared_ptr<Logger> logger, std::shared_ptr<DeviceCountStore> device_count,
                  std::uint32_t router_serial, RouterUnitFactory make_router_unit,
                  LinkFactory make_link, Instruments instruments = {});
    ~DeviceManager();
    DeviceManager(const DeviceManager&) = delete;
    DeviceManager& operator=(const DeviceManager&) = delete;

    // Once, right after construction: starts greeting the instruments already plugged in; once
    // those greetings have ended, registers the router unit when the stored count is 0.
    void start();
    // The tracker's callbacks.
    void on_serial_added(const std::string& tty_name);
    void on_serial_removed(const std::string& tty_name);
    // DeviceCountChanged: 0 registers the router unit, anything else deregisters it.
    void set_self_registered(std::uint8_t count);
    // Passes keep this cadence while a device has an exchange or a transfer in flight: the
    // time limits of the exchanges are checked on passes.
    static constexpr std::chrono::milliseconds kExchangeCadence{10};

    // Starts the greetings due for a retry, takes every greeting a step further, then one pass
    // of every device's work; errors other than EAGAIN are logged. Instruments whose tty vanished
    // are removed afterwards. Returns how long the devices can wait for the next pass: 0 when
    // one has more to do at once, the cadence while one has something in flight, the time until
    // the next greeting step, greeting retry or instrument reset, or nullopt when only an event
    // (a command, bytes on a line, a tty) can bring work.
    std::optional<std::chrono::milliseconds> process_all(float elapsed_seconds);

    bool has_device(std::uint32_t serial) const;
    std::size_t device_count() const;
    std::size_t pending_retries() const;
    std::size_t greetings_in_progress() const;

    // One registered device as status reports see it; the pointers live as long as the call.
    struct DeviceView {
        std::uint32_t serial = 0;
        std::uint8_t device_class = 0;
        std::uint32_t unit_type = 0;  // instruments only
        std::string tty_path;         // empty for the router unit
        const DeviceLink* link = nullptr;
        const InstrumentProxy* instrument = nullptr;  // null for the router unit
    };
    // Calls `visit` for every registered device, in serial number order. Main loop thread.
    void visit_devices(const std::function<void(const DeviceView&)>& visit) const;
    // Told of every instrument registered (true) or removed (false), on the main loop thread,
    // with the manager's lock held: it must not call back into the manager.
    void set_instrument_observer(std::function<void(const DeviceView&, bool added)> observer);

private:
    // The readiness watch of an instrument's line. One-shot: once it fired it stays quiet
    // until re-armed after the proxy had its pass, so bytes the proxy cannot read yet (a binary
    // transfer holds the line) never make the loop spin.
    class LineWatch final : public FdHandler {
    public:
        explicit LineWatch(int fd) : fd_(fd) {}
        ~LineWatch() override { unregister(); }
        int fd() const override { return fd_; }
        std::uint32_t events() const override { return EPOLLIN | EPOLLONESHOT; }
        void on_readable() override { fired_ = true; }
        void on_writable() override {}
        void on_error() override { fired_ = true; }
        void rearm();

    private:
        int fd_;
        bool fired_ = false;
    };

    struct Entry {
        std::shared_ptr<Device> device;
        std::unique_ptr<DeviceLink> link;
        std::string tty_path;  // empty for the router unit
        std::shared_ptr<InstrumentProxy> instrument;
        // Last, so that it leaves the loop before the rest of the entry goes.
        std::unique_ptr<LineWatch> watch;
        std::uint32_t unit_type = 0;
    };
    struct Retry {
        std::string name;
        TimePoint last_attempt;
    };
    struct Greeting {
        std::string name;
        bool retry = false;  // a failure is then logged as a failed retry
        std::unique_ptr<InstrumentGreeting> greeting;
        // Last, so that it leaves the loop before the greeting closes its port.
        std::unique_ptr<LineWatch> watch;
    };

    void register_self();
    void deregister_self();
    // `seen` receives the new number of serials seen when a registration added one; the caller
    // stores it once the lock is released.
    void add_serial_locked(const std::string& tty_name);
    void start_greeting(const std::string& tty_name, DevicePaths paths, bool retry);
    bool greeting(const std::string& tty_name) const;
    void greeting_pass(std::optional<std::uint32_t>& seen);
    void register_instrument(const SerialDevice& port, const InstrumentIdentity& identity,
                             std::optional<std::uint32_t>& seen);
    void retry_pass();
    void store_count(std::optional<std::uint32_t> seen);
    void remove_instrument(const std::string& tty_path);
    void remove_vanished();
    // The soonest of the greeting retries, greeting steps and instrument resets.
    std::optional<std::chrono::milliseconds> next_due_in(TimePoint now) const;
    void register_self_if_counted_zero();

    std::shared_ptr<Logger> logger_;
    std::shared_ptr<DeviceCountStore> device_count_;
    const std::uint32_t router_serial_;
    RouterUnitFactory make_router_unit_;
    LinkFactory make_link_;
    Instruments instruments_;
    mutable std::recursive_mutex mutex_;
    std::unordered_map<std::uint32_t, Entry> devices_;
    std::unordered_map<std::string, std::uint32_t> tty_serials_;
    std::vector<Retry> m_device_path_retries;
    // A list: an entry is destroyed where it stands (its watch leaves the loop before its port
    // closes), never moved over by another.
    std::list<Greeting> greetings_;
    // The router unit waits for the greetings of start-up: an instrument found then keeps it
    // from ever registering.
    bool deciding_self_ = false;
    std::unordered_set<std::uint32_t> serials_seen_;
    // Reused by process_all so that a device leaving the table mid-pass stays alive until its
    // turn is over.
    std::vector<std::shared_ptr<Device>> pass_;
    std::function<void(const DeviceView&, bool added)> instrument_observer_;

    static DeviceView view_of(const Entry& entry);
};

}  // namespace voxapp
