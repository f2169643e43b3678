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
volatile sig_atomic_t BURN_STOP = 0;

namespace {

// Complete read-backs of one page that differ from the image before the burn
// gives up on it: a cell that never takes its byte would otherwise be
// rewritten until the stall bound, five minutes of a blocked line.
constexpr int WORN_PAGE_READS = 20;
// The page loop has no budget: a failed page settles within one receive.
constexpr uint32_t PAGE_SETTLE_MS = 1000;

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

enum class readback { confirmed, failed, differs };

// Where the first differing byte of a complete read-back lies.
struct difference {
  size_t offset = 0;
  unsigned char written = 0, read = 0;
};

readback read_back(tlink& link, uint32_t page, bool sp, difference& diff) {
  host_data d;
  make_data(d, sp ? (REQ_READ_PAGE | REQ_SP) : REQ_READ_PAGE, page);
  if (!link.ask(&d, HOST_DATA_HEADER, 10) || !link.answered(RSP_PAGE)) return readback::failed;
  // The whole page must have come back: a short reply leaves zeros that
  // would pass for a page of zeros without the device having said so.
  if (link.GOT < HOST_DATA_HEADER + page_size) return readback::failed;
  const unsigned char* image = MEMORY_MAP + page * page_size;
  for (size_t i = 0; i < page_size; i++)
    if (link.REPLY.data[i] != image[i]) {
      diff.offset = i;
      diff.written = image[i];
      diff.read = link.REPLY.data[i];
      return readback::differs;
    }
  return readback::confirmed;
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
  char identified[SIGNATURE_SIZE];
  bool admitted = run_budget(link, 1000, [&] {
    if (!identify(link, 100)) return false;
    std::memcpy(identified, link.REPLY.signature, SIGNATURE_SIZE);
    return present_password(link, true);
  });
  if (!admitted) return false;
  set_geometry(link.REPLY.signature);
  // The board signs its page answers as it signed its password answer; one
  // whose password answer bore the extra signature, as it signed its
  // identification.
  link.own_signature(is_model_signature(link.REPLY.signature) ? link.REPLY.signature : identified);

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
  int differing = 0;  // complete read-backs of the page in hand that differed
  bool sp = write_to_SP != 0;
  auto progress = std::make_unique<_progress>("Прошивка устройства", pages);
  // Both bounds count from the start of the transfer: the time the question
  // stood open is no silence of the device.
  uint32_t last_confirmed = plat::tick();
  link.HEARD = last_confirmed;
  for (int i = 0; i < pages;) {
    difference diff;
    readback r = readback::failed;
    if (write_page(link, (uint32_t)i, sp)) r = read_back(link, (uint32_t)i, sp, diff);
    if (r == readback::confirmed) {
      progress->step();
      confirmed++;
      i++;
      differing = 0;
      last_confirmed = plat::tick();
      if (i < pages && BURN_STOP) break;
      continue;
    }
    if (r == readback::differs && ++differing >= WORN_PAGE_READS) {
      progress.reset();
      char text[200];
      std::snprintf(text, sizeof text,
                    "Прошивка прервана: страница %d: по адресу 0x%X записано %02X, прочитано %02X.", i,
                    (unsigned)((size_t)i * page_size + diff.offset), diff.written, diff.read);
      message(text);
      return false;
    }
    link.settle(PAGE_SETTLE_MS);
    if (BURN_STOP) break;
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
