// Windows-1251 <-> UTF-8, the clock and the locks.
#include "platform/platform.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <semaphore.h>
#include <sys/prctl.h>
#include <thread>
#include <time.h>

namespace plat {

static const unsigned short CP1251_HIGH[128] = {
    0x402, 0x403, 0x201a, 0x453, 0x201e, 0x2026, 0x2020, 0x2021, 0x20ac, 0x2030, 0x409, 0x2039,
    0x40a, 0x40c, 0x40b, 0x40f, 0x452, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022, 0x2013, 0x2014,
    0,     0x2122, 0x459, 0x203a, 0x45a, 0x45c, 0x45b, 0x45f, 0xa0, 0x40e, 0x45e, 0x408,
    0xa4,  0x490, 0xa6, 0xa7, 0x401, 0xa9, 0x404, 0xab, 0xac, 0xad, 0xae, 0x407,
    0xb0,  0xb1, 0x406, 0x456, 0x491, 0xb5, 0xb6, 0xb7, 0x451, 0x2116, 0x454, 0xbb,
    0x458, 0x405, 0x455, 0x457, 0x410, 0x411, 0x412, 0x413, 0x414, 0x415, 0x416, 0x417,
    0x418, 0x419, 0x41a, 0x41b, 0x41c, 0x41d, 0x41e, 0x41f, 0x420, 0x421, 0x422, 0x423,
    0x424, 0x425, 0x426, 0x427, 0x428, 0x429, 0x42a, 0x42b, 0x42c, 0x42d, 0x42e, 0x42f,
    0x430, 0x431, 0x432, 0x433, 0x434, 0x435, 0x436, 0x437, 0x438, 0x439, 0x43a, 0x43b,
    0x43c, 0x43d, 0x43e, 0x43f, 0x440, 0x441, 0x442, 0x443, 0x444, 0x445, 0x446, 0x447,
    0x448, 0x449, 0x44a, 0x44b, 0x44c, 0x44d, 0x44e, 0x44f};

unsigned cp1251_to_unicode(unsigned char c) {
  return c < 0x80 ? c : CP1251_HIGH[c - 0x80];
}

int unicode_to_cp1251(unsigned cp) {
  if (cp < 0x80) return (int)cp;
  if (cp >= 0x410 && cp <= 0x44f) return (int)(cp - 0x410 + 0xC0);
  for (int i = 0; i < 128; i++)
    if (CP1251_HIGH[i] == cp && cp != 0) return 0x80 + i;
  return -1;
}

static void put_utf8(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out += (char)cp;
  } else if (cp < 0x800) {
    out += (char)(0xC0 | (cp >> 6));
    out += (char)(0x80 | (cp & 0x3F));
  } else {
    out += (char)(0xE0 | (cp >> 12));
    out += (char)(0x80 | ((cp >> 6) & 0x3F));
    out += (char)(0x80 | (cp & 0x3F));
  }
}

std::string to_utf8(const char* s, int n) {
  std::string out;
  if (!s) return out;
  for (int i = 0; n < 0 ? s[i] != 0 : i < n; i++) {
    unsigned cp = cp1251_to_unicode((unsigned char)s[i]);
    if (cp == 0) cp = 0xFFFD;
    put_utf8(out, cp);
  }
  return out;
}

// Decodes one UTF-8 sequence; malformed bytes come back as U+FFFD, one byte each.
static unsigned next_cp(const unsigned char*& p) {
  unsigned c = *p++;
  if (c < 0x80) return c;
  int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
  if (extra < 0 || c >= 0xF8) return 0xFFFD;
  unsigned cp = c & (0x3F >> extra);
  for (int i = 0; i < extra; i++) {
    if ((*p & 0xC0) != 0x80) return 0xFFFD;
    cp = (cp << 6) | (*p++ & 0x3F);
  }
  return cp;
}

std::string from_utf8(const char* s) {
  std::string out;
  if (!s) return out;
  const unsigned char* p = (const unsigned char*)s;
  while (*p) {
    int b = unicode_to_cp1251(next_cp(p));
    if (b > 0) out += (char)b;
  }
  return out;
}

std::string path_to_fs(const char* cp1251) { return to_utf8(cp1251); }

bool path_from_fs(const char* utf8, std::string& out) {
  out.clear();
  if (!utf8) return false;
  const unsigned char* p = (const unsigned char*)utf8;
  while (*p) {
    int b = unicode_to_cp1251(next_cp(p));
    if (b <= 0) return false;
    out += (char)b;
  }
  return true;
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
  // The device link's pauses are short and many (two per firmware page), so
  // they are kept exact: sleep to just before the deadline, then wait out
  // the last fraction. Timer slack and wake-up latency would otherwise add
  // a tenth of a millisecond to every pause.
  static bool tight = prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
  (void)tight;
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  add_ms(deadline, ms);
  struct timespec early = deadline;
  early.tv_nsec -= 200000L;
  if (early.tv_nsec < 0) {
    early.tv_sec--;
    early.tv_nsec += 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &early, nullptr) == EINTR) {
  }
  for (;;) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec)) return;
  }
}

// An unnamed semaphore is a counter under a mutex (it never leaves the
// process); a named one is a POSIX named semaphore shared by all processes.
struct semaphore {
  std::mutex m;
  std::condition_variable cv;
  int count = 0, max = 0;
  sem_t* named = nullptr;
};

semaphore* sem_create(const char* name, int n) {
  semaphore* s = new semaphore;
  s->count = s->max = n;
  if (name && *name) {
    std::string nm = "/veskor-";
    for (const char* p = name; *p; p++) nm += (*p == '/' ? '_' : *p);
    s->named = sem_open(nm.c_str(), O_CREAT, 0600, (unsigned)n);
    if (s->named == SEM_FAILED) s->named = nullptr;
  }
  return s;
}

int sem_wait(semaphore* s, int timeout_ms) {
  if (!s) return WAIT_TIMEOUT_CODE;
  if (s->named) {
    if (timeout_ms < 0) {
      while (::sem_wait(s->named) != 0) {
      }
      return 0;
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    add_ms(ts, (unsigned)timeout_ms);
    return sem_timedwait(s->named, &ts) == 0 ? 0 : WAIT_TIMEOUT_CODE;
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
  if (s->named) {
    for (int i = 0; i < n; i++) ::sem_post(s->named);
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
  if (s->named) sem_close(s->named);
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
