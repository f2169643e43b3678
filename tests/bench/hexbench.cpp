// Time to read a full 128 KB image from an Intel HEX file, against objcopy
// turning the same file into a binary image. objcopy's time includes starting
// the process: that is what the user would otherwise wait for.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "loadhex/loadhex.h"

extern char** environ;

namespace {

using clock_type = std::chrono::steady_clock;
const int ROUNDS = 25;

// The whole image in 16-byte data records, with an address record before
// each 64 KB, the way firmware tools write it: a segment record (type 02) or
// an extended linear address record (type 04).
std::string full_image_hex(bool linear)
{
  std::mt19937 rng(1);
  std::string text;
  char line[64];
  for (unsigned seg = 0; seg < 2; seg++) {
    unsigned type = linear ? 4 : 2, value = linear ? seg : seg << 12;
    unsigned sum = 2 + type + (value >> 8) + (value & 0xFF);
    std::snprintf(line, sizeof line, ":020000%02X%04X%02X\r\n", type, value, (0x100 - (sum & 0xFF)) & 0xFF);
    text += line;
    for (unsigned a = 0; a < 0x10000; a += 16) {
      std::snprintf(line, sizeof line, ":10%04X00", a);
      text += line;
      sum = 0x10 + (a >> 8) + (a & 0xFF);
      for (int i = 0; i < 16; i++) {
        unsigned b = rng() & 0xFF;
        sum += b;
        std::snprintf(line, sizeof line, "%02X", b);
        text += line;
      }
      std::snprintf(line, sizeof line, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
      text += line;
    }
  }
  return text + ":00000001FF\r\n";
}

double best_ms(std::vector<double> v) { return *std::min_element(v.begin(), v.end()); }

double median_ms(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Runs objcopy once; -1 when it could not run or failed.
double objcopy_ms(const std::string& hex, const std::string& bin)
{
  const char* argv[] = {"objcopy", "-I", "ihex", "-O", "binary", "--gap-fill", "0xff",
                        hex.c_str(), bin.c_str(), nullptr};
  auto t0 = clock_type::now();
  pid_t pid;
  if (posix_spawnp(&pid, "objcopy", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

// Times both readers on one file; false when they disagree or ours is slower.
bool bench(const char* what, const std::string& text, const std::string& dir)
{
  std::string hex = dir + "/full.hex", bin = dir + "/full.bin";
  FILE* f = std::fopen(hex.c_str(), "wb");
  if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0) {
    std::perror("hexbench: writing the HEX file");
    return false;
  }

  std::vector<double> ours, theirs;
  bool ok = true;
  for (int i = 0; i < ROUNDS && ok; i++) {
    auto t0 = clock_type::now();
    ok = load_hex_data(&hex[0]) && PROGRAMM_SIZE == 0x20000;
    ours.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - t0).count());
    double t = objcopy_ms(hex, bin);
    if (t < 0) break;
    theirs.push_back(t);
  }

  // The two readers must agree, or the timing means nothing.
  bool same = false;
  if (f = std::fopen(bin.c_str(), "rb"); f) {
    std::vector<unsigned char> image(sizeof MEMORY_MAP + 1);
    same = std::fread(image.data(), 1, image.size(), f) == sizeof MEMORY_MAP &&
           std::memcmp(image.data(), MEMORY_MAP, sizeof MEMORY_MAP) == 0;
    std::fclose(f);
  }
  std::remove(hex.c_str());
  std::remove(bin.c_str());

  if (!ok) {
    std::printf("hex read (%s): load_hex_data failed on its own full image\n", what);
    return false;
  }
  std::printf("hex read (%s): %zu-byte file, %zu-byte image, best of %d\n", what, text.size(),
              sizeof MEMORY_MAP, ROUNDS);
  std::printf("  load_hex_data  %8.3f ms (median %.3f)\n", best_ms(ours), median_ms(ours));
  if (theirs.size() != ours.size()) {
    std::printf("  objcopy        not available: no ratio\n");
    return true;
  }
  std::printf("  objcopy        %8.3f ms (median %.3f)\n", best_ms(theirs), median_ms(theirs));
  double ratio = best_ms(ours) / best_ms(theirs);
  std::printf("  ratio          %8.3f  (load_hex_data / objcopy)%s\n", ratio,
              ratio < 1 ? "" : "  SLOWER THAN OBJCOPY");
  if (!same) std::printf("  images differ: objcopy's output does not match MEMORY_MAP\n");
  return ratio < 1 && same;
}

} // namespace

int main()
{
  char dir[] = "/tmp/hexbench.XXXXXX";
  if (!mkdtemp(dir)) {
    std::perror("hexbench: mkdtemp");
    return 1;
  }
  bool ok = bench("segment records", full_image_hex(false), dir);
  ok = bench("linear address records", full_image_hex(true), dir) && ok;
  rmdir(dir);
  return ok ? 0 : 1;
}
