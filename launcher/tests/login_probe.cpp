// Stands in for the login program in the launcher's tests: records its
// arguments and its current directory in "probe-record.txt" beside itself, one
// per line, and ends. The record appears whole (renamed into place) or not at all.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

int main(int argc, char **argv) {
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    std::filesystem::path dir = self.parent_path();
    std::string record = "argc=" + std::to_string(argc - 1) + "\n";
    for (int i = 1; i < argc; ++i) record += std::string("arg=") + argv[i] + "\n";
    char cwd[4096];
    record += std::string("cwd=") + (getcwd(cwd, sizeof cwd) ? cwd : "?") + "\n";
    std::filesystem::path tmp = dir / "probe-record.tmp";
    {
        std::ofstream out(tmp, std::ios::binary);
        out << record;
        if (!out) return 1;
    }
    std::filesystem::rename(tmp, dir / "probe-record.txt");
    return 0;
}
