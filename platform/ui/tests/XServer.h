// Test support: a private X server (Xvfb) for the tests of other programs'
// windows, and plain xcb windows with chosen titles standing in for them.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace xtest {

class XServer {
public:
    // Starts Xvfb on the first free display from :91 on; DISPLAY names it.
    XServer() {
        for (int n = 91 + getpid() % 50; n < 200 && pid_ <= 0; ++n) {
            const std::string sock = "/tmp/.X11-unix/X" + std::to_string(n);
            const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
            if (std::filesystem::exists(sock) || std::filesystem::exists(lock)) continue;
            const std::string display = ":" + std::to_string(n);
            pid_t pid = fork();
            if (pid == 0) {
                freopen("/dev/null", "w", stderr);
                execlp("Xvfb", "Xvfb", display.c_str(), "-nolisten", "tcp", "-screen", "0", "800x600x24",
                       static_cast<char *>(nullptr));
                _exit(127);
            }
            for (int i = 0; i < 200; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
                if (std::filesystem::exists(sock)) {
                    pid_ = pid;
                    display_ = display;
                    break;
                }
                if (waitpid(pid, nullptr, WNOHANG) == pid) break; // lost the race for this number
            }
            if (pid_ <= 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
                kill(pid, SIGTERM);
                waitpid(pid, nullptr, 0);
            }
        }
        if (const char *old = std::getenv("DISPLAY")) oldDisplay_ = old, hadDisplay_ = true;
        if (pid_ > 0) setenv("DISPLAY", display_.c_str(), 1);
    }
    ~XServer() {
        if (hadDisplay_)
            setenv("DISPLAY", oldDisplay_.c_str(), 1);
        else
            unsetenv("DISPLAY");
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool running() const { return pid_ > 0; }
    const std::string &display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_, oldDisplay_;
    bool hadDisplay_ = false;
};

// A client with top-level windows that accept WM_DELETE_WINDOW and record the
// close requests they receive.
class Client {
public:
    Client() {
        conn_ = xcb_connect(nullptr, nullptr);
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(conn_)).data;
        protocols_ = atom("WM_PROTOCOLS");
        delete_ = atom("WM_DELETE_WINDOW");
        netWmName_ = atom("_NET_WM_NAME");
        utf8_ = atom("UTF8_STRING");
    }
    ~Client() { xcb_disconnect(conn_); }
    bool ok() const { return conn_ && !xcb_connection_has_error(conn_); }

    // A window titled by _NET_WM_NAME in UTF-8 (as toolkits do), or by WM_NAME
    // alone with the given type's bytes.
    xcb_window_t create(const std::string &utf8Title) {
        xcb_window_t w = make();
        xcb_change_property(conn_, XCB_PROP_MODE_REPLACE, w, netWmName_, utf8_, 8, uint32_t(utf8Title.size()),
                            utf8Title.data());
        return w;
    }
    xcb_window_t createLatin1(const std::string &latin1Title) {
        xcb_window_t w = make();
        xcb_change_property(conn_, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            uint32_t(latin1Title.size()), latin1Title.data());
        return w;
    }
    void destroy(xcb_window_t w) {
        xcb_destroy_window(conn_, w);
        xcb_flush(conn_);
    }
    void sync() { free(xcb_get_input_focus_reply(conn_, xcb_get_input_focus(conn_), nullptr)); }

    // Windows that received a close request, in order, waiting up to ms.
    std::vector<xcb_window_t> closeRequests(int ms = 300) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            while (xcb_generic_event_t *e = xcb_poll_for_event(conn_)) {
                if ((e->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                    auto *m = reinterpret_cast<xcb_client_message_event_t *>(e);
                    if (m->type == protocols_ && m->data.data32[0] == delete_) closed_.push_back(m->window);
                }
                free(e);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return closed_;
    }

private:
    xcb_atom_t atom(const char *name) {
        auto *r = xcb_intern_atom_reply(conn_, xcb_intern_atom(conn_, 0, uint16_t(strlen(name)), name), nullptr);
        xcb_atom_t a = r ? r->atom : 0;
        free(r);
        return a;
    }
    xcb_window_t make() {
        xcb_window_t w = xcb_generate_id(conn_);
        xcb_create_window(conn_, XCB_COPY_FROM_PARENT, w, screen_->root, 10, 10, 120, 40, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, 0, nullptr);
        xcb_change_property(conn_, XCB_PROP_MODE_REPLACE, w, protocols_, XCB_ATOM_ATOM, 32, 1, &delete_);
        xcb_map_window(conn_, w);
        xcb_flush(conn_);
        return w;
    }
    xcb_connection_t *conn_ = nullptr;
    xcb_screen_t *screen_ = nullptr;
    xcb_atom_t protocols_ = 0, delete_ = 0, netWmName_ = 0, utf8_ = 0;
    std::vector<xcb_window_t> closed_;
};

} // namespace xtest
