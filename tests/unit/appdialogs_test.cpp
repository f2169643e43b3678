// The input dialogs driven through the real pump on the dummy driver, the
// conversions they apply, and the MAC series arithmetic.
//
// A dialog runs its own loop, so the input is handed in from inside: a
// script element made before the dialog listens to every window and sees
// the first field's code before the field does; it then queues real key
// events into the dialog's window, which the line editor and the dialog
// read in order.
#include <cstring>
#include <functional>
#include <string>

#include "app/dialogs.h"
#include "workflow/series.h"
#include "tests/unit/toolkit.h"

namespace {

class script : public tobject {
 public:
  std::function<void(void*)> act;
  bool done = false;
  explicit script(std::function<void(void*)> f) : act(std::move(f)) {
    ALL_MESSAGE = true;
    set_object(this);
  }
  ~script() override { reset_object(); }
  int message(int code) override {
    if (code == 1001 && !done) {
      done = true;
      act(THWND);
    }
    return 0;
  }
};

void tap(void* hwnd, int vk) {
  plat::inject_key(hwnd, vk, true);
  plat::inject_key(hwnd, vk, false);
}

// Text, then keys, in order: a string's characters are typed, a number is
// a virtual key.
struct step {
  const char* text;
  int vk;
  step(const char* t) : text(t), vk(0) {}
  step(int k) : text(nullptr), vk(k) {}
};

std::function<void(void*)> typing(std::vector<step> steps) {
  return [steps](void* hwnd) {
    for (const step& s : steps) {
      if (s.text) plat::inject_text(hwnd, s.text);
      else tap(hwnd, s.vk);
    }
  };
}

class AppDialogs : public ::testing::Test {
 protected:
  void SetUp() override { register_test_class(); }
};

TEST_F(AppDialogs, PasswordEnterConfirmsTabStaysEscOnlyEndsTheEdit) {
  twindow main_window(399, 160, "Veskor");
  char pass[100];
  {
    // Enter while typing confirms at once.
    script s(typing({"abc", VK_RETURN}));
    memset(pass, 'x', sizeof pass);
    EXPECT_EQ(get_password(pass), 0);
    EXPECT_STREQ(pass, "abc_____________");
  }
  {
    // Tab re-enters the same field with everything selected: what is typed
    // next replaces it.
    script s(typing({"ab", VK_TAB, "Z", VK_RETURN}));
    EXPECT_EQ(get_password(pass), 0);
    EXPECT_STREQ(pass, "Z_______________");
  }
  {
    // The first Esc only ends the edit, the second cancels; the text is
    // normalised all the same.
    script s(typing({"a b", VK_ESCAPE, VK_ESCAPE}));
    EXPECT_EQ(get_password(pass), -2);
    EXPECT_STREQ(pass, "a b_____________");
  }
  {
    // Twenty characters: the field holds sixteen, the last one typed in the
    // last place.
    script s(typing({"0123456789ABCDEFGHIJ", VK_RETURN}));
    EXPECT_EQ(get_password(pass), 0);
    EXPECT_EQ(strlen(pass), 16u);
    EXPECT_STREQ(pass, "0123456789ABCDEJ");
  }
}

TEST_F(AppDialogs, AddressComesBackWithoutTrailingBlanksAndTheCloseBoxCancels) {
  twindow main_window(399, 160, "Veskor");
  char ip[100];
  {
    script s(typing({"192.0.2.10", VK_RETURN}));
    EXPECT_EQ(get_ip_addr(ip), 0);
    EXPECT_STREQ(ip, "192.0.2.10");
  }
  {
    // Esc ends the edit; the close box then cancels. What was typed is
    // returned anyway.
    script s([](void* hwnd) {
      plat::inject_text(hwnd, "10.1.1.1  ");
      tap(hwnd, VK_ESCAPE);
      plat::inject_close(hwnd);
    });
    EXPECT_EQ(get_ip_addr(ip), -2);
    EXPECT_STREQ(ip, "10.1.1.1");
  }
}

TEST_F(AppDialogs, MacFieldsCycleWithTabAndConvertOnlyWhenConfirmed) {
  twindow main_window(399, 160, "Veskor");
  const unsigned char start[6] = {0x5A, 0x3C, 0x19, 0x11, 0x46, 0x02};
  unsigned char mac[6];
  {
    // Confirmed unchanged: the same six bytes.
    memcpy(mac, start, 6);
    std::string shown;
    script s([&](void* hwnd) {
      for (_object* o = _OBJECT; o; o = o->next)
        if (ttext* t = dynamic_cast<ttext*>(o->object))
          if (t->hwnd == hwnd && strlen(t->TXT) == 2) shown += std::string(t->TXT) + ".";
      tap(hwnd, VK_RETURN);
    });
    EXPECT_EQ(get_mac_addr(mac), 0);
    EXPECT_EQ(shown, "5A.3C.19.11.46.02.");
    EXPECT_EQ(memcmp(mac, start, 6), 0);
  }
  {
    // The first field is edited from its start, every later one with its
    // text selected; Tab in the sixth goes back to the first.
    memcpy(mac, start, 6);
    script s(typing({"4a", VK_TAB, "5", VK_TAB, "G1", VK_TAB, VK_DELETE, VK_TAB, VK_TAB, VK_TAB, "7", VK_RETURN}));
    EXPECT_EQ(get_mac_addr(mac), 0);
    const unsigned char want[6] = {0x70, 0x50, 0x01, 0x00, 0x46, 0x02};
    EXPECT_EQ(memcmp(mac, want, 6), 0);
  }
  {
    // Cancelled: nothing changes, whatever was typed.
    memcpy(mac, start, 6);
    script s(typing({"FF", VK_TAB, "EE", VK_ESCAPE, VK_ESCAPE}));
    EXPECT_EQ(get_mac_addr(mac), -2);
    EXPECT_EQ(memcmp(mac, start, 6), 0);
  }
}

TEST(AppConversions, PasswordNormalisationAndMacFields) {
  char p[100];
  strcpy(p, "                ");
  normalise_password(p);
  EXPECT_STREQ(p, "________________");
  strcpy(p, "ab cd\r\n  ");
  normalise_password(p);
  EXPECT_STREQ(p, "ab cd___________");
  strcpy(p, "0123456789abcdefXYZW");
  normalise_password(p);
  EXPECT_STREQ(p, "0123456789abcdef");
  strcpy(p, "");
  normalise_password(p);
  EXPECT_STREQ(p, "________________");

  EXPECT_EQ(mac_field_value("4a"), 0x4A);
  EXPECT_EQ(mac_field_value("5"), 0x50);
  EXPECT_EQ(mac_field_value("5 "), 0x50);
  EXPECT_EQ(mac_field_value("G1"), 0x01);
  EXPECT_EQ(mac_field_value(""), 0x00);
  EXPECT_EQ(mac_field_value("123"), 0x12);
  EXPECT_EQ(mac_field_value("fF"), 0xFF);
}

std::string hex(const unsigned char* m) {
  char s[20];
  snprintf(s, sizeof s, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
  return s;
}

std::string next_after(std::initializer_list<unsigned char> stored) {
  std::vector<unsigned char> v(stored);
  unsigned char m[6];
  mac_series_last(v.empty() ? nullptr : v.data(), (unsigned)v.size(), m);
  mac_series_advance(m);
  return hex(m);
}

TEST(MacSeries, StartsAtTheDefaultCarriesAt250AndKeepsThePrefix) {
  EXPECT_EQ(next_after({}), "5A:3C:19:11:46:02");
  EXPECT_EQ(next_after({0x5A, 0x3C, 0x19, 0x11, 0x46, 0x02}), "5A:3C:19:11:46:03");
  EXPECT_EQ(next_after({0x5A, 0x3C, 0x19, 0x11, 0x46, 0xF9}), "5A:3C:19:11:46:FA");
  EXPECT_EQ(next_after({0x5A, 0x3C, 0x19, 0x11, 0x46, 0xFA}), "5A:3C:19:11:47:00");
  EXPECT_EQ(next_after({0x5A, 0x3C, 0x19, 0x11, 0xFA, 0xFA}), "5A:3C:19:12:00:00");
  EXPECT_EQ(next_after({0x5A, 0x3C, 0x19, 0xFA, 0xFA, 0xFA}), "5A:3C:19:00:00:00");
  // A byte past 250, which only a hand-edited setting holds, carries too.
  EXPECT_EQ(next_after({0x5A, 0x3C, 0x19, 0x11, 0x46, 0xFF}), "5A:3C:19:11:47:00");
  // Another prefix, or a value that is no six bytes, restarts the series.
  EXPECT_EQ(next_after({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}), "5A:3C:19:11:46:02");
  EXPECT_EQ(next_after({0x5A, 0x3C, 0x19, 0x11, 0x46}), "5A:3C:19:11:46:02");
  EXPECT_EQ(next_after({0x5A, 0x3C, 0x19, 0x11, 0x46, 0x07, 0x00}), "5A:3C:19:11:46:02");

  char text[64];
  const unsigned char m[6] = {0x5A, 0x3C, 0x19, 0x11, 0x46, 0x0B};
  mac_changed_text(text, sizeof text, m);
  EXPECT_STREQ(text, "MAC изменен на 5A.3C.19.11.46.0B");
}

}  // namespace
