// A process for the link share tests. Loads the library named by its argument, answers
// "ready" (or "fail"), then runs one command per input line and answers one line:
//   lock <ms>                 -> <result> <wait result>
//   unlock                    -> <result>
//   add <entry> <already-up>  -> <result>
//   release <entry>           -> <result> <hang-up>
//   count <entry> <op> <val>  -> <result> <previous>
//   unload                    -> ok        (dlclose)
//   die                       -> (ends at once, without unloading)
// An entry written "-" stands for the null pointer.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "linkshare/brasshr.h"

namespace ls = qv::linkshare;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  void* lib = dlopen(argv[1], RTLD_NOW);
  auto lock = lib ? reinterpret_cast<ls::LockRasFn>(dlsym(lib, "BRS_LockRas")) : nullptr;
  auto unlock = lib ? reinterpret_cast<ls::UnlockRasFn>(dlsym(lib, "BRS_UnlockRas")) : nullptr;
  auto add = lib ? reinterpret_cast<ls::AddRefFn>(dlsym(lib, "BRS_AddRef")) : nullptr;
  auto release = lib ? reinterpret_cast<ls::ReleaseRefFn>(dlsym(lib, "BRS_ReleaseRef")) : nullptr;
  auto count = lib ? reinterpret_cast<ls::ShareCountFn>(dlsym(lib, "BRS_ShareCount")) : nullptr;
  if (!lock || !unlock || !add || !release || !count) {
    std::cout << "fail" << std::endl;
    return 1;
  }
  std::cout << "ready" << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string cmd, entry;
    in >> cmd;
    auto name = [&]() -> const char* {
      in >> entry;
      return entry == "-" ? nullptr : entry.c_str();
    };
    if (cmd == "lock") {
      unsigned long ms = 0;
      in >> ms;
      uint32_t wait = 12345;
      uint32_t rc = lock(static_cast<uint32_t>(ms), &wait);
      std::cout << rc << ' ' << wait << std::endl;
    } else if (cmd == "unlock") {
      std::cout << unlock() << std::endl;
    } else if (cmd == "add") {
      const char* e = name();
      int flag = 0;
      in >> flag;
      std::cout << add(e, flag) << std::endl;
    } else if (cmd == "release") {
      const char* e = name();
      int32_t hang = 7;
      uint32_t rc = release(e, &hang);
      std::cout << rc << ' ' << hang << std::endl;
    } else if (cmd == "count") {
      const char* e = name();
      unsigned op = 0;
      int value = 0;
      in >> op >> value;
      int32_t previous = -99;
      uint32_t rc = count(e, op, &previous, value);
      std::cout << rc << ' ' << previous << std::endl;
    } else if (cmd == "unload") {
      dlclose(lib);
      lib = nullptr;
      std::cout << "ok" << std::endl;
    } else if (cmd == "die") {
      _exit(3);
    } else {
      std::cout << "?" << std::endl;
    }
  }
  if (lib != nullptr) dlclose(lib);
  return 0;
}
