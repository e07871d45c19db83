// SystemOps over Linux: SG_IO on the generic or disk node, sysfs reads, and the
// unmount helpers started without a shell.
#include "SystemOps.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>

namespace passthrough {
namespace {

class LinuxSystemOps final : public SystemOps {
public:
    int openDevice(const std::string &path) override {
        // O_NONBLOCK keeps open() from waiting on a device that is busy or has
        // no medium; SG_IO itself still blocks until the command completes.
        int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        return fd >= 0 ? fd : -errno;
    }

    void closeDevice(int fd) override {
        if (fd >= 0) ::close(fd);
    }

    int exchange(int fd, SgExchange &x) override {
        sg_io_hdr_t io;
        std::memset(&io, 0, sizeof io);
        io.interface_id = 'S';
        switch (x.direction) {
        case SgExchange::Direction::None: io.dxfer_direction = SG_DXFER_NONE; break;
        case SgExchange::Direction::FromDevice: io.dxfer_direction = SG_DXFER_FROM_DEV; break;
        case SgExchange::Direction::ToDevice: io.dxfer_direction = SG_DXFER_TO_DEV; break;
        }
        io.cmd_len = x.cdbLength;
        io.cmdp = const_cast<uint8_t *>(x.cdb);
        io.dxfer_len = x.length;
        io.dxferp = x.data;
        io.mx_sb_len = sizeof x.sense;
        io.sbp = x.sense;
        io.timeout = x.timeoutMs;
        if (::ioctl(fd, SG_IO, &io) < 0) return -errno;
        x.status = io.status;
        x.hostStatus = io.host_status;
        x.driverStatus = io.driver_status;
        x.residual = io.resid;
        x.senseLength = io.sb_len_wr;
        return 0;
    }

    std::optional<std::string> readText(const std::string &path) override {
        std::ifstream in(path, std::ios::binary);
        if (!in) return std::nullopt;
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::vector<std::string> listDirectory(const std::string &path) override {
        std::vector<std::string> names;
        DIR *d = ::opendir(path.c_str());
        if (!d) return names;
        while (dirent *e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
        }
        ::closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }

    std::optional<std::string> realPath(const std::string &path) override {
        char buf[PATH_MAX];
        if (!::realpath(path.c_str(), buf)) return std::nullopt;
        return std::string(buf);
    }

    bool exists(const std::string &path) override {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0;
    }

    int runProgram(const std::vector<std::string> &argv) override {
        if (argv.empty()) return -1;
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        pid_t pid = ::fork();
        if (pid < 0) return -1;
        if (pid == 0) {
            int devnull = ::open("/dev/null", O_RDWR);
            if (devnull >= 0) {
                ::dup2(devnull, STDIN_FILENO);
                ::dup2(devnull, STDOUT_FILENO);
                ::dup2(devnull, STDERR_FILENO);
            }
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    bool udisksRunning() override {
        // The daemon keeps its state folder while it runs.
        return exists("/run/udisks2") && ::access("/usr/bin/udisksctl", X_OK) == 0;
    }
};

} // namespace

SystemOps &linuxSystem() {
    static LinuxSystemOps ops;
    return ops;
}

} // namespace passthrough
