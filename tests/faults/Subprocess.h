// Runs a program of the build as its own process, the way a user or the CI runs
// it: standard input from a text, standard output and error captured together.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace faults {

struct RunResult {
    bool signaled = false; // killed by a signal: a crash, an abort or a sanitizer report
    int exitCode = -1;
    std::string output;
};

inline RunResult runProgram(const std::vector<std::string> &argv, const std::string &input,
                            const std::string &scratchDir) {
    RunResult r;
    const std::string in = scratchDir + "/stdin.txt", out = scratchDir + "/stdout.txt";
    std::ofstream(in, std::ios::binary) << input;
    const pid_t pid = fork();
    if (pid == 0) {
        const int i = open(in.c_str(), O_RDONLY), o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (i < 0 || o < 0) _exit(127);
        dup2(i, 0);
        dup2(o, 1);
        dup2(o, 2);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return r;
    r.signaled = WIFSIGNALED(status);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream o(out, std::ios::binary);
    std::stringstream s;
    s << o.rdbuf();
    r.output = s.str();
    return r;
}

// The value after "Key:" on its own line of a report, blanks trimmed.
inline std::string field(const std::string &text, const std::string &key) {
    std::istringstream s(text);
    std::string line;
    while (std::getline(s, line)) {
        if (line.rfind(key + ":", 0) != 0) continue;
        std::string v = line.substr(key.size() + 1);
        const size_t b = v.find_first_not_of(' ');
        return b == std::string::npos ? std::string() : v.substr(b);
    }
    return {};
}

} // namespace faults
