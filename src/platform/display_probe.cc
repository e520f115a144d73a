#include "platform/display_probe.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qarn {
namespace {

const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

bool ConnectUnix(const std::string& path, std::string* why) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    *why = path + ": name too long";
    return false;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *why = std::strerror(errno);
    return false;
  }
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (!ok) *why = path + ": " + std::strerror(errno);
  close(fd);
  return ok;
}

bool CanOpenWayland(const char* display, std::string* why) {
  std::string path = display;
  if (path.front() != '/') {
    const char* runtime = Env("XDG_RUNTIME_DIR");
    if (!runtime) {
      *why = "XDG_RUNTIME_DIR is not set";
      return false;
    }
    path = std::string(runtime) + "/" + path;
  }
  return ConnectUnix(path, why);
}

// The X11 client library that the window toolkit itself uses, loaded only for this question
// so that a build without X11 still runs. It asks the server with the real address and
// authorisation, as the toolkit will.
bool CanOpenX11(const char* display, std::string* why) {
  void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!xcb) {
    *why = "no X11 client library (libxcb.so.1)";
    return false;
  }
  using Connect = void* (*)(const char*, int*);
  using HasError = int (*)(void*);
  using Disconnect = void (*)(void*);
  const auto connect = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
  const auto has_error = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
  const auto disconnect = reinterpret_cast<Disconnect>(dlsym(xcb, "xcb_disconnect"));
  bool ok = false;
  if (connect && has_error && disconnect) {
    void* connection = connect(display, nullptr);
    ok = connection && has_error(connection) == 0;
    if (connection) disconnect(connection);
    if (!ok) *why = std::string("cannot open display ") + display;
  } else {
    *why = "libxcb.so.1 lacks xcb_connect";
  }
  dlclose(xcb);
  return ok;
}

}  // namespace

bool CanOpenDisplay(std::string* why) {
  why->clear();
  if (const char* platform = Env("QT_QPA_PLATFORM")) {
    // A platform named outright: only the two that need a display server are asked.
    const std::string name = platform;
    if (name.rfind("xcb", 0) == 0) {
      const char* x11 = Env("DISPLAY");
      if (!x11) *why = "QT_QPA_PLATFORM=xcb without DISPLAY";
      return x11 && CanOpenX11(x11, why);
    }
    if (name.rfind("wayland", 0) == 0) {
      const char* wayland = Env("WAYLAND_DISPLAY");
      return CanOpenWayland(wayland ? wayland : "wayland-0", why);
    }
    return true;
  }
  std::string wayland_why;
  if (const char* wayland = Env("WAYLAND_DISPLAY")) {
    if (CanOpenWayland(wayland, &wayland_why)) return true;
  }
  if (const char* x11 = Env("DISPLAY")) return CanOpenX11(x11, why);
  *why = wayland_why;
  return false;
}

}  // namespace qarn
