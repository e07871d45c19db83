// quendal reading passwords from a Windows console: keys typed into a console
// that this test owns, quendal started with that console as its standard
// input and its output in a pipe, so that the console's screen shows only
// what the console itself echoed.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "TestProcess.h"

namespace fs = std::filesystem;

namespace {

std::string quendalProgram() { return (fs::path(testsupport::programDirectory()) / "quendal.exe").string(); }

// The console of this process, made when it has none.
struct Console {
    HANDLE in = INVALID_HANDLE_VALUE, out = INVALID_HANDLE_VALUE;

    Console() {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        for (int attempt = 0; attempt < 2 && !usable(); ++attempt) {
            if (attempt == 1) AllocConsole();
            close();
            in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             OPEN_EXISTING, 0, nullptr);
            out = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                              OPEN_EXISTING, 0, nullptr);
        }
    }
    ~Console() { close(); }
    void close() {
        if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
        if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
        in = out = INVALID_HANDLE_VALUE;
    }
    bool usable() const {
        DWORD mode = 0;
        return in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode);
    }
    DWORD mode() const {
        DWORD m = 0;
        GetConsoleMode(in, &m);
        return m;
    }
    // Empties the screen and the typed keys not yet read.
    void clear() {
        FlushConsoleInputBuffer(in);
        CONSOLE_SCREEN_BUFFER_INFO info{};
        GetConsoleScreenBufferInfo(out, &info);
        DWORD cells = DWORD(info.dwSize.X) * DWORD(info.dwSize.Y), written = 0;
        FillConsoleOutputCharacterA(out, ' ', cells, COORD{0, 0}, &written);
        SetConsoleCursorPosition(out, COORD{0, 0});
    }
    // Types text as key presses; '\r' is the Enter key.
    void type(const std::string &text) {
        std::vector<INPUT_RECORD> records;
        for (char c : text) {
            for (BOOL down : {TRUE, FALSE}) {
                INPUT_RECORD r{};
                r.EventType = KEY_EVENT;
                r.Event.KeyEvent.bKeyDown = down;
                r.Event.KeyEvent.wRepeatCount = 1;
                r.Event.KeyEvent.uChar.AsciiChar = c;
                r.Event.KeyEvent.wVirtualKeyCode = c == '\r' ? VK_RETURN : WORD(VkKeyScanA(c) & 0xFF);
                records.push_back(r);
            }
        }
        DWORD written = 0;
        WriteConsoleInputA(in, records.data(), DWORD(records.size()), &written);
    }
    std::string screen() const {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        GetConsoleScreenBufferInfo(out, &info);
        std::string text(size_t(info.dwSize.X) * size_t(info.dwSize.Y), ' ');
        DWORD read = 0;
        ReadConsoleOutputCharacterA(out, text.data(), DWORD(text.size()), COORD{0, 0}, &read);
        text.resize(read);
        return text;
    }
};

// quendal with the console as standard input and a pipe for its output.
struct ConsoleRun {
    PROCESS_INFORMATION pi{};
    HANDLE outRead = nullptr;
    std::string output;
    std::thread reader;
    bool started = false;

    ConsoleRun(const Console &console, const std::vector<std::string> &args, const std::string &disk, DWORD flags = 0) {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE outWrite = nullptr;
        if (!CreatePipe(&outRead, &outWrite, &sa, 0)) return;
        SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = console.in;
        si.hStdOutput = outWrite;
        si.hStdError = outWrite;
        std::vector<std::string> all = {"--disk", disk};
        all.insert(all.end(), args.begin(), args.end());
        std::string line = testsupport::windowsCommandLine(quendalProgram(), all);
        started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &si, &pi);
        CloseHandle(outWrite);
        reader = std::thread([this] {
            char buf[512];
            DWORD n = 0;
            while (ReadFile(outRead, buf, sizeof buf, &n, nullptr) && n > 0) output.append(buf, n);
        });
    }
    ~ConsoleRun() {
        if (started) {
            if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 99);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
        if (reader.joinable()) reader.join();
        CloseHandle(outRead);
    }
    // The exit code, or -1 when it did not end in time.
    int wait(DWORD ms = 60000) {
        if (!started || WaitForSingleObject(pi.hProcess, ms) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        return int(code);
    }
};

class ConsolePasswords : public ::testing::Test {
protected:
    testsupport::ScratchDir scratch{"quendal-console"};
    std::string disk = scratch / "disk";
    Console console;

    void SetUp() override {
        if (!console.usable()) GTEST_SKIP() << "no console to type into";
        auto q = [&](const std::vector<std::string> &args, const std::string &input) {
            testsupport::ProcessOptions o;
            o.input = input;
            o.unsetEnv = {"FLASHDISK_EMULATOR", "FLASHDISK_DRIVES"};
            return testsupport::runProcess(quendalProgram(), args, o);
        };
        auto r = q({"emulate", disk, "--sectors", "200000"}, "");
        ASSERT_EQ(r.exitCode, 0) << r.output;
        r = q({"--disk", disk, "format", "--yes", "--mode", "secure", "--password-stdin"},
              "Hidden Word\nHidden Word\n");
        ASSERT_EQ(r.exitCode, 0) << r.output;
        console.clear();
    }
};

} // namespace

TEST_F(ConsolePasswords, TypedWithoutEchoAndTheConsoleLeftAsItWas) {
    const DWORD before = console.mode();
    ASSERT_TRUE(before & ENABLE_ECHO_INPUT) << before;

    console.type("hidden word\r");
    {
        ConsoleRun wrong(console, {"login"}, disk);
        EXPECT_EQ(wrong.wait(), 5);
    }
    console.type("Hidden Word\r");
    {
        ConsoleRun right(console, {"login"}, disk);
        EXPECT_EQ(right.wait(), 0);
    }
    // Both passwords were read from the console (the login took the right
    // one), and neither showed on it.
    const std::string screen = console.screen();
    EXPECT_EQ(screen.find("idden"), std::string::npos) << "echoed:\n" << screen;
    EXPECT_EQ(console.mode(), before);
}

// Ctrl+C typed while quendal waits for the password ends it; the console must
// not be left without echo for the commands typed after.
TEST_F(ConsolePasswords, CtrlCDuringEntryGivesTheEchoBack) {
    const DWORD before = console.mode();
    ConsoleRun run(console, {"login"}, disk);
    ASSERT_TRUE(run.started);
    // The key reaches every process on the console; this one stays.
    SetConsoleCtrlHandler(nullptr, TRUE);
    for (int i = 0; i < 600 && (console.mode() & ENABLE_ECHO_INPUT); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(console.mode() & ENABLE_ECHO_INPUT) << "quendal never switched the echo off";
    INPUT_RECORD keys[2]{};
    for (int k = 0; k < 2; ++k) {
        keys[k].EventType = KEY_EVENT;
        keys[k].Event.KeyEvent.bKeyDown = k == 0;
        keys[k].Event.KeyEvent.wRepeatCount = 1;
        keys[k].Event.KeyEvent.uChar.AsciiChar = 3;
        keys[k].Event.KeyEvent.wVirtualKeyCode = 'C';
        keys[k].Event.KeyEvent.dwControlKeyState = LEFT_CTRL_PRESSED;
    }
    DWORD written = 0;
    WriteConsoleInputA(console.in, keys, 2, &written);
    const int code = run.wait(20000);
    SetConsoleCtrlHandler(nullptr, FALSE);
    EXPECT_NE(code, -1) << "Ctrl+C did not end quendal";
    // Ended by the interrupt (STATUS_CONTROL_C_EXIT), or having read no line (2).
    EXPECT_TRUE(DWORD(code) == 0xC000013A || code == 2) << code;
    EXPECT_EQ(console.mode(), before);
}
