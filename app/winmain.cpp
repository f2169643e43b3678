// The whole workflow of the tool: find one device, ask for its password,
// switch it into programming mode and serve the commands of the main window
// until the user leaves.
#include "app/app.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/dialogs.h"
#include "app/macseries.h"
#include "bcp/bcp.h"
#include "class/class.h"
#include "loadhex/loadhex.h"
#include "netdvc/netdvc.h"
#include "platform/platform.h"

namespace {

const uint16_t PORT = DEVICE_PORT;
// Room for a firmware path, as the settings and the file chooser take it.
const int PATH_ROOM = 260;
// The width of the device fields: as wide as this many blanks.
const char* const FIELD_BLANKS = "                                  ";  // 34

// The commands of the main window are the codes of F1 to F4, so the keys
// act as the buttons do.
const int CMD_OPEN_FILE = KEY_F1;
const int CMD_FLASH = KEY_F2;
const int CMD_MAC_NEXT = KEY_F3;
const int CMD_MAC_TYPED = KEY_F4;

// The caption names the firmware file and the last address it fills.
void show_file(twindow& w, const char* file) {
  char caption[PATH_ROOM + 32];
  snprintf(caption, sizeof caption, "%s (0x%04X)", file, (unsigned)(PROGRAMM_SIZE - 1));
  w << caption;
}

// Every device call binds the loader port; when another program holds it
// (most likely a second copy of this tool) nothing was even sent, and
// blaming the device would send the technician to the wrong cable.
const char* const PORT_BUSY = PORT_BUSY_TEXT;

// The one place where a failed step becomes words in the window tool.
// Programming mode and the loader's return have texts of their own, shown
// whatever came before them (the program ends on them). Any other failure
// the device call explained itself (a refused password, a cut image the
// user declined) gets no second word; one it did not explain got no answer
// at all, and silence would leave the technician believing something
// happened.
void tell(const step_outcome& o) {
  if (o.ok()) return;
  if (const char* text = step_text(o.end)) message(text);
  else if (!o.reported) message(loader_port_busy(PORT) ? PORT_BUSY : "Устройство не отвечает.");
}

// A MAC step says itself why it could not begin; only a refusal is left.
void tell(const mac_step& step) {
  if (step.outcome != MAC_REFUSED) return;
  step_outcome o;
  o.end = STEP_FAILED;
  o.reported = step.reported;
  tell(o);
}

// Reads the firmware file into the image; true when it may be flashed. A
// file that was read without error but holds no data, or ends before its
// end record (a copy cut short), would reach the device as an erased or
// half image, and so would one with a line that is no record (the reader
// passes it over): it is refused here with the reason. A file that is not there
// stays quiet, as the reader does.
bool load_into_memory_map(const char* file) {
  char path[PATH_ROOM];
  snprintf(path, sizeof path, "%s", file);
  if (!load_hex_data(path)) return false;
  std::string why = hex_not_flashable(LAST_HEX_FILE);
  if (why.empty()) return true;
  message(why.c_str());
  return false;
}

void show_message(const char* text) { message(text); }

// The pause keeps the windows alive: 10 ms sleeps, each followed by one
// turn of the pump, whose codes nobody wants now. It is measured by the
// clock, since a quiet pump waits up to a tick for every turn.
void pumped_pause(uint32_t ms) {
  uint32_t start = plat::tick();
  do {
    plat::sleep_ms(10);
    getkey();
  } while (plat::tick() - start < ms);
}

// What the commands of the main window work on: the device found at
// start-up, the firmware file, and the controls a command turns on or off.
struct session_state {
  const char* ip;
  const unsigned char* mac;  // as found at start-up
  twindow* window;
  tbutton* flash;
  tcheck* coprocessor;
  // Flash stays off until an image has been read whole: a missing file
  // leaves the image erased, a bad one leaves it partly filled, and neither
  // may reach a device by accident.
  bool loaded_file = false;
  std::string current_file;
  // What the MAC ledger records beside an address: the device, the MAC it
  // had before (kept up to date, unlike the field shown) and the file last
  // flashed into it in this session.
  ledger_device device;
};

// F1, "Открыть файл".
void open_file_command(session_state& s) {
  char file[PATH_ROOM], dir[PATH_ROOM];
  _regkey key(HKEY_CURRENT_USER, SETTINGS_KEY, false);
  name(key.get_string(file, sizeof file, SETTINGS_LAST_FILE));
  rep(path(key.get_string(dir, sizeof dir, SETTINGS_LAST_FILE)));
  if (!only_open_file(file, sizeof file, dir, "Hex file\0*.hex\0", "hex")) return;
  s.loaded_file = load_into_memory_map(file);
  s.current_file = file;
  key.set_string(file, SETTINGS_LAST_FILE);
  show_file(*s.window, file);
  // A file that could not be read (or holds nothing to flash) has erased
  // the image the last one left: Flash goes off again until a read succeeds.
  if (s.loaded_file) {
    s.flash->on();
    s.coprocessor->on();
  } else {
    s.flash->off();
    s.coprocessor->off();
  }
}

// F2, "Прошить".
void flash_command(session_state& s) {
  if (!s.loaded_file) return;
  face_board board(s.ip, PORT);
  // On record from its start, with the file as it is now: a burn killed
  // halfway stays on record as begun.
  ledger_device burnt = s.device;
  burnt.firmware = s.current_file;
  if (!sha256_file(s.current_file.c_str(), burnt.sha256)) burnt.sha256.clear();
  burn_on_record record(&app_ledger(), s.ip, burnt, *s.coprocessor == 1);
  step_outcome o = flash_image(board, MEMORY_MAP, sizeof MEMORY_MAP, *s.coprocessor == 1);
  record.end(o.ok(), "burn", board.pages_done());
  if (!o.ok()) {
    tell(o);
    return;
  }
  s.device = burnt;
  s.device.line_id = record.id();
  message("Прошилось");
}

// F3, "MAC++".
void mac_next_command(session_state& s) {
  mac_step step = next_mac_at(s.ip, PORT, show_message, &s.device);
  if (step.outcome == MAC_TAKEN) s.device.old_mac = format_mac(step.mac);
  tell(step);
}

// F4, "MAC": always starts from the address found at start-up.
void mac_typed_command(session_state& s) {
  unsigned char typed[6];
  memcpy(typed, s.mac, 6);
  if (get_mac_addr(typed) != 0) return;
  if (mac_is_group_or_zero(typed) && !yes_no(MAC_GROUP_QUESTION)) return;
  std::string where;
  if (typed_mac_given(app_ledger(), s.device, typed, where))
    if (!yes_no(mac_given_question(typed, where).c_str())) return;
  // Through the ledger like every address: a typed address of the series
  // must never be handed out again by MAC++ here or on another tool of
  // this account.
  mac_step step = typed_mac_at(s.ip, PORT, show_message, typed, &s.device);
  if (step.outcome == MAC_TAKEN) s.device.old_mac = format_mac(typed);
  tell(step);
}

}  // namespace

int WinMain(void* instance, void*, char*, int) {
  char ip[100] = "";
  char dev_name[100] = "";
  unsigned char mac[100] = {};
  unsigned char rev_byte = 0;
  char rrv[100];

  reg_class("Veskor", instance, 1);

  int finddev = 1;
  for (int round = 0; round < 2 && finddev == 1; round++)
    finddev = find_dhcp_devices(ip, dev_name, mac, &rev_byte, PORT);
  if (finddev == 1 && loader_port_busy(PORT)) {
    // Nothing could be asked at all: an address typed by hand would fail
    // the same way.
    message(PORT_BUSY);
    return 0;
  }
  if (finddev == 1 && yes_no("Устройство не найдено, ввести адрес вручную?")) {
    finddev = get_ip_addr(ip);
    if (finddev == 0 && !get_device_name(ip, dev_name, mac, &rev_byte, PORT)) {
      // Ending without a word would leave the technician guessing whether
      // the address was even tried.
      if (loader_port_busy(PORT)) {
        message(PORT_BUSY);
      } else {
        char text[160];
        snprintf(text, sizeof text, "Устройство по адресу %s не отвечает.", ip);
        message(text);
      }
      finddev = 1;
    }
  }
  if (finddev != 0) return 0;

  twindow w(399, 160, "Veskor", 0, 0);
  w.foreground();
  tborder b(2, 2, -3, -28, 2);
  ttext td(8, 8, "Устройство:", -1);
  ttext td0(150, 8, FIELD_BLANKS, -1);
  tborder bd(&td0, (char)-2);
  ttext tr(8, YT + 6, "Версия загрузчика:", -1);
  ttext tr0(150, tr.Y, FIELD_BLANKS, -1);
  tborder br(&tr0, (char)-2);
  ttext tm(8, YT + 6, "MAC адрес устройства:", -1);
  ttext tm0(150, tm.Y, FIELD_BLANKS, -1);
  tborder bm(&tm0, (char)-2);
  tcheck tcsp(8, YT + 6, "Прошить сопроцессор", 0);
  tcsp.off();
  tbutton bto(0, -24, 0, "Открыть файл", 82, 20, CMD_OPEN_FILE, nullptr, 2, nullptr, &cLGRAY);
  bto.off();
  tbutton btw(XBT + 1, -24, 0, "Прошить", 78, 20, CMD_FLASH, nullptr, 2, nullptr, &cLGRAY);
  btw.off();
  tbutton btm(XBT + 1, -24, 0, "MAC++", 78, 20, CMD_MAC_NEXT, nullptr, 2, nullptr, &cLGRAY);
  btm.off();
  tbutton btmi(XBT + 1, -24, 0, "MAC", 78, 20, CMD_MAC_TYPED, nullptr, 2, nullptr, &cLGRAY);
  btmi.off();
  tbutton bte(XBT + 1, -24, 0, "Выход", 78, 20, KEY_ESC, nullptr, 2, nullptr, &cLGRAY);

  if (get_password(DEV_PASS) != 0) return 0;

  // Records a run killed while the line's database was away left on this
  // bench's disk are written before the ledger is used for anything else.
  {
    std::string ignored;
    app_ledger().ready(ignored);
  }

  session_state state;
  state.ip = ip;
  state.mac = mac;
  state.window = &w;
  state.flash = &btw;
  state.coprocessor = &tcsp;
  {
    char file[PATH_ROOM];
    _regkey key(HKEY_CURRENT_USER, SETTINGS_KEY, false);
    key.get_string(file, sizeof file, SETTINGS_LAST_FILE);
    state.loaded_file = load_into_memory_map(file);
    state.current_file = file;
    show_file(w, file);
  }

  face_board board(ip, PORT);
  step_outcome ready = enter_programming(board, pumped_pause);
  if (!ready.ok()) {
    tell(ready);
    return 0;
  }

  td0 << dev_name;
  snprintf(rrv, sizeof rrv, "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  tm0 << rrv;
  snprintf(rrv, sizeof rrv, "%s", loader_version_text(rev_byte).c_str());
  tr0 << rrv;
  state.device.name = dev_name;
  state.device.old_mac = format_mac(mac);

  bto.on();
  if (state.loaded_file) {
    btw.on();
    tcsp.on();
  }
  btm.on();
  btmi.on();

  for (;;) {
    int code = getkey();
    if (code == CMD_CLOSE || code == KEY_ESC) break;
    if (code == CMD_OPEN_FILE) open_file_command(state);
    else if (code == CMD_FLASH) flash_command(state);
    else if (code == CMD_MAC_NEXT) mac_next_command(state);
    else if (code == CMD_MAC_TYPED) mac_typed_command(state);
  }
  exit_programm_mode(ip, PORT);
  return 0;
}
