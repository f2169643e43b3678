#include "app/macseries.h"

#include <cstdio>
#include <cstring>

#include <string>

#include "app/ledger.h"

const char* const SETTINGS_KEY = "Software\\Quarnel\\Trellan";
const char* const SETTINGS_LAST_FILE = "LastFile";
const char* const SETTINGS_LAST_MAC = "LastMac";

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

bool assign_next_mac(const char* ip, uint16_t port, void (*show)(const char* text), unsigned char* assigned,
                     const ledger_device* device) {
  unsigned char mac[6];
  bool stored = false;
  std::string problem;
  // The step is the ledger's: the address is written down as reserved
  // before it leaves and the next one is taken past every address written
  // down, so a tool that dies between sending and storing never hands the
  // same address to the next device.
  mac_outcome r = ledger_series_mac(ip, port, device ? *device : ledger_device(), true, mac, &stored, problem);
  if (r == MAC_SETTINGS_FAILED || r == MAC_LEDGER_FAILED) {
    show(problem.c_str());
    return false;
  }
  if (r != MAC_TAKEN) return false;
  if (assigned) memcpy(assigned, mac, 6);
  char text[256];
  mac_changed_text(text, sizeof text, mac);
  if (!stored) {
    size_t n = strlen(text);
    snprintf(text + n, sizeof text - n, ", но не сохранён в настройках.");
  }
  show(text);
  if (!problem.empty()) show(problem.c_str());
  return true;
}

bool assign_typed_mac(const char* ip, uint16_t port, void (*show)(const char* text), const unsigned char mac[6],
                      const ledger_device* device) {
  std::string problem;
  mac_outcome r = ledger_typed_mac(ip, port, device ? *device : ledger_device(), mac, problem);
  if (r == MAC_LEDGER_FAILED) {
    show(problem.c_str());
    return false;
  }
  if (r != MAC_TAKEN) return false;
  char text[256];
  mac_changed_text(text, sizeof text, mac);
  show(text);
  // The device has the address; only the ledger's second line was lost.
  if (!problem.empty()) show(problem.c_str());
  return true;
}
