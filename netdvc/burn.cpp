// Firmware burning: every page written and read back before the next.
#include <cstdio>
#include <cstring>
#include <memory>

#include "bcp/bcp.h"
#include "class/class.h"
#include "loadhex/loadhex.h"
#include "netdvc/link.h"
#include "netdvc/netdvc.h"

namespace {

// A page the device never confirms ends the burn after this many attempts in
// a row or this long without a confirmed page, whichever comes first: a
// switched-off device must not hold the technician (and the tool) forever.
const int PAGE_ATTEMPTS = 10;
const uint32_t PAGE_STALL_MS = 10000;

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

}  // namespace

bool burn_device(const char* ip, uint16_t port, char write_to_SP) {
  tlink link;
  if (!link.open(ip, port, 1000)) return false;
  bool admitted = run_budget(1000, [&] { return identify(link, 100) && present_password(link, true); });
  if (!admitted) return false;
  set_geometry(link.REPLY.signature);

  int pages = page_count + 1;
  int confirmed = 0;
  bool sp = write_to_SP != 0;
  auto progress = std::make_unique<_progress>("Прошивка устройства", pages);
  int attempts = 0;
  uint32_t last_progress = plat::tick();
  for (int i = 0; i < pages;) {
    if (write_page(link, (uint32_t)i, sp) && read_back(link, (uint32_t)i, sp)) {
      progress->step();
      confirmed++;
      i++;
      attempts = 0;
      last_progress = plat::tick();
      continue;
    }
    if (++attempts >= PAGE_ATTEMPTS || plat::tick() - last_progress >= PAGE_STALL_MS) {
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
