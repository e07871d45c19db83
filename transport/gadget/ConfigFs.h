// The USB gadget in the kernel's configfs: the device with its identity and
// strings, one configuration holding one FunctionFS function, the FunctionFS
// mount, and binding to a USB device controller. Everything made here is
// recorded and taken down again in reverse order.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace gadget {

struct GadgetIdentity {
    uint16_t vendorId = 0, productId = 0, deviceRelease = 0;
    std::string manufacturer, product, serial;
};

class ConfigFsGadget {
public:
    ~ConfigFsGadget() { destroy(); }

    // Makes usb_gadget/<name> with its function ffs.<name> and mounts that
    // function's FunctionFS at mountPoint(). On failure *error says what went
    // wrong and what to do, and whatever was made is taken down.
    bool create(const std::string &name, const GadgetIdentity &identity, std::string *error);
    std::string mountPoint() const { return "/dev/ffs-" + name_; }

    bool bind(const std::string &udc, std::string *error);
    bool unbind(std::string *error);
    void destroy();

    // The first USB device controller the kernel offers, or empty.
    static std::string firstController();

private:
    bool step(bool ok, const std::string &what, std::string *error, std::function<void()> undo = {});

    std::string name_, root_;
    bool bound_ = false;
    std::vector<std::function<void()>> undo_;
};

} // namespace gadget
