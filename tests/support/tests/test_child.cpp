// The child program of the process helper's test: does what its arguments say
// and reports what it received, so that the test can see every byte arrive.
//
//   --env=NAME     prints "NAME=<value>" or "NAME unset"
//   --stdin        prints "stdin <n>:<the bytes>" of all of standard input
//   --stderr=TEXT  writes TEXT to standard error
//   --bulk=N       writes N bytes of 'x' to standard output
//   --cwd          prints "cwd <current folder>"
//   --sleep=MS     waits MS milliseconds
//   --crash        ends the way a crash ends a program
//   --exit=N       exits with N (default 0)
//   anything else  prints "[<argument>]"
#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>

int main(int argc, char **argv) {
    int code = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char *key) { return a.substr(std::string(key).size()); };
        if (a.rfind("--env=", 0) == 0) {
            const std::string name = value("--env=");
            const char *v = std::getenv(name.c_str());
            std::printf("%s\n", v ? (name + "=" + v).c_str() : (name + " unset").c_str());
        } else if (a == "--stdin") {
            std::string in((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
            std::printf("stdin %zu:%s\n", in.size(), in.c_str());
        } else if (a.rfind("--stderr=", 0) == 0) {
            std::fflush(stdout);
            std::fprintf(stderr, "%s\n", value("--stderr=").c_str());
            std::fflush(stderr);
        } else if (a.rfind("--bulk=", 0) == 0) {
            std::string bulk(std::stoul(value("--bulk=")), 'x');
            std::fwrite(bulk.data(), 1, bulk.size(), stdout);
        } else if (a == "--cwd") {
            std::printf("cwd %s\n", std::filesystem::current_path().string().c_str());
        } else if (a.rfind("--sleep=", 0) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stol(value("--sleep="))));
        } else if (a == "--crash") {
            std::fflush(stdout);
#ifdef _WIN32
            TerminateProcess(GetCurrentProcess(), 0xC0000005u); // as an access violation ends it
#else
            kill(getpid(), SIGKILL);
#endif
        } else if (a.rfind("--exit=", 0) == 0) {
            code = std::stoi(value("--exit="));
        } else {
            std::printf("[%s]\n", a.c_str());
        }
        std::fflush(stdout);
    }
    return code;
}
