// Stands in for the login program in the launcher's tests: records its
// arguments and its current directory in "probe-record.txt" beside itself, one
// per line, and ends. The record appears whole (renamed into place) or not at all.
// Started with "--linger" it only waits half a minute, as a login program still
// running from the temporary folder would.
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

std::filesystem::path ownFile() {
#ifdef _WIN32
    char path[MAX_PATH * 2] = {};
    GetModuleFileNameA(nullptr, path, sizeof path);
    return path;
#else
    return std::filesystem::read_symlink("/proc/self/exe");
#endif
}

std::string currentDirectory() {
    char cwd[4096] = {};
#ifdef _WIN32
    DWORD n = GetCurrentDirectoryA(sizeof cwd, cwd);
    return n > 0 && n < sizeof cwd ? cwd : "?";
#else
    return getcwd(cwd, sizeof cwd) ? cwd : "?";
#endif
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "--linger") == 0) {
        std::this_thread::sleep_for(std::chrono::seconds(30));
        return 0;
    }
    std::filesystem::path dir = ownFile().parent_path();
    std::string record = "argc=" + std::to_string(argc - 1) + "\n";
    for (int i = 1; i < argc; ++i) record += std::string("arg=") + argv[i] + "\n";
    record += "cwd=" + currentDirectory() + "\n";
    std::filesystem::path tmp = dir / "probe-record.tmp";
    {
        std::ofstream out(tmp, std::ios::binary);
        out << record;
        if (!out) return 1;
    }
    std::filesystem::rename(tmp, dir / "probe-record.txt");
    return 0;
}
