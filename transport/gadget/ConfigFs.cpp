#include "ConfigFs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace gadget {
namespace {

const std::string kConfigFs = "/sys/kernel/config";
const std::string kUdcClass = "/sys/class/udc";

bool isDirectory(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool writeText(const std::string &path, const std::string &text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

std::string hex4(uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%04x", v);
    return b;
}

} // namespace

bool ConfigFsGadget::step(bool ok, const std::string &what, std::string *error, std::function<void()> undo) {
    if (ok) {
        if (undo) undo_.push_back(std::move(undo));
        return true;
    }
    *error = what + ": " + std::strerror(errno);
    destroy();
    return false;
}

bool ConfigFsGadget::create(const std::string &name, const GadgetIdentity &id, std::string *error) {
    name_ = name;
    const std::string gadgets = kConfigFs + "/usb_gadget";
    if (!isDirectory(gadgets) && ::mount("none", kConfigFs.c_str(), "configfs", 0, nullptr) == 0)
        undo_.push_back([] { ::umount(kConfigFs.c_str()); });
    if (!isDirectory(gadgets)) {
        *error =
            "the kernel offers no USB gadgets (" + gadgets + " is missing): load libcomposite (modprobe libcomposite)";
        destroy();
        return false;
    }
    root_ = gadgets + "/" + name;
    if (exists(root_)) {
        *error = "a USB gadget named " + name + " exists already (" + root_ +
                 "): stop the program serving it, or choose another --name";
        destroy();
        return false;
    }
    auto dir = [&](const std::string &path, const std::string &hint = {}) {
        return step(::mkdir(path.c_str(), 0755) == 0, "cannot create " + path + hint, error,
                    [path] { ::rmdir(path.c_str()); });
    };
    auto attr = [&](const std::string &path, const std::string &text) {
        return step(writeText(path, text), "cannot write " + path, error);
    };
    const std::string strings = root_ + "/strings/0x409", config = root_ + "/configs/c.1",
                      function = root_ + "/functions/ffs." + name, mount = mountPoint();
    if (!dir(root_) || !attr(root_ + "/idVendor", hex4(id.vendorId)) ||
        !attr(root_ + "/idProduct", hex4(id.productId)) || !attr(root_ + "/bcdDevice", hex4(id.deviceRelease)) ||
        !attr(root_ + "/bcdUSB", "0x0200") || !dir(strings) || !attr(strings + "/manufacturer", id.manufacturer) ||
        !attr(strings + "/product", id.product) || !attr(strings + "/serialnumber", id.serial) || !dir(config) ||
        !attr(config + "/MaxPower", "100") || !dir(config + "/strings/0x409") ||
        !attr(config + "/strings/0x409/configuration", "Mass Storage") ||
        !dir(function, " (load usb_f_fs: modprobe usb_f_fs)"))
        return false;
    const std::string link = config + "/ffs." + name;
    if (!step(::symlink(function.c_str(), link.c_str()) == 0, "cannot link " + function + " into " + config, error,
              [link] { ::unlink(link.c_str()); }))
        return false;
    if (!isDirectory(mount) && !dir(mount)) return false;
    return step(::mount(name.c_str(), mount.c_str(), "functionfs", 0, nullptr) == 0,
                "cannot mount FunctionFS " + name + " at " + mount, error, [mount] { ::umount(mount.c_str()); });
}

bool ConfigFsGadget::bind(const std::string &udc, std::string *error) {
    if (!writeText(root_ + "/UDC", udc)) {
        *error = "cannot bind the gadget to " + udc + ": " + std::strerror(errno) +
                 " (is another gadget bound to it? see " + kUdcClass + ")";
        return false;
    }
    bound_ = true;
    return true;
}

bool ConfigFsGadget::unbind(std::string *error) {
    if (!bound_) return true;
    if (!writeText(root_ + "/UDC", "\n")) {
        *error = "cannot unbind the gadget: " + std::string(std::strerror(errno));
        return false;
    }
    bound_ = false;
    return true;
}

void ConfigFsGadget::destroy() {
    std::string ignored;
    unbind(&ignored);
    while (!undo_.empty()) {
        undo_.back()();
        undo_.pop_back();
    }
}

std::string ConfigFsGadget::firstController() {
    std::vector<std::string> names;
    if (DIR *d = ::opendir(kUdcClass.c_str())) {
        while (dirent *e = ::readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names.empty() ? std::string() : names.front();
}

} // namespace gadget
