// The platform without the desktop: what needs only POSIX and glibc. Text
// conversion, the clock, semaphores and named locks, files and record files,
// the settings hive and child processes. A program that shows no window (the
// command-line tool) builds on this alone and links no SDL, SDL_ttf,
// SDL_image or fontconfig; platform/platform.h adds the desktop on top.
// UDP (platform/net.h) and durable files (platform/durable.h) belong to this
// library too and keep their own headers.
//
// Texts are Windows-1251 unless a comment says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Result of a semaphore wait that timed out.
constexpr int WAIT_TIMEOUT_CODE = 258;

namespace plat {

// ---- text ---------------------------------------------------------------
// All of it goes through glibc's iconv, strictly: UTF-8 that is malformed,
// over-long, a surrogate or past U+10FFFF is refused, never guessed at.
// A byte cp1251 leaves unassigned (0x98) becomes U+FFFD.
std::string to_utf8(const char* cp1251, int n = -1);
// Characters that have no cp1251 form are dropped; text that is not valid
// UTF-8 gives nothing at all.
std::string from_utf8(const char* utf8);
// Whether the n bytes are valid UTF-8.
bool is_utf8(const char* s, size_t n);
// All or nothing: false (and cp1251 empty) when the n bytes are not valid
// UTF-8, hold a NUL or hold a character that has no cp1251 form.
bool from_utf8_strict(const char* utf8, size_t n, std::string& cp1251);
// Unicode code point of a cp1251 byte (0 for the one unassigned byte 0x98).
unsigned cp1251_to_unicode(unsigned char c);
// cp1251 byte of a code point, or -1.
int unicode_to_cp1251(unsigned cp);
// A cp1251 path as the file system wants it (UTF-8); empty when the text
// cannot be a path (it holds the unassigned byte).
std::string path_to_fs(const char* cp1251);
// A file-system path in cp1251; false when it is not valid UTF-8 or has
// characters outside cp1251.
bool path_from_fs(const char* utf8, std::string& cp1251);

// ---- clock --------------------------------------------------------------
// Monotonic milliseconds, truncated to 32 bits: differences stay right across
// the wrap as long as they are computed unsigned.
uint32_t tick();
void sleep_ms(unsigned ms);
// Tests only: while source is set, tick() reads it instead of the clock.
void set_test_tick(const uint32_t* source);

// ---- synchronisation ----------------------------------------------------
struct semaphore;
// Initial and maximum count n; a non-null name makes it a system-wide one.
semaphore* sem_create(const char* name, int n);
// timeout_ms -1 waits forever. Returns 0 when taken, WAIT_TIMEOUT_CODE else.
int sem_wait(semaphore* s, int timeout_ms);
void sem_post(semaphore* s, int n);
void sem_destroy(semaphore* s);

struct critical_section;
critical_section* cs_create();
void cs_enter(critical_section* c);
void cs_leave(critical_section* c);
void cs_destroy(critical_section* c);

// ---- child processes ----------------------------------------------------
// Full path of an executable found on PATH (or name itself when it holds a
// '/'), empty when there is none.
std::string find_program(const char* name);
// Runs argv[0] (a full path) with argv, stdin and stderr on /dev/null and
// default signal handling, and waits for it. out receives its standard
// output, at most limit bytes (the rest is read and dropped, so a chatty
// child never blocks). While it runs, round(ctx) is called about every 20 ms
// and once more after it has ended (round may be null). True when the
// program ran and exited by itself (exit_code gets its status); false when
// it could not start or died of a signal.
bool run_child(const char* const argv[], std::string& out, int* exit_code, size_t limit,
               void (*round)(void* ctx), void* ctx);

}  // namespace plat

// ---- files ------------------------------------------------------------------
namespace plat {
// Opens a file named by a cp1251 path for reading in binary mode. Only a
// regular file of at most max_size bytes is opened: anything else (a
// directory, a FIFO, a device such as /dev/zero, a file too large) gives null
// at once with *refused set, so the caller can tell it from a file that is
// not there or cannot be opened (null, *refused false).
FILE* open_file_read(const char* cp1251_path, long max_size, bool* refused = nullptr);
}  // namespace plat

// ---- record files ------------------------------------------------------------
// The files of the record bases. Paths are cp1251. An open file is held with
// the file's cross-process lock, one holder at a time (two opens in one
// process exclude each other too), until it is closed.
namespace plat {
enum : int { DBF_FAILED = -1, DBF_BUSY = -2 };
// Opens the file for reading and writing, or for reading alone when writing
// is not permitted (*read_only is then set); create makes a missing file.
// A handle >= 0, DBF_BUSY while another holder has the file (try again),
// DBF_FAILED when it cannot be opened at all.
int dbf_open(const char* path, bool create, bool* read_only);
void dbf_close(int h);
long long dbf_length(int h);  // -1 on error
// Bytes moved (fewer at the end of the file), -1 on error.
int dbf_read(int h, long long offset, void* data, int n);
int dbf_write(int h, long long offset, const void* data, int n);
bool dbf_truncate(int h, long long length);
bool dbf_delete(const char* path);
}  // namespace plat

// ---- settings hive (the registry) ------------------------------------------
// Predefined roots. Each root is one REGEDIT4 text file: HKEY_CURRENT_USER
// under ${XDG_CONFIG_HOME:-~/.config}/veskor/, HKEY_LOCAL_MACHINE
// /etc/veskor/HKEY_LOCAL_MACHINE.reg or the file $VESKOR_SYSTEM_HIVE names
// (read-only for ordinary users), HKEY_CLASSES_ROOT the machine root's
// SOFTWARE\Classes. Keys created volatile live in a file per root under
// $XDG_RUNTIME_DIR/veskor/ (else /tmp/veskor-<uid>/) and vanish at reboot.
// The predefined roots may also be passed wherever a key is expected.
#define HKEY_CLASSES_ROOT ((void*)(uintptr_t)0x80000000u)
#define HKEY_CURRENT_USER ((void*)(uintptr_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((void*)(uintptr_t)0x80000002u)

enum : unsigned { REG_NONE = 0, REG_SZ = 1, REG_EXPAND_SZ = 2, REG_BINARY = 3, REG_DWORD = 4, REG_MULTI_SZ = 7 };
enum : unsigned { KEY_READ = 0x20019, KEY_WRITE = 0x20006, KEY_ALL_ACCESS = 0xF003F, KEY_WOW64_64KEY = 0x0100 };
enum : unsigned { REG_OPTION_NON_VOLATILE = 0, REG_OPTION_VOLATILE = 1 };
// Results of the hive calls (0 is success).
enum : long {
  ERROR_SUCCESS = 0, ERROR_FILE_NOT_FOUND = 2, ERROR_ACCESS_DENIED = 5, ERROR_INVALID_HANDLE = 6,
  ERROR_INVALID_PARAMETER = 87, ERROR_MORE_DATA = 234, ERROR_BADDB = 1009, ERROR_WRITE_FAULT = 29,
  ERROR_CHILD_MUST_BE_VOLATILE = 1021,
};

namespace plat {
// Key paths use '\' between their parts, names and texts are cp1251; what
// is stored on disk is UTF-8. Key paths and value names compare without
// regard to case; a null or empty value name is the key's default value.
// Opening a key that exists in a file which cannot be written (or cannot be
// parsed) succeeds only for reading: the access asked for must then not
// include writing (KEY_READ does not), else ERROR_ACCESS_DENIED. A file that
// cannot be parsed is never overwritten: what could be read from it stays
// readable, every change gives ERROR_ACCESS_DENIED. Every change is written
// to disk (atomically, fsync'ed) before the call returns.
long reg_open_key(void* root, const char* path, unsigned access, void** key);
// Opens the key, creating it (and the parts of its path) when missing. With
// REG_OPTION_VOLATILE a missing key is made in the volatile file; a lasting
// key cannot be made under a volatile one (ERROR_CHILD_MUST_BE_VOLATILE).
long reg_create_key(void* root, const char* path, unsigned options, unsigned access, void** key);
// size: in, the room in data; out, the bytes the value holds. A value that
// does not fit gives ERROR_MORE_DATA and leaves data untouched; data null
// asks only for type and size. type may be null. A REG_SZ value that is
// plain text reads back with its terminating zero even when it was written
// without one (the file holds it as "text").
long reg_query_value(void* key, const char* name, unsigned* type, unsigned char* data, unsigned* size);
long reg_set_value(void* key, const char* name, unsigned type, const unsigned char* data, unsigned size);
long reg_delete_value(void* key, const char* name);
long reg_close_key(void* key);
// Holds the cross-process lock of the key's file from reg_lock to
// reg_unlock, so that a read and the write that depends on it are one step
// for every process (the hive's own writes nest inside it). Nesting counts;
// the other threads of the process wait too, and the same thread must
// unlock. Closing the key undoes its locks still held. False when the lock
// file can be neither made nor opened.
bool reg_lock(void* key);
void reg_unlock(void* key);
}  // namespace plat
