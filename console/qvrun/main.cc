// qvrun: opens the console applet outside a control panel. It makes its own top-level window
// (title "Quorvane", object name "QuorvaneExe"; never shown), loads libqvcpl.so from its own
// folder, and calls the applet's CPlApplet with the open message, the window and two zeros.
#include <dlfcn.h>
#include <unistd.h>

#include <QApplication>
#include <QWidget>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

#include "console/ui/console_texts.h"

namespace {

constexpr char kAppletLibrary[] = "libqvcpl.so";
constexpr char kAppletEntry[] = "CPlApplet";
constexpr unsigned kOpenMessage = 5;

using AppletEntry = long (*)(void*, unsigned, intptr_t, intptr_t);

// The library by name (found beside the program through its run path), else by the program's
// own folder.
void* LoadApplet() {
  if (void* lib = dlopen(kAppletLibrary, RTLD_NOW | RTLD_LOCAL)) return lib;
  char self[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return nullptr;
  std::string path(self, static_cast<size_t>(n));
  path = path.substr(0, path.rfind('/') + 1) + kAppletLibrary;
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle(QString::fromLatin1(qv::console::kLoaderTitle));
  window.setObjectName(QString::fromLatin1(qv::console::kLoaderClass));

  void* lib = LoadApplet();
  if (lib == nullptr) {
    std::fprintf(stderr, qv::console::kLoaderCannotLoad, kAppletLibrary, dlerror());
    return 1;
  }
  auto entry = reinterpret_cast<AppletEntry>(dlsym(lib, kAppletEntry));
  if (entry == nullptr) {
    std::fprintf(stderr, qv::console::kLoaderNoEntry, kAppletLibrary, kAppletEntry);
    dlclose(lib);
    return 1;
  }
  entry(&window, kOpenMessage, 0, 0);
  // The library stays loaded: Qt may still hold its objects until the application ends.
  return 0;
}
