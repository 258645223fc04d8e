#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/clocks.hpp"
#include "core/time_point.hpp"
#include "instruments/device_count_store.hpp"
#include "instruments/instrument_reply_assembler.hpp"
#include "instruments/serial_device.hpp"
#include "platform/gps_source.hpp"
#include "server/command.hpp"
#include "server/device.hpp"
#include "server/unit_request_handler.hpp"
#include "system/logging/logger.hpp"

namespace voxapp {

// Reply time limits of an instrument's exchange and the pace of its resets; tests shorten them.
struct InstrumentTiming {
    std::chrono::milliseconds long_command{35'000};  // "#9," commands
    std::chrono::milliseconds basic{2'000};          // instruments with a GPS tracker
    std::chrono::milliseconds model{10'000};
    // After five failures the USB reset is tried, then again after this pause, doubled on every
    // further try up to the longest pause, until an exchange succeeds or the tty goes.
    std::chrono::milliseconds first_reset_pause{1'000};
    std::chrono::milliseconds longest_reset_pause{60'000};
};

// One registered instrument: queues the server's commands and, on every main-loop pass, does one
// step of the serial exchange (send, collect the reply, time out and retry, or after five
// failures in a row reset the instrument at the USB level). Commands the instrument kind cannot
// answer are answered by the router (is_unsupported / handle_unsupported). Text the instrument
// sends on its own, or around a reply, reaches the message subscribers.
//
// process never waits for the instrument: a command the line cannot take whole goes out over
// later passes, from where it stopped, and a line that takes nothing for the whole time limit
// counts as a timeout. Time limits run on the monotonic clock of `clocks`.
//
// Threads: enqueue_command on a connection's worker thread or a GPS tracker's; try_lock_for,
// write_data, read_data and unlock on a connection's worker thread for long binary transfers;
// process on the main loop thread, which never waits for the device lock: while a transfer holds
// it, process does nothing (EAGAIN). Subscriber callbacks run on the main loop thread.
class InstrumentProxy : public Device {
public:
    // At most this many commands wait; more are refused (logged once per burst).
    static constexpr std::size_t kMaxQueuedCommands = 256;

    struct Services {
        std::shared_ptr<GpsSource> gps;
        std::shared_ptr<DeviceCountStore> device_count;
        std::shared_ptr<UnitRequestHandler> requests;
    };

    ~InstrumentProxy() override;

    std::uint32_t serial_number() const override { return serial_number_; }
    std::uint8_t device_class() const override { return device_class_; }
    void enqueue_command(std::string text, ReplyCallback reply, CommandExpiry expiry) override;
    // The device lock of a long binary transfer; the proxy marks the transfer in flight.
    bool try_lock_for(std::chrono::milliseconds wait) override;
    void unlock() override {
        transferring_ = false;
        device_mutex_.unlock();
    }
    // Waits for the line to take each piece, at most kTransferStall without progress.
    Status write_data(const char* data, std::size_t length) override;
    Result<std::size_t> read_data(char* buffer, std::size_t capacity) override;
    Status process() override;
    void tick(float) override {}
    // Waiting while an exchange or a binary transfer is in flight, or while a queued command
    // could not be started (a failed write); ready while leftover text waits for its subscribers
    // or an exchange ended with more commands queued; idle otherwise, also between the resets
    // after five failures (reset_due_in tells when the next is due).
    DeviceActivity activity() const override;
    int subscribe_messages(MessageCallback callback) override;
    void unsubscribe_messages(int id) override;

    virtual bool is_unsupported(const Command& command) const = 0;
    Result<std::string> handle_unsupported(const Command& command);

    // The tty vanished under a read or write (EIO, ENODEV, end of file): the proxy stopped using
    // it, and its owner removes it.
    bool gone() const { return gone_; }
    const std::string& tty_path() const { return port_.tty_path(); }
    // The line's descriptor, for a readiness watch; it stays open as long as the proxy.
    int line_fd() const { return port_.fd(); }
    // Whether a long binary transfer holds the line (its bytes are read by the transfer).
    bool transferring() const { return transferring_; }
    std::size_t queued() const;
    // How long until the next USB reset try, while resets are being tried; nullopt otherwise.
    std::optional<std::chrono::milliseconds> reset_due_in() const;

    // A line that takes no byte of a binary transfer for this long fails the transfer.
    static constexpr std::chrono::milliseconds kTransferStall{2'000};
    static constexpr int kFailuresBeforeReset = 5;

    // For status reports, on the main loop thread: failed exchanges since the last good one,
    // and when the instrument was last reset at the USB level (0: never).
    int failures_in_a_row() const { return failures_; }
    TimePoint last_reset() const { return last_reset_; }

protected:
    InstrumentProxy(SerialDevice port, std::uint32_t serial_number, std::uint8_t device_class,
                    std::shared_ptr<Logger> logger, Services services, InstrumentTiming timing,
                    Clocks clocks);

    // The command name that the recording-request service answers for this kind ("SV" or "SN").
    virtual const char* request_word() const = 0;

private:
    struct QueuedCommand {
        std::string text;
        ReplyCallback reply;
        CommandExpiry expiry;
    };

    Status start_exchange();
    Status continue_exchange();
    // Writes what of the command in flight has not gone out yet; once all of it has, the reply
    // is awaited (or, for a command that expects none, answered at once).
    Status write_command(const std::string& text);
    void command_written(const std::string& text);
    // A write that the line took nothing of: logged once, and a timeout once the line stayed
    // shut for the whole time limit.
    void note_blocked_write(const std::string& text);
    // Whether the command in flight (or writing) has outlived its time limit; handles it if so.
    bool timed_out(const std::string& text);
    Status reset_step();
    void drop_input();
    void release_lock();
    void end_exchange();
    void retry_later();
    void expire_commands();
    void deliver_leftovers();
    void spontaneous_read();
    void deliver(const std::string& message);
    void reply_to_front(const std::string& reply);
    // Handles a read or write error; true when it means the tty is gone.
    bool note_port_error(int code);
    std::chrono::milliseconds time_limit(const std::string& text) const;

    const std::uint32_t serial_number_;
    const std::uint8_t device_class_;
    std::shared_ptr<Logger> logger_;
    Services services_;
    const InstrumentTiming timing_;
    Clocks clocks_;
    SerialDevice port_;

    std::mutex device_mutex_;
    // Main loop thread only.
    bool holding_lock_ = false;
    bool in_flight_ = false;
    bool exchange_ended_ = false;  // during the last process
    int failures_ = 0;
    // Bytes of the front command that went out; a command is never sent again from its start
    // once part of it went out.
    std::size_t sent_ = 0;
    bool write_blocked_ = false;
    TimePoint blocked_since_ = 0;
    bool resetting_ = false;
    TimePoint next_reset_ = 0;
    std::chrono::milliseconds reset_pause_{0};
    // Set on the main loop thread, read by a transfer on a worker thread too.
    std::atomic<bool> gone_{false};
    TimePoint last_reset_ = 0;  // wall clock, for status reports
    std::atomic<bool> transferring_{false};
    TimePoint last_send_;
    InstrumentReplyAssembler assembler_;

    mutable std::mutex queue_mutex_;
    std::deque<QueuedCommand> queue_;
    bool refusing_ = false;

    std::mutex subscribers_mutex_;
    std::map<int, MessageCallback> subscribers_;
    int next_subscriber_ = 0;
};

// The basic instrument kind (device class 0): it has a GPS tracker and the router answers its
// "MD", "SV" and "GP" commands and the device count.
class BasicInstrumentProxy final : public InstrumentProxy {
public:
    BasicInstrumentProxy(SerialDevice port, std::uint32_t serial_number,
                         std::shared_ptr<Logger> logger, Services services,
                         InstrumentTiming timing = {}, Clocks clocks = {})
        : InstrumentProxy(std::move(port), serial_number, 0, std::move(logger),
                          std::move(services), timing, std::move(clocks)) {}

    bool has_gps_tracker() const override { return true; }
    bool is_unsupported(const Command& command) const override;

private:
    const char* request_word() const override { return "SV"; }
};

// The instrument models (device classes 1 to 10) and instruments of other unit types (12).
class ModelInstrumentProxy final : public InstrumentProxy {
public:
    ModelInstrumentProxy(SerialDevice port, std::uint32_t serial_number, std::uint8_t device_class,
                         std::shared_ptr<Logger> logger, Services services,
                         InstrumentTiming timing = {}, Clocks clocks = {})
        : InstrumentProxy(std::move(port), serial_number, device_class, std::move(logger),
                          std::move(services), timing, std::move(clocks)) {}

    bool has_gps_tracker() const override { return false; }
    bool is_unsupported(const Command& command) const override;

private:
    const char* request_word() const override { return device_class() == 10 ? "SV" : "SN"; }
};

// The proxy of the kind and class that `unit_type` selects.
std::shared_ptr<InstrumentProxy> make_instrument_proxy(SerialDevice port, std::uint32_t unit_type,
                                                       std::uint32_t serial_number,
                                                       std::shared_ptr<Logger> logger,
                                                       InstrumentProxy::Services services,
                                                       InstrumentTiming timing = {});

}  // namespace voxapp
