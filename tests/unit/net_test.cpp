// Address parsing, the busy-port check, the wire layout of the loader records
// and the model table.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "netdvc/netdvc.h"
#include "netdvc/records.h"
#include "platform/net.h"

namespace {

uint32_t parsed(const char* text) {
  uint32_t a = 0x12345678;
  EXPECT_TRUE(plat::parse_ipv4(text, &a)) << '"' << text << '"';
  return a;
}

}  // namespace

TEST(ParseIpv4, AcceptsDottedQuads) {
  EXPECT_EQ(parsed("192.0.2.1"), 0xC0000201u);
  EXPECT_EQ(parsed("0.0.0.0"), 0u);
  EXPECT_EQ(parsed("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(parsed("10.0.100.9"), 0x0A006409u);
  // Discovery hands back the address padded with blanks to 16 characters.
  EXPECT_EQ(parsed("192.0.2.10      "), 0xC000020Au);
  EXPECT_EQ(parsed("255.255.255.255 "), 0xFFFFFFFFu);
}

TEST(ParseIpv4, RefusesEverythingElseAndLeavesTheResult) {
  const char* bad[] = {"",         " ",           "1.2.3",       "1.2.3.4.5",  "256.1.1.1",
                       "1.2.3.256", "1.2.3.4x",    "1.2.3.4 x",   " 1.2.3.4",   "1..2.3",
                       "1.2.3.",    ".1.2.3",      "0x1.2.3.4",   "01.2.3.4",   "1.2.3.010",
                       "1.2.3.0004", "-1.2.3.4",   "+1.2.3.4",    "1.2.3.4\t",  "1.2.3.4\n",
                       "1,2,3,4",   "1.2.3.4/24", "localhost",   "3232235777", "1.2.3.1000"};
  for (const char* text : bad) {
    uint32_t a = 0x12345678;
    EXPECT_FALSE(plat::parse_ipv4(text, &a)) << '"' << text << '"';
    EXPECT_EQ(a, 0x12345678u) << '"' << text << '"';
  }
  uint32_t a = 0;
  EXPECT_FALSE(plat::parse_ipv4(nullptr, &a));
}

TEST(ParseIpv4, FormatRoundTrips) {
  char text[16];
  for (uint32_t addr : {0u, 0xC0000201u, 0xFFFFFFFFu, 0x0A000001u}) {
    plat::format_ipv4(addr, text);
    EXPECT_EQ(parsed(text), addr) << text;
  }
  plat::format_ipv4(0xFFFFFFFFu, text);
  EXPECT_STREQ(text, "255.255.255.255");
}

TEST(UdpSocket, ReceiveTimesOut) {
  int s = plat::udp_open();
  ASSERT_GE(s, 0);
  ASSERT_TRUE(plat::udp_bind(s, 0));
  ASSERT_TRUE(plat::udp_set_timeout(s, 60));
  EXPECT_TRUE(plat::udp_set_broadcast(s));
  uint8_t buf[16];
  uint32_t from = 7;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(plat::udp_recv(s, buf, sizeof buf, &from, nullptr), -1);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(ms, 50);
  EXPECT_LT(ms, 1000);
  EXPECT_EQ(from, 7u);
  plat::udp_close(s);
}

// Another program holding the port (here a socket on the loopback address,
// on a port the system picked) makes the port busy for the wildcard bind
// every device call needs; once it lets go, the port is free again.
TEST(UdpSocket, LoaderPortBusyExactlyWhileAnotherSocketHoldsIt) {
  int holder = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, (const sockaddr*)&sa, sizeof sa), 0);
  socklen_t len = sizeof sa;
  ASSERT_EQ(getsockname(holder, (sockaddr*)&sa, &len), 0);
  const uint16_t port = ntohs(sa.sin_port);
  EXPECT_TRUE(loader_port_busy(port));
  close(holder);
  EXPECT_FALSE(loader_port_busy(port));
}

TEST(Records, StoreMacRequestIsTwentyBytesLittleEndian) {
  host_data r;
  memset(&r, 0, sizeof r);
  memcpy(r.signature, LOADER_SIGNATURE, 8);
  r.flags = REQ_SET_MAC;
  const uint8_t mac[6] = {0x5A, 0x3C, 0x19, 0x11, 0x46, 0x02};
  memcpy(r.data, mac, 6);
  const uint8_t expect[20] = {'K', 'v', 'e', 'l', 'L', 'o', 'a', 'd', 0x08, 0x00,
                              0,   0,   0,   0,   0x5A, 0x3C, 0x19, 0x11, 0x46, 0x02};
  ASSERT_EQ(SET_MAC_REQUEST_SIZE, 20);
  EXPECT_EQ(0, memcmp(&r, expect, SET_MAC_REQUEST_SIZE));
}

TEST(Records, PasswordRequestCarriesSixteenBytesAtOffset14) {
  host_data r;
  memset(&r, 0, sizeof r);
  memcpy(r.signature, LOADER_SIGNATURE, 8);
  r.flags = REQ_PASSWORD;
  const char pass[] = "abc_____________XYZ";  // only the first 16 go out
  memcpy(r.data, pass, PASSWORD_SIZE);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&r);
  ASSERT_EQ(sizeof r, 526u);
  EXPECT_EQ(b[8], 0x02);
  EXPECT_EQ(b[9], 0x00);
  EXPECT_EQ(0, memcmp(b + 10, "\0\0\0\0", 4));
  EXPECT_EQ(0, memcmp(b + 14, pass, 16));
  for (int i = 30; i < 526; i++) ASSERT_EQ(b[i], 0) << i;
}

TEST(Records, PageRequestAndReplyHeaders) {
  host_data w;
  memset(&w, 0, sizeof w);
  w.flags = REQ_WRITE_PAGE | REQ_SP;
  w.page_number = 0x0102A0FF;
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&w);
  EXPECT_EQ(b[8], 0x10);
  EXPECT_EQ(b[9], 0x20);
  EXPECT_EQ(b[10], 0xFF);
  EXPECT_EQ(b[11], 0xA0);
  EXPECT_EQ(b[12], 0x02);
  EXPECT_EQ(b[13], 0x01);

  // The reply puts its flags behind a 4-byte packet counter.
  uint8_t raw[526] = {0};
  memcpy(raw, "WIBQE715", 8);
  raw[8] = 0x99;
  raw[12] = 0x20;
  raw[13] = 0x80;
  raw[14] = 0xAB;
  device_respond_t r;
  memcpy(&r, raw, sizeof r);
  EXPECT_EQ(r.packet, 0x99u);
  EXPECT_EQ(r.flags, RSP_PAGE | RSP_ENTER_PROGRAMM);
  EXPECT_EQ(r.data[0], 0xAB);
  EXPECT_EQ(sizeof(host_request), 10u);
}

TEST(Records, ModelTable) {
  const char* models[] = {"GXonTaq_", "R8MWK___", "D2HZB___", "F6JQC___", "OUVM9___", "ZOTA_UV_",
                          "WIBQE715", "HYFRO529", "N3TEJ8Y_", "C5XIG2W_", "L9POD6S_", "JAVU____"};
  ASSERT_EQ(MODEL_COUNT, 12);
  for (int i = 0; i < MODEL_COUNT; i++) {
    EXPECT_EQ(0, memcmp(MODEL_SIGNATURES[i], models[i], 8)) << i;
    EXPECT_TRUE(is_model_signature(models[i])) << models[i];
  }
  // The host's own signature, the thirteenth one and near misses are no model.
  for (const char* other : {"KvelLoad", "Y7KE____", "gxontaq_", "GXonTaq ", "JAVU___\0",
                            "\0\0\0\0\0\0\0\0"})
    EXPECT_FALSE(is_model_signature(other)) << other;
  // Only 8 bytes count: what follows them does not matter.
  EXPECT_TRUE(is_model_signature("JAVU____trailing"));
  EXPECT_TRUE(signature_is("Y7KE____", EXTRA_PASSWORD_SIGNATURE));
}
