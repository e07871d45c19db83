#include "platform/Windows.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

#include "platform/Locale.h"

namespace platform {

namespace {

struct Reply {
    void operator()(void *p) const { std::free(p); }
};
template <class T> using ReplyPtr = std::unique_ptr<T, Reply>;

// WM_NAME of type STRING is Latin-1; anything else is passed through.
std::string latin1ToUtf8(const char *p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(p[i]);
        if (c < 0x80) {
            out += char(c);
        } else {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace

struct WindowList::Impl {
    xcb_connection_t *conn = nullptr;
    xcb_window_t root = 0;
    xcb_atom_t netWmName = 0, utf8String = 0, wmProtocols = 0, wmDeleteWindow = 0;

    Impl() {
        // No display at all: do not let xcb guess one.
        const char *display = std::getenv("DISPLAY");
        if (!display || !*display) return;
        int screenNo = 0;
        xcb_connection_t *c = xcb_connect(display, &screenNo);
        if (!c || xcb_connection_has_error(c)) {
            if (c) xcb_disconnect(c);
            return;
        }
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
        for (int i = 0; i < screenNo && it.rem; ++i) xcb_screen_next(&it);
        if (!it.rem) {
            xcb_disconnect(c);
            return;
        }
        conn = c;
        root = it.data->root;
        netWmName = atom("_NET_WM_NAME");
        utf8String = atom("UTF8_STRING");
        wmProtocols = atom("WM_PROTOCOLS");
        wmDeleteWindow = atom("WM_DELETE_WINDOW");
    }
    ~Impl() {
        if (conn) xcb_disconnect(conn);
    }

    xcb_atom_t atom(const char *name) {
        ReplyPtr<xcb_intern_atom_reply_t> r(
            xcb_intern_atom_reply(conn, xcb_intern_atom(conn, 0, uint16_t(std::strlen(name)), name), nullptr));
        return r ? r->atom : 0;
    }

    // The window's title, or nothing when it has none.
    bool title(xcb_window_t w, std::string *out) {
        auto read = [&](xcb_atom_t property, xcb_atom_t type) -> ReplyPtr<xcb_get_property_reply_t> {
            return ReplyPtr<xcb_get_property_reply_t>(
                xcb_get_property_reply(conn, xcb_get_property(conn, 0, w, property, type, 0, 4096), nullptr));
        };
        if (netWmName && utf8String) {
            auto r = read(netWmName, utf8String);
            if (r && r->type == utf8String && r->format == 8) {
                *out = std::string(static_cast<const char *>(xcb_get_property_value(r.get())),
                                   size_t(xcb_get_property_value_length(r.get())));
                return true;
            }
        }
        auto r = read(XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY);
        if (!r || r->type == XCB_NONE || r->format != 8) return false;
        const auto *p = static_cast<const char *>(xcb_get_property_value(r.get()));
        const size_t n = size_t(xcb_get_property_value_length(r.get()));
        *out = r->type == XCB_ATOM_STRING ? latin1ToUtf8(p, n) : std::string(p, n);
        return true;
    }

    std::vector<xcb_window_t> children(xcb_window_t w) {
        ReplyPtr<xcb_query_tree_reply_t> r(xcb_query_tree_reply(conn, xcb_query_tree(conn, w), nullptr));
        if (!r) return {};
        const xcb_window_t *c = xcb_query_tree_children(r.get());
        return std::vector<xcb_window_t>(c, c + xcb_query_tree_children_length(r.get()));
    }
};

WindowList::WindowList() : impl_(std::make_unique<Impl>()) {}
WindowList::~WindowList() = default;

bool WindowList::connected() const { return impl_->conn != nullptr; }

std::vector<TopLevelWindow> WindowList::windows() {
    std::vector<TopLevelWindow> out;
    if (!impl_->conn) return out;
    // Without a window manager the programs' windows are children of the root;
    // a reparenting window manager puts each into a frame, one level further down.
    for (xcb_window_t w : impl_->children(impl_->root)) {
        std::string t;
        if (impl_->title(w, &t)) {
            out.push_back({w, t});
            continue;
        }
        for (xcb_window_t c : impl_->children(w))
            if (impl_->title(c, &t)) out.push_back({c, t});
    }
    return out;
}

WindowId WindowList::find(const std::string &utf8Title) {
    for (const TopLevelWindow &w : windows())
        if (w.title == utf8Title) return w.id;
    return 0;
}

bool WindowList::close(WindowId window) {
    if (!impl_->conn || !window || !impl_->wmProtocols || !impl_->wmDeleteWindow) return false;
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = window;
    ev.type = impl_->wmProtocols;
    ev.data.data32[0] = impl_->wmDeleteWindow;
    ev.data.data32[1] = XCB_CURRENT_TIME;
    xcb_void_cookie_t ck =
        xcb_send_event_checked(impl_->conn, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&ev));
    ReplyPtr<xcb_generic_error_t> err(xcb_request_check(impl_->conn, ck));
    return !err;
}

std::string titleFromCodePage(const std::string &bytes, uint32_t codePage) { return decodeCodePage(bytes, codePage); }

int closeWindowsWhoseTitleContains(const std::string &utf8Text) {
    WindowList list;
    int asked = 0;
    for (const TopLevelWindow &w : list.windows())
        if (w.title.find(utf8Text) != std::string::npos && list.close(w.id)) ++asked;
    return asked;
}

} // namespace platform
