// SystemOps over Linux: SG_IO on the generic or disk node, sysfs and procfs
// reads, and the unmount helpers started without a shell, their words kept.
#include "SystemOps.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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
        // The generic node takes O_EXCL as "no other opener at all"; a disk
        // node would take it as "not mounted", which is for the core to see
        // to, so there the lock below alone keeps a second writer out.
        struct stat st;
        const bool generic = ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
        int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | (generic ? O_EXCL : 0));
        if (fd < 0) return -errno;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int e = errno == EWOULDBLOCK ? EBUSY : errno;
            ::close(fd);
            return -e;
        }
        return fd;
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

    std::optional<std::string> deviceOf(const std::string &path) override {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) return std::nullopt;
        return std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    }

    int runProgram(const std::vector<std::string> &argv, std::string *output) override {
        output->clear();
        if (argv.empty()) return -1;
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
        pid_t pid = ::fork();
        if (pid < 0) {
            ::close(pipeFds[0]);
            ::close(pipeFds[1]);
            return -1;
        }
        if (pid == 0) {
            int devnull = ::open("/dev/null", O_RDONLY);
            if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
            ::dup2(pipeFds[1], STDOUT_FILENO);
            ::dup2(pipeFds[1], STDERR_FILENO);
            ::execvp(args[0], args.data());
            const char msg[] = "cannot start the program\n";
            (void)!::write(STDERR_FILENO, msg, sizeof msg - 1);
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        char buf[512];
        for (;;) {
            ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
            if (n > 0) {
                output->append(buf, size_t(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        ::close(pipeFds[0]);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int writeText(const std::string &path, const std::string &text) override {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return -errno;
        const ssize_t n = ::write(fd, text.data(), text.size());
        const int err = n < 0 ? errno : 0;
        ::close(fd);
        return n == ssize_t(text.size()) ? 0 : -(err ? err : EIO);
    }

    int rereadPartitions(const std::string &diskNode) override {
        const int fd = ::open(diskNode.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return -errno;
        const int rc = ::ioctl(fd, BLKRRPART) < 0 ? -errno : 0;
        ::close(fd);
        return rc;
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
