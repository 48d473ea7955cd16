// A stand-in service for tests: takes the presence lock of the class named by QV_HOLD_CLASS (or
// derived from the program name) and holds it until SIGTERM.
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/eventloop.h"
#include "platform/presence.h"

int main(int, char** argv) {
  const char* env = std::getenv("QV_HOLD_CLASS");
  std::string cls = env ? env : "";
  std::string name = argv[0];
  name = name.substr(name.find_last_of('/') + 1);
  if (name == "qvsmtp95") cls = "QuorvaneSmtp";
  if (name == "qvpop395") cls = "QuorvanePop3";
  if (name == "qvctrl95") cls = "QuorvaneControl";
  if (cls.empty()) return 2;
  auto lock = qv::platform::PresenceLock::Acquire(cls);
  if (!lock) return 1;
  qv::platform::EventLoop loop;
  loop.OnDestroy([&] { loop.Quit(); });
  loop.Run();
  return 0;
}
