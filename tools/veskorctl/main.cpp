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
    "  flash      прошить одно или несколько устройств файлом Intel HEX\n"
    "  verify     сверить память устройства с файлом, ничего не записывая\n"
    "  read       прочитать память устройства в файл Intel HEX\n"
    "  mac        записать в устройство MAC-адрес: следующий из серии или заданный\n"
    "  batch      поточная прошивка: каждое новое устройство прошить и выдать ему MAC\n"
    "  series     показать серию MAC-адресов стенда или задать его блок\n"
    "  ledger     показать или проверить журнал; создать его в базе, перенести туда файлы\n"
    "  trace      история устройства по MAC, устройства с данной прошивкой, записи за период\n"
    "  view       веб-страница линии: устройства в работе, итоги смены, причины ошибок\n"
    "\n"
    "veskorctl КОМАНДА --help описывает команду и даёт примеры;\n"
    "veskorctl --version называет версию.\n"
    "Общие параметры: -q (--quiet) - печатать только итоги и ошибки,\n"
    "-v (--verbose) - и каждый обмен с устройством, -h (--help).\n"
    "Пароль устройства: --password, --password-file или файл из переменной\n"
    "окружения VESKOR_PASSWORD_FILE.\n"
    "\n"
    "Коды выхода: 0 выполнено, 1 отказ устройства или протокола (или расхождение\n"
    "при сверке), 2 ошибка в командной строке, 3 ошибка файла (прошивки, пароля,\n"
    "журнала), 4 ошибка настроек или исчерпанный блок серии, 130 прервано.\n"
    "Серия MAC-адресов общая с оконной программой veskor (значение LastMac в тех же\n"
    "настройках). Журнал (каждая прошивка и каждый выданный MAC-адрес): --ledger МЕСТО,\n"
    "иначе VESKOR_LEDGER, иначе значение Ledger в настройках, иначе файл\n"
    "${XDG_DATA_HOME:-~/.local/share}/veskor/ledger.csv. МЕСТО, начинающееся с\n"
    "postgresql:// или postgres://, - общая база линии (пароль в нём не печатается).\n"
    "Стенд в записях: --bench ИМЯ, иначе VESKOR_BENCH, иначе Bench в настройках,\n"
    "иначе имя компьютера; оператор - имя входа.\n";

// Options, each with the code getopt_long gives it.
enum option_code : int {
  OPT_HELP = 'h',
  OPT_YES = 'y',
  OPT_QUIET = 'q',
  OPT_VERBOSE = 'v',
  OPT_JSON = 1000,
  OPT_COPROCESSOR,
  OPT_NEXT,
  OPT_MAC_NEXT,
  OPT_CHECK,
  OPT_FORCE,
  OPT_AGAIN,
  OPT_ALL,
  OPT_ONLY_CHANGED,
  OPT_PASSWORD,
  OPT_PASSWORD_FILE,
  OPT_COUNT,
  OPT_PARALLEL,
  OPT_INTERFACE,
  OPT_BLOCK,
  OPT_LEDGER,
  OPT_BENCH,
  OPT_INIT,
  OPT_IMPORT,
  OPT_CSV,
  OPT_FIRMWARE,
  OPT_SINCE,
  OPT_UNTIL,
  OPT_LISTEN,
  OPT_VIEW,
};

const struct option ALL_OPTIONS[] = {
    {"help", no_argument, nullptr, OPT_HELP},
    {"yes", no_argument, nullptr, OPT_YES},
    {"quiet", no_argument, nullptr, OPT_QUIET},
    {"verbose", no_argument, nullptr, OPT_VERBOSE},
    {"json", no_argument, nullptr, OPT_JSON},
    {"coprocessor", no_argument, nullptr, OPT_COPROCESSOR},
    {"next", no_argument, nullptr, OPT_NEXT},
    {"mac-next", no_argument, nullptr, OPT_MAC_NEXT},
    {"check", no_argument, nullptr, OPT_CHECK},
    {"force", no_argument, nullptr, OPT_FORCE},
    {"again", no_argument, nullptr, OPT_AGAIN},
    {"all", no_argument, nullptr, OPT_ALL},
    {"only-changed", no_argument, nullptr, OPT_ONLY_CHANGED},
    {"password", required_argument, nullptr, OPT_PASSWORD},
    {"password-file", required_argument, nullptr, OPT_PASSWORD_FILE},
    {"count", required_argument, nullptr, OPT_COUNT},
    {"parallel", required_argument, nullptr, OPT_PARALLEL},
    {"interface", required_argument, nullptr, OPT_INTERFACE},
    {"block", required_argument, nullptr, OPT_BLOCK},
    {"ledger", required_argument, nullptr, OPT_LEDGER},
    {"bench", required_argument, nullptr, OPT_BENCH},
    {"init", no_argument, nullptr, OPT_INIT},
    {"import", no_argument, nullptr, OPT_IMPORT},
    {"csv", no_argument, nullptr, OPT_CSV},
    {"firmware", required_argument, nullptr, OPT_FIRMWARE},
    {"since", required_argument, nullptr, OPT_SINCE},
    {"until", required_argument, nullptr, OPT_UNTIL},
    {"listen", required_argument, nullptr, OPT_LISTEN},
    {"view", required_argument, nullptr, OPT_VIEW},
};

const int MANY = 1 << 20;  // as many arguments as are given

struct command {
  const char* name;
  int (*go)(run&);
  int min_args, max_args;
  std::vector<int> allowed;  // beside --help, --quiet and --verbose
  const char* help;
};

const command COMMANDS[] = {
    {"discover", cmd_discover, 0, 0, {OPT_JSON, OPT_INTERFACE},
     "Использование: veskorctl discover [--json] [--interface ИМЯ]\n"
     "Один круг поиска: запрос всем устройствам сегмента, ответы за полсекунды.\n"
     "Печатает таблицу (адрес, имя, MAC, версия загрузчика) или, с --json, по\n"
     "одному объекту JSON в строке. Код 1, если не ответило ни одно устройство.\n"
     "\n"
     "  --interface ИМЯ   спрашивать только через этот сетевой интерфейс (сегмент\n"
     "                    стенда, когда компьютер подключён и к сети офиса)\n"
     "\n"
     "Примеры:\n"
     "  veskorctl discover\n"
     "  veskorctl discover --interface eth1 --json | jq -r .address\n"},
    {"identify", cmd_identify, 1, 1, {OPT_JSON},
     "Использование: veskorctl identify АДРЕС [--json]\n"
     "Опрашивает устройство по адресу IPv4: имя, MAC, версия загрузчика.\n"
     "Код 1, если устройство не ответило.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl identify 192.168.0.10\n"
     "  veskorctl identify 192.168.0.10 --json\n"},
    {"flash", cmd_flash, 1, MANY,
     {OPT_COPROCESSOR, OPT_PASSWORD, OPT_PASSWORD_FILE, OPT_YES, OPT_ALL, OPT_PARALLEL, OPT_INTERFACE, OPT_JSON,
      OPT_ONLY_CHANGED, OPT_LEDGER, OPT_BENCH},
     "Использование: veskorctl flash АДРЕС [АДРЕС...] ФАЙЛ [ПАРАМЕТРЫ]\n"
     "       veskorctl flash --all ФАЙЛ [ПАРАМЕТРЫ]\n"
     "Включает на каждом устройстве режим программирования (после пароля), ждёт,\n"
     "пока загрузчик снова ответит, записывает образ из файла Intel HEX\n"
     "постранично с проверкой каждой страницы чтением и выключает режим\n"
     "программирования. Устройства прошиваются одновременно, все через один порт.\n"
     "Файл без данных или без записи конца файла (обрезанный) не прошивается (код 3).\n"
     "\n"
     "  --all                прошить все устройства, что ответят на поиск\n"
     "  --interface ИМЯ      искать их только через этот интерфейс\n"
     "  --parallel K         не больше K устройств одновременно (0 - все сразу, так и\n"
     "                       по умолчанию)\n"
     "  --only-changed       сначала читать страницу и записывать только отличную\n"
     "                       (повторная прошивка той же версии вдвое быстрее)\n"
     "  --coprocessor        прошить сопроцессор устройства\n"
     "  --password П         пароль устройства (виден другим в списке процессов)\n"
     "  --password-file Ф    пароль из первой строки файла Ф (или файла из\n"
     "                       VESKOR_PASSWORD_FILE); без пароля посылается пустой\n"
     "                       (16 знаков '_')\n"
     "  -y, --yes            на вопросы отвечать «да»: образ больше памяти устройства\n"
     "                       прошивается без лишнего; без -y такой образ не прошивается\n"
     "  --json               события по одному объекту JSON в строке на stdout\n"
     "\n"
     "На терминале по строке на каждое устройство в работе (адрес, имя, этап,\n"
     "страница, %, кБ/с), перерисовываемой на месте, и постоянная строка по каждому\n"
     "законченному; не на терминале - строки со временем при смене этапа.\n"
     "Ctrl+C останавливает прошивку после текущей страницы (устройства остаются\n"
     "непрошитыми, режим программирования выключается, код 130); второй Ctrl+C\n"
     "прерывает сразу.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl flash 192.168.0.10 firmware.hex --password-file ~/.veskor-pass\n"
     "  veskorctl flash 192.168.0.10 192.168.0.11 192.168.0.12 firmware.hex\n"
     "  veskorctl flash --all firmware.hex --interface eth1 --only-changed\n"
     "  veskorctl flash 192.168.0.10 sp.hex --coprocessor\n"},
    {"verify", cmd_verify, 2, 2, {OPT_COPROCESSOR, OPT_PASSWORD, OPT_PASSWORD_FILE},
     "Использование: veskorctl verify АДРЕС ФАЙЛ [--coprocessor] [--password П | --password-file Ф]\n"
     "Читает каждую страницу памяти устройства (в режиме программирования, только\n"
     "запросы чтения: ничего не записывается) и сверяет с образом из файла. Код 0,\n"
     "если всё совпало; 1 с первым расходящимся адресом и обоими байтами\n"
     "(«0x1F000: на устройстве FF, в файле 4B»); 3 для негодного файла.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl verify 192.168.0.10 firmware.hex\n"
     "  veskorctl verify 192.168.0.10 sp.hex --coprocessor\n"},
    {"read", cmd_read, 2, 2, {OPT_COPROCESSOR, OPT_PASSWORD, OPT_PASSWORD_FILE},
     "Использование: veskorctl read АДРЕС ВЫХОД.hex [--coprocessor] [--password П | --password-file Ф]\n"
     "Читает всю память устройства (столько страниц, сколько у его модели) и\n"
     "записывает её в файл Intel HEX; прочитанный обратно, он даёт память\n"
     "устройства байт в байт. Файл заменяется целиком или не трогается.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl read 192.168.0.10 board.hex\n"
     "  veskorctl read 192.168.0.10 sp.hex --coprocessor\n"},
    {"mac", cmd_mac, 1, 2, {OPT_NEXT, OPT_FORCE, OPT_PASSWORD, OPT_PASSWORD_FILE, OPT_LEDGER, OPT_BENCH},
     "Использование: veskorctl mac АДРЕС (--next | MAC [--force]) [--password П | --password-file Ф]\n"
     "Записывает в устройство MAC-адрес: с --next следующий адрес серии, общей с\n"
     "оконной программой (LastMac в тех же настройках, под той же блокировкой),\n"
     "или заданный: шесть пар шестнадцатеричных цифр через ':' или '-' или слитно.\n"
     "Каждый адрес до отправки записывается в журнал как зарезервированный, после\n"
     "ответа устройства - как подтверждённый или отклонённый. Следующий адрес серии\n"
     "всегда больше всех адресов серии в журнале и в LastMac и не выходит за блок\n"
     "стенда (veskorctl series): за его концом --next отказывает (код 4).\n"
     "\n"
     "  --force    записать и групповой (младший бит первого байта) или нулевой\n"
     "             адрес: устройство с ним будет недоступно в сети, - или адрес,\n"
     "             по журналу уже выданный устройству с другим MAC; без --force такой\n"
     "             адрес не записывается (код 2)\n"
     "\n"
     "Примеры:\n"
     "  veskorctl mac 192.168.0.10 --next --password-file ~/.veskor-pass\n"
     "  veskorctl mac 192.168.0.10 5A:3C:19:11:46:20\n"},
    {"batch", cmd_batch, 1, 1,
     {OPT_COPROCESSOR, OPT_MAC_NEXT, OPT_COUNT, OPT_AGAIN, OPT_PASSWORD, OPT_PASSWORD_FILE, OPT_YES, OPT_PARALLEL,
      OPT_INTERFACE, OPT_JSON, OPT_ONLY_CHANGED, OPT_LEDGER, OPT_BENCH, OPT_VIEW},
     "Использование: veskorctl batch ФАЙЛ [--mac-next] [--count N] [--parallel K] [ПАРАМЕТРЫ]\n"
     "Поточная прошивка: раз в секунду ищет устройства и каждое новое прошивает\n"
     "(с проверкой каждой страницы), с --mac-next выдаёт ему следующий MAC-адрес\n"
     "серии, печатает строку итога и ждёт следующих; в конце - сводка. Устройство\n"
     "узнаётся по адресу и MAC; уже обработанное в этом запуске не обрабатывается\n"
     "снова, а то, что не удалось, пробуется снова, когда его переставят (оно\n"
     "пропадёт из сегмента и появится опять). Устройство, чей MAC подтверждён в\n"
     "журнале вместе с этим же файлом прошивки (тот же SHA-256; или только\n"
     "зарезервирован с ним, а устройство его носит), уже готово: оно\n"
     "не трогается (строка «уже готово»), так что прерванную партию можно просто\n"
     "запустить снова.\n"
     "\n"
     "  --parallel K  до K устройств одновременно, все через один порт (по умолчанию\n"
     "                1; 0 - все найденные); новые подключаются, как освобождается место\n"
     "  --count N     закончить после N устройств, считая неудавшиеся и уже готовые\n"
     "                (иначе - до Ctrl+C, который даёт закончить начатые устройства)\n"
     "  --mac-next    выдавать MAC-адреса серии (через журнал, как команда mac):\n"
     "                одновременно прошиваемые получают разные адреса\n"
     "  --again       прошивать и уже готовые устройства\n"
     "  --view АДРЕС:ПОРТ  показывать партию на веб-странице линии (как veskorctl view)\n"
     "  --interface ИМЯ, --only-changed, --coprocessor, --password, --password-file,\n"
     "  -y, --json - как у flash\n"
     "\n"
     "Код выхода 0, если все устройства обработаны без ошибок, иначе 1; 3 - ошибка\n"
     "файла прошивки или журнала, 4 - ошибка настроек или исчерпанный блок серии;\n"
     "130, если партия прервана раньше, чем обработаны N устройств.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl batch firmware.hex --mac-next --parallel 16 --password-file ~/.veskor-pass\n"
     "  veskorctl batch firmware.hex --mac-next --count 3 > итоги.txt\n"
     "  veskorctl batch firmware.hex --mac-next --parallel 0 --json > события.jsonl\n"},
    {"series", cmd_series, 0, 0, {OPT_BLOCK, OPT_LEDGER, OPT_BENCH},
     "Использование: veskorctl series [--block ПЕРВЫЙ-ПОСЛЕДНИЙ]\n"
     "Показывает серию MAC-адресов этого стенда: последний выданный адрес,\n"
     "следующий, блок и сколько адресов в нём осталось. С --block задаёт блок\n"
     "стенда (значения SeriesFirst и SeriesLast в настройках): MAC++ оконной\n"
     "программы и mac --next выдают адреса только из него, так что стенды одной\n"
     "линии с разными блоками никогда не выдадут один адрес дважды. За концом\n"
     "блока они отказывают: «Серия исчерпана: последний адрес блока ... выдан.»\n"
     "С журналом в базе данных серия линии и блоки стендов хранятся в базе: блок\n"
     "задаётся там для стенда (--bench), LastMac только следует за выданными.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl series\n"
     "  veskorctl series --block 5A:3C:19:20:00:00-5A:3C:19:2F:FA:FA\n"},
    {"ledger", cmd_ledger, 0, MANY, {OPT_CHECK, OPT_INIT, OPT_IMPORT, OPT_LEDGER, OPT_BENCH},
     "Использование: veskorctl ledger [--check [ФАЙЛ...]] [--ledger МЕСТО]\n"
     "       veskorctl ledger --init --ledger postgresql://...\n"
     "       veskorctl ledger --import ФАЙЛ.csv... --ledger postgresql://...\n"
     "Печатает журнал (CSV: время, адрес устройства, имя, прежний MAC, новый MAC,\n"
     "файл прошивки, его SHA-256, итог, стенд, оператор, номер записи, вид записи\n"
     "mac или burn, память main или coprocessor, этап и страница ошибки).\n"
     "С --check проверяет его, а с файлами - журналы нескольких стендов вместе:\n"
     "адрес, подтверждённый больше одного раза (в одном журнале или на разных\n"
     "стендах), или пересекающиеся блоки стендов в базе - ошибка (код 1); адрес,\n"
     "оставшийся только зарезервированным (итог неизвестен, устройство могло его\n"
     "получить), называется предупреждением.\n"
     "\n"
     "  --init     создать журнал в базе данных или обновить его схему (повторный\n"
     "             запуск ничего не меняет)\n"
     "  --import   перенести журналы стендов в базу; тот же файл дважды ничего не\n"
     "             добавляет, серия базы идёт дальше всех перенесённых адресов,\n"
     "             адреса, подтверждённые на двух стендах, переносятся как есть и\n"
     "             называются (код 1)\n"
     "\n"
     "Примеры:\n"
     "  veskorctl ledger > журнал.csv\n"
     "  veskorctl ledger --check\n"
     "  veskorctl ledger --check стенд1.csv стенд2.csv стенд3.csv\n"
     "  veskorctl ledger --init --ledger postgresql://veskor@db.line/veskor\n"
     "  veskorctl ledger --import стенд1.csv стенд2.csv --ledger postgresql://veskor@db.line/veskor\n"},
    {"trace", cmd_trace, 0, 1, {OPT_FIRMWARE, OPT_SINCE, OPT_UNTIL, OPT_BENCH, OPT_JSON, OPT_CSV, OPT_LEDGER},
     "Использование: veskorctl trace MAC [--json | --csv]\n"
     "       veskorctl trace --firmware SHA256|ФАЙЛ [--json | --csv]\n"
     "       veskorctl trace --since ВРЕМЯ [--until ВРЕМЯ] [--bench ИМЯ] [--json | --csv]\n"
     "Читает журнал (файл стенда или базу линии): историю устройства с этим MAC\n"
     "(каждая прошивка и каждая выдача MAC: время, стенд, оператор, прошивка,\n"
     "итог); каждое устройство, прошитое данной прошивкой (по SHA-256 или по\n"
     "файлу), с MAC, который у него теперь; всё за период. ВРЕМЯ - 2026-12-10\n"
     "(для --until - весь день) или 2026-12-10T14:30 (местное время).\n"
     "Таблица на терминале; --json - объект JSON в строке; --csv - для таблиц.\n"
     "\n"
     "Примеры:\n"
     "  veskorctl trace 5A:3C:19:11:46:02\n"
     "  veskorctl trace --firmware firmware.hex --csv > отзыв.csv\n"
     "  veskorctl trace --since 2026-12-01 --until 2026-12-07 --bench стенд2\n"},
    {"view", cmd_view, 0, 0, {OPT_LISTEN, OPT_LEDGER, OPT_BENCH},
     "Использование: veskorctl view [--listen АДРЕС:ПОРТ] [--ledger МЕСТО] [--bench ИМЯ]\n"
     "Веб-страница линии только для чтения (по умолчанию http://127.0.0.1:8480/):\n"
     "итоги периода по журналу (готово, ошибок, выход с первого раза по стендам и\n"
     "по линии, ошибки по причинам, готовые платы по часам, последние 50 плат)\n"
     "и устройства в работе этого процесса (с batch --view). Период выбирается\n"
     "на странице: смена (с 06:00, 14:00 или 22:00), 1, 8, 24 часа, 7 дней.\n"
     "Для программ: /api/line?period=shift|1h|8h|24h|7d (JSON), /api/events\n"
     "(события как у --json, Server-Sent Events), /api/trace?mac=MAC (как trace\n"
     "--json, массив JSON), /metrics (Prometheus). Работает до Ctrl+C.\n"
     "\n"
     "  --listen АДРЕС:ПОРТ  где слушать; 0.0.0.0 - на всех адресах (страницу\n"
     "                       увидит вся сеть цеха), порт 0 - любой свободный\n"
     "\n"
     "Примеры:\n"
     "  veskorctl view\n"
     "  veskorctl view --listen 0.0.0.0:8480 --ledger postgresql://veskor_bench@dbhost/veskor\n"
     "  veskorctl batch firmware.hex --mac-next --parallel 16 --view 0.0.0.0:8480\n"},
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
  std::string shorts = ":hqv";
  for (const struct option& opt : ALL_OPTIONS) {
    bool common = opt.val == OPT_HELP || opt.val == OPT_QUIET || opt.val == OPT_VERBOSE;
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
      case OPT_VERBOSE: o.verbose = true; break;
      case OPT_ALL: o.all = true; break;
      case OPT_ONLY_CHANGED: o.only_changed = true; break;
      case OPT_INTERFACE: o.interface = optarg; break;
      case OPT_BLOCK: o.block = optarg; break;
      case OPT_LEDGER:
        // Never repeated in a message as given: a URI may hold a password.
        if (!*optarg || !arg_text(optarg, o.ledger))
          return usage("--ledger ждёт путь к файлу журнала или postgresql://... со знаками cp1251", c.name);
        break;
      case OPT_BENCH:
        if (!*optarg || !arg_text(optarg, o.bench)) return usage("--bench ждёт имя стенда со знаками cp1251", c.name);
        break;
      case OPT_INIT: o.init = true; break;
      case OPT_IMPORT: o.import = true; break;
      case OPT_CSV: o.csv = true; break;
      case OPT_FIRMWARE: o.firmware = optarg; break;
      case OPT_SINCE: o.since = optarg; break;
      case OPT_UNTIL: o.until = optarg; break;
      case OPT_LISTEN:
      case OPT_VIEW: o.listen = optarg; break;
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
      case OPT_PARALLEL: {
        std::string value = optarg;
        char* end = nullptr;
        errno = 0;
        long k = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end || errno || k < 0 || k > 1024 || !std::isdigit((unsigned char)value[0]))
          return usage("--parallel ждёт целое число от 0 до 1024, а не " + shown_option(optarg), c.name);
        o.parallel = k;
        break;
      }
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
  // The help lists -q and -v apart from the commands, so they may stand
  // before the command too ("veskorctl -q batch ..."): the command is moved
  // in front of them, where the parser looks for it.
  std::vector<char*> moved(argv, argv + argc + 1);  // with the closing null
  {
    auto general = [](const char* a) {
      for (const char* g : {"-q", "-v", "-qv", "-vq", "--quiet", "--verbose"})
        if (std::strcmp(a, g) == 0) return true;
      return false;
    };
    size_t k = 1;
    size_t n = static_cast<size_t>(argc);
    while (k < n && general(moved[k])) k++;
    if (k > 1 && k < n) std::rotate(moved.begin() + 1, moved.begin() + k, moved.begin() + k + 1);
    argv = moved.data();
  }
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
    if (o.parallel < 0) o.parallel = std::string(c.name) == "batch" ? 1 : 0;
    // Every command that works a board shows it in the view: redrawn rows
    // on a terminal, timestamped lines elsewhere, JSON or only results.
    view_mode mode = o.json ? view_mode::json
                     : o.quiet ? view_mode::quiet
                     : isatty_stderr() ? view_mode::live
                                       : view_mode::lines;
    run the_run(o, mode);
    install_signals(the_run);
    return c.go(the_run);
  }
  std::string shown;
  if (!arg_text(first.c_str(), shown)) shown = "?";
  return usage("неизвестная команда " + shown, nullptr);
}
