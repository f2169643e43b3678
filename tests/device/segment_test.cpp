// The test segment itself and the simulator on it, driven with raw records.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "netdvc/records.h"
#include "platform/net.h"
#include "tests/device/segment.h"

using devtest::request_entry;
using devtest::segment;

namespace {

// One received datagram, zero-padded to a full reply record (also when
// nothing was received into it).
struct datagram {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(sizeof(device_respond_t), 0);
  size_t len = 0;
  uint32_t from = 0;
  uint16_t port = 0;
  const device_respond_t& reply() const {
    return *reinterpret_cast<const device_respond_t*>(bytes.data());
  }
};

// A host-side socket as the tool opens it: wildcard, port 48900, broadcast.
// The first answer to a request is waited for first_wait_ms (long, so that a
// busy machine does not turn a slow answer into a missing one), further ones
// until 100 ms pass in silence.
class host_link {
 public:
  explicit host_link(unsigned first_wait_ms = 1000) : first_wait_ms_(first_wait_ms) {
    s_ = plat::udp_open();
    ok_ = s_ >= 0 && plat::udp_bind(s_, LOADER_PORT) && plat::udp_set_broadcast(s_);
  }
  ~host_link() { plat::udp_close(s_); }
  bool ok() const { return ok_; }
  void set_first_wait(unsigned ms) { first_wait_ms_ = ms; }

  bool send(uint32_t to, const void* rec, size_t n) {
    return plat::udp_send(s_, rec, n, to, LOADER_PORT) == (int)n;
  }
  bool send_request(uint32_t to, uint16_t flags) {
    host_request r;
    memset(&r, 0, sizeof r);
    memcpy(r.signature, LOADER_SIGNATURE, 8);
    r.flags = flags;
    return send(to, &r, sizeof r);
  }
  bool send_data(uint32_t to, uint16_t flags, uint32_t page, const void* data, size_t data_len,
                 size_t total) {
    host_data r;
    memset(&r, 0, sizeof r);
    memcpy(r.signature, LOADER_SIGNATURE, 8);
    r.flags = flags;
    r.page_number = page;
    if (data_len) memcpy(r.data, data, data_len);
    return send(to, &r, total);
  }
  // Everything that arrives until the silence after it.
  std::vector<datagram> collect() {
    std::vector<datagram> out;
    plat::udp_set_timeout(s_, first_wait_ms_);
    for (;;) {
      datagram d;
      int n = plat::udp_recv(s_, d.bytes.data(), d.bytes.size(), &d.from, &d.port);
      if (n <= 0) return out;
      d.len = (size_t)n;
      out.push_back(d);
      plat::udp_set_timeout(s_, 100);
    }
  }
  // The replies (datagrams that begin with a model signature) to one request.
  std::vector<datagram> replies() {
    std::vector<datagram> out;
    for (auto& d : collect())
      if (d.len >= 14 && is_model_signature(d.bytes.data())) out.push_back(d);
    return out;
  }
  // Sends and waits for exactly one reply; its flags, or -1.
  int ask(uint32_t to, uint16_t flags, datagram* got = nullptr) {
    if (!send_request(to, flags)) return -1;
    return single(got);
  }
  int ask_data(uint32_t to, uint16_t flags, uint32_t page, const void* data, size_t data_len,
               size_t total, datagram* got = nullptr) {
    if (!send_data(to, flags, page, data, data_len, total)) return -1;
    return single(got);
  }
  int ask_password(uint32_t to, const char* password, datagram* got = nullptr) {
    return ask_data(to, REQ_PASSWORD, 0, password, PASSWORD_SIZE, sizeof(host_data), got);
  }

 private:
  int single(datagram* got) {
    auto r = replies();
    if (r.size() != 1) return -1;
    if (got) *got = r[0];
    return r[0].reply().flags;
  }
  unsigned first_wait_ms_;
  int s_ = -1;
  bool ok_ = false;
};

std::vector<request_entry> with_flags(const std::vector<request_entry>& log, int flags) {
  std::vector<request_entry> out;
  for (const auto& e : log)
    if (e.flags == flags) out.push_back(e);
  return out;
}

bool netns_exists(const std::string& name) {
  struct stat st;
  return stat(("/run/netns/" + name).c_str(), &st) == 0;
}

// Gone, or a zombie waiting for whoever reaps orphans here.
bool process_gone(pid_t pid) {
  if (kill(pid, 0) != 0) return true;
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (!f) return true;
  char state = '?';
  int matched = fscanf(f, "%*d (%*[^)]) %c", &state);
  fclose(f);
  return matched == 1 && state == 'Z';
}

ino_t own_netns() {
  struct stat st;
  stat("/proc/thread-self/ns/net", &st);
  return st.st_ino;
}

const char PASSWORD[] = "secret__________";

}  // namespace

TEST(Segment, BroadcastIdentifyIsAnsweredByEveryDevice) {
  segment seg({{"--model", "GXonTaq_", "--name", "ALPHA", "--version", "12", "--mac",
                "5A:3C:19:11:46:02"},
               {"--model", "WIBQE715", "--name", "BETA-16-CHARS-XY", "--version", "37", "--mac",
                "00:11:00:22:00:33"}});
  START_SEGMENT_OR_SKIP(seg);
  const ino_t origin = own_netns();
  ASSERT_TRUE(seg.enter_host()) << seg.error();
  EXPECT_NE(own_netns(), origin);

  std::vector<datagram> got;
  {
    host_link link;
    ASSERT_TRUE(link.ok());
    ASSERT_TRUE(link.send_request(plat::IPV4_BROADCAST, REQ_IDENTIFY));
    got = link.collect();
  }
  // The host hears its own broadcast too; it is no reply.
  int own = 0;
  std::vector<datagram> replies;
  for (const auto& d : got) {
    if (signature_is(d.bytes.data(), LOADER_SIGNATURE)) {
      own++;
      EXPECT_EQ(d.from, segment::host_addr());
      EXPECT_EQ(d.len, sizeof(host_request));
    } else {
      replies.push_back(d);
    }
  }
  EXPECT_EQ(own, 1);
  ASSERT_EQ(replies.size(), 2u);
  if (replies[0].from > replies[1].from) std::swap(replies[0], replies[1]);

  const uint8_t* a = replies[0].bytes.data();
  EXPECT_EQ(replies[0].from, seg.device_addr(0));
  EXPECT_EQ(replies[0].port, LOADER_PORT);
  EXPECT_EQ(replies[0].len, (size_t)(HOST_DATA_HEADER + IDENT_PAYLOAD_SIZE));
  EXPECT_TRUE(signature_is(a, "GXonTaq_"));
  EXPECT_EQ(a[12] | a[13] << 8, RSP_OK);
  EXPECT_EQ(0, memcmp(a + 14, "ALPHA\0\0\0\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(a[30], 12);
  const uint8_t mac_a[6] = {0x5A, 0x3C, 0x19, 0x11, 0x46, 0x02};
  EXPECT_EQ(0, memcmp(a + 31, mac_a, 6));

  const uint8_t* b = replies[1].bytes.data();
  EXPECT_EQ(replies[1].from, seg.device_addr(1));
  EXPECT_TRUE(signature_is(b, "WIBQE715"));
  EXPECT_EQ(0, memcmp(b + 14, "BETA-16-CHARS-XY", 16));
  EXPECT_EQ(b[30], 37);
  const uint8_t mac_b[6] = {0x00, 0x11, 0x00, 0x22, 0x00, 0x33};
  EXPECT_EQ(0, memcmp(b + 31, mac_b, 6));

  for (int k = 0; k < 2; k++) {
    auto log = seg.requests(k);
    ASSERT_EQ(log.size(), 1u) << "device " << k;
    EXPECT_EQ(log[0].from, "192.0.2.1:48900");
    EXPECT_EQ(log[0].len, 10);
    EXPECT_EQ(log[0].flags, REQ_IDENTIFY);
    EXPECT_EQ(log[0].page, -1);
    EXPECT_EQ(log[0].outcome, "answered");
  }
  ASSERT_TRUE(seg.leave_host());
  EXPECT_EQ(own_netns(), origin);
}

TEST(Segment, UnicastIdentifyReachesOneDevice) {
  segment seg(2);
  START_SEGMENT_OR_SKIP(seg);
  devtest::host_scope in_host(seg);
  ASSERT_TRUE(in_host.ok()) << seg.error();
  host_link link;
  ASSERT_TRUE(link.ok());
  datagram d;
  ASSERT_EQ(link.ask(seg.device_addr(1), REQ_IDENTIFY, &d), RSP_OK);
  EXPECT_EQ(d.from, seg.device_addr(1));
  EXPECT_EQ(0, memcmp(d.reply().data, "SIM1", 5));
  EXPECT_TRUE(seg.requests(0).empty());
  EXPECT_EQ(seg.requests(1).size(), 1u);
}

TEST(Segment, TeardownRemovesNamespacesProcessesAndState) {
  const ino_t origin = own_netns();
  segment seg(2);
  START_SEGMENT_OR_SKIP(seg);
  std::vector<std::string> names = {seg.bridge_netns(), seg.host_netns(), seg.device_netns(0),
                                    seg.device_netns(1)};
  for (const auto& n : names) EXPECT_TRUE(netns_exists(n)) << n;
  const pid_t p0 = seg.device_pid(0), p1 = seg.device_pid(1);
  const std::string dir = seg.state_dir(0);
  ASSERT_TRUE(seg.enter_host());

  seg.teardown();
  EXPECT_EQ(own_netns(), origin);
  for (const auto& n : names) EXPECT_FALSE(netns_exists(n)) << n;
  EXPECT_NE(kill(p0, 0), 0);
  EXPECT_NE(kill(p1, 0), 0);
  EXPECT_NE(access(dir.c_str(), F_OK), 0);
  seg.teardown();  // twice is harmless
}

TEST(Segment, BusyPortFailsTheSecondBind) {
  segment seg(1);
  START_SEGMENT_OR_SKIP(seg);
  devtest::host_scope in_host(seg);
  ASSERT_TRUE(in_host.ok());
  int first = plat::udp_open();
  int second = plat::udp_open();
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  EXPECT_TRUE(plat::udp_bind(first, LOADER_PORT));
  EXPECT_FALSE(plat::udp_bind(second, LOADER_PORT));
  plat::udp_close(first);
  EXPECT_TRUE(plat::udp_bind(second, LOADER_PORT));
  plat::udp_close(second);
}

// A segment whose process is killed by a signal it can catch takes its
// namespaces and simulators along; one killed outright is swept up later.
TEST(Segment, KilledOwnerLeavesNothingBehind) {
  std::string why;
  if (!segment::supported(&why)) GTEST_SKIP() << why;
  for (int sig : {SIGTERM, SIGKILL}) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(fds[0]);
      segment seg(1);
      std::string line = seg.start() ? seg.name() + " " + std::to_string(seg.device_pid(0)) : "-";
      line += "\n";
      if (write(fds[1], line.data(), line.size()) < 0) _exit(1);
      for (;;) pause();
    }
    close(fds[1]);
    char buf[128] = {0};
    ssize_t n = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    ASSERT_GT(n, 1);
    ASSERT_NE(buf[0], '-') << "the child could not build its segment";
    std::string name(buf, strchr(buf, ' '));
    pid_t sim = (pid_t)atoi(strchr(buf, ' ') + 1);
    EXPECT_TRUE(netns_exists(name + "-d0"));

    kill(child, sig);
    int status;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), sig);
    if (sig == SIGKILL) {
      EXPECT_TRUE(netns_exists(name + "-d0"));
      EXPECT_GE(segment::sweep(), 3);
    }
    for (const char* part : {"-br", "-h", "-d0"})
      EXPECT_FALSE(netns_exists(name + part)) << name << part << " after signal " << sig;
    // The simulator was our grandchild's child: it dies with its parent,
    // though a moment later.
    bool gone = false;
    for (int i = 0; i < 200 && !gone; i++) {
      gone = process_gone(sim);
      if (!gone) usleep(10000);
    }
    EXPECT_TRUE(gone) << "simulator " << sim << " survived signal " << sig;
  }
}

// The simulator's rules as the device link depends on them.
TEST(Simulator, ProgrammingSessionWritesAndReadsBothMemories) {
  segment seg(1, {"--password", "secret", "--model", "R8MWK___"});
  START_SEGMENT_OR_SKIP(seg);
  devtest::host_scope in_host(seg);
  host_link link;
  ASSERT_TRUE(link.ok());
  const uint32_t dev = seg.device_addr(0);
  uint8_t page[512], other[512];
  for (int i = 0; i < 512; i++) {
    page[i] = (uint8_t)(i * 7 + 1);
    other[i] = (uint8_t)(255 - i);
  }

  // Nothing is written before a password and programming mode.
  EXPECT_EQ(link.ask_data(dev, REQ_WRITE_PAGE, 3, page, 512, 526), 0);
  EXPECT_EQ(link.ask(dev, REQ_ENTER_PROGRAMM), 0);
  datagram d;
  ASSERT_EQ(link.ask_password(dev, "wrong___________", &d), RSP_BAD_PASSWORD);
  EXPECT_TRUE(signature_is(d.bytes.data(), "R8MWK___"));
  EXPECT_EQ(link.ask_password(dev, PASSWORD), RSP_OK);
  EXPECT_EQ(link.ask_data(dev, REQ_WRITE_PAGE, 3, page, 512, 526), 0);
  EXPECT_EQ(link.ask(dev, REQ_ENTER_PROGRAMM), RSP_ENTER_PROGRAMM);

  EXPECT_EQ(link.ask_data(dev, REQ_WRITE_PAGE, 3, page, 512, 526), RSP_OK);
  EXPECT_EQ(link.ask_data(dev, REQ_WRITE_PAGE | REQ_SP, 255, other, 512, 526), RSP_OK);
  // The last page ends at the memory's end; the one after it does not exist.
  EXPECT_EQ(link.ask_data(dev, REQ_WRITE_PAGE, 256, page, 512, 526), 0);
  // A page shorter than the page size is not taken.
  EXPECT_EQ(link.ask_data(dev, REQ_WRITE_PAGE, 4, page, 256, 270), 0);

  ASSERT_EQ(link.ask_data(dev, REQ_READ_PAGE, 3, nullptr, 0, 14, &d), RSP_PAGE);
  EXPECT_EQ(d.len, 526u);
  EXPECT_EQ(0, memcmp(d.reply().data, page, 512));
  ASSERT_EQ(link.ask_data(dev, REQ_READ_PAGE | REQ_SP, 255, nullptr, 0, 14, &d), RSP_PAGE);
  EXPECT_EQ(0, memcmp(d.reply().data, other, 512));

  auto mem = seg.memory(0), sp = seg.sp_memory(0);
  ASSERT_EQ(mem.size(), 131072u);
  ASSERT_EQ(sp.size(), 131072u);
  EXPECT_EQ(0, memcmp(mem.data() + 3 * 512, page, 512));
  EXPECT_EQ(0, memcmp(sp.data() + 255 * 512, other, 512));
  EXPECT_EQ(mem[3 * 512 - 1], 0xFF);
  EXPECT_EQ(mem[4 * 512], 0xFF);
  EXPECT_EQ(sp[3 * 512], 0xFF);
  EXPECT_EQ(mem[255 * 512], 0xFF);

  const uint8_t mac[6] = {0x5A, 0x3C, 0x19, 0x11, 0x46, 0x03};
  EXPECT_EQ(link.ask_data(dev, REQ_SET_MAC, 0, mac, 6, SET_MAC_REQUEST_SIZE), RSP_OK);
  ASSERT_EQ(link.ask(dev, REQ_IDENTIFY, &d), RSP_OK);
  EXPECT_EQ(0, memcmp(d.reply().data + IDENT_MAC_OFFSET, mac, 6));

  EXPECT_EQ(link.ask(dev, REQ_EXIT_PROGRAMM), RSP_EXIT_PROGRAMM);
  EXPECT_EQ(link.ask(dev, REQ_EXIT_PROGRAMM), RSP_EXIT_PROGRAMM);
  EXPECT_EQ(link.ask_data(dev, REQ_READ_PAGE, 3, nullptr, 0, 14), 0);

  auto log = seg.requests(0);
  auto macs = with_flags(log, REQ_SET_MAC);
  ASSERT_EQ(macs.size(), 1u);
  EXPECT_EQ(macs[0].mac, "5A:3C:19:11:46:03");
  EXPECT_EQ(macs[0].len, 20);
  auto sp_writes = with_flags(log, REQ_WRITE_PAGE | REQ_SP);
  ASSERT_EQ(sp_writes.size(), 1u);
  EXPECT_EQ(sp_writes[0].page, 255);
  EXPECT_EQ(sp_writes[0].len, 526);

  // The simulator ends cleanly on SIGTERM, and its memories outlive it.
  EXPECT_TRUE(seg.stop_device(0)) << seg.device_output(0);
  EXPECT_FALSE(seg.device_running(0));
  ASSERT_TRUE(seg.start_device(0, {"--password", "secret"})) << seg.error();
  EXPECT_EQ(link.ask_password(dev, PASSWORD), RSP_OK);
  EXPECT_EQ(link.ask(dev, REQ_ENTER_PROGRAMM), RSP_ENTER_PROGRAMM);
  ASSERT_EQ(link.ask_data(dev, REQ_READ_PAGE, 3, nullptr, 0, 14, &d), RSP_PAGE);
  EXPECT_EQ(0, memcmp(d.reply().data, page, 512));
}

TEST(Simulator, PageSizeFollowsTheModelUnlessForced) {
  segment seg({{"--model", "WIBQE715"}, {"--model", "HYFRO529", "--page-size", "512"}});
  START_SEGMENT_OR_SKIP(seg);
  devtest::host_scope in_host(seg);
  host_link link;
  uint8_t page[512];
  memset(page, 0x5A, sizeof page);
  for (int k = 0; k < 2; k++) {
    const uint32_t dev = seg.device_addr(k);
    ASSERT_EQ(link.ask_password(dev, "________________"), RSP_OK);
    ASSERT_EQ(link.ask(dev, REQ_ENTER_PROGRAMM), RSP_ENTER_PROGRAMM);
    EXPECT_EQ(link.ask_data(dev, REQ_WRITE_PAGE, 1, page, 256, 270), k == 0 ? RSP_OK : 0);
    datagram d;
    ASSERT_EQ(link.ask_data(dev, REQ_READ_PAGE, 1, nullptr, 0, 14, &d), RSP_PAGE);
    EXPECT_EQ(d.len, k == 0 ? 270u : 526u);
  }
  auto mem = seg.memory(0);
  ASSERT_EQ(mem.size(), 131072u);
  EXPECT_EQ(mem[255], 0xFF);
  EXPECT_EQ(mem[256], 0x5A);
  EXPECT_EQ(mem[511], 0x5A);
  EXPECT_EQ(mem[512], 0xFF);
}

TEST(Simulator, FaultKnobs) {
  segment seg({{"--twice", "--corrupt-reads", "1", "--password-signature", "Y7KE____",
                "--foreign-mac-signature"},
               {"--never-enter", "--refuse-mac"}});
  START_SEGMENT_OR_SKIP(seg);
  devtest::host_scope in_host(seg);
  host_link link;
  const uint32_t a = seg.device_addr(0), b = seg.device_addr(1);
  const char* pass = "________________";
  uint8_t page[512];
  memset(page, 0x11, sizeof page);

  // Device a: every answer twice, the password answer and the MAC answer
  // signed with a signature outside the model table.
  ASSERT_TRUE(link.send_request(a, REQ_IDENTIFY));
  EXPECT_EQ(link.replies().size(), 2u);
  ASSERT_TRUE(link.send_data(a, REQ_PASSWORD, 0, pass, 16, 526));
  auto all = link.collect();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_TRUE(signature_is(all[0].bytes.data(), "Y7KE____"));
  ASSERT_TRUE(link.send_request(a, REQ_ENTER_PROGRAMM));
  ASSERT_EQ(link.replies().size(), 2u);
  ASSERT_TRUE(link.send_data(a, REQ_WRITE_PAGE, 0, page, 512, 526));
  ASSERT_EQ(link.replies().size(), 2u);
  // The first read-back is corrupted in its last byte, the next is not.
  ASSERT_TRUE(link.send_data(a, REQ_READ_PAGE, 0, nullptr, 0, 14));
  auto r = link.replies();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].reply().data[511], 0x11 ^ 0xFF);
  EXPECT_EQ(0, memcmp(r[0].reply().data, page, 511));
  ASSERT_TRUE(link.send_data(a, REQ_READ_PAGE, 0, nullptr, 0, 14));
  r = link.replies();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(0, memcmp(r[0].reply().data, page, 512));
  const uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
  ASSERT_TRUE(link.send_data(a, REQ_SET_MAC, 0, mac, 6, 20));
  all = link.collect();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_TRUE(signature_is(all[0].bytes.data(), "Y7KE____"));
  EXPECT_EQ(all[0].reply().flags, RSP_OK);

  // Device b: the password is taken, programming mode never confirmed, the
  // MAC refused.
  EXPECT_EQ(link.ask_password(b, pass), RSP_OK);
  EXPECT_EQ(link.ask(b, REQ_ENTER_PROGRAMM), RSP_OK);
  EXPECT_EQ(link.ask_data(b, REQ_SET_MAC, 0, mac, 6, 20), 0);
  datagram d;
  ASSERT_EQ(link.ask(b, REQ_IDENTIFY, &d), RSP_OK);
  const uint8_t unchanged[6] = {0x02, 0x00, 0xC0, 0x00, 0x02, 0x0B};
  EXPECT_EQ(0, memcmp(d.reply().data + IDENT_MAC_OFFSET, unchanged, 6));
}

TEST(Simulator, ShortReadBacksCutAndDuplicatedAnswers) {
  segment seg({{"--model", "WIBQE715", "--short-reads", "1"},
               {"--cut-replies", "13"},
               {"--duplicate", "50", "--seed", "3"}});
  START_SEGMENT_OR_SKIP(seg);
  devtest::host_scope in_host(seg);
  host_link link;
  const char* pass = "________________";
  uint8_t page[256];
  memset(page, 0x33, sizeof page);

  // The first read-back holds half the page, the next the whole of it.
  const uint32_t a = seg.device_addr(0);
  ASSERT_EQ(link.ask_password(a, pass), RSP_OK);
  ASSERT_EQ(link.ask(a, REQ_ENTER_PROGRAMM), RSP_ENTER_PROGRAMM);
  ASSERT_EQ(link.ask_data(a, REQ_WRITE_PAGE, 0, page, 256, 270), RSP_OK);
  datagram d;
  ASSERT_EQ(link.ask_data(a, REQ_READ_PAGE, 0, nullptr, 0, 14, &d), RSP_PAGE);
  EXPECT_EQ(d.len, 14u + 128);
  EXPECT_EQ(0, memcmp(d.reply().data, page, 128));
  ASSERT_EQ(link.ask_data(a, REQ_READ_PAGE, 0, nullptr, 0, 14, &d), RSP_PAGE);
  EXPECT_EQ(d.len, 270u);

  // Every answer cut inside the header: signature, packet and one flag byte.
  ASSERT_TRUE(link.send_request(seg.device_addr(1), REQ_IDENTIFY));
  auto all = link.collect();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].len, 13u);
  EXPECT_TRUE(signature_is(all[0].bytes.data(), "GXonTaq_"));
  EXPECT_EQ(all[0].bytes[12], RSP_OK);

  // Some answers come twice, the others once.
  int requests = 20, answers = 0;
  for (int i = 0; i < requests; i++) {
    ASSERT_TRUE(link.send_request(seg.device_addr(2), REQ_IDENTIFY));
    size_t n = link.replies().size();
    EXPECT_GE(n, 1u);
    EXPECT_LE(n, 2u);
    answers += (int)n;
  }
  EXPECT_GT(answers, requests);
  EXPECT_LT(answers, 2 * requests);
}

TEST(Simulator, DiesAfterPagesAndFallsSilentAfterEnter) {
  segment seg({{"--die-after-pages", "2"}, {"--silent-after-enter", "1.5"}});
  START_SEGMENT_OR_SKIP(seg);
  devtest::host_scope in_host(seg);
  host_link link;
  const uint32_t a = seg.device_addr(0), b = seg.device_addr(1);
  const char* pass = "________________";
  uint8_t page[512];
  memset(page, 0x22, sizeof page);

  ASSERT_EQ(link.ask_password(a, pass), RSP_OK);
  ASSERT_EQ(link.ask(a, REQ_ENTER_PROGRAMM), RSP_ENTER_PROGRAMM);
  EXPECT_EQ(link.ask_data(a, REQ_WRITE_PAGE, 0, page, 512, 526), RSP_OK);
  EXPECT_EQ(link.ask_data(a, REQ_WRITE_PAGE, 1, page, 512, 526), RSP_OK);
  EXPECT_EQ(link.ask_data(a, REQ_WRITE_PAGE, 2, page, 512, 526), -1);
  EXPECT_EQ(link.ask(a, REQ_IDENTIFY), -1);
  auto log = seg.requests(0);
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2].outcome, "died");
  EXPECT_EQ(log.back().outcome, "dead");
  auto mem = seg.memory(0);
  ASSERT_EQ(mem.size(), 131072u);
  EXPECT_EQ(mem[2 * 512], 0xFF);

  // Polled every 100 ms, as the tool does, to see when the silence ends.
  link.set_first_wait(100);
  ASSERT_EQ(link.ask_password(b, pass), RSP_OK);
  ASSERT_EQ(link.ask(b, REQ_ENTER_PROGRAMM), RSP_ENTER_PROGRAMM);
  auto entered = std::chrono::steady_clock::now();
  EXPECT_EQ(link.ask(b, REQ_IDENTIFY), -1);
  int answered_after_ms = -1;
  for (int i = 0; i < 40 && answered_after_ms < 0; i++)
    if (link.ask(b, REQ_IDENTIFY) == RSP_OK)
      answered_after_ms = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - entered)
                              .count();
  EXPECT_GE(answered_after_ms, 1400);
  EXPECT_LE(answered_after_ms, 4000);
  auto identifies = with_flags(seg.requests(1), REQ_IDENTIFY);
  ASSERT_FALSE(identifies.empty());
  EXPECT_EQ(identifies[0].outcome, "silent");
}

TEST(Simulator, DropsTheSameShareForTheSameSeed) {
  segment seg({{"--drop", "50", "--seed", "7"}, {"--drop", "50", "--seed", "7"}});
  START_SEGMENT_OR_SKIP(seg);
  devtest::host_scope in_host(seg);
  host_link link(300);
  std::string pattern[2];
  for (int i = 0; i < 12; i++)
    for (int k = 0; k < 2; k++)
      pattern[k] += link.ask(seg.device_addr(k), REQ_IDENTIFY) == RSP_OK ? '1' : '0';
  EXPECT_EQ(pattern[0], pattern[1]);
  int answered = 0;
  for (char c : pattern[0]) answered += c == '1';
  EXPECT_GT(answered, 0);
  EXPECT_LT(answered, 12);
  int dropped = 0;
  for (const auto& e : seg.requests(0)) dropped += e.outcome == "dropped";
  EXPECT_EQ(dropped, 12 - answered);
}
