// USB Mass Storage Class Bulk-Only Transport, device side: the 31-byte command
// block wrapper, the data phase in the direction both sides agree on, the
// 13-byte status wrapper, and what the class document has the device do when
// host and device disagree (residue, stalls, phase error) or when a wrapper is
// not valid (both pipes stalled until a Bulk-Only Mass Storage Reset).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "ScsiTarget.h"

namespace gadget {

// The two bulk endpoints as the device sees them.
class BulkEndpoints {
public:
    virtual ~BulkEndpoints() = default;
    // One transfer from the host, at most length bytes: the count, or -errno.
    virtual ssize_t receive(uint8_t *buffer, size_t length) = 0;
    // Sends to the host: the count sent, or -errno.
    virtual ssize_t send(const uint8_t *data, size_t length) = 0;
    virtual void haltIn() = 0;
    virtual void haltOut() = 0;
    // wMaxPacketSize of the IN endpoint at the speed in use; 0 when unknown.
    virtual size_t inPacketSize() = 0;
};

constexpr size_t kCbwLength = 31;
constexpr size_t kCswLength = 13;
constexpr uint32_t kCbwSignature = 0x43425355; // "USBC"
constexpr uint32_t kCswSignature = 0x53425355; // "USBS"

class BulkOnlyServer {
public:
    using Log = std::function<void(const std::string &)>;

    // log (may be empty) gets one line a command block.
    BulkOnlyServer(BulkEndpoints &endpoints, ScsiTarget &target, Log log = {});

    // Serves command blocks until stop(). Returns early only when the
    // endpoints fail for good (the errno).
    int serve();

    // From the control endpoint's thread. A Bulk-Only Mass Storage Reset, or
    // the host unconfiguring the device (a port reset, an unplug): the command
    // at hand is dropped, nothing of it goes out any more, and the next wrapper
    // is awaited; the caller also interrupts an endpoint read or write that is
    // blocked, until resetsTaken() reaches the number returned.
    uint64_t reset();
    // The host configured the device (again): a power-on for the target.
    void powerOn();
    void stop();
    bool stopping() const { return stop_; }
    // How many resets serve() has taken up.
    uint64_t resetsTaken() const { return resetsTaken_; }

    // Called after a status wrapper went out when the target wants the host to
    // enumerate the device afresh.
    void onReenumerate(std::function<void()> call) { reenumerate_ = std::move(call); }

private:
    bool serveOne();
    bool waitForReset();
    bool takeEvents();
    // A reset or a stop came since the command at hand began.
    bool interrupted() const { return stop_ || resetsAsked_ != resetsTaken_; }
    bool receiveAll(uint32_t length, std::vector<uint8_t> *keep, uint32_t keepLength, uint32_t *received);
    bool sendData(const std::vector<uint8_t> &data, uint32_t *sent);
    bool sendStatus(uint32_t tag, uint32_t residue, uint8_t status);

    BulkEndpoints &ep_;
    ScsiTarget &target_;
    Log log_;
    std::function<void()> reenumerate_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> resetsAsked_{0}, resetsTaken_{0};
    std::atomic<bool> powerOn_{false};
    bool stalled_ = false; // an invalid wrapper: nothing until a reset
    int fatal_ = 0;
};

} // namespace gadget
