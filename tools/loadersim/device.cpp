#include "tools/loadersim/device.h"

#include <cstring>

#include "netdvc/records.h"

sim_config::sim_config() {
  memcpy(model, "GXonTaq_", 8);
  memset(name, 0, sizeof name);
  memcpy(name, "SIMULATOR", 9);
  const uint8_t default_mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  memcpy(mac, default_mac, 6);
  memset(password, '_', sizeof password);
  memset(password_sig, 0, sizeof password_sig);
  memset(mac_sig, 0, sizeof mac_sig);
  memset(stray_sig, 0, sizeof stray_sig);
}

int sim_config::effective_page_size() const {
  if (page_size > 0) return page_size;
  if (signature_is(model, "WIBQE715") || signature_is(model, "HYFRO529")) return 256;
  return 512;
}

void sim_dirty::mark(size_t at, size_t n) {
  if (!n) return;
  if (!any()) {
    first = at;
    end = at + n;
    return;
  }
  if (at < first) first = at;
  if (at + n > end) end = at + n;
}

const char* outcome_name(sim_outcome o) {
  switch (o) {
    case sim_outcome::answered: return "answered";
    case sim_outcome::refused: return "refused";
    case sim_outcome::ignored: return "ignored";
    case sim_outcome::dropped: return "dropped";
    case sim_outcome::silent: return "silent";
    case sim_outcome::dead: return "dead";
    case sim_outcome::died: return "died";
  }
  return "?";
}

sim_device::sim_device(const sim_config& cfg)
    : memory(SIM_MEMORY_SIZE, 0xFF),
      sp_memory(SIM_MEMORY_SIZE, 0xFF),
      cfg_(cfg),
      rng_(cfg.seed ? cfg.seed : 1),
      corrupt_left_(cfg.corrupt_reads),
      short_left_(cfg.short_reads),
      page_drops_left_(cfg.drop_first_pages) {
  memcpy(mac, cfg.mac, 6);
}

bool sim_device::roll(double percent) {
  if (percent <= 0) return false;
  // xorshift32: the same seed drops the same requests on every run.
  rng_ ^= rng_ << 13;
  rng_ ^= rng_ >> 17;
  rng_ ^= rng_ << 5;
  return (double)(rng_ % 10000) < percent * 100.0;
}

unsigned sim_device::reply_delay() {
  if (cfg_.delay_percent < 100 && !roll(cfg_.delay_percent)) return 0;
  if (cfg_.reply_delay_max_ms <= cfg_.reply_delay_ms) return cfg_.reply_delay_ms;
  rng_ ^= rng_ << 13;
  rng_ ^= rng_ >> 17;
  rng_ ^= rng_ << 5;
  return cfg_.reply_delay_ms + rng_ % (cfg_.reply_delay_max_ms - cfg_.reply_delay_ms + 1);
}

std::vector<uint8_t> sim_device::unasked() {
  if (cfg_.stray_junk) {
    // Begins with no signature at all: only noise on the port.
    static const char junk[] = "junk on the loader port";
    return std::vector<uint8_t>(junk, junk + sizeof junk - 1);
  }
  if (cfg_.stray_request) {
    host_request q;
    memcpy(q.signature, LOADER_SIGNATURE, SIGNATURE_SIZE);
    q.flags = cfg_.stray_request;
    const uint8_t* b = (const uint8_t*)&q;
    return std::vector<uint8_t>(b, b + sizeof q);
  }
  uint8_t p[IDENT_PAYLOAD_SIZE];
  memcpy(p + IDENT_NAME_OFFSET, cfg_.name, IDENT_NAME_SIZE);
  p[IDENT_REV_OFFSET] = cfg_.version;
  memcpy(p + IDENT_MAC_OFFSET, mac, 6);
  return reply(cfg_.stray_sig_set ? cfg_.stray_sig : cfg_.model, cfg_.stray_flags, p, cfg_.stray_bare ? 0 : (int)sizeof p);
}

bool sim_device::silent_at(uint32_t now_ms) const {
  return silent_ && (int32_t)(silent_until_ - now_ms) > 0;
}

std::vector<uint8_t> sim_device::reply(const char* sig, uint16_t flags, const uint8_t* data,
                                       int n) {
  device_respond_t r;
  memset(&r, 0, sizeof r);
  memcpy(r.signature, sig, 8);
  r.packet = ++packet_;
  r.flags = flags;
  if (n > 0) memcpy(r.data, data, n);
  const uint8_t* p = (const uint8_t*)&r;
  return std::vector<uint8_t>(p, p + HOST_DATA_HEADER + n);
}

sim_outcome sim_device::handle(const uint8_t* buf, int len, uint32_t now_ms,
                               std::vector<std::vector<uint8_t>>& out) {
  if (dead) return sim_outcome::dead;
  if (silent_at(now_ms)) return sim_outcome::silent;
  silent_ = false;
  if (len < (int)sizeof(host_request) || !signature_is(buf, LOADER_SIGNATURE))
    return sim_outcome::ignored;
  if (roll(cfg_.drop_percent)) return sim_outcome::dropped;
  {
    const uint16_t k = (uint16_t)(((const host_request*)buf)->flags & ~REQ_SP);
    if ((k == REQ_WRITE_PAGE || k == REQ_READ_PAGE) && page_drops_left_ > 0) {
      page_drops_left_--;
      return sim_outcome::dropped;
    }
  }

  host_data req;
  memset(&req, 0, sizeof req);
  memcpy(&req, buf, len < (int)sizeof req ? len : (int)sizeof req);
  const int ps = cfg_.effective_page_size();
  const uint16_t kind = req.flags & (uint16_t)~REQ_SP;
  const bool sp = (req.flags & REQ_SP) != 0;
  std::vector<uint8_t> r;
  sim_outcome result = sim_outcome::answered;

  if (req.flags == REQ_IDENTIFY) {
    uint8_t p[IDENT_PAYLOAD_SIZE];
    memcpy(p + IDENT_NAME_OFFSET, cfg_.name, IDENT_NAME_SIZE);
    p[IDENT_REV_OFFSET] = cfg_.version;
    memcpy(p + IDENT_MAC_OFFSET, mac, 6);
    r = reply(cfg_.model, cfg_.identify_flags_set ? cfg_.identify_flags : RSP_OK, p, sizeof p);
  } else if (req.flags == REQ_PASSWORD) {
    const char* sig = cfg_.password_sig_set ? cfg_.password_sig : cfg_.model;
    if (len < HOST_DATA_HEADER + PASSWORD_SIZE) {
      authorized = false;
      r = reply(sig, RSP_BAD_PASSWORD, nullptr, 0);
      result = sim_outcome::refused;
    } else if (memcmp(req.data, cfg_.password, PASSWORD_SIZE) == 0) {
      authorized = true;
      r = reply(sig, RSP_OK, nullptr, 0);
    } else {
      authorized = false;
      r = reply(sig, RSP_BAD_PASSWORD, nullptr, 0);
      result = sim_outcome::refused;
    }
  } else if (req.flags == REQ_ENTER_PROGRAMM) {
    if (!authorized) {
      r = reply(cfg_.model, 0, nullptr, 0);
      result = sim_outcome::refused;
    } else if (cfg_.never_enter) {
      r = reply(cfg_.model, RSP_OK, nullptr, 0);
      result = sim_outcome::refused;
    } else {
      programming = true;
      r = reply(cfg_.model, RSP_ENTER_PROGRAMM, nullptr, 0);
      if (cfg_.silent_after_enter > 0) {
        silent_ = true;
        silent_until_ = now_ms + (uint32_t)(cfg_.silent_after_enter * 1000.0);
      }
    }
  } else if (req.flags == REQ_EXIT_PROGRAMM) {
    // Answered in any state: the host repeats the request until it hears
    // the answer, so a device that has already left must still say so.
    programming = false;
    authorized = false;
    r = reply(cfg_.model, RSP_EXIT_PROGRAMM, nullptr, 0);
  } else if (kind == REQ_WRITE_PAGE) {
    if (cfg_.die_after_pages >= 0 && pages_written >= cfg_.die_after_pages) {
      dead = true;
      return sim_outcome::died;
    }
    const uint64_t end = ((uint64_t)req.page_number + 1) * (uint64_t)ps;
    if ((!programming && !cfg_.pages_anytime) || !authorized || end > (uint64_t)SIM_MEMORY_SIZE ||
        len < HOST_DATA_HEADER + ps) {
      r = reply(cfg_.model, 0, nullptr, 0);
      result = sim_outcome::refused;
    } else {
      std::vector<uint8_t>& m = sp ? sp_memory : memory;
      memcpy(m.data() + (size_t)req.page_number * ps, req.data, ps);
      const long first = (long)req.page_number * ps;
      if (!sp && cfg_.stuck_addr >= first && cfg_.stuck_addr < first + ps)
        m[(size_t)cfg_.stuck_addr] = cfg_.stuck_value;
      (sp ? sp_memory_dirty : memory_dirty).mark((size_t)first, (size_t)ps);
      pages_written++;
      r = reply(cfg_.model, RSP_OK, nullptr, 0);
    }
  } else if (kind == REQ_READ_PAGE) {
    const uint64_t end = ((uint64_t)req.page_number + 1) * (uint64_t)ps;
    if ((!programming && !cfg_.pages_anytime) || !authorized || end > (uint64_t)SIM_MEMORY_SIZE ||
        len < HOST_DATA_HEADER) {
      r = reply(cfg_.model, 0, nullptr, 0);
      result = sim_outcome::refused;
    } else {
      const std::vector<uint8_t>& m = sp ? sp_memory : memory;
      uint8_t page[DATA_SIZE];
      memcpy(page, m.data() + (size_t)req.page_number * ps, ps);
      const long first = (long)req.page_number * ps;
      if (!sp && cfg_.stuck_addr >= first && cfg_.stuck_addr < first + ps)
        page[cfg_.stuck_addr - first] = cfg_.stuck_value;
      if (corrupt_left_ > 0) {
        corrupt_left_--;
        page[ps - 1] ^= 0xFF;
      }
      int n = ps;
      if (short_left_ > 0) {
        short_left_--;
        n = ps / 2;
      }
      r = reply(cfg_.model, RSP_PAGE, page, n);
    }
  } else if (req.flags == REQ_SET_MAC) {
    const char* sig = cfg_.mac_sig_set ? cfg_.mac_sig : cfg_.model;
    if (!authorized || cfg_.refuse_mac || len < SET_MAC_REQUEST_SIZE) {
      r = reply(sig, 0, nullptr, 0);
      result = sim_outcome::refused;
    } else {
      memcpy(mac, req.data, 6);
      r = reply(sig, RSP_OK, nullptr, 0);
    }
  } else {
    return sim_outcome::ignored;
  }

  if (cfg_.cut_replies > 0 && r.size() > (size_t)cfg_.cut_replies) r.resize((size_t)cfg_.cut_replies);
  out.push_back(r);
  if (cfg_.twice || roll(cfg_.duplicate_percent)) out.push_back(r);
  return result;
}
