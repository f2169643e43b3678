// A program without windows, built on veskor_platform_base alone. It touches
// every part of that library, so linking it proves the parts resolve
// without the desktop; base_link_check.cmake then reads what it needs at run
// time. It includes no SDL header, and could not: the base library puts
// none on the include path.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/base.h"
#include "platform/durable.h"
#include "platform/net.h"

int main() {
  int failures = 0;
  auto expect = [&](bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "base_link_probe: %s\n", what);
      failures++;
    }
  };
  // "Прошить" in cp1251 and back.
  const char cp[] = "\xCF\xF0\xEE\xF8\xE8\xF2\xFC";
  std::string utf8 = plat::to_utf8(cp);
  expect(plat::from_utf8(utf8.c_str()) == cp, "cp1251 round trip");
  uint32_t t0 = plat::tick();
  plat::sleep_ms(1);
  expect(plat::tick() - t0 < 60000, "clock");
  plat::semaphore* s = plat::sem_create(nullptr, 1);
  expect(plat::sem_wait(s, 0) == 0 && plat::sem_wait(s, 0) == WAIT_TIMEOUT_CODE, "semaphore");
  plat::sem_destroy(s);
  bool refused = false;
  expect(plat::open_file_read("/dev/null", 16, &refused) == nullptr && refused, "regular files only");
  bool ro = false;
  expect(plat::dbf_open("/nonexistent/folder/x.dbf", false, &ro) == plat::DBF_FAILED, "record file");
  // The hive is only read, and from a folder that is not there.
  setenv("XDG_CONFIG_HOME", "/nonexistent/veskor-link-probe", 1);
  void* key = nullptr;
  if (plat::reg_open_key(HKEY_CURRENT_USER, "Software\\VeskorLinkProbe", KEY_READ, &key) == ERROR_SUCCESS)
    plat::reg_close_key(key);
  uint32_t addr = 0;
  expect(plat::parse_ipv4("192.0.2.1", &addr) && addr == 0xC0000201u, "address");
  int sock = plat::udp_open();
  expect(sock >= 0, "udp socket");
  plat::udp_close(sock);
  std::string sh = plat::find_program("sh"), out;
  const char* argv[] = {sh.c_str(), "-c", "echo ok", nullptr};
  int code = -1;
  expect(!sh.empty() && plat::run_child(argv, out, &code, 64, nullptr, nullptr) && code == 0 && out == "ok\n",
         "child process");
  return failures ? 1 : 0;
}
