#include "platform/DeviceEvents.h"

#include <fcntl.h>
#include <libudev.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "byteorder.h"

namespace platform {

namespace {
// An injected event travels through the pipe as 8 bytes: code, device type.
constexpr size_t kInjectedBytes = 8;
} // namespace

DeviceEventSource::DeviceEventSource() {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) return;
    if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) == 0) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = pipe_[0];
        epoll_ctl(epoll_, EPOLL_CTL_ADD, pipe_[0], &ev);
    }
    udev_ = udev_new();
    if (udev_) udevMonitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (udevMonitor_ && udev_monitor_filter_add_match_subsystem_devtype(udevMonitor_, "block", nullptr) == 0 &&
        udev_monitor_enable_receiving(udevMonitor_) == 0) {
        int fd = udev_monitor_get_fd(udevMonitor_);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
    } else if (udevMonitor_) {
        udev_monitor_unref(udevMonitor_);
        udevMonitor_ = nullptr;
    }
}

DeviceEventSource::~DeviceEventSource() {
    if (udevMonitor_) udev_monitor_unref(udevMonitor_);
    if (udev_) udev_unref(udev_);
    for (int fd : pipe_)
        if (fd >= 0) close(fd);
    if (epoll_ >= 0) close(epoll_);
}

std::optional<DeviceEvent> DeviceEventSource::next() {
    if (pipe_[0] >= 0) {
        uint8_t buf[kInjectedBytes];
        if (read(pipe_[0], buf, sizeof buf) == ssize_t(sizeof buf)) {
            DeviceEvent e;
            e.code = bo::getLE32(buf);
            e.header.deviceType = bo::getLE32(buf + 4);
            return e;
        }
    }
    if (!udevMonitor_) return std::nullopt;
    udev_device *d = udev_monitor_receive_device(udevMonitor_);
    if (!d) return std::nullopt;
    std::optional<DeviceEvent> out;
    const char *action = udev_device_get_action(d);
    const char *fsUsage = udev_device_get_property_value(d, "ID_FS_USAGE");
    const bool volume = fsUsage && std::strcmp(fsUsage, "filesystem") == 0;
    if (action && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0)) {
        DeviceEvent e;
        e.code = action[0] == 'a' ? kDeviceArrival : kDeviceRemoveComplete;
        e.header.deviceType = volume ? kDevTypeVolume : kDevTypeDeviceInterface;
        out = e;
    }
    udev_device_unref(d);
    return out;
}

void DeviceEventSource::inject(const DeviceEvent &event) {
    if (pipe_[1] < 0) return;
    uint8_t buf[kInjectedBytes];
    bo::putLE32(buf, event.code);
    bo::putLE32(buf + 4, event.header.deviceType);
    // One write of 8 bytes to a pipe is atomic; a full pipe drops the event,
    // as the system drops notifications to a window that does not read them.
    [[maybe_unused]] ssize_t n = write(pipe_[1], buf, sizeof buf);
}

} // namespace platform
