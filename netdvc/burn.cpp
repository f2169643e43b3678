// Firmware burning: every page written and read back before the next.
#include <cstdio>
#include <cstring>
#include <memory>

#include "bcp/bcp.h"
#include "class/class.h"
#include "loadhex/loadhex.h"
#include "netdvc/link.h"
#include "netdvc/netdvc.h"

// A page that is not confirmed is written again for as long as the device
// answers at all: on a lossy link a run of failed attempts is no reason to
// leave a half-written device. The burn gives up only when the device has
// been silent this long (switched off, cable pulled) ...
uint32_t BURN_SILENCE_MS = 10000;
// ... or when, though it answers, it has confirmed no page for this long
// (it refuses or spoils every page).
uint32_t BURN_STALL_MS = 300000;

namespace {

void set_geometry(const char* signature) {
  page_size = 512;
  page_count = 255;
  if (signature_is(signature, "WIBQE715")) {
    page_size = 256;
    page_count = 127;
  } else if (signature_is(signature, "HYFRO529")) {
    page_size = 256;
    page_count = 255;
  }
}

bool write_page(tlink& link, uint32_t page, bool sp) {
  host_data d;
  make_data(d, sp ? (REQ_WRITE_PAGE | REQ_SP) : REQ_WRITE_PAGE, page);
  std::memcpy(d.data, MEMORY_MAP + page * page_size, page_size);
  return link.ask(&d, HOST_DATA_HEADER + page_size, 10) && link.answered(RSP_OK);
}

bool read_back(tlink& link, uint32_t page, bool sp) {
  host_data d;
  make_data(d, sp ? (REQ_READ_PAGE | REQ_SP) : REQ_READ_PAGE, page);
  if (!link.ask(&d, HOST_DATA_HEADER, 10) || !link.answered(RSP_PAGE)) return false;
  // The whole page must have come back: a short reply leaves zeros that
  // would pass for a page of zeros without the device having said so.
  if (link.GOT < HOST_DATA_HEADER + page_size) return false;
  return std::memcmp(link.REPLY.data, MEMORY_MAP + page * page_size, page_size) == 0;
}

// Whether the image holds anything past the device's memory: a byte there
// that is not the erased 0xFF would be silently left out.
bool image_fits(size_t device_bytes) {
  for (size_t i = device_bytes; i < sizeof MEMORY_MAP; i++)
    if (MEMORY_MAP[i] != 0xFF) return false;
  return true;
}

}  // namespace

bool burn_device(const char* ip, uint16_t port, char write_to_SP) {
  tlink link;
  if (!link.open(ip, port, 1000)) return false;
  bool admitted = run_budget(1000, [&] { return identify(link, 100) && present_password(link, true); });
  if (!admitted) return false;
  set_geometry(link.REPLY.signature);

  int pages = page_count + 1;
  size_t device_bytes = (size_t)page_size * (size_t)pages;
  if (!image_fits(device_bytes)) {
    // Asked before anything is written: on no the device stays as it was.
    char question[200];
    std::snprintf(question, sizeof question,
                  "Образ больше памяти устройства (%zu байт). Прошить только первые %zu байт?",
                  device_bytes, device_bytes);
    if (!yes_no(question)) return false;
  }

  int confirmed = 0;
  bool sp = write_to_SP != 0;
  auto progress = std::make_unique<_progress>("Прошивка устройства", pages);
  // Both bounds count from the start of the transfer: the time the question
  // stood open is no silence of the device.
  uint32_t last_confirmed = plat::tick();
  link.HEARD = last_confirmed;
  for (int i = 0; i < pages;) {
    if (write_page(link, (uint32_t)i, sp) && read_back(link, (uint32_t)i, sp)) {
      progress->step();
      confirmed++;
      i++;
      last_confirmed = plat::tick();
      continue;
    }
    uint32_t now = plat::tick();
    if (now - link.HEARD >= BURN_SILENCE_MS || now - last_confirmed >= BURN_STALL_MS) {
      progress.reset();
      char text[160];
      std::snprintf(text, sizeof text, "Прошивка прервана: страница %d не подтверждена устройством.", i);
      message(text);
      return false;
    }
  }
  progress.reset();
  return confirmed == pages;
}
