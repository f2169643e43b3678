// Windows-1251 <-> UTF-8, the clock, the semaphores and the critical sections.
#include "platform/base.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <fcntl.h>
#include <iconv.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/prctl.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include <utility>
#include <vector>

namespace plat {

// ---- Windows-1251 <-> UTF-8 -------------------------------------------------
//
// glibc's iconv does every conversion, strictly. The 256 bytes of cp1251 are
// converted once and kept (drawing converts every text it draws); UTF-8 goes
// through iconv's decoder each time, which refuses over-long forms,
// surrogates, code points past U+10FFFF and cut sequences instead of
// guessing at them: a chooser's "\xE0\x80\xAF" must not become "/".

namespace {

struct cp1251_table {
  unsigned code[256] = {};     // code point of each byte; 0 for none
  std::string utf8[256];       // its UTF-8 spelling; U+FFFD for none
  std::vector<std::pair<unsigned, unsigned char>> back;  // sorted by code point
};

// A converter that belongs to one thread: iconv keeps state in it.
struct converter {
  iconv_t cd;
  converter(const char* to, const char* from) : cd(iconv_open(to, from)) {}
  ~converter() {
    if (ok()) iconv_close(cd);
  }
  converter(const converter&) = delete;
  converter& operator=(const converter&) = delete;
  bool ok() const { return cd != (iconv_t)-1; }
};

unsigned le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | (unsigned)p[3] << 24; }

cp1251_table make_table() {
  cp1251_table t;
  converter to_code("UTF-32LE", "CP1251"), to_utf8("UTF-8", "CP1251");
  for (int b = 1; b < 256; b++) {
    char in = (char)b;
    char* ip = &in;
    size_t il = 1;
    unsigned char out[4];
    char* op = (char*)out;
    size_t ol = sizeof out;
    if (to_code.ok() && iconv(to_code.cd, &ip, &il, &op, &ol) != (size_t)-1 && ol == 0) t.code[b] = le32(out);
    else if (!to_code.ok() && b < 0x80) t.code[b] = (unsigned)b;  // no converter at all: ASCII still works
    char u[8];
    ip = &in;
    il = 1;
    op = u;
    ol = sizeof u;
    if (t.code[b] && to_utf8.ok() && iconv(to_utf8.cd, &ip, &il, &op, &ol) != (size_t)-1) t.utf8[b].assign(u, op - u);
    else if (t.code[b] && b < 0x80) t.utf8[b] = std::string(1, (char)b);
    else t.utf8[b] = "\xEF\xBF\xBD";
    if (t.code[b]) t.back.push_back({t.code[b], (unsigned char)b});
  }
  t.utf8[0] = "\xEF\xBF\xBD";
  std::sort(t.back.begin(), t.back.end());
  return t;
}

const cp1251_table& table() {
  static const cp1251_table t = make_table();
  return t;
}

// The code points of n bytes of UTF-8; false (and nothing) when they are not
// valid UTF-8 from end to end.
bool decode_utf8(const char* s, size_t n, std::vector<unsigned>& out) {
  out.clear();
  if (n == 0) return true;
  thread_local converter dec("UTF-32LE", "UTF-8");
  if (!dec.ok()) return false;
  std::vector<unsigned char> buf(4 * n);
  char* ip = const_cast<char*>(s);
  size_t il = n;
  char* op = (char*)buf.data();
  size_t ol = buf.size();
  size_t r = iconv(dec.cd, &ip, &il, &op, &ol);
  iconv(dec.cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
  if (r == (size_t)-1 || il != 0) return false;
  size_t got = (buf.size() - ol) / 4;
  out.reserve(got);
  for (size_t i = 0; i < got; i++) out.push_back(le32(&buf[4 * i]));
  return true;
}

}  // namespace

unsigned cp1251_to_unicode(unsigned char c) { return table().code[c]; }

int unicode_to_cp1251(unsigned cp) {
  if (cp == 0) return 0;
  const auto& back = table().back;
  auto it = std::lower_bound(back.begin(), back.end(), std::make_pair(cp, (unsigned char)0));
  return it != back.end() && it->first == cp ? it->second : -1;
}

std::string to_utf8(const char* s, int n) {
  std::string out;
  if (!s) return out;
  const cp1251_table& t = table();
  if (n > 0) out.reserve((size_t)n);
  // ASCII bytes are themselves: appending them as characters, not as
  // one-byte strings, takes a tenth off writing a settings hive of 100 000
  // keys.
  for (int i = 0; n < 0 ? s[i] != 0 : i < n; i++) {
    unsigned char c = (unsigned char)s[i];
    if (c - 1u < 0x7Fu) out += (char)c;
    else out += t.utf8[c];
  }
  return out;
}

bool is_utf8(const char* s, size_t n) {
  std::vector<unsigned> cps;
  return s && decode_utf8(s, n, cps);
}

std::string from_utf8(const char* s) {
  std::string out;
  std::vector<unsigned> cps;
  if (!s || !decode_utf8(s, strlen(s), cps)) return out;
  for (unsigned cp : cps) {
    int b = unicode_to_cp1251(cp);
    if (b > 0) out += (char)b;
  }
  return out;
}

std::string path_to_fs(const char* cp1251) {
  std::string out;
  if (!cp1251) return out;
  const cp1251_table& t = table();
  for (const unsigned char* p = (const unsigned char*)cp1251; *p; p++) {
    if (!t.code[*p]) return "";
    out += t.utf8[*p];
  }
  return out;
}

bool from_utf8_strict(const char* s, size_t n, std::string& out) {
  out.clear();
  if (!s) return false;
  // Plain ASCII is the same text in both, and it is nearly every name in a
  // settings hive: sending each through iconv made reading a hive of
  // 100 000 keys half again as slow.
  size_t ascii = 0;
  while (ascii < n && (unsigned char)s[ascii] - 1u < 0x7Fu) ascii++;
  if (ascii == n) {
    out.assign(s, n);
    return true;
  }
  std::vector<unsigned> cps;
  if (!decode_utf8(s, n, cps)) return false;
  out.reserve(cps.size());
  for (unsigned cp : cps) {
    int b = unicode_to_cp1251(cp);  // 0 for a NUL, which would end the text early
    if (b <= 0) {
      out.clear();
      return false;
    }
    out += (char)b;
  }
  return true;
}

bool path_from_fs(const char* utf8, std::string& out) {
  out.clear();
  return utf8 && from_utf8_strict(utf8, strlen(utf8), out);
}

static const uint32_t* g_test_tick = nullptr;

void set_test_tick(const uint32_t* source) { g_test_tick = source; }

uint32_t tick() {
  using namespace std::chrono;
  if (g_test_tick) return *g_test_tick;
  return (uint32_t)duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// ts advanced by ms milliseconds.
static void add_ms(struct timespec& ts, unsigned ms) {
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += (long)(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec++;
    ts.tv_nsec -= 1000000000L;
  }
}

void sleep_ms(unsigned ms) {
  // The device link's pauses are short and many (two per firmware page, on
  // every board worked at once), so they sleep to an absolute deadline with
  // the least timer slack, set once in every thread that sleeps: the default
  // slack would add a twentieth of a millisecond to each pause. They do not
  // spin out the last fraction: with sixteen boards at once that spinning
  // was most of what the command-line tool spent on the processor, to win a
  // tenth of a millisecond per pause.
  thread_local bool tight = prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
  (void)tight;
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  add_ms(deadline, ms);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

// An unnamed semaphore is a counter under a mutex (it never leaves the
// process). A named one is shared by every process of the user: its n counts
// are n lock files, and a count is held by holding a file's flock. The
// kernel lets go of the lock when its holder dies, so a crash never leaves a
// count taken for the next start to wait on forever.
struct semaphore {
  std::mutex m;
  std::condition_variable cv;
  int count = 0, max = 0;
  std::string files;      // named: the lock files are files + ".<count>"
  std::vector<int> held;  // named: descriptors of the counts this handle took
};

// The lock files live in the user's runtime directory, else in a folder of
// the user's own under /tmp; one that is not plainly ours is not used.
static std::string lock_dir(bool runtime) {
  if (runtime) {
    const char* x = getenv("XDG_RUNTIME_DIR");
    return x && *x == '/' ? x : "";
  }
  std::string d = "/tmp/veskor-" + std::to_string(getuid());
  if (mkdir(d.c_str(), 0700) != 0 && errno != EEXIST) return "";
  struct stat st;
  if (lstat(d.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 077)) return "";
  return d;
}

// A name as a file name: letters, digits, '-' and '_' stay, every other byte
// is written in hex; a long name is cut and told apart by its hash.
static std::string lock_name(const char* name) {
  static const char HEX[] = "0123456789abcdef";
  std::string out;
  uint64_t h = 1469598103934665603ULL;
  for (const unsigned char* p = (const unsigned char*)name; *p; p++) {
    h = (h ^ *p) * 1099511628211ULL;
    if (isalnum(*p) && *p < 0x80) out += (char)*p;
    else if (*p == '-' || *p == '_') out += (char)*p;
    else {
      out += '%';
      out += HEX[*p >> 4];
      out += HEX[*p & 15];
    }
  }
  if (out.size() > 160) {
    out.resize(160);
    out += '~';
    for (int i = 60; i >= 0; i -= 4) out += HEX[(h >> i) & 15];
  }
  return "veskor-sem-" + out;
}

// Takes count i: a descriptor holding its lock, or -1.
static int take_count(const semaphore* s, int i, bool block) {
  std::string f = s->files + "." + std::to_string(i);
  int fd = open(f.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  int r;
  while ((r = flock(fd, block ? LOCK_EX : LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (r == 0) return fd;
  close(fd);
  return -1;
}

semaphore* sem_create(const char* name, int n) {
  semaphore* s = new semaphore;
  s->count = s->max = n;
  if (name && *name) {
    for (bool runtime : {true, false}) {
      std::string dir = lock_dir(runtime);
      if (dir.empty()) continue;
      std::string files = dir + "/" + lock_name(name);
      int fd = open((files + ".0").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
      if (fd < 0) continue;
      close(fd);
      s->files = files;
      break;
    }
    // Nowhere to keep the lock files: it still locks within the process.
  }
  return s;
}

int sem_wait(semaphore* s, int timeout_ms) {
  if (!s) return WAIT_TIMEOUT_CODE;
  if (!s->files.empty()) {
    uint32_t start = tick();
    unsigned pause = 1;
    for (;;) {
      for (int i = 0; i < s->max; i++) {
        // A single count waited for without limit is left to the kernel.
        int fd = take_count(s, i, timeout_ms < 0 && s->max == 1);
        if (fd >= 0) {
          std::lock_guard<std::mutex> lock(s->m);
          s->held.push_back(fd);
          return 0;
        }
      }
      uint32_t waited = tick() - start;
      if (timeout_ms >= 0 && waited >= (uint32_t)timeout_ms) return WAIT_TIMEOUT_CODE;
      unsigned nap = pause;
      if (timeout_ms >= 0) nap = std::min(nap, (uint32_t)timeout_ms - waited);
      std::this_thread::sleep_for(std::chrono::milliseconds(nap));
      pause = std::min(pause * 2, 20u);
    }
  }
  std::unique_lock<std::mutex> lock(s->m);
  if (timeout_ms < 0) {
    s->cv.wait(lock, [s] { return s->count > 0; });
  } else if (!s->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [s] { return s->count > 0; })) {
    return WAIT_TIMEOUT_CODE;
  }
  s->count--;
  return 0;
}

void sem_post(semaphore* s, int n) {
  if (!s) return;
  if (!s->files.empty()) {
    // Only counts this handle took can be given back: the others are held
    // by their takers' locks.
    std::lock_guard<std::mutex> lock(s->m);
    for (int i = 0; i < n && !s->held.empty(); i++) {
      close(s->held.back());
      s->held.pop_back();
    }
    return;
  }
  std::lock_guard<std::mutex> lock(s->m);
  // Releasing past the maximum fails on the classic platform and changes nothing.
  if (s->count + n > s->max) return;
  s->count += n;
  s->cv.notify_all();
}

void sem_destroy(semaphore* s) {
  if (!s) return;
  for (int fd : s->held) close(fd);
  delete s;
}

// A critical section may be entered again by the thread that holds it.
struct critical_section {
  std::recursive_mutex m;
};

critical_section* cs_create() { return new critical_section; }
void cs_enter(critical_section* c) {
  if (c) c->m.lock();
}
void cs_leave(critical_section* c) {
  if (c) c->m.unlock();
}
void cs_destroy(critical_section* c) { delete c; }

}  // namespace plat
