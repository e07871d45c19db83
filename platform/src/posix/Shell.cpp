// Starting a program the way the shell's "open" does: fire and forget; and the
// shell's "explore" through the desktop's opener, xdg-open.
#include "platform/Shell.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace platform {

bool shellOpen(const std::string &program, const std::string &parameter) {
    if (program.empty()) return false;
    // Everything the child needs is prepared before fork: between fork and exec
    // only async-signal-safe calls are allowed.
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    if (!parameter.empty()) argv.push_back(const_cast<char *>(parameter.c_str()));
    argv.push_back(nullptr);

    // The pipe closes on a successful exec and carries errno on a failed one,
    // so the caller learns whether the program started without waiting for it.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return false;

    pid_t child = fork();
    if (child < 0) {
        close(report[0]);
        close(report[1]);
        return false;
    }
    if (child == 0) {
        close(report[0]);
        // A session of its own and a grandparent for a parent: the program
        // outlives the caller and never becomes its zombie.
        setsid();
        pid_t grandchild = fork();
        if (grandchild != 0) {
            if (grandchild < 0) {
                int e = errno;
                (void)!write(report[1], &e, sizeof e);
            }
            _exit(0);
        }
        execv(program.c_str(), argv.data());
        int e = errno;
        (void)!write(report[1], &e, sizeof e);
        _exit(127);
    }
    close(report[1]);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {}
    int failure = 0;
    ssize_t n;
    do {
        n = read(report[0], &failure, sizeof failure);
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    return n == 0;
}

bool shellExplore(const std::string &directory) {
    if (directory.empty()) return false;
    // Found on PATH as a shell would; a missing opener is a failure to show.
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        std::string candidate = dir + "/xdg-open";
        if (::access(candidate.c_str(), X_OK) == 0) return shellOpen(candidate, directory);
    }
    return false;
}

} // namespace platform
