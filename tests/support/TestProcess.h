// Test support: runs a program as a process of its own, the way a user or a
// script runs it, with extra environment variables and an optional standard
// input, and hands back what it wrote (standard output and standard error
// together, in the order written) and how it ended. Also the environment and
// scratch-folder helpers that tests on both operating systems need.
//
// On Linux the child is started with posix_spawn; on Windows with
// CreateProcessA, its command line quoted by the rules the C runtime's
// argument parser applies. Under Wine a Windows test can start a Linux program
// only through a Z:\ path, and that program's exit code does not come back.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <stdlib.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

#ifdef _WIN32
inline constexpr const char *kExeSuffix = ".exe";
#else
inline constexpr const char *kExeSuffix = "";
#endif

// The file of the running program.
inline std::string programPath() {
#ifdef _WIN32
    std::string path(MAX_PATH, '\0');
    for (;;) {
        DWORD n = GetModuleFileNameA(nullptr, path.data(), DWORD(path.size()));
        if (n == 0) throw std::runtime_error("GetModuleFileNameA failed");
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
#else
    return std::filesystem::read_symlink("/proc/self/exe").string();
#endif
}

// The folder of the running program (the build's output folder for tests).
inline std::string programDirectory() { return std::filesystem::path(programPath()).parent_path().string(); }

// Sets (or with unsetEnv removes) a variable of this process, so that both
// getenv here and every child started afterwards see it.
inline void setEnv(const std::string &name, const std::string &value) {
#ifdef _WIN32
    // The C runtime keeps its own copy of the environment beside the process's.
    SetEnvironmentVariableA(name.c_str(), value.c_str());
    _putenv_s(name.c_str(), value.c_str());
#else
    ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

inline void unsetEnv(const std::string &name) {
#ifdef _WIN32
    SetEnvironmentVariableA(name.c_str(), nullptr);
    _putenv_s(name.c_str(), ""); // an empty value removes the variable
#else
    ::unsetenv(name.c_str());
#endif
}

// The value of a variable, or fallback when it is not set.
inline std::string getEnv(const std::string &name, const std::string &fallback = {}) {
    const char *v = std::getenv(name.c_str());
    return v ? std::string(v) : fallback;
}

// Sets a variable for the life of a scope and puts back what was there before.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::string &value) : name_(std::move(name)) {
        if (const char *old = std::getenv(name_.c_str())) {
            had_ = true;
            old_ = old;
        }
        setEnv(name_, value);
    }
    ~ScopedEnv() {
        if (had_)
            setEnv(name_, old_);
        else
            unsetEnv(name_);
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

// Points the platform layer's "user's temporary folder" at path for the life of
// a scope: XDG_RUNTIME_DIR on Linux, TMP and TEMP on Windows. On Linux the
// folder is made private first, since only a private one is taken.
class ScopedUserTemp {
public:
#ifdef _WIN32
    explicit ScopedUserTemp(const std::string &path) : tmp_("TMP", path), temp_("TEMP", path) {}
#else
    explicit ScopedUserTemp(const std::string &path) : runtime_("XDG_RUNTIME_DIR", privateFolder(path)) {}
#endif

private:
#ifdef _WIN32
    ScopedEnv tmp_, temp_;
#else
    static const std::string &privateFolder(const std::string &path) {
        std::error_code ec;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all, ec);
        return path;
    }
    ScopedEnv runtime_;
#endif
};

// Creates a new, empty folder of its own under the temporary folder, its name
// beginning with prefix; throws when none can be made.
inline std::filesystem::path makeScratchFolder(const std::string &prefix = "quendal-test") {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    const auto base = std::filesystem::temp_directory_path();
#ifdef _WIN32
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = (unsigned long)getpid();
#endif
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path p = base / (prefix + "-" + std::to_string(pid) + "-" + std::to_string(counter++) + "-" +
                                          std::to_string(rd() & 0xffffff));
        std::error_code ec;
        // create_directory answers false when the name already exists: another
        // process got there first, so try another name.
        if (std::filesystem::create_directory(p, ec)) {
#ifndef _WIN32
            // As private as mkdtemp makes it.
            std::filesystem::permissions(p, std::filesystem::perms::owner_all, ec);
#endif
            return p;
        }
    }
    throw std::runtime_error("cannot create a scratch folder under " + base.string());
}

// A new, empty folder of its own under the temporary folder (name begins with
// prefix), removed with everything in it at the end of its scope unless kept.
class ScratchDir {
public:
    explicit ScratchDir(const std::string &prefix = "quendal-test") : path_(makeScratchFolder(prefix)) {}
    ~ScratchDir() {
        if (keep_ || path_.empty()) return;
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    std::string str() const { return path_.string(); }
    // A path inside the folder.
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }
    // Leaves the folder in place, e.g. for looking into after a failure.
    void keep() { keep_ = true; }

private:
    std::filesystem::path path_;
    bool keep_ = false;
};

// Quotes one argument for a Windows command line so that the C runtime's
// parser (CommandLineToArgvW's rules) gives it back unchanged: backslashes are
// literal except before a double quote, where each must be doubled.
inline std::string quoteWindowsArgument(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
            out += '"';
        } else {
            out.append(backslashes, '\\');
            out += c;
        }
        backslashes = 0;
    }
    // Before the closing quote every backslash must be doubled.
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

// The whole command line: the program name in quotes (the parser takes the
// first word literally up to the next quote, with no backslash rules), then
// each argument quoted.
inline std::string windowsCommandLine(const std::string &program, const std::vector<std::string> &args) {
    std::string line = "\"" + program + "\"";
    for (const std::string &a : args) line += " " + quoteWindowsArgument(a);
    return line;
}

struct ProcessOptions {
    std::vector<std::pair<std::string, std::string>> env; // set (or replaced) in the child only
    std::vector<std::string> unsetEnv;                    // removed in the child only
    std::string input;                                    // standard input; empty: at end at once
    std::string workingDirectory;                         // empty: this process's
    std::chrono::milliseconds timeout{std::chrono::minutes(5)};
    // A Windows program writes its text lines ended by CR LF; they come back
    // ended by LF alone, as on Linux, unless kept as written.
    bool keepCarriageReturns = false;
};

struct ProcessResult {
    bool started = false;  // false: the program could not be started at all (see output)
    bool crashed = false;  // killed by a signal or ended by an exception (access violation, abort)
    bool timedOut = false; // killed after the timeout
    int exitCode = -1;     // the exit code when it ended on its own; -1 otherwise
    std::string output;    // standard output and standard error as written
};

namespace detail {

inline bool sameEnvName(const std::string &a, const std::string &b) {
#ifdef _WIN32
    // Variable names are not case-sensitive on Windows.
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper((unsigned char)x) == std::toupper((unsigned char)y);
           });
#else
    return a == b;
#endif
}

// This process's environment as NAME=value entries, with the options applied.
inline std::vector<std::string> childEnvironment(const ProcessOptions &o) {
    std::vector<std::string> entries;
#ifdef _WIN32
    if (char *block = GetEnvironmentStringsA()) {
        for (const char *p = block; *p; p += std::char_traits<char>::length(p) + 1) entries.emplace_back(p);
        FreeEnvironmentStringsA(block);
    }
#else
    for (char **e = environ; e && *e; ++e) entries.emplace_back(*e);
#endif
    auto drop = [&](const std::string &name) {
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&](const std::string &e) {
                                         // Windows keeps per-drive folders as "=C:=..."; the
                                         // name ends at the first '=' after the first character.
                                         size_t eq = e.find('=', 1);
                                         return eq != std::string::npos && sameEnvName(e.substr(0, eq), name);
                                     }),
                      entries.end());
    };
    for (const std::string &n : o.unsetEnv) drop(n);
    for (const auto &[n, v] : o.env) {
        drop(n);
        entries.push_back(n + "=" + v);
    }
    return entries;
}

} // namespace detail

#ifdef _WIN32

inline ProcessResult runProcess(const std::string &program, const std::vector<std::string> &args,
                                const ProcessOptions &options = {}) {
    ProcessResult r;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr, inWrite = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &sa, 0)) {
        r.output = "CreatePipe failed";
        return r;
    }
    if (!CreatePipe(&inRead, &inWrite, &sa, 0)) {
        CloseHandle(outRead);
        CloseHandle(outWrite);
        r.output = "CreatePipe failed";
        return r;
    }
    // Only the child's ends are inherited.
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);

    // The environment block: NAME=value entries each ended by NUL, sorted
    // without regard to case as CreateProcess expects, and a final NUL.
    std::vector<std::string> entries = detail::childEnvironment(options);
    std::stable_sort(entries.begin(), entries.end(), [](const std::string &a, const std::string &b) {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
            return std::toupper((unsigned char)x) < std::toupper((unsigned char)y);
        });
    });
    std::string block;
    for (const std::string &e : entries) block += e + '\0';
    block += '\0';

    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    si.hStdError = outWrite;
    PROCESS_INFORMATION pi{};
    std::string cmdline = windowsCommandLine(program, args);
    const BOOL ok =
        CreateProcessA(nullptr, cmdline.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, block.data(),
                       options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(), &si, &pi);
    const DWORD startError = GetLastError();
    // The child holds its own copies now; ours would keep the pipe open forever.
    CloseHandle(outWrite);
    CloseHandle(inRead);
    if (!ok) {
        CloseHandle(outRead);
        CloseHandle(inWrite);
        r.output = "CreateProcessA failed for " + cmdline + " (error " + std::to_string(startError) + ")";
        return r;
    }
    r.started = true;
    CloseHandle(pi.hThread);

    // Input is written and output read on threads of their own, so that a child
    // that fills one pipe while waiting on the other cannot stall both sides.
    std::thread writer([inWrite, input = options.input] {
        size_t done = 0;
        while (done < input.size()) {
            DWORD n = 0;
            DWORD want = DWORD(std::min<size_t>(input.size() - done, 1 << 16));
            if (!WriteFile(inWrite, input.data() + done, want, &n, nullptr) || n == 0) break;
            done += n;
        }
        CloseHandle(inWrite);
    });
    std::string output;
    std::thread reader([outRead, &output] {
        char buf[4096];
        DWORD n = 0;
        while (ReadFile(outRead, buf, sizeof buf, &n, nullptr) && n > 0) output.append(buf, n);
    });

    const auto ms = options.timeout.count();
    DWORD wait = WaitForSingleObject(pi.hProcess, ms < 0 || ms >= INFINITE ? INFINITE : DWORD(ms));
    if (wait == WAIT_TIMEOUT) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, INFINITE);
        r.timedOut = true;
    }
    // The output ends when every holder of the pipe's write end is gone: a
    // grandchild that inherited it keeps the reader waiting until it exits.
    writer.join();
    reader.join();
    CloseHandle(outRead);
    if (!options.keepCarriageReturns) {
        std::string text;
        text.reserve(output.size());
        for (size_t i = 0; i < output.size(); ++i)
            if (!(output[i] == '\r' && i + 1 < output.size() && output[i + 1] == '\n')) text += output[i];
        output.swap(text);
    }
    r.output = std::move(output);

    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    if (!r.timedOut) {
        // Unhandled exceptions end a process with their NTSTATUS (0xC0000005 and the like).
        if (code >= 0xC0000000u)
            r.crashed = true;
        else
            r.exitCode = int(code);
    }
    return r;
}

#else

inline ProcessResult runProcess(const std::string &program, const std::vector<std::string> &args,
                                const ProcessOptions &options = {}) {
    ProcessResult r;
    int out[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        r.output = "pipe failed";
        return r;
    }
    if (pipe2(in, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        r.output = "pipe failed";
        return r;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    if (!options.workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());

    std::vector<std::string> argStore;
    argStore.push_back(program);
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore = detail::childEnvironment(options);
    std::vector<char *> envp;
    for (std::string &e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    // A name without a slash is looked for on PATH, as a shell would.
    const int rc = program.find('/') == std::string::npos
                       ? posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data())
                       : posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        r.output = "cannot start " + program + ": " + std::string(strerror(rc));
        return r;
    }
    r.started = true;

    // A child that quits without reading its input must not kill us with
    // SIGPIPE: the writer blocks the signal and takes it back if raised.
    std::thread writer([fd = in[1], input = options.input] {
        sigset_t block, old;
        sigemptyset(&block);
        sigaddset(&block, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &block, &old);
        size_t done = 0;
        while (done < input.size()) {
            ssize_t n = write(fd, input.data() + done, input.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += size_t(n);
        }
        close(fd);
        // Drop a SIGPIPE raised by the write so it does not reach the process later.
        timespec zero{0, 0};
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        while (sigtimedwait(&pipeOnly, nullptr, &zero) > 0) {}
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    });

    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    char buf[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            r.timedOut = true;
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        int n = poll(&p, 1, int(std::min<long long>(left.count(), 1000)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) continue;
        ssize_t got = read(out[0], buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break; // end of output: the child (and whoever shares the pipe) closed it
        r.output.append(buf, size_t(got));
    }
    close(out[0]);
    writer.join();

    int status = 0;
    while (!r.timedOut) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) break;
        if (w < 0 && errno != EINTR) return r;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            r.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (r.timedOut) {
        waitpid(pid, &status, 0);
        return r;
    }
    if (WIFEXITED(status))
        r.exitCode = WEXITSTATUS(status);
    else
        r.crashed = WIFSIGNALED(status);
    return r;
}

#endif

} // namespace testsupport
