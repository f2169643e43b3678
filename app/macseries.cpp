#include "app/macseries.h"

#include <cstdio>
#include <cstring>

#include "bcp/regkey.h"
#include "netdvc/netdvc.h"
#include "platform/platform.h"

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

void mac_changed_text(char* out, size_t size, const unsigned char mac[6]) {
  snprintf(out, size, "MAC изменен на %02X.%02X.%02X.%02X.%02X.%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
           mac[5]);
}

bool assign_next_mac(const char* ip, uint16_t port, void (*show)(const char* text), unsigned char* assigned) {
  unsigned char mac[6];
  bool accepted = false, stored = false;
  {
    _regkey key(HKEY_CURRENT_USER, SETTINGS_KEY, false);
    // Without the lock (no lock file can be made) the step still runs: the
    // store is then most likely read-only as well, which is reported below.
    bool locked = key.lock();
    const unsigned char* last = (const unsigned char*)key.get_binary(SETTINGS_LAST_MAC);
    mac_series_last(last, last && key._TYPE == REG_BINARY ? key._SIZE : 0, mac);
    mac_series_advance(mac);
    accepted = set_mac(ip, port, mac);
    // Stored before anything is shown: a message stands for up to ten
    // seconds, and a tool that dies meanwhile must not hand the same
    // address to the next device.
    if (accepted) stored = key.set_binary(mac, 6, SETTINGS_LAST_MAC);
    if (locked) key.unlock();
  }
  if (!accepted) return false;
  if (assigned) memcpy(assigned, mac, 6);
  char text[256];
  mac_changed_text(text, sizeof text, mac);
  if (!stored) {
    size_t n = strlen(text);
    snprintf(text + n, sizeof text - n, ", но не сохранён в настройках: следующий MAC++ выдаст тот же адрес.");
  }
  show(text);
  return true;
}
