// veskorctl: the command line, its help and the choice of the command.
#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/veskorctl/ctl.h"
#include "veskor_version.h"

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
    "veskorctl КОМАНДА --help описывает команду и даёт примеры;\n"
    "veskorctl --version называет версию.\n"
    "Общие параметры: -q (--quiet) - печатать только итоги и ошибки, -h (--help).\n"
    "\n"
    "Коды выхода: 0 выполнено, 1 отказ устройства или протокола, 2 ошибка в\n"
    "командной строке, 3 ошибка файла (прошивки, пароля, журнала), 4 ошибка настроек.\n"
    "Серия MAC-адресов общая с оконной программой veskor (значение LastMac в тех же\n"
    "настройках); журнал: ${XDG_DATA_HOME:-~/.local/share}/veskor/ledger.csv.\n";

// Options, each with the code getopt_long gives it.
enum option_code : int {
  OPT_HELP = 'h',
  OPT_YES = 'y',
  OPT_QUIET = 'q',
  OPT_JSON = 1000,
  OPT_COPROCESSOR,
  OPT_NEXT,
  OPT_MAC_NEXT,
  OPT_CHECK,
  OPT_FORCE,
  OPT_AGAIN,
  OPT_PASSWORD,
  OPT_PASSWORD_FILE,
  OPT_COUNT,
};

const struct option ALL_OPTIONS[] = {
    {"help", no_argument, nullptr, OPT_HELP},
    {"yes", no_argument, nullptr, OPT_YES},
    {"quiet", no_argument, nullptr, OPT_QUIET},
    {"json", no_argument, nullptr, OPT_JSON},
    {"coprocessor", no_argument, nullptr, OPT_COPROCESSOR},
    {"next", no_argument, nullptr, OPT_NEXT},
    {"mac-next", no_argument, nullptr, OPT_MAC_NEXT},
    {"check", no_argument, nullptr, OPT_CHECK},
    {"force", no_argument, nullptr, OPT_FORCE},
    {"again", no_argument, nullptr, OPT_AGAIN},
    {"password", required_argument, nullptr, OPT_PASSWORD},
    {"password-file", required_argument, nullptr, OPT_PASSWORD_FILE},
    {"count", required_argument, nullptr, OPT_COUNT},
};

struct command {
  const char* name;
  int (*run)(const options&);
  int min_args, max_args;
  std::vector<int> allowed;  // beside --help and --quiet
  const char* help;
};

const command COMMANDS[] = {
    {"discover", cmd_discover, 0, 0, {OPT_JSON},
     "Использование: veskorctl discover [--json]\n"
     "Один круг поиска: запрос всем устройствам сегмента, ответы за полсекунды.\n"
     "Печатает таблицу (адрес, имя, MAC, версия загрузчика) или, с --json, по\n"
     "одному объекту JSON в строке. Код 1, если не ответило ни одно устройство.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl discover\n"
     "  veskorctl discover --json | jq -r .address\n"},
    {"identify", cmd_identify, 1, 1, {OPT_JSON},
     "Использование: veskorctl identify АДРЕС [--json]\n"
     "Опрашивает устройство по адресу IPv4: имя, MAC, версия загрузчика.\n"
     "Код 1, если устройство не ответило.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl identify 192.168.0.10\n"
     "  veskorctl identify 192.168.0.10 --json\n"},
    {"flash", cmd_flash, 2, 2, {OPT_COPROCESSOR, OPT_PASSWORD, OPT_PASSWORD_FILE, OPT_YES},
     "Использование: veskorctl flash АДРЕС ФАЙЛ [--coprocessor] [--password П | --password-file Ф] [-y]\n"
     "Включает режим программирования (после пароля), ждёт, пока загрузчик снова\n"
     "ответит, записывает образ из файла Intel HEX постранично с проверкой каждой\n"
     "страницы чтением и выключает режим программирования. Файл без данных или без\n"
     "записи конца файла (обрезанный) не прошивается (код 3).\n"
     "\n"
     "  --coprocessor        прошить сопроцессор устройства\n"
     "  --password П         пароль устройства (виден другим в списке процессов)\n"
     "  --password-file Ф    пароль из первой строки файла Ф\n"
     "                       без пароля посылается пустой (16 знаков '_')\n"
     "  -y, --yes            на вопросы отвечать «да»: образ больше памяти устройства\n"
     "                       прошивается без лишнего; без -y такой образ не прошивается\n"
     "\n"
     "На терминале строка хода: страницы, проценты, кБ/с и оставшееся время.\n"
     "Ctrl+C останавливает прошивку после текущей страницы (устройство остаётся\n"
     "непрошитым, режим программирования выключается, код 130); второй Ctrl+C\n"
     "прерывает сразу.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl flash 192.168.0.10 firmware.hex --password-file ~/.veskor-pass\n"
     "  veskorctl flash 192.168.0.10 sp.hex --coprocessor\n"},
    {"mac", cmd_mac, 1, 2, {OPT_NEXT, OPT_FORCE, OPT_PASSWORD, OPT_PASSWORD_FILE},
     "Использование: veskorctl mac АДРЕС (--next | MAC [--force]) [--password П | --password-file Ф]\n"
     "Записывает в устройство MAC-адрес: с --next следующий адрес серии, общей с\n"
     "оконной программой (LastMac в тех же настройках, под той же блокировкой),\n"
     "или заданный: шесть пар шестнадцатеричных цифр через ':' или '-' или слитно.\n"
     "Каждый адрес до отправки записывается в журнал как зарезервированный, после\n"
     "ответа устройства - как подтверждённый или отклонённый. Следующий адрес серии\n"
     "всегда больше всех адресов серии в журнале и в LastMac.\n"
     "\n"
     "  --force    записать и групповой (младший бит первого байта) или нулевой\n"
     "             адрес: устройство с ним будет недоступно в сети; без --force\n"
     "             такой адрес не записывается (код 2)\n"
     "\n"
     "Примеры:\n"
     "  veskorctl mac 192.168.0.10 --next --password-file ~/.veskor-pass\n"
     "  veskorctl mac 192.168.0.10 5A:3C:19:11:46:20\n"},
    {"batch", cmd_batch, 1, 1, {OPT_COPROCESSOR, OPT_MAC_NEXT, OPT_COUNT, OPT_AGAIN, OPT_PASSWORD, OPT_PASSWORD_FILE, OPT_YES},
     "Использование: veskorctl batch ФАЙЛ [--coprocessor] [--mac-next] [--count N] [--again]\n"
     "                               [--password П | --password-file Ф] [-y]\n"
     "Поточная прошивка: раз в секунду ищет устройства и каждое новое прошивает\n"
     "(с проверкой каждой страницы), с --mac-next выдаёт ему следующий MAC-адрес\n"
     "серии, печатает строку итога и ждёт следующих. Устройство узнаётся по адресу\n"
     "и MAC; уже обработанное в этом запуске не обрабатывается снова, а то, что не\n"
     "удалось, пробуется снова, когда его переставят (оно пропадёт из сегмента и\n"
     "появится опять). Устройство, чей MAC подтверждён в журнале вместе с этим же\n"
     "файлом прошивки (тот же SHA-256), уже готово: оно не трогается (строка\n"
     "«уже готово»), так что прерванную партию можно просто запустить снова.\n"
     "\n"
     "  --count N     закончить после N устройств, считая неудавшиеся и уже готовые\n"
     "                (иначе - до Ctrl+C, который даёт закончить начатое устройство)\n"
     "  --mac-next    выдавать MAC-адреса серии (через журнал, как команда mac)\n"
     "  --again       прошивать и уже готовые устройства\n"
     "  --coprocessor, --password, --password-file, -y - как у flash\n"
     "\n"
     "Код выхода 0, если все устройства обработаны без ошибок, иначе 1; 130, если\n"
     "партия прервана раньше, чем обработаны N устройств.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl batch firmware.hex --mac-next --password-file ~/.veskor-pass\n"
     "  veskorctl batch firmware.hex --mac-next --count 3 > итоги.txt\n"},
    {"ledger", cmd_ledger, 0, 0, {OPT_CHECK},
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

int usage(const std::string& text, const char* command_name) {
  err(text + " (подробнее: veskorctl " + (command_name ? std::string(command_name) + " " : "") + "--help)");
  return EXIT_USAGE;
}

// An argument as the user wrote it, for a message: only up to its '=', since
// what follows may be a password typed into the wrong option.
std::string shown_option(const char* arg) {
  std::string a = arg;
  a = a.substr(0, a.find('='));
  std::string shown;
  if (!arg_text(a.c_str(), shown)) shown = "?";
  return shown;
}

// The element of argv that holds the short option c that getopt refused: a
// misspelt long option written with one dash ("-mac-next") is named whole.
std::string refused_short(int argc, char** argv, int c) {
  for (int i = 2; i < argc; i++) {
    const char* a = argv[i];
    if (std::strcmp(a, "--") == 0) break;
    if (a[0] == '-' && a[1] != '-' && a[1] && std::strchr(a + 1, c)) return shown_option(a);
  }
  return std::string("-") + (char)c;
}

int parse(const command& c, int argc, char** argv, options& o) {
  std::vector<struct option> longs;
  std::string shorts = ":hq";
  for (const struct option& opt : ALL_OPTIONS) {
    bool common = opt.val == OPT_HELP || opt.val == OPT_QUIET;
    if (!common && std::find(c.allowed.begin(), c.allowed.end(), opt.val) == c.allowed.end()) continue;
    longs.push_back(opt);
    if (opt.val == OPT_YES) shorts += "y";
  }
  longs.push_back({nullptr, 0, nullptr, 0});
  // The command's own arguments start behind its name, which getopt takes
  // for the program's.
  int n = argc - 1;
  char** v = argv + 1;
  optind = 1;
  opterr = 0;
  for (;;) {
    int before = optind;
    int code = getopt_long(n, v, shorts.c_str(), longs.data(), nullptr);
    if (code == -1) break;
    switch (code) {
      case OPT_HELP:
        out(c.help);
        std::exit(EXIT_DONE);
      case OPT_QUIET: o.quiet = true; break;
      case OPT_YES: o.yes = true; break;
      case OPT_JSON: o.json = true; break;
      case OPT_COPROCESSOR: o.coprocessor = true; break;
      case OPT_NEXT: o.next = true; break;
      case OPT_MAC_NEXT: o.mac_next = true; break;
      case OPT_CHECK: o.check = true; break;
      case OPT_FORCE: o.force = true; break;
      case OPT_AGAIN: o.again = true; break;
      case OPT_PASSWORD:
      case OPT_PASSWORD_FILE:
        if (o.password_given) return usage("пароль задаётся один раз: --password или --password-file", c.name);
        o.password_given = true;
        if (code == OPT_PASSWORD) {
          // Never repeated in the message: it is the password.
          if (!arg_text(optarg, o.password))
            return usage("в пароле есть знаки, которых нет в кодировке устройства (cp1251)", c.name);
        } else {
          o.password_file = optarg;
        }
        break;
      case OPT_COUNT: {
        std::string value = optarg;
        char* end = nullptr;
        errno = 0;
        long count = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end || errno || count < 1 || count > 1000000 || !std::isdigit((unsigned char)value[0])) {
          std::string shown;
          if (!arg_text(value.c_str(), shown)) shown = "?";
          return usage("--count ждёт целое число от 1 до 1000000, а не " + shown, c.name);
        }
        o.count = count;
        break;
      }
      case ':':
        return usage("после " + shown_option(v[optind - 1]) + " нужно значение", c.name);
      default: {
        // An option getopt refused. A long one (unknown, ambiguous, or
        // given a value it does not take) stood in the element just passed.
        const char* a = optind > before ? v[optind - 1] : "";
        if (std::strncmp(a, "--", 2) == 0) {
          std::string name = std::string(a + 2).substr(0, std::string(a + 2).find('='));
          if (std::strchr(a, '='))
            for (const struct option& opt : longs)
              if (opt.name && opt.has_arg == no_argument && name == opt.name)
                return usage("параметр " + shown_option(a) + " не принимает значения", c.name);
          return usage("неизвестный параметр " + shown_option(a), c.name);
        }
        return usage("неизвестный параметр " + refused_short(argc, argv, optopt), c.name);
      }
    }
  }
  for (int i = optind; i < n; i++) o.args.push_back(v[i]);
  if ((int)o.args.size() < c.min_args) return usage("не хватает аргументов", c.name);
  // A stray argument is not repeated: it may be a password given without
  // its option.
  if ((int)o.args.size() > c.max_args) return usage("лишний аргумент", c.name);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  REPORT.tty = isatty_stderr();
  if (argc < 2) {
    // On stderr: a script that forgot the command must not read help as output.
    out_stderr(GENERAL_HELP);
    return EXIT_USAGE;
  }
  std::string first = argv[1];
  if (first == "--version") {
    out("veskorctl " VESKOR_VERSION "\n");
    return EXIT_DONE;
  }
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
    if (o.quiet) REPORT.tty = false;
    install_signals();
    return c.run(o);
  }
  std::string shown;
  if (!arg_text(first.c_str(), shown)) shown = "?";
  return usage("неизвестная команда " + shown, nullptr);
}
