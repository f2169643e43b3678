#include <cstdio>
#include <cstring>
#include <string>

#include "app/app.h"
#include "platform/platform.h"
#include "veskor_version.h"

namespace {

// Texts are cp1251 inside the program; the terminal gets UTF-8.
void say(FILE* f, const char* cp1251) {
  std::string u = plat::to_utf8(cp1251);
  std::fwrite(u.data(), 1, u.size(), f);
}

const char HELP[] =
    "Использование: veskor [--help | --version]\n"
    "\n"
    "Находит загрузчики сетевых устройств в локальном сегменте (UDP, порт 48900),\n"
    "прошивает в устройство файл Intel HEX с проверкой каждой страницы\n"
    "и назначает ему MAC-адрес. Нужен дисплей; без него работает veskorctl.\n"
    "\n"
    "  --help      эта справка\n"
    "  --version   версия программы\n"
    "\n"
    "Настройки (последний файл, серия MAC-адресов):\n"
    "  ${XDG_CONFIG_HOME:-~/.config}/veskor/HKEY_CURRENT_USER.reg\n"
    "Журнал выданных MAC-адресов:\n"
    "  ${XDG_DATA_HOME:-~/.local/share}/veskor/ledger.csv\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
      std::printf("veskor %s\n", VESKOR_VERSION);
      return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
      say(stdout, HELP);
      return 0;
    }
    // The argument came from the terminal and is UTF-8 already.
    bool extra = argc > 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "--help") == 0);
    say(stderr, extra ? "veskor: лишний параметр «" : "veskor: неизвестный параметр «");
    std::fputs(argv[extra ? 2 : 1], stderr);
    say(stderr, "»\nСправка: veskor --help\n");
    return 2;
  }
  // Without a display there is nobody to choose a device or type a
  // password: say so before anything goes out on the network.
  if (!plat::open_display()) {
    say(stderr, "veskor: нет дисплея (переменная DISPLAY не задана или X-сервер недоступен)\n");
    return 1;
  }
  plat::install_session_signals();
  static int instance;
  return WinMain(&instance, nullptr, (char*)"", 5);
}
