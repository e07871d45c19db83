// Times a windowed program's start on the X display named by DISPLAY (an Xvfb
// of bench/startup_bench.sh): from just before the program is started to the
// moment its first top-level window is mapped, to the moment that window first
// shows painted content, and, with --state, to the moment it shows what it
// finally settles on (the manager's detected disk). Everything is learnt from
// the X server's own events and pixels; the program is not changed for it.
//
//   startup_probe [--runs N] [--state] -- PROGRAM [ARGUMENTS...]
//
// The window may belong to a process the program starts (the launcher starts
// the login program); it is closed through its _NET_WM_PID after every run.
// Beside the wall times it reports the CPU time the programs had used by the
// time the window showed (the started program's own, which has ended by then
// when it is a launcher, and the window owner's): on a shared machine the wall
// time mostly measures the wait for a core, the CPU time does not.
// With --state, one run before the timed ones waits until the window has not
// changed for a second and keeps that look as the state to wait for.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr double kTimeoutSeconds = 30;

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void pause(int ms) {
    timespec ts{ms / 1000, long(ms % 1000) * 1'000'000};
    nanosleep(&ts, nullptr);
}

struct Display {
    xcb_connection_t *conn = nullptr;
    xcb_screen_t *screen = nullptr;
    xcb_atom_t pidAtom = XCB_ATOM_NONE;

    bool open() {
        conn = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(conn)) return false;
        screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
        // Every window created, mapped or destroyed on the screen is reported.
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(conn, screen->root, XCB_CW_EVENT_MASK, &mask);
        auto cookie = xcb_intern_atom(conn, 0, 11, "_NET_WM_PID");
        if (auto *reply = xcb_intern_atom_reply(conn, cookie, nullptr)) {
            pidAtom = reply->atom;
            std::free(reply);
        }
        xcb_flush(conn);
        return true;
    }
    ~Display() {
        if (conn) xcb_disconnect(conn);
    }

    // The next top-level window mapped that is not a menu or tooltip.
    std::optional<xcb_window_t> waitForMap(double deadline) {
        while (now() < deadline) {
            xcb_generic_event_t *e = xcb_poll_for_event(conn);
            if (!e) {
                if (xcb_connection_has_error(conn)) return std::nullopt;
                pause(1);
                continue;
            }
            std::optional<xcb_window_t> found;
            if ((e->response_type & 0x7F) == XCB_MAP_NOTIFY) {
                auto *m = reinterpret_cast<xcb_map_notify_event_t *>(e);
                if (m->event == screen->root && !m->override_redirect) found = m->window;
            }
            std::free(e);
            if (found) return found;
        }
        return std::nullopt;
    }

    void waitForDestroy(xcb_window_t w, double deadline) {
        while (now() < deadline) {
            xcb_generic_event_t *e = xcb_poll_for_event(conn);
            if (!e) {
                if (xcb_connection_has_error(conn)) return;
                pause(1);
                continue;
            }
            bool gone = (e->response_type & 0x7F) == XCB_DESTROY_NOTIFY &&
                        reinterpret_cast<xcb_destroy_notify_event_t *>(e)->window == w;
            std::free(e);
            if (gone) return;
        }
    }

    // The window's pixels, or nothing while it cannot be read.
    std::optional<std::vector<uint8_t>> pixels(xcb_window_t w) {
        auto geo = xcb_get_geometry_reply(conn, xcb_get_geometry(conn, w), nullptr);
        if (!geo) return std::nullopt;
        const uint16_t width = geo->width, height = geo->height;
        std::free(geo);
        auto *img = xcb_get_image_reply(
            conn, xcb_get_image(conn, XCB_IMAGE_FORMAT_Z_PIXMAP, w, 0, 0, width, height, ~0u), nullptr);
        if (!img) return std::nullopt;
        const uint8_t *data = xcb_get_image_data(img);
        std::vector<uint8_t> out(data, data + xcb_get_image_data_length(img));
        std::free(img);
        return out;
    }

    pid_t ownerOf(xcb_window_t w) {
        auto *reply =
            xcb_get_property_reply(conn, xcb_get_property(conn, 0, w, pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr);
        pid_t pid = 0;
        if (reply && xcb_get_property_value_length(reply) == 4)
            std::memcpy(&pid, xcb_get_property_value(reply), sizeof pid);
        std::free(reply);
        return pid;
    }
};

// A window whose pixels are not all one colour has been painted.
bool painted(const std::vector<uint8_t> &p) {
    if (p.size() < 8) return false;
    for (size_t i = 4; i + 4 <= p.size(); i += 4)
        if (std::memcmp(p.data() + i, p.data(), 3) != 0) return true;
    return false;
}

struct Run {
    double mapped = -1, shown = -1, state = -1;
    double cpu = -1; // seconds, at the last of the moments waited for
};

// CPU time of a running process so far, summed over its threads (nanoseconds
// in /proc/PID/task/TID/schedstat).
double cpuSeconds(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (!d) return 0;
    double total = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        if (FILE *f = std::fopen((dir + "/" + e->d_name + "/schedstat").c_str(), "r")) {
            unsigned long long ns = 0;
            if (std::fscanf(f, "%llu", &ns) == 1) total += double(ns) / 1e9;
            std::fclose(f);
        }
    }
    closedir(d);
    return total;
}

pid_t start(char **argv) {
    pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[0], argv);
        std::perror(argv[0]);
        _exit(127);
    }
    return pid;
}

// One start: waits for the window, for its first paint and, when a state is
// given, for that look; then closes the program and collects what it started.
std::optional<Run> once(Display &d, char **argv, const std::vector<uint8_t> *state, std::vector<uint8_t> *settled) {
    Run r;
    const double t0 = now();
    const double deadline = t0 + kTimeoutSeconds;
    const pid_t child = start(argv);
    std::optional<xcb_window_t> w = d.waitForMap(deadline);
    if (w) {
        r.mapped = now() - t0;
        const pid_t owner = d.ownerOf(*w);
        std::optional<std::vector<uint8_t>> last;
        double stableSince = 0;
        while (now() < deadline) {
            std::optional<std::vector<uint8_t>> p = d.pixels(*w);
            const double t = now() - t0;
            if (p && r.shown < 0 && painted(*p)) {
                r.shown = t;
                r.cpu = owner > 0 ? cpuSeconds(owner) : 0;
            }
            if (p && state && *p == *state) {
                r.state = t;
                r.cpu = owner > 0 ? cpuSeconds(owner) : 0;
                break;
            }
            if (settled) {
                if (!p || !last || *p != *last) stableSince = t;
                if (t - stableSince >= 1.0) {
                    *settled = *p;
                    break;
                }
                last = p;
            }
            if (!state && !settled && r.shown >= 0) break;
            pause(2);
        }
        if (owner > 0) kill(owner, SIGTERM);
        d.waitForDestroy(*w, now() + kTimeoutSeconds);
        // A launcher has ended by the time the window shows; its time counts
        // beside the window owner's. The manager is its own window's owner.
        int status = 0;
        rusage usage{};
        if (owner != child && wait4(child, &status, WNOHANG, &usage) == child) {
            r.cpu += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
            return r;
        }
    }
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    if (!w) return std::nullopt;
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
    int runs = 10;
    bool withState = false;
    int i = 1;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--state") == 0)
            withState = true;
        else if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        } else
            break;
    }
    if (i >= argc) {
        std::fprintf(stderr, "usage: startup_probe [--runs N] [--state] -- PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    char **program = argv + i;
    Display d;
    if (!d.open()) {
        std::fprintf(stderr, "startup_probe: cannot open the X display \"%s\"\n", std::getenv("DISPLAY") ?: "");
        return 1;
    }
    // The first start fills the system's caches (fonts above all), as any
    // earlier start of any Qt program on the machine would have; it also
    // yields the settled look when one is wanted.
    std::vector<uint8_t> state;
    if (!once(d, program, nullptr, withState ? &state : nullptr)) {
        std::fprintf(stderr, "startup_probe: %s showed no window within %.0f s\n", program[0], kTimeoutSeconds);
        return 1;
    }
    std::vector<double> mapped, shown, stated, cpu;
    for (int n = 0; n < runs; ++n) {
        std::optional<Run> r = once(d, program, withState ? &state : nullptr, nullptr);
        if (!r || r->shown < 0 || (withState && r->state < 0)) {
            std::fprintf(stderr, "startup_probe: run %d of %s did not reach its window's look\n", n + 1, program[0]);
            return 1;
        }
        mapped.push_back(r->mapped);
        shown.push_back(r->shown);
        if (withState) stated.push_back(r->state);
        cpu.push_back(r->cpu);
    }
    std::printf("%s: median of %d starts: window mapped %.0f ms, painted %.0f ms", program[0], runs,
                median(mapped) * 1e3, median(shown) * 1e3);
    if (withState) std::printf(", state shown %.0f ms", median(stated) * 1e3);
    std::printf("; fastest painted %.0f ms; CPU time by then %.0f ms\n",
                *std::min_element(shown.begin(), shown.end()) * 1e3, median(cpu) * 1e3);
    return 0;
}
