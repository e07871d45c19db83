// The shell's "open" and "explore" operations on Windows: ShellExecute.
#include "platform/Shell.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

namespace platform {

namespace {

bool shellExecute(const char *verb, const std::string &file, const std::string &parameter) {
    if (file.empty()) return false;
    // The shell may hand the verb to extensions that need COM on this thread;
    // a thread that already has it in another mode keeps it.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    HINSTANCE result = ShellExecuteA(nullptr, verb, file.c_str(), parameter.empty() ? nullptr : parameter.c_str(),
                                     nullptr, SW_SHOWNORMAL);
    if (SUCCEEDED(com)) CoUninitialize();
    // Values above 32 mean started; the smaller ones are error codes.
    return reinterpret_cast<INT_PTR>(result) > 32;
}

} // namespace

bool shellOpen(const std::string &program, const std::string &parameter) {
    return shellExecute("open", program, parameter);
}

bool shellExplore(const std::string &directory) { return shellExecute("explore", directory, {}); }

} // namespace platform
