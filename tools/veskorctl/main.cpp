// veskorctl: the command line, its help and the choice of the command.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/veskorctl/ctl.h"

using namespace ctl;

namespace {

const char GENERAL_HELP[] =
    "Использование: veskorctl КОМАНДА [ПАРАМЕТРЫ]\n"
    "Прошивка загрузчиков сетевых устройств и выдача MAC-адресов из командной строки.\n"
    "\n"
    "Команды:\n"
    "  discover   найти устройства в сегменте сети\n"
    "  identify   опросить устройство по адресу\n"
    "  flash      прошить устройство файлом Intel HEX\n"
    "  mac        записать в устройство MAC-адрес: следующий из серии или заданный\n"
    "  batch      поточная прошивка: каждое новое устройство прошить и выдать ему MAC\n"
    "  ledger     показать или проверить журнал выданных MAC-адресов\n"
    "\n"
    "veskorctl КОМАНДА --help описывает команду и даёт примеры.\n"
    "\n"
    "Коды выхода: 0 выполнено, 1 отказ устройства или протокола, 2 ошибка в\n"
    "командной строке, 3 ошибка файла (прошивки, пароля, журнала), 4 ошибка настроек.\n"
    "Серия MAC-адресов общая с оконной программой veskor (значение LastMac в тех же\n"
    "настройках); журнал: ${XDG_DATA_HOME:-~/.local/share}/veskor/ledger.csv.\n";

struct command {
  const char* name;
  int (*run)(const options&);
  int min_args, max_args;
  const char* allowed;  // options it takes, each followed by a blank
  const char* help;
};

const command COMMANDS[] = {
    {"discover", cmd_discover, 0, 0, "--json ",
     "Использование: veskorctl discover [--json]\n"
     "Один круг поиска: запрос всем устройствам сегмента, ответы за полсекунды.\n"
     "Печатает таблицу (адрес, имя, MAC, версия загрузчика) или, с --json, по\n"
     "одному объекту JSON в строке. Код 1, если не ответило ни одно устройство.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl discover\n"
     "  veskorctl discover --json | jq -r .address\n"},
    {"identify", cmd_identify, 1, 1, "--json ",
     "Использование: veskorctl identify АДРЕС [--json]\n"
     "Опрашивает устройство по адресу IPv4: имя, MAC, версия загрузчика.\n"
     "Код 1, если устройство не ответило.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl identify 192.168.0.10\n"
     "  veskorctl identify 192.168.0.10 --json\n"},
    {"flash", cmd_flash, 2, 2, "--coprocessor --password --password-file --yes ",
     "Использование: veskorctl flash АДРЕС ФАЙЛ [--coprocessor] [--password П | --password-file Ф] [--yes]\n"
     "Включает режим программирования (после пароля), ждёт, пока загрузчик снова\n"
     "ответит, записывает образ из файла Intel HEX постранично с проверкой каждой\n"
     "страницы чтением и выключает режим программирования.\n"
     "\n"
     "  --coprocessor        прошить сопроцессор устройства\n"
     "  --password П         пароль устройства (виден другим в списке процессов)\n"
     "  --password-file Ф    пароль из первой строки файла Ф\n"
     "                       без пароля посылается пустой (16 знаков '_')\n"
     "  --yes                на вопросы отвечать «да»: образ больше памяти устройства\n"
     "                       прошивается без лишнего; без --yes такой образ не прошивается\n"
     "\n"
     "На терминале строка хода: страницы, проценты, кБ/с и оставшееся время.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl flash 192.168.0.10 firmware.hex --password-file ~/.veskor-pass\n"
     "  veskorctl flash 192.168.0.10 sp.hex --coprocessor\n"},
    {"mac", cmd_mac, 1, 2, "--next --password --password-file ",
     "Использование: veskorctl mac АДРЕС (--next | MAC) [--password П | --password-file Ф]\n"
     "Записывает в устройство MAC-адрес: с --next следующий адрес серии, общей с\n"
     "оконной программой (LastMac в тех же настройках, под той же блокировкой),\n"
     "или заданный: шесть пар шестнадцатеричных цифр через ':' или '-' или слитно.\n"
     "Каждый адрес до отправки записывается в журнал как зарезервированный, после\n"
     "ответа устройства - как подтверждённый или отклонённый. Следующий адрес серии\n"
     "всегда больше всех адресов серии в журнале и в LastMac.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl mac 192.168.0.10 --next --password-file ~/.veskor-pass\n"
     "  veskorctl mac 192.168.0.10 5A:3C:19:11:46:20\n"},
    {"batch", cmd_batch, 1, 1, "--coprocessor --mac-next --count --password --password-file --yes ",
     "Использование: veskorctl batch ФАЙЛ [--coprocessor] [--mac-next] [--count N]\n"
     "                               [--password П | --password-file Ф] [--yes]\n"
     "Поточная прошивка: раз в секунду ищет устройства и каждое новое прошивает\n"
     "(с проверкой каждой страницы), с --mac-next выдаёт ему следующий MAC-адрес\n"
     "серии, печатает строку итога и ждёт следующих. Устройство узнаётся по адресу\n"
     "и MAC; уже обработанное в этом запуске не обрабатывается снова.\n"
     "\n"
     "  --count N     закончить после N устройств (иначе - до Ctrl+C, который\n"
     "                даёт закончить начатое устройство)\n"
     "  --mac-next    выдавать MAC-адреса серии (через журнал, как команда mac)\n"
     "  --coprocessor, --password, --password-file, --yes - как у flash\n"
     "\n"
     "Код выхода 0, если все устройства обработаны без ошибок, иначе 1.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl batch firmware.hex --mac-next --password-file ~/.veskor-pass\n"
     "  veskorctl batch firmware.hex --mac-next --count 3 > итоги.txt\n"},
    {"ledger", cmd_ledger, 0, 0, "--check ",
     "Использование: veskorctl ledger [--check]\n"
     "Печатает журнал MAC-адресов (CSV: время, адрес устройства, имя, прежний MAC,\n"
     "новый MAC, файл прошивки, его SHA-256, итог: reserved, confirmed, failed).\n"
     "С --check проверяет его: адрес, подтверждённый больше одного раза, - ошибка\n"
     "(код 1); адрес, оставшийся только зарезервированным (итог неизвестен,\n"
     "устройство могло его получить), называется предупреждением.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl ledger > журнал.csv\n"
     "  veskorctl ledger --check\n"},
};

bool takes(const command& c, const std::string& opt) {
  return std::strstr(c.allowed, (opt + " ").c_str()) != nullptr;
}

int usage(const std::string& text, const char* command_name) {
  err(text + " (подробнее: veskorctl " + (command_name ? std::string(command_name) + " " : "") + "--help)");
  return EXIT_USAGE;
}

// The value of an option, from "--opt=value" or the next argument.
bool option_value(int argc, char** argv, int& i, const std::string& inline_value, bool has_inline,
                  std::string& value) {
  if (has_inline) {
    value = inline_value;
    return true;
  }
  if (i + 1 >= argc) return false;
  value = argv[++i];
  return true;
}

int parse(const command& c, int argc, char** argv, options& o) {
  bool no_more_options = false;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    if (no_more_options || a.size() < 2 || a[0] != '-') {
      o.args.push_back(a);
      continue;
    }
    if (a == "--") {
      no_more_options = true;
      continue;
    }
    if (a == "--help" || a == "-h") {
      out(c.help);
      std::exit(EXIT_DONE);
    }
    size_t eq = a.find('=');
    std::string name = a.substr(0, eq);
    bool has_inline = eq != std::string::npos;
    std::string inline_value = has_inline ? a.substr(eq + 1) : "";
    std::string shown;
    // An unknown option is named, but only up to its '=': what follows
    // may be a password typed into the wrong option.
    if (!arg_text(name.c_str(), shown)) shown = "?";
    if (!takes(c, name)) return usage("неизвестный параметр " + shown, c.name);
    bool wants_value = name == "--password" || name == "--password-file" || name == "--count";
    if (has_inline && !wants_value) return usage("параметр " + shown + " не принимает значения", c.name);
    std::string value;
    if (wants_value && !option_value(argc, argv, i, inline_value, has_inline, value))
      return usage("после " + shown + " нужно значение", c.name);
    if (name == "--json") o.json = true;
    else if (name == "--coprocessor") o.coprocessor = true;
    else if (name == "--next") o.next = true;
    else if (name == "--mac-next") o.mac_next = true;
    else if (name == "--check") o.check = true;
    else if (name == "--yes") o.yes = true;
    else if (name == "--password" || name == "--password-file") {
      if (o.password_given) return usage("пароль задаётся один раз: --password или --password-file", c.name);
      o.password_given = true;
      if (name == "--password") {
        // Never repeated in the message: it is the password.
        if (!arg_text(value.c_str(), o.password))
          return usage("в пароле есть знаки, которых нет в кодировке устройства (cp1251)", c.name);
      } else {
        o.password_file = value;
      }
    } else if (name == "--count") {
      char* end = nullptr;
      errno = 0;
      long n = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end || errno || n < 1 || n > 1000000 || !std::isdigit((unsigned char)value[0])) {
        std::string v;
        if (!arg_text(value.c_str(), v)) v = "?";
        return usage("--count ждёт целое число от 1 до 1000000, а не " + v, c.name);
      }
      o.count = n;
    }
  }
  if ((int)o.args.size() < c.min_args) return usage("не хватает аргументов", c.name);
  // A stray argument is not repeated: it may be a password given without
  // its option.
  if ((int)o.args.size() > c.max_args) return usage("лишний аргумент", c.name);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  // Set before anything can show a box: this program has no windows.
  SINK.tty = isatty_stderr();
  DIALOG_SINK = &SINK;
  if (argc < 2) {
    // On stderr: a script that forgot the command must not read help as output.
    out_stderr(GENERAL_HELP);
    return EXIT_USAGE;
  }
  std::string first = argv[1];
  if (first == "--help" || first == "-h" || first == "help") {
    if (first == "help" && argc > 2) {
      for (const command& c : COMMANDS)
        if (argv[2] == std::string(c.name)) {
          out(c.help);
          return EXIT_DONE;
        }
    }
    out(GENERAL_HELP);
    return EXIT_DONE;
  }
  for (const command& c : COMMANDS) {
    if (first != c.name) continue;
    options o;
    int r = parse(c, argc, argv, o);
    if (r >= 0) return r;
    install_signals();
    return c.run(o);
  }
  std::string shown;
  if (!arg_text(first.c_str(), shown)) shown = "?";
  return usage("неизвестная команда " + shown, nullptr);
}
