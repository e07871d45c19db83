// Device-change events: injected events come out whole and in order, from any
// thread, and the source never blocks its reader.
#include <gtest/gtest.h>

#include <poll.h>

#include <thread>

#include "platform/DeviceEvents.h"

using namespace platform;

namespace {
bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}
} // namespace

TEST(DeviceEvents, InjectedEventsArriveInOrderWithTheirDeviceType) {
    DeviceEventSource source;
    ASSERT_GE(source.fd(), 0);
    EXPECT_FALSE(readable(source.fd(), 0));
    EXPECT_FALSE(source.next().has_value());

    DeviceEvent arrival;
    arrival.code = kDeviceArrival;
    arrival.header.deviceType = kDevTypeVolume;
    DeviceEvent removal;
    removal.code = kDeviceRemoveComplete;
    removal.header.deviceType = kDevTypeDeviceInterface;
    std::thread([&] {
        source.inject(arrival);
        source.inject(removal);
    }).join();

    ASSERT_TRUE(readable(source.fd(), 1000));
    auto first = source.next();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->code, kDeviceArrival);
    EXPECT_EQ(first->header.deviceType, kDevTypeVolume);
    EXPECT_EQ(first->header.size, sizeof(DevBroadcastHeader));
    auto second = source.next();
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->code, kDeviceRemoveComplete);
    EXPECT_EQ(second->header.deviceType, kDevTypeDeviceInterface);
    EXPECT_FALSE(source.next().has_value());
    EXPECT_FALSE(readable(source.fd(), 0));
}
