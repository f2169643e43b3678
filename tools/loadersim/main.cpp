// loadersim: a network boot loader on UDP, for tests and demonstrations.
//
// One process is one device. It answers the loader requests from whoever
// sends them, keeps a main and a coprocessor memory, and, given a state
// directory, leaves its memories and a log of every datagram there for tests
// to read.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "netdvc/records.h"
#include "tools/loadersim/device.h"

static const char HELP[] =
    "Usage: loadersim [OPTION]...\n"
    "Simulates one device's network boot loader on UDP. Answers go back to the\n"
    "sender's address and port.\n"
    "\n"
    "Device:\n"
    "  --model SIG              8-character signature that begins every answer\n"
    "                           (default GXonTaq_). Any 8 characters are taken, so a\n"
    "                           foreign device can be played too.\n"
    "  --name TEXT              device name, up to 16 bytes, padded with NULs\n"
    "                           (default SIMULATOR)\n"
    "  --version N              loader version byte, 0..255 (default 12, shown 1.2)\n"
    "  --mac AA:BB:CC:DD:EE:FF  MAC address (default 02:00:00:00:00:01)\n"
    "  --password TEXT          device password, up to 16 characters; a shorter one\n"
    "                           is padded with '_' to 16, as the tool pads what is\n"
    "                           typed. Compared with the first 16 payload bytes.\n"
    "                           Default: 16 underscores (an empty entry).\n"
    "  --page-size N            page size in bytes (a power of two up to 512); by\n"
    "                           default 256 for WIBQE715 and HYFRO529, else 512\n"
    "\n"
    "Network:\n"
    "  --port N                 UDP port (default 48900)\n"
    "  --bind ADDR              local IPv4 address (default: the wildcard; a\n"
    "                           specific address hears no broadcasts)\n"
    "\n"
    "Faults:\n"
    "  --drop PERCENT           lose this share of the requests (no answer)\n"
    "  --seed N                 seed of the drop choice (default 1); the same seed\n"
    "                           drops the same requests\n"
    "  --drop-first-pages N     lose the first N page requests (write or read)\n"
    "  --twice                  send every answer twice\n"
    "  --duplicate PERCENT      send this share of the answers twice (chosen with\n"
    "                           the same seeded sequence as --drop)\n"
    "  --reply-delay MS[-MAX]   wait MS milliseconds before every answer; with a\n"
    "                           range, a delay drawn anew for every answer from the\n"
    "                           same seeded sequence as --drop\n"
    "  --delay-share PERCENT    only this share of the answers waits the\n"
    "                           --reply-delay (the same seeded sequence); the rest\n"
    "                           leave at once\n"
    "  --corrupt-reads N        invert the last byte of the first N page read-backs\n"
    "  --short-reads N          answer the first N page read-backs with only the\n"
    "                           first half of the page\n"
    "  --cut-replies N          send only the first N bytes (1..526) of every\n"
    "                           answer; below 14 the header itself is cut\n"
    "  --never-enter            take the password but answer 'enter programming\n"
    "                           mode' with RSP_OK only, and never enter it\n"
    "  --pages-anytime          accept page writes and reads after the password\n"
    "                           alone, without programming mode\n"
    "  --refuse-mac             answer 'set MAC' without RSP_OK; the MAC stays\n"
    "  --silent-after-enter S   after confirming programming mode, ignore every\n"
    "                           datagram for S seconds (fractions allowed)\n"
    "  --die-after-pages N      answer N page writes; from the next page write on\n"
    "                           answer nothing at all\n"
    "  --die-exits              with --die-after-pages, exit instead of staying mute\n"
    "  --password-signature SIG sign the answers to the password with SIG\n"
    "  --mac-signature SIG      sign the answers to 'set MAC' with SIG\n"
    "  --foreign-mac-signature  the same as --mac-signature Y7KE____\n"
    "  --identify-flags HEX     flag word of the identification answer (default 0001)\n"
    "  --stuck-byte ADDR=VALUE  a worn cell: the main-memory byte at ADDR holds and\n"
    "                           reads back VALUE whatever is written (decimal or 0x..)\n"
    "\n"
    "A chatty neighbour (unasked datagrams, sent from the loader port):\n"
    "  --stray-to ADDR:PORT     send an unasked identification answer there every\n"
    "                           --stray-every ms, for --stray-for seconds\n"
    "  --stray-every MS         interval (default 50)\n"
    "  --stray-for S            how long, fractions allowed (default 30, 0: for\n"
    "                           ever); the simulator itself keeps answering after\n"
    "  --stray-signature SIG    sign the unasked answers with SIG (default: --model)\n"
    "  --stray-junk             send junk that begins with no signature instead\n"
    "  --stray-flags HEX        flag word of the unasked answers (default 0001)\n"
    "  --stray-bare             unasked answers of the header alone, as a page\n"
    "                           write, the password, the MAC and programming mode\n"
    "                           are answered\n"
    "  --stray-request HEX      send a request with this flag word instead, as\n"
    "                           another host talking to the device would\n"
    "\n"
    "State:\n"
    "  --state DIR              keep DIR/memory.bin and DIR/sp_memory.bin (131072\n"
    "                           bytes each; loaded at start when present, else\n"
    "                           0xFF; every page written is in the file before its\n"
    "                           answer leaves),\n"
    "                           log every datagram to DIR/requests.log and create\n"
    "                           DIR/ready (holding the pid) once listening\n"
    "  --help                   show this text\n"
    "\n"
    "What the device requires:\n"
    "  identify          always answered: RSP_OK, name, version, MAC\n"
    "  password          RSP_OK when right (the device is then authorised), else\n"
    "                    RSP_BAD_PASSWORD (and the authorisation is withdrawn)\n"
    "  enter programming only when authorised: RSP_ENTER_PROGRAMM; otherwise an\n"
    "                    answer with no flag bit\n"
    "  exit programming  always answered: RSP_EXIT_PROGRAMM; leaves programming\n"
    "                    mode and withdraws the authorisation\n"
    "  write/read page   only in programming mode while authorised, for a page\n"
    "                    inside the 131072 bytes and (write) a full page of data;\n"
    "                    RSP_OK / RSP_PAGE with the page, else no flag bit.\n"
    "                    REQ_SP selects the coprocessor memory.\n"
    "  set MAC           only when authorised: RSP_OK, and identify reports the new\n"
    "                    MAC from then on; otherwise no flag bit\n"
    "  anything not beginning with KvelLoad, or unknown, is ignored (but logged)\n"
    "\n"
    "Request log line: <monotonic ms> <ip>:<port> len=<n> flags=0x<hex> page=<n>\n"
    "  [mac=AA:BB:CC:DD:EE:FF] <outcome>; flags and page read '-' when the datagram\n"
    "  is too short to hold them, mac is given for set-MAC requests. Outcomes:\n"
    "  answered refused ignored dropped silent dead died.\n"
    "\n"
    "Exits cleanly on SIGTERM and SIGINT. Exit status: 0 normal end, 1 socket or\n"
    "state failure, 2 bad option.\n";

static volatile sig_atomic_t g_stop = 0;

static void on_signal(int) { g_stop = 1; }

static uint32_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

static bool fail(const char* what, const char* arg) {
  fprintf(stderr, "loadersim: bad %s: %s\n", what, arg);
  return false;
}

static bool parse_uint(const char* s, unsigned long max, unsigned long* out, int base = 10) {
  if (!s || !*s) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long v = strtoul(s, &end, base);
  if (errno || *end || s[0] == '-' || v > max) return false;
  *out = v;
  return true;
}

static bool parse_double(const char* s, double max, double* out) {
  if (!s || !*s) return false;
  char* end = nullptr;
  double v = strtod(s, &end);
  if (*end || !(v >= 0) || v > max) return false;
  *out = v;
  return true;
}

static bool parse_mac(const char* s, uint8_t* mac) {
  unsigned v[6];
  char sep[5];
  int n = 0;
  if (sscanf(s, "%2x%c%2x%c%2x%c%2x%c%2x%c%2x%n", &v[0], &sep[0], &v[1], &sep[1], &v[2],
             &sep[2], &v[3], &sep[3], &v[4], &sep[4], &v[5], &n) != 11 ||
      s[n] != '\0' || strlen(s) != 17)
    return false;
  for (char c : sep)
    if (c != ':' && c != '-' && c != '.') return false;
  for (int i = 0; i < 6; i++) mac[i] = (uint8_t)v[i];
  return true;
}

static bool parse_signature(const char* s, char* sig) {
  if (strlen(s) != 8) return false;
  memcpy(sig, s, 8);
  return true;
}

// Write-then-rename so a reader never sees half a memory.
static bool save_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      close(fd);
      unlink(tmp.c_str());
      return false;
    }
    done += (size_t)w;
  }
  if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

// A memory file kept open for the life of the simulator: a page write puts
// only the bytes it changed into the file, in place. Thirty simulators on
// one machine each rewriting 128 KB after every page would be tens of MB/s
// of file writes, and the bench would measure the simulators instead of the
// tool. A reader may see a page half written while a burn is under way,
// never once its answer has been sent.
struct memory_file {
  std::string path;
  int fd = -1;

  // Writes bytes whole (atomically, as a new file), then opens it for the
  // writes in place.
  bool open_with(const std::vector<uint8_t>& bytes) {
    if (!save_file(path, bytes)) return false;
    fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    return fd >= 0;
  }
  // The changed bytes of bytes into the file; the range is cleared either way.
  bool save(const std::vector<uint8_t>& bytes, sim_dirty& dirty) {
    if (!dirty.any()) return true;
    size_t at = dirty.first, end = dirty.end < bytes.size() ? dirty.end : bytes.size();
    dirty.clear();
    if (fd < 0) return true;  // no state directory: nothing is kept
    while (at < end) {
      ssize_t w = pwrite(fd, bytes.data() + at, end - at, (off_t)at);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      at += (size_t)w;
    }
    return true;
  }
  ~memory_file() {
    if (fd >= 0) close(fd);
  }
};

static void load_file(const std::string& path, std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return;
  std::vector<uint8_t> tmp(bytes.size());
  size_t n = fread(tmp.data(), 1, tmp.size(), f);
  bool exact = n == tmp.size() && fgetc(f) == EOF;
  fclose(f);
  if (exact)
    bytes.swap(tmp);
  else
    fprintf(stderr, "loadersim: %s is not %zu bytes; starting from 0xFF\n", path.c_str(),
            bytes.size());
}

static void log_request(FILE* log, uint32_t t, const sockaddr_in& from, const uint8_t* buf,
                        int len, sim_outcome o) {
  if (!log) return;
  char ip[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
  fprintf(log, "%u %s:%u len=%d", (unsigned)t, ip, (unsigned)ntohs(from.sin_port), len);
  uint16_t flags = 0;
  if (len >= 10) {
    memcpy(&flags, buf + 8, 2);
    fprintf(log, " flags=0x%04x", (unsigned)flags);
  } else {
    fprintf(log, " flags=-");
  }
  if (len >= HOST_DATA_HEADER) {
    uint32_t page;
    memcpy(&page, buf + 10, 4);
    fprintf(log, " page=%u", (unsigned)page);
  } else {
    fprintf(log, " page=-");
  }
  if (len >= SET_MAC_REQUEST_SIZE && flags == REQ_SET_MAC)
    fprintf(log, " mac=%02X:%02X:%02X:%02X:%02X:%02X", buf[14], buf[15], buf[16], buf[17],
            buf[18], buf[19]);
  fprintf(log, " %s\n", outcome_name(o));
  fflush(log);
}

enum {
  OPT_MODEL = 256, OPT_NAME, OPT_VERSION, OPT_MAC, OPT_PASSWORD, OPT_PAGE_SIZE, OPT_PORT,
  OPT_BIND, OPT_DROP, OPT_SEED, OPT_TWICE, OPT_DUPLICATE, OPT_REPLY_DELAY, OPT_CORRUPT,
  OPT_SHORT_READS, OPT_CUT_REPLIES, OPT_NEVER_ENTER, OPT_PAGES_ANYTIME,
  OPT_REFUSE_MAC, OPT_SILENT, OPT_DIE, OPT_DIE_EXITS, OPT_PASSWORD_SIG, OPT_MAC_SIG,
  OPT_FOREIGN_MAC_SIG, OPT_IDENTIFY_FLAGS, OPT_STUCK, OPT_STRAY_TO, OPT_STRAY_EVERY,
  OPT_STRAY_FOR, OPT_STRAY_SIG, OPT_STRAY_JUNK, OPT_STATE, OPT_HELP,
  OPT_DELAY_SHARE, OPT_STRAY_FLAGS, OPT_STRAY_BARE, OPT_STRAY_REQUEST, OPT_DROP_FIRST_PAGES
};

// "ADDR:PORT", the address dotted.
static bool parse_endpoint(const char* s, uint32_t* addr, uint16_t* port) {
  const char* colon = strrchr(s, ':');
  if (!colon) return false;
  std::string host(s, colon);
  in_addr a;
  unsigned long v;
  if (inet_pton(AF_INET, host.c_str(), &a) != 1 || !parse_uint(colon + 1, 65535, &v) || v == 0)
    return false;
  *addr = ntohl(a.s_addr);
  *port = (uint16_t)v;
  return true;
}

static bool parse_args(int argc, char** argv, sim_config& cfg, uint16_t& port,
                       uint32_t& bind_addr, std::string& state) {
  static const option opts[] = {
      {"model", required_argument, nullptr, OPT_MODEL},
      {"name", required_argument, nullptr, OPT_NAME},
      {"version", required_argument, nullptr, OPT_VERSION},
      {"mac", required_argument, nullptr, OPT_MAC},
      {"password", required_argument, nullptr, OPT_PASSWORD},
      {"page-size", required_argument, nullptr, OPT_PAGE_SIZE},
      {"port", required_argument, nullptr, OPT_PORT},
      {"bind", required_argument, nullptr, OPT_BIND},
      {"drop", required_argument, nullptr, OPT_DROP},
      {"seed", required_argument, nullptr, OPT_SEED},
      {"twice", no_argument, nullptr, OPT_TWICE},
      {"duplicate", required_argument, nullptr, OPT_DUPLICATE},
      {"short-reads", required_argument, nullptr, OPT_SHORT_READS},
      {"cut-replies", required_argument, nullptr, OPT_CUT_REPLIES},
      {"reply-delay", required_argument, nullptr, OPT_REPLY_DELAY},
      {"corrupt-reads", required_argument, nullptr, OPT_CORRUPT},
      {"never-enter", no_argument, nullptr, OPT_NEVER_ENTER},
      {"pages-anytime", no_argument, nullptr, OPT_PAGES_ANYTIME},
      {"refuse-mac", no_argument, nullptr, OPT_REFUSE_MAC},
      {"silent-after-enter", required_argument, nullptr, OPT_SILENT},
      {"die-after-pages", required_argument, nullptr, OPT_DIE},
      {"die-exits", no_argument, nullptr, OPT_DIE_EXITS},
      {"password-signature", required_argument, nullptr, OPT_PASSWORD_SIG},
      {"mac-signature", required_argument, nullptr, OPT_MAC_SIG},
      {"foreign-mac-signature", no_argument, nullptr, OPT_FOREIGN_MAC_SIG},
      {"identify-flags", required_argument, nullptr, OPT_IDENTIFY_FLAGS},
      {"stuck-byte", required_argument, nullptr, OPT_STUCK},
      {"stray-to", required_argument, nullptr, OPT_STRAY_TO},
      {"stray-every", required_argument, nullptr, OPT_STRAY_EVERY},
      {"stray-for", required_argument, nullptr, OPT_STRAY_FOR},
      {"stray-signature", required_argument, nullptr, OPT_STRAY_SIG},
      {"stray-junk", no_argument, nullptr, OPT_STRAY_JUNK},
      {"delay-share", required_argument, nullptr, OPT_DELAY_SHARE},
      {"drop-first-pages", required_argument, nullptr, OPT_DROP_FIRST_PAGES},
      {"stray-flags", required_argument, nullptr, OPT_STRAY_FLAGS},
      {"stray-bare", no_argument, nullptr, OPT_STRAY_BARE},
      {"stray-request", required_argument, nullptr, OPT_STRAY_REQUEST},
      {"state", required_argument, nullptr, OPT_STATE},
      {"help", no_argument, nullptr, OPT_HELP},
      {nullptr, 0, nullptr, 0}};
  unsigned long v;
  int c;
  while ((c = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
    switch (c) {
      case OPT_MODEL:
        if (!parse_signature(optarg, cfg.model)) return fail("model signature", optarg);
        break;
      case OPT_NAME:
        if (strlen(optarg) > 16) return fail("name (more than 16 bytes)", optarg);
        memset(cfg.name, 0, sizeof cfg.name);
        memcpy(cfg.name, optarg, strlen(optarg));
        break;
      case OPT_VERSION:
        if (!parse_uint(optarg, 255, &v)) return fail("version", optarg);
        cfg.version = (uint8_t)v;
        break;
      case OPT_MAC:
        if (!parse_mac(optarg, cfg.mac)) return fail("MAC address", optarg);
        break;
      case OPT_PASSWORD:
        if (strlen(optarg) > 16) return fail("password (more than 16 characters)", optarg);
        memset(cfg.password, '_', sizeof cfg.password);
        memcpy(cfg.password, optarg, strlen(optarg));
        break;
      case OPT_PAGE_SIZE:
        if (!parse_uint(optarg, DATA_SIZE, &v) || v == 0 || (v & (v - 1)))
          return fail("page size", optarg);
        cfg.page_size = (int)v;
        break;
      case OPT_PORT:
        if (!parse_uint(optarg, 65535, &v) || v == 0) return fail("port", optarg);
        port = (uint16_t)v;
        break;
      case OPT_BIND: {
        in_addr a;
        if (inet_pton(AF_INET, optarg, &a) != 1) return fail("address", optarg);
        bind_addr = ntohl(a.s_addr);
        break;
      }
      case OPT_DROP:
        if (!parse_double(optarg, 100, &cfg.drop_percent)) return fail("percentage", optarg);
        break;
      case OPT_SEED:
        if (!parse_uint(optarg, 0xFFFFFFFFul, &v)) return fail("seed", optarg);
        cfg.seed = (uint32_t)v;
        break;
      case OPT_TWICE: cfg.twice = true; break;
      case OPT_DUPLICATE:
        if (!parse_double(optarg, 100, &cfg.duplicate_percent)) return fail("percentage", optarg);
        break;
      case OPT_SHORT_READS:
        if (!parse_uint(optarg, 1000000000, &v)) return fail("count", optarg);
        cfg.short_reads = (int)v;
        break;
      case OPT_CUT_REPLIES:
        if (!parse_uint(optarg, sizeof(device_respond_t), &v) || v == 0) return fail("length", optarg);
        cfg.cut_replies = (int)v;
        break;
      case OPT_REPLY_DELAY: {
        std::string text = optarg;
        size_t dash = text.find('-');
        if (!parse_uint(text.substr(0, dash).c_str(), 600000, &v)) return fail("delay", optarg);
        cfg.reply_delay_ms = (unsigned)v;
        cfg.reply_delay_max_ms = 0;
        if (dash != std::string::npos) {
          if (!parse_uint(text.substr(dash + 1).c_str(), 600000, &v) || v < cfg.reply_delay_ms)
            return fail("delay", optarg);
          cfg.reply_delay_max_ms = (unsigned)v;
        }
        break;
      }
      case OPT_CORRUPT:
        if (!parse_uint(optarg, 1000000000, &v)) return fail("count", optarg);
        cfg.corrupt_reads = (int)v;
        break;
      case OPT_NEVER_ENTER: cfg.never_enter = true; break;
      case OPT_PAGES_ANYTIME: cfg.pages_anytime = true; break;
      case OPT_REFUSE_MAC: cfg.refuse_mac = true; break;
      case OPT_SILENT:
        if (!parse_double(optarg, 3600, &cfg.silent_after_enter)) return fail("seconds", optarg);
        break;
      case OPT_DIE:
        if (!parse_uint(optarg, 1000000000, &v)) return fail("page count", optarg);
        cfg.die_after_pages = (long)v;
        break;
      case OPT_DIE_EXITS: cfg.die_exits = true; break;
      case OPT_PASSWORD_SIG:
        if (!parse_signature(optarg, cfg.password_sig)) return fail("signature", optarg);
        cfg.password_sig_set = true;
        break;
      case OPT_MAC_SIG:
        if (!parse_signature(optarg, cfg.mac_sig)) return fail("signature", optarg);
        cfg.mac_sig_set = true;
        break;
      case OPT_FOREIGN_MAC_SIG:
        memcpy(cfg.mac_sig, EXTRA_PASSWORD_SIGNATURE, 8);
        cfg.mac_sig_set = true;
        break;
      case OPT_IDENTIFY_FLAGS:
        if (!parse_uint(optarg, 0xFFFF, &v, 16)) return fail("flag word", optarg);
        cfg.identify_flags = (uint16_t)v;
        cfg.identify_flags_set = true;
        break;
      case OPT_STUCK: {
        std::string text = optarg;
        size_t eq = text.find('=');
        unsigned long value;
        if (eq == std::string::npos || !parse_uint(text.substr(0, eq).c_str(), SIM_MEMORY_SIZE - 1, &v, 0) ||
            !parse_uint(text.substr(eq + 1).c_str(), 255, &value, 0))
          return fail("stuck byte", optarg);
        cfg.stuck_addr = (long)v;
        cfg.stuck_value = (uint8_t)value;
        break;
      }
      case OPT_STRAY_TO:
        if (!parse_endpoint(optarg, &cfg.stray_addr, &cfg.stray_port)) return fail("address:port", optarg);
        cfg.stray = true;
        break;
      case OPT_STRAY_EVERY:
        if (!parse_uint(optarg, 600000, &v) || v == 0) return fail("interval", optarg);
        cfg.stray_every_ms = (unsigned)v;
        break;
      case OPT_STRAY_FOR:
        if (!parse_double(optarg, 86400, &cfg.stray_for_s)) return fail("seconds", optarg);
        break;
      case OPT_STRAY_SIG:
        if (!parse_signature(optarg, cfg.stray_sig)) return fail("signature", optarg);
        cfg.stray_sig_set = true;
        break;
      case OPT_STRAY_JUNK: cfg.stray_junk = true; break;
      case OPT_DELAY_SHARE:
        if (!parse_double(optarg, 100, &cfg.delay_percent)) return fail("percentage", optarg);
        break;
      case OPT_STRAY_FLAGS:
        if (!parse_uint(optarg, 0xFFFF, &v, 16)) return fail("flag word", optarg);
        cfg.stray_flags = (uint16_t)v;
        break;
      case OPT_STRAY_BARE: cfg.stray_bare = true; break;
      case OPT_DROP_FIRST_PAGES:
        if (!parse_uint(optarg, 1000000000, &v)) return fail("count", optarg);
        cfg.drop_first_pages = (int)v;
        break;
      case OPT_STRAY_REQUEST:
        if (!parse_uint(optarg, 0xFFFF, &v, 16) || v == 0) return fail("flag word", optarg);
        cfg.stray_request = (uint16_t)v;
        break;
      case OPT_STATE: state = optarg; break;
      case OPT_HELP:
        fputs(HELP, stdout);
        exit(0);
      default:
        fprintf(stderr, "Try 'loadersim --help'.\n");
        return false;
    }
  }
  if (optind < argc) return fail("argument", argv[optind]);
  return true;
}

int main(int argc, char** argv) {
  sim_config cfg;
  uint16_t port = LOADER_PORT;
  uint32_t bind_addr = INADDR_ANY;
  std::string state;
  if (!parse_args(argc, argv, cfg, port, bind_addr, state)) return 2;

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;  // no SA_RESTART: poll must wake up
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  sim_device dev(cfg);
  FILE* log = nullptr;
  memory_file memory_out, sp_memory_out;
  if (!state.empty()) {
    mkdir(state.c_str(), 0755);
    memory_out.path = state + "/memory.bin";
    sp_memory_out.path = state + "/sp_memory.bin";
    load_file(memory_out.path, dev.memory);
    load_file(sp_memory_out.path, dev.sp_memory);
    if (!memory_out.open_with(dev.memory) || !sp_memory_out.open_with(dev.sp_memory)) {
      fprintf(stderr, "loadersim: cannot write the memories into %s: %s\n", state.c_str(),
              strerror(errno));
      return 1;
    }
    log = fopen((state + "/requests.log").c_str(), "we");
    if (!log) {
      fprintf(stderr, "loadersim: cannot write %s/requests.log: %s\n", state.c_str(),
              strerror(errno));
      return 1;
    }
  }

  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (s < 0) {
    perror("loadersim: socket");
    return 1;
  }
  sockaddr_in local;
  memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(bind_addr);
  local.sin_port = htons(port);
  if (bind(s, (const sockaddr*)&local, sizeof local) != 0) {
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &local.sin_addr, ip, sizeof ip);
    fprintf(stderr, "loadersim: cannot bind %s:%u: %s\n", ip, (unsigned)port, strerror(errno));
    return 1;
  }
  if (!state.empty()) {
    std::string pid = std::to_string(getpid()) + "\n";
    if (!save_file(state + "/ready", std::vector<uint8_t>(pid.begin(), pid.end()))) {
      fprintf(stderr, "loadersim: cannot write %s/ready\n", state.c_str());
      return 1;
    }
  }

  std::vector<std::vector<uint8_t>> replies;
  uint8_t buf[2048];
  sockaddr_in stray_to;
  memset(&stray_to, 0, sizeof stray_to);
  stray_to.sin_family = AF_INET;
  stray_to.sin_addr.s_addr = htonl(cfg.stray_addr);
  stray_to.sin_port = htons(cfg.stray_port);
  const uint32_t stray_start = now_ms();
  uint32_t stray_next = stray_start;
  while (!g_stop) {
    int wait = 250;
    if (cfg.stray) {
      uint32_t t = now_ms();
      if (cfg.stray_for_s > 0 && t - stray_start >= (uint32_t)(cfg.stray_for_s * 1000.0)) {
        cfg.stray = false;
      } else {
        if ((int32_t)(stray_next - t) <= 0) {
          std::vector<uint8_t> d = dev.unasked();
          sendto(s, d.data(), d.size(), 0, (const sockaddr*)&stray_to, sizeof stray_to);
          stray_next += cfg.stray_every_ms;
          // Far behind (a long reply delay): the next one now, not a burst.
          if ((int32_t)(stray_next - t) <= 0) stray_next = t + cfg.stray_every_ms;
        }
        int until = (int)(int32_t)(stray_next - t);
        if (until < wait) wait = until < 0 ? 0 : until;
      }
    }
    pollfd p = {s, POLLIN, 0};
    int r = poll(&p, 1, wait);
    if (r <= 0) continue;
    sockaddr_in from;
    socklen_t fl = sizeof from;
    ssize_t n = recvfrom(s, buf, sizeof buf, 0, (sockaddr*)&from, &fl);
    if (n < 0) continue;
    uint32_t t = now_ms();
    replies.clear();
    sim_outcome o = dev.handle(buf, (int)n, t, replies);
    log_request(log, t, from, buf, (int)n, o);
    // Before the answer: whoever reads the file once it has come finds the page.
    if (!memory_out.save(dev.memory, dev.memory_dirty))
      fprintf(stderr, "loadersim: cannot save %s: %s\n", memory_out.path.c_str(), strerror(errno));
    if (!sp_memory_out.save(dev.sp_memory, dev.sp_memory_dirty))
      fprintf(stderr, "loadersim: cannot save %s: %s\n", sp_memory_out.path.c_str(), strerror(errno));
    if (o == sim_outcome::died && cfg.die_exits) break;
    unsigned delay = replies.empty() ? 0 : dev.reply_delay();
    if (delay) {
      timespec d = {(time_t)(delay / 1000), (long)(delay % 1000) * 1000000L};
      while (nanosleep(&d, &d) != 0 && errno == EINTR && !g_stop) {
      }
    }
    for (const auto& rep : replies)
      sendto(s, rep.data(), rep.size(), 0, (const sockaddr*)&from, sizeof from);
  }
  close(s);
  if (log) fclose(log);
  if (!state.empty()) unlink((state + "/ready").c_str());
  return 0;
}
