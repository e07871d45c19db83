// The watcher: closes the system's warning about an unsafe device removal, at
// most once per run.
#include <chrono>
#include <thread>

#include "Apmain.h"
#include "platform/Windows.h"

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(20);

// The warning's titles in the languages the system shipped in, as the bytes of
// their code pages, in the order they are looked for.
struct WarningTitle {
    const char *bytes;
    uint32_t codePage;
};
constexpr WarningTitle kWarningTitles[] = {
    {"Unsafe Removal of Device", 1252},
    {"\xB2\xBB\xB0\xB2\xC8\xAB\xB5\xC4\xC9\xE8\xB1\xB8\xC9\xBE\xB3\xFD", 936},
    {"\xA4\xA3\xA6\x77\xA5\xFE\xAA\xBA\xB2\xBE\xB0\xA3\xB8\xCB\xB8\x6D", 950},
    {"\xAB\x44\xA6\x77\xA5\xFE\xA4\xE8\xA6\xA1\xB2\xBE\xB0\xA3\xB8\xCB\xB8\x6D", 950},
};

} // namespace

void TMainFrm::BMKillTryThreadExecute() {
    std::vector<std::string> titles;
    for (const WarningTitle &t : kWarningTitles) titles.push_back(platform::titleFromCodePage(t.bytes, t.codePage));
    platform::WindowList windows;
    while (!StopWatcher) {
        const std::vector<platform::TopLevelWindow> open = windows.windows();
        for (const std::string &title : titles) {
            for (const platform::TopLevelWindow &w : open) {
                if (w.title == title) {
                    windows.close(w.id);
                    return;
                }
            }
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

void TMainFrm::BMKillTryThreadTerminate() { StopWatcher = true; }
