// Runs a sequence of TDiskControl operations given on the command line and
// prints one line per operation, so that a test can place this program beside
// different libraries (binding looks in the program's own folder first).
//   bind | unbind | missing:Name,Name | state
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "DiskControl.h"

namespace {
bool exportByName(const std::string &name, TDiskControl::Export *out) {
    for (int i = 0; i < TDiskControl::kExportCount; ++i) {
        auto e = static_cast<TDiskControl::Export>(i);
        if (name == TDiskControl::ExportName(e)) {
            *out = e;
            return true;
        }
    }
    return false;
}
} // namespace

int main(int argc, char **argv) {
    TDiskControl control;
    for (int i = 1; i < argc; ++i) {
        std::string op = argv[i];
        if (op == "bind") {
            std::printf("bind %d\n", control.BindLibrary() ? 1 : 0);
        } else if (op == "unbind") {
            control.UnbindLibrary();
            std::printf("unbind\n");
        } else if (op == "state") {
            int bound = 0;
            for (int k = 0; k < TDiskControl::kExportCount; ++k)
                bound += control.Address(static_cast<TDiskControl::Export>(k)) ? 1 : 0;
            std::printf("state module=%d loaded=%d bound=%d\n", control.Module ? 1 : 0, control.Loaded ? 1 : 0, bound);
        } else if (op.rfind("missing:", 0) == 0) {
            std::vector<TDiskControl::Export> needed;
            std::string list = op.substr(8);
            size_t start = 0;
            while (start <= list.size()) {
                size_t comma = list.find(',', start);
                std::string name = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                TDiskControl::Export e;
                if (!exportByName(name, &e)) {
                    std::printf("no such export %s\n", name.c_str());
                    return 2;
                }
                needed.push_back(e);
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
            const char *missing = nullptr;
            switch (needed.size()) {
            case 1: missing = control.MissingName({needed[0]}); break;
            case 2: missing = control.MissingName({needed[0], needed[1]}); break;
            case 3: missing = control.MissingName({needed[0], needed[1], needed[2]}); break;
            default: std::printf("one to three names\n"); return 2;
            }
            std::printf("missing %s\n", missing ? missing : "-");
        } else {
            std::printf("unknown operation %s\n", op.c_str());
            return 2;
        }
    }
    return 0;
}
