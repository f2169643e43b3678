#include "workflow/series.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const unsigned char MAC_SERIES_PREFIX[3] = {0x5A, 0x3C, 0x19};
const unsigned char MAC_SERIES_DEFAULT[6] = {0x5A, 0x3C, 0x19, 0x11, 0x46, 0x01};

namespace {
const unsigned char SERIES_LAST_VALUE = 250;
}

void mac_series_last(const unsigned char* stored, unsigned size, unsigned char mac[6]) {
  if (stored && size == 6 && memcmp(stored, MAC_SERIES_PREFIX, 3) == 0) memcpy(mac, stored, 6);
  else memcpy(mac, MAC_SERIES_DEFAULT, 6);
}

void mac_series_advance(unsigned char mac[6]) {
  // A byte past the last value (only a hand-edited setting holds one)
  // carries like the last value does, so the step never leaves the range.
  for (int i = 5; i >= 3; i--) {
    if (mac[i] < SERIES_LAST_VALUE) {
      mac[i]++;
      return;
    }
    mac[i] = 0;
  }
}

const char* const MAC_GROUP_QUESTION =
    "Адрес групповой или нулевой: устройство с ним будет недоступно в сети. Записать?";

bool mac_is_group_or_zero(const unsigned char mac[6]) {
  static const unsigned char zero[6] = {};
  return (mac[0] & 1) != 0 || memcmp(mac, zero, 6) == 0;
}

void mac_changed_text(char* out, size_t size, const unsigned char mac[6]) {
  snprintf(out, size, "MAC изменен на %02X.%02X.%02X.%02X.%02X.%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
           mac[5]);
}

bool mac_in_series(const unsigned char* mac) { return memcmp(mac, MAC_SERIES_PREFIX, 3) == 0; }

uint32_t mac_series_number(const unsigned char* mac) {
  return (uint32_t)mac[3] << 16 | (uint32_t)mac[4] << 8 | mac[5];
}

bool parse_mac(const char* text, unsigned char* mac) {
  if (!text) return false;
  size_t n = strlen(text);
  char sep = 0;
  if (n == 17) {
    sep = text[2];
    if (sep != ':' && sep != '-') return false;
  } else if (n != 12) {
    return false;
  }
  unsigned char out[6];
  for (int i = 0; i < 6; i++) {
    const char* p = text + i * (sep ? 3 : 2);
    if (!isxdigit((unsigned char)p[0]) || !isxdigit((unsigned char)p[1])) return false;
    if (sep && i < 5 && p[2] != sep) return false;
    char pair[3] = {p[0], p[1], 0};
    out[i] = (unsigned char)strtoul(pair, nullptr, 16);
  }
  memcpy(mac, out, 6);
  return true;
}

std::string format_mac(const unsigned char* mac) {
  char buf[18];
  snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return buf;
}

uint32_t mac_series_index(const unsigned char* mac) {
  return ((uint32_t)mac[3] * 251u + mac[4]) * 251u + mac[5];
}

namespace {
bool series_bytes(const unsigned char* mac) {
  return mac_in_series(mac) && mac[3] <= SERIES_LAST_VALUE && mac[4] <= SERIES_LAST_VALUE && mac[5] <= SERIES_LAST_VALUE;
}
}  // namespace

bool mac_block_valid(const mac_block& b) {
  return series_bytes(b.first) && series_bytes(b.last) && mac_series_number(b.first) <= mac_series_number(b.last);
}

bool parse_mac_block(const char* text, mac_block& b) {
  if (!text) return false;
  const char* dash = nullptr;
  // The separator is the one '-' that stands between two addresses of 17
  // characters (an address may itself be written with '-').
  size_t n = strlen(text);
  for (size_t i = 0; i < n; i++)
    if (text[i] == '-' && i > 0 && (n - i - 1) > 0) {
      std::string a(text, i), z(text + i + 1);
      mac_block t;
      if (parse_mac(a.c_str(), t.first) && parse_mac(z.c_str(), t.last)) {
        dash = text + i;
        if (!mac_block_valid(t)) return false;
        b = t;
        break;
      }
    }
  return dash != nullptr;
}

std::string format_mac_block(const mac_block& b) { return format_mac(b.first) + "-" + format_mac(b.last); }

bool mac_in_block(const mac_block& b, const unsigned char* mac) {
  return mac_in_series(mac) && mac_series_number(mac) >= mac_series_number(b.first) &&
         mac_series_number(mac) <= mac_series_number(b.last);
}
