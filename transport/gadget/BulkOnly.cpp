#include "BulkOnly.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "byteorder.h"

namespace gadget {
namespace {

constexpr uint8_t kStatusGood = 0, kStatusFailed = 1, kStatusPhaseError = 2;
// Data moves in pieces of this size: whole packets at every speed, and small
// enough that the kernel's FunctionFS finds the buffer for each at once.
constexpr size_t kChunk = 16 * 1024;
// A wrapper arrives as one packet; room for the largest packet keeps a wrong
// one from overflowing the transfer.
constexpr size_t kWrapperRoom = 1024;
constexpr uint32_t kMaxKeptOut = 16u << 20;

// Errors after which the endpoint works again: our own interruption (a reset or
// a stop), the host unconfiguring the device or going away.
bool passing(ssize_t r) {
    return r == -EINTR || r == -ESHUTDOWN || r == -ECONNRESET || r == -EAGAIN || r == -ENODEV || r == -EPIPE ||
           r == -EL2HLT || r == -EBADMSG;
}

std::string hex(const uint8_t *p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

} // namespace

BulkOnlyServer::BulkOnlyServer(BulkEndpoints &endpoints, ScsiTarget &target, Log log)
    : ep_(endpoints), target_(target), log_(std::move(log)) {}

int BulkOnlyServer::serve() {
    while (!stop_) {
        if (!serveOne() && fatal_) return fatal_;
    }
    return 0;
}

uint64_t BulkOnlyServer::reset() {
    uint64_t ticket;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        ticket = ++resetsAsked_;
    }
    wake_.notify_all();
    return ticket;
}

void BulkOnlyServer::powerOn() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        powerOn_ = true;
    }
    wake_.notify_all();
}

void BulkOnlyServer::stop() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
}

bool BulkOnlyServer::takeEvents() {
    bool any = false;
    if (powerOn_.exchange(false)) {
        if (log_) log_("bulk endpoints: configured");
        target_.powerOnReset();
        stalled_ = false;
        any = true;
    }
    if (uint64_t asked = resetsAsked_; asked != resetsTaken_) {
        // A reset of the device as the host sees it: its units report it.
        if (log_) log_("bulk endpoints: reset taken, the command at hand dropped");
        target_.powerOnReset();
        stalled_ = false;
        resetsTaken_ = asked;
        any = true;
    }
    return any;
}

bool BulkOnlyServer::waitForReset() {
    std::unique_lock<std::mutex> hold(mutex_);
    wake_.wait(hold, [&] { return stop_ || powerOn_ || resetsAsked_ != resetsTaken_; });
    return true;
}

// Receives a data phase of length bytes, keeping the first keepLength of them.
// False when the transfer broke off; a short packet ends it early.
bool BulkOnlyServer::receiveAll(uint32_t length, std::vector<uint8_t> *keep, uint32_t keepLength, uint32_t *received) {
    std::vector<uint8_t> chunk(kChunk);
    *received = 0;
    if (keep) keep->clear();
    while (*received < length) {
        if (interrupted()) return false;
        size_t want = std::min<size_t>(kChunk, length - *received);
        ssize_t n = ep_.receive(chunk.data(), want);
        if (n < 0) {
            if (!passing(n)) fatal_ = int(-n);
            return false;
        }
        if (keep && keep->size() < keepLength)
            keep->insert(keep->end(), chunk.begin(),
                         chunk.begin() + std::min<size_t>(size_t(n), keepLength - keep->size()));
        *received += uint32_t(n);
        if (size_t(n) < want || n == 0) break;
    }
    return true;
}

bool BulkOnlyServer::sendData(const std::vector<uint8_t> &data, uint32_t *sent) {
    *sent = 0;
    while (*sent < data.size()) {
        if (interrupted()) return false;
        size_t n = std::min<size_t>(kChunk, data.size() - *sent);
        ssize_t r = ep_.send(data.data() + *sent, n);
        if (r < 0) {
            if (!passing(r)) fatal_ = int(-r);
            return false;
        }
        *sent += uint32_t(r);
    }
    return true;
}

bool BulkOnlyServer::sendStatus(uint32_t tag, uint32_t residue, uint8_t status) {
    // A status for a host that has since reset or unconfigured the device
    // would answer its next command block's data stage.
    if (interrupted()) return false;
    uint8_t csw[kCswLength] = {};
    bo::putLE32(csw, kCswSignature);
    bo::putLE32(csw + 4, tag);
    bo::putLE32(csw + 8, residue);
    csw[12] = status;
    ssize_t r = ep_.send(csw, sizeof csw);
    if (r < 0 && !passing(r)) fatal_ = int(-r);
    return r == ssize_t(sizeof csw);
}

bool BulkOnlyServer::serveOne() {
    takeEvents();
    if (stalled_) return waitForReset();

    uint8_t cbw[kWrapperRoom];
    ssize_t n = ep_.receive(cbw, sizeof cbw);
    if (n < 0) {
        if (log_) log_(std::string("command block wrapper not read: ") + std::strerror(int(-n)));
        if (!passing(n)) fatal_ = int(-n);
        return false;
    }
    // A wrapper that came in before a reset or an unplug is the old host's.
    if (interrupted()) return false;
    // The host configured the device while this waited for the wrapper.
    takeEvents();
    const uint8_t lun = cbw[13] & 0x0F, cbLength = cbw[14] & 0x1F;
    // Not valid (length, signature) or not meaningful (reserved bits, a unit
    // we do not have, a command block of no or too many bytes): both pipes
    // stay stalled until the host resets the device.
    if (size_t(n) != kCbwLength || bo::getLE32(cbw) != kCbwSignature || (cbw[12] & 0x7F) || (cbw[13] & 0xF0) ||
        lun >= kLuns || cbLength < 1 || cbLength > 16) {
        if (log_) log_("invalid command block wrapper (" + std::to_string(n) + " bytes): both pipes stalled");
        ep_.haltIn();
        ep_.haltOut();
        stalled_ = true;
        return true;
    }
    const uint32_t tag = bo::getLE32(cbw + 4), hostLength = bo::getLE32(cbw + 8);
    const bool hostIn = cbw[12] & 0x80;
    const uint8_t *cb = cbw + 15;

    Intent want = target_.intent(lun, cb, cbLength);
    if (want.length == 0) want.dir = DataDir::None;
    std::vector<uint8_t> dataIn, dataOut;
    uint8_t status = kStatusPhaseError;
    uint32_t residue = hostLength;
    auto run = [&] { return target_.execute(lun, cb, cbLength, dataOut, &dataIn); };

    if (hostLength == 0) {
        // The host moves nothing: a command that would move data is a phase error.
        if (want.dir == DataDir::None) status = run() ? kStatusGood : kStatusFailed;
    } else if (hostIn) {
        if (want.dir == DataDir::Out) {
            ep_.haltIn();
        } else {
            bool ok = run();
            // Asked for less than the command means to send: what fits, then phase error.
            bool phase = want.dir == DataDir::In && want.length > hostLength;
            if (dataIn.size() > hostLength) dataIn.resize(hostLength);
            uint32_t sent = 0;
            if (!sendData(dataIn, &sent)) return false;
            residue = hostLength - sent;
            // A transfer that ended on a packet boundary short of what the host
            // asked for is ended by a stall; a short packet ends it by itself.
            if (residue) {
                size_t packet = ep_.inPacketSize();
                if (packet == 0 || sent % packet == 0) ep_.haltIn();
            }
            status = phase ? kStatusPhaseError : ok ? kStatusGood : kStatusFailed;
        }
    } else {
        uint32_t received = 0;
        if (want.dir == DataDir::In || (want.dir == DataDir::Out && want.length > hostLength)) {
            if (!receiveAll(hostLength, nullptr, 0, &received)) return false; // taken and dropped
        } else {
            if (!receiveAll(hostLength, &dataOut, std::min(want.length, kMaxKeptOut), &received)) return false;
            bool ok = run();
            residue = ok ? hostLength - want.length : hostLength;
            status = ok ? kStatusGood : kStatusFailed;
        }
    }
    if (!sendStatus(tag, residue, status)) return false;
    if (log_) {
        std::string line = "CBW tag " + std::to_string(tag) + " lun " + std::to_string(lun) +
                           (hostIn ? " in " : " out ") + std::to_string(hostLength) + " cdb " + hex(cb, cbLength) +
                           " -> status " + std::to_string(status) + " residue " + std::to_string(residue);
        if (status == kStatusFailed) {
            const Sense &s = target_.sense(lun);
            uint8_t ks[3] = {s.key, s.asc, s.ascq};
            line += " sense " + hex(ks, 3);
        }
        log_(line);
    }
    if (target_.takeReenumerationNeed() && reenumerate_) reenumerate_();
    return true;
}

} // namespace gadget
