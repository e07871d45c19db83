#include "FunctionFs.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "byteorder.h"

namespace gadget {
namespace {

// The layouts of <linux/usb/functionfs.h> and <linux/usb/ch9.h> that go over
// ep0 are built and read by offset; these are the sizes the kernel expects.
static_assert(sizeof(usb_functionfs_descs_head_v2) == 12);
static_assert(sizeof(usb_functionfs_strings_head) == 16);
static_assert(sizeof(usb_functionfs_event) == 12);
static_assert(sizeof(usb_ctrlrequest) == 8);
static_assert(USB_DT_INTERFACE_SIZE == 9 && USB_DT_ENDPOINT_SIZE == 7 && USB_DT_SS_EP_COMP_SIZE == 6);

// usb_functionfs_event: the SETUP packet, then the event type.
constexpr size_t kEventLength = 12;
constexpr size_t kEventType = 8;
// usb_ctrlrequest.
constexpr size_t kSetupRequestType = 0, kSetupRequest = 1, kSetupValue = 2, kSetupIndex = 4, kSetupLength = 6;
// usb_endpoint_descriptor.
constexpr size_t kEndpointMaxPacket = 4;

constexpr uint8_t kEndpointIn = USB_DIR_IN | 1, kEndpointOut = USB_DIR_OUT | 2;
// Mass-storage class requests (Bulk-Only Transport 3.1, 3.2).
constexpr uint8_t kGetMaxLun = 0xFE, kMassStorageReset = 0xFF;
constexpr uint8_t kMaxLun = kLuns - 1;

void put16(std::vector<uint8_t> &v, uint16_t x) {
    v.resize(v.size() + 2);
    bo::putLE16(v.data() + v.size() - 2, x);
}
void put32(std::vector<uint8_t> &v, uint32_t x) {
    v.resize(v.size() + 4);
    bo::putLE32(v.data() + v.size() - 4, x);
}

void interfaceDescriptor(std::vector<uint8_t> &v) {
    v.insert(v.end(), {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2, USB_CLASS_MASS_STORAGE, 0x06 /* SCSI */,
                       0x50 /* Bulk-Only */, 1 /* string 1 */});
}

void endpointDescriptor(std::vector<uint8_t> &v, uint8_t address, uint16_t maxPacket, bool superSpeed) {
    v.insert(v.end(), {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_BULK});
    put16(v, maxPacket);
    v.push_back(0); // bInterval
    if (superSpeed) v.insert(v.end(), {USB_DT_SS_EP_COMP_SIZE, USB_DT_SS_ENDPOINT_COMP, 0, 0, 0, 0});
}

ssize_t result(ssize_t r) { return r < 0 ? -errno : r; }

std::string why(const char *what, const std::string &path) { return what + path + ": " + std::strerror(errno); }

} // namespace

std::vector<uint8_t> functionDescriptors() {
    std::vector<uint8_t> v;
    put32(v, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    put32(v, 0); // length, filled in below
    put32(v, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_HAS_SS_DESC);
    put32(v, 3); // full speed: interface, two endpoints
    put32(v, 3); // high speed
    put32(v, 5); // super speed: each endpoint with its companion
    struct {
        uint16_t maxPacket;
        bool super;
    } speeds[] = {{64, false}, {512, false}, {1024, true}};
    for (auto s : speeds) {
        interfaceDescriptor(v);
        endpointDescriptor(v, kEndpointIn, s.maxPacket, s.super);
        endpointDescriptor(v, kEndpointOut, s.maxPacket, s.super);
    }
    bo::putLE32(v.data() + 4, uint32_t(v.size()));
    return v;
}

std::vector<uint8_t> functionStrings(const std::string &interfaceName) {
    std::vector<uint8_t> v;
    put32(v, FUNCTIONFS_STRINGS_MAGIC);
    put32(v, 0);
    put32(v, 1); // strings
    put32(v, 1); // languages
    put16(v, 0x0409);
    v.insert(v.end(), interfaceName.begin(), interfaceName.end());
    v.push_back(0);
    bo::putLE32(v.data() + 4, uint32_t(v.size()));
    return v;
}

FunctionFs::~FunctionFs() { close(); }

bool FunctionFs::open(const std::string &mountPoint, std::string *error) {
    const std::string ep0 = mountPoint + "/ep0";
    ep0_ = ::open(ep0.c_str(), O_RDWR | O_CLOEXEC);
    if (ep0_ < 0) return *error = why("cannot open ", ep0), false;
    const auto descriptors = functionDescriptors(), strings = functionStrings("Mass Storage");
    if (::write(ep0_, descriptors.data(), descriptors.size()) != ssize_t(descriptors.size()))
        return *error = why("FunctionFS did not take the USB descriptors on ", ep0), false;
    if (::write(ep0_, strings.data(), strings.size()) != ssize_t(strings.size()))
        return *error = why("FunctionFS did not take the USB strings on ", ep0), false;
    // The endpoint files appear in the order of the descriptors: IN, then OUT.
    const std::string inPath = mountPoint + "/ep1", outPath = mountPoint + "/ep2";
    in_ = ::open(inPath.c_str(), O_RDWR | O_CLOEXEC);
    if (in_ < 0) return *error = why("cannot open ", inPath), false;
    out_ = ::open(outPath.c_str(), O_RDWR | O_CLOEXEC);
    if (out_ < 0) return *error = why("cannot open ", outPath), false;
    return true;
}

void FunctionFs::close() {
    for (int *fd : {&in_, &out_, &ep0_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

ssize_t FunctionFs::receive(uint8_t *buffer, size_t length) { return result(::read(out_, buffer, length)); }

ssize_t FunctionFs::send(const uint8_t *data, size_t length) { return result(::write(in_, data, length)); }

// FunctionFS halts an endpoint when it is used against its direction.
void FunctionFs::haltIn() {
    uint8_t b = 0;
    (void)!::read(in_, &b, 1);
}

void FunctionFs::haltOut() {
    uint8_t b = 0;
    (void)!::write(out_, &b, 1);
}

size_t FunctionFs::inPacketSize() {
    usb_endpoint_descriptor d{};
    if (ioctl(in_, FUNCTIONFS_ENDPOINT_DESC, &d) < 0) return 0;
    return bo::getLE16(reinterpret_cast<const uint8_t *>(&d) + kEndpointMaxPacket);
}

void FunctionFs::serveControl(const Events &events, const std::function<bool()> &stopRequested) {
    auto log = [&](const std::string &line) {
        if (events.log) events.log(line);
    };
    uint8_t buffer[4 * kEventLength];
    while (!stopRequested()) {
        ssize_t n = ::read(ep0_, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            log(std::string("control endpoint: ") + std::strerror(errno));
            return;
        }
        for (ssize_t at = 0; at + ssize_t(kEventLength) <= n; at += kEventLength) {
            const uint8_t *e = buffer + at;
            switch (e[kEventType]) {
            case FUNCTIONFS_BIND: log("bound to the device controller"); break;
            case FUNCTIONFS_UNBIND:
                log("unbound from the device controller");
                if (events.unbound) events.unbound();
                break;
            case FUNCTIONFS_ENABLE:
                log("configured by the host");
                if (events.enable) events.enable();
                break;
            case FUNCTIONFS_DISABLE:
                log("unconfigured");
                if (events.disable) events.disable();
                break;
            case FUNCTIONFS_SUSPEND: log("suspended"); break;
            case FUNCTIONFS_RESUME: log("resumed"); break;
            case FUNCTIONFS_SETUP: answerSetup(e, events); break;
            default: break;
            }
        }
    }
}

// The class requests of a Bulk-Only device; anything else is stalled. In
// FunctionFS the data or status stage is a read or write of ep0, and using ep0
// against the request's direction stalls it.
void FunctionFs::answerSetup(const uint8_t *s, const Events &events) {
    const uint8_t type = s[kSetupRequestType], request = s[kSetupRequest];
    const uint16_t value = bo::getLE16(s + kSetupValue), index = bo::getLE16(s + kSetupIndex),
                   length = bo::getLE16(s + kSetupLength);
    const bool in = type & USB_DIR_IN;
    const bool toInterface = (type & USB_TYPE_MASK) == USB_TYPE_CLASS &&
                             (type & USB_RECIP_MASK) == USB_RECIP_INTERFACE && index == 0 && value == 0;
    uint8_t b = kMaxLun;
    if (toInterface && request == kGetMaxLun && in && length >= 1) {
        if (::write(ep0_, &b, 1) < 0 && events.log) events.log(std::string("Get Max LUN: ") + std::strerror(errno));
        return;
    }
    if (toInterface && request == kMassStorageReset && !in && length == 0) {
        if (events.log) events.log("Bulk-Only Mass Storage Reset");
        if (events.reset) events.reset();
        (void)!::read(ep0_, &b, 0); // the status stage
        return;
    }
    if (events.log) events.log("stalled control request " + std::to_string(type) + "/" + std::to_string(request));
    if (in)
        (void)!::read(ep0_, &b, 0);
    else
        (void)!::write(ep0_, &b, 0);
}

} // namespace gadget
