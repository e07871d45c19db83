// Volume arrival and removal, delivered to a window as the system's
// device-change notification (event code and a broadcast header whose second
// 32-bit field is the device type). On Linux the events come from a udev
// monitor on block devices; tests inject events through the same path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

struct udev;
struct udev_monitor;

namespace platform {

constexpr uint32_t kDeviceArrival = 0x8000;        // DBT_DEVICEARRIVAL
constexpr uint32_t kDeviceRemoveComplete = 0x8004; // DBT_DEVICEREMOVECOMPLETE
constexpr uint32_t kDevTypeVolume = 2;             // DBT_DEVTYP_VOLUME
constexpr uint32_t kDevTypeDeviceInterface = 5;    // DBT_DEVTYP_DEVICEINTERFACE

// The common header of every device broadcast, as the window receives it.
struct DevBroadcastHeader {
    uint32_t size;       // dbch_size: bytes of the whole record
    uint32_t deviceType; // dbch_devicetype
    uint32_t reserved;   // dbch_reserved
};
static_assert(sizeof(DevBroadcastHeader) == 12);
static_assert(offsetof(DevBroadcastHeader, deviceType) == 4);

struct DeviceEvent {
    uint32_t code = 0; // kDeviceArrival or kDeviceRemoveComplete
    DevBroadcastHeader header{sizeof(DevBroadcastHeader), 0, 0};
};

// Block devices that appear or go away. A file system on the device makes it a
// volume; other block devices are reported as device interfaces.
class DeviceEventSource {
public:
    DeviceEventSource();
    ~DeviceEventSource();
    DeviceEventSource(const DeviceEventSource &) = delete;
    DeviceEventSource &operator=(const DeviceEventSource &) = delete;

    // Readable whenever an event waits (for a socket notifier of the window's
    // event loop); -1 when no source could be opened.
    int fd() const { return epoll_; }
    // True when udev events are watched (injected events work either way).
    bool watchingUdev() const { return udevMonitor_ != nullptr; }

    // The next waiting event, without blocking; nothing when none waits or a
    // udev event has no meaning here (a change, a device that is not a disk).
    std::optional<DeviceEvent> next();

    // Hands an event to whoever reads this source, as if udev had sent it. Safe
    // from any thread.
    void inject(const DeviceEvent &event);

private:
    int epoll_ = -1;
    int pipe_[2] = {-1, -1};
    ::udev *udev_ = nullptr;
    ::udev_monitor *udevMonitor_ = nullptr;
};

} // namespace platform
