// The grid view and its scroll bars, driven through the real pump on the
// dummy video driver: layout, codes, marks, scrolling, resizing, cells.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "tests/unit/toolkit.h"

namespace {

class Grid : public ::testing::Test {
 protected:
  std::unique_ptr<_mbase> base;
  std::unique_ptr<tdbquery> query;

  void SetUp() override { register_test_class(); }
  void TearDown() override {
    query.reset();
    base.reset();
  }

  // The device list: name, address, MAC text, version, MAC bytes.
  tdbquery& devices(int n) {
    query.reset();
    base = std::make_unique<_mbase>("dhcpdev", "s16 s16 s48 c s6", 100, 0);
    query = std::make_unique<tdbquery>(base.get());
    for (int i = 0; i < n; i++) add_device(i);
    return *query;
  }
  void add_device(int i) {
    char name[32], ip[32];
    snprintf(name, sizeof name, "Device %d", i);
    snprintf(ip, sizeof ip, "192.0.2.%d", 10 + i);
    ASSERT_GE(query->append(), 0);
    query->set_string(name, 0);
    query->set_string(ip, 1);
    query->set_string("5A3C19114602", 2);
  }

  static uint32_t px(twindow& w, int x, int y) { return plat::get_pixel(w.hwnd, x, y); }
  static int count_colour(twindow& w, int x, int y, int wd, int ht, uint32_t c) {
    int n = 0;
    for (int j = 0; j < ht; j++)
      for (int i = 0; i < wd; i++) n += px(w, x + i, y + j) == c;
    return n;
  }

  // Mouse codes act when they are read: each injected event is pumped until
  // its own code, or the code a control turned it into, comes out.
  static std::vector<int> event(twindow& w, int x, int y, int button, bool down, int expect) {
    if (button)
      plat::inject_mouse_button(w.hwnd, x, y, button, down);
    else
      plat::inject_mouse_move(w.hwnd, x, y);
    std::vector<int> seen;
    EXPECT_TRUE(pump_until(expect, 1000, &seen)) << "waiting for " << expect << " at " << x << "," << y;
    return without_noise(seen);
  }
  static std::vector<int> click(twindow& w, int x, int y, int on_press, int on_release) {
    event(w, x, y, 0, false, CMD_MOUSE_MOVE);
    std::vector<int> a = event(w, x, y, 1, true, on_press);
    std::vector<int> b = event(w, x, y, 1, false, on_release);
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
  static void key(twindow& w, int vk, bool down) {
    plat::inject_key(w.hwnd, vk, down);
    pump_until(CMD_TICK, 1000);
  }

  std::vector<int> marks() {
    std::vector<int> m;
    for (int i = 0; i < query->size(); i++)
      if (query->select(i)) m.push_back(i);
    return m;
  }
};

// The device chooser's geometry: client 435 x 200, grid at 3, 3, -4, -26,
// three columns of 135.
struct chooser {
  twindow w{435, 200, "Найдены устройства"};
  tdbgrid grid;
  explicit chooser(tdbquery& q) : grid(3, 3, -4, -26, &q, 3000) {
    grid.add("Имя устройства", 135, 0, -1);
    grid.add("IP Адрес", 135, 1, -1);
    grid.add("MAC Адрес", 135, 2, -1);
    pump_for(60);
  }
};

// Row r's cell band starts 18 pixels below the background's top.
int row_y(int r) { return 5 + 18 + r * 15 + 7; }

TEST_F(Grid, TenRowsFitAndAnEleventhBringsTheVerticalBarOnly) {
  tdbquery& q = devices(10);
  chooser c(q);
  tdbgrid& g = c.grid;
  EXPECT_EQ(g.BGR->x(), 5);
  EXPECT_EQ(g.BGR->y(), 5);
  EXPECT_EQ(g.BGR->len(), 425);
  EXPECT_EQ(g.BGR->down(), 168);
  EXPECT_FALSE(g.VSB->VISIBLE);
  EXPECT_FALSE(g.GSB->VISIBLE);
  EXPECT_FALSE(g.DBGR->VISIBLE);
  EXPECT_EQ(g.pos(), 0);
  EXPECT_TRUE(marks().empty()) << "the focus row starts unmarked";
  // Header buttons side by side on the background's top, 18 high.
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(g.HEADER->BUT[i]->x(), 5 + 135 * i);
    EXPECT_EQ(g.HEADER->BUT[i]->y(), 5);
    EXPECT_EQ(g.len_column(i), 135);
  }
  EXPECT_EQ(g.len_column(3), 0);
  // The tenth row is drawn (dark text, grey grid line under it), and the
  // place where the bar would be is background.
  EXPECT_GT(count_colour(c.w, 6, 5 + 18 + 9 * 15, 100, 14, cBLACK.COLOR), 10);
  EXPECT_EQ(px(c.w, 60, 5 + 9 * 15 + 32), cLGRAY.COLOR);
  EXPECT_EQ(px(c.w, 420, 100), cWHITE.COLOR);
  // The focus row is blue on white.
  EXPECT_GT(count_colour(c.w, 6, 23, 100, 14, cBLUE.COLOR), 10);

  add_device(10);
  g.update();
  pump_for(60);
  EXPECT_TRUE(g.VSB->VISIBLE);
  EXPECT_FALSE(g.GSB->VISIBLE) << "409 pixels still hold 3 x 135";
  EXPECT_FALSE(g.DBGR->VISIBLE);
  EXPECT_EQ(g.BGR->len(), 409);
  EXPECT_EQ(g.BGR->down(), 168);
  EXPECT_EQ(g.VSB->x(), 414);
  EXPECT_EQ(g.VSB->MAX, 2);
  EXPECT_EQ(g.VSB->STEP, 9);
  // With no horizontal bar the vertical one runs down to the bottom.
  EXPECT_EQ(g.VSB->BNX->y(), 5 + 168 - 16);
  EXPECT_EQ(g.VSB->SB->down(), 168 - 32);
  EXPECT_EQ(px(c.w, 420, 5), cWHITE.COLOR) << "the up arrow's raised frame";
  EXPECT_NE(px(c.w, 421, 100), cWHITE.COLOR);

  // The down arrow scrolls the view by one row; the grid reports it.
  std::vector<int> seen = click(c.w, 421, 5 + 168 - 8, 3000, CMD_MOUSE_LUP);
  EXPECT_EQ(g.UP_POS, 1);
  EXPECT_EQ(g.LAST_OPERATION, 0);
  EXPECT_EQ(g.pos(), 0) << "scrolling leaves the focus";
  EXPECT_FALSE(g.VSB->BNX->ACTIVATE) << "at the end the down arrow is off";
  EXPECT_TRUE(g.VSB->BPR->ACTIVATE);
  // Navigation moves the view back to show the focus row.
  EXPECT_TRUE(g.operator=(0));
  EXPECT_EQ(g.UP_POS, 0);
  if (const char* out = std::getenv("VESKOR_GRID_PNG")) {
    const char* bmp = "/tmp/veskor-grid.bmp";
    ASSERT_TRUE(plat::save_client(c.w.hwnd, bmp));
    EXPECT_EQ(std::system((std::string("convert ") + bmp + " " + out).c_str()), 0);
    std::remove(bmp);
  }

  EXPECT_FALSE(g.line_up());
  EXPECT_TRUE(g.line_dn());
  EXPECT_FALSE(g.line_dn());
  EXPECT_TRUE(g.page_up());
  EXPECT_TRUE(g.page_dn());
  EXPECT_EQ(g.UP_POS, 1);

  // Removing rows takes the bar away again and gives the width back.
  q.remove(10);
  g.update();
  pump_for(60);
  EXPECT_FALSE(g.VSB->VISIBLE);
  EXPECT_EQ(g.BGR->len(), 425);
  EXPECT_EQ(g.UP_POS, 0);
}

TEST_F(Grid, HeaderTitlesRowClicksAndTheEmptyGrid) {
  {
    tdbquery& empty = devices(0);
    chooser c(empty);
    EXPECT_EQ(c.grid.pos(), 0);
    // Below the header there is nothing to click and no mark to clear.
    EXPECT_EQ(click(c.w, 50, 60, CMD_MOUSE_LDOWN, CMD_MOUSE_LUP),
              (std::vector<int>{CMD_MOUSE_LDOWN, CMD_MOUSE_LUP}));
  }
  tdbquery& q = devices(4);
  chooser c(q);
  tdbgrid& g = c.grid;
  // Header buttons come after the grid: their codes go straight out.
  for (int i = 0; i < 3; i++) {
    std::vector<int> seen = click(c.w, 5 + 135 * i + 60, 13, CMD_MOUSE_LDOWN, 3001 + i);
    EXPECT_EQ(count_of(seen, 3001 + i), 1);
  }
  EXPECT_TRUE(marks().empty());

  EXPECT_EQ(click(c.w, 200, row_y(2), 3000, 3000), (std::vector<int>{3000, 3000}));
  EXPECT_EQ(g.pos(), 2);
  EXPECT_EQ(g.LAST_OPERATION, 8);
  EXPECT_EQ(g.SELECT_HEADER, 1);
  EXPECT_EQ(marks(), std::vector<int>{2});
  // Marked focus row: white on dark blue; the others black on white.
  EXPECT_GT(count_colour(c.w, 6, 5 + 18 + 2 * 15, 130, 14, cDBLUE.COLOR), 100);
  EXPECT_EQ(count_colour(c.w, 6, 5 + 18 + 1 * 15, 130, 14, cDBLUE.COLOR), 0);
  // A row below the last one clears the marks, then does nothing at all.
  EXPECT_EQ(click(c.w, 200, row_y(6), 3000, CMD_MOUSE_LUP), (std::vector<int>{3000, CMD_MOUSE_LUP}));
  EXPECT_EQ(g.LAST_OPERATION, 7);
  EXPECT_TRUE(marks().empty());
  EXPECT_EQ(click(c.w, 200, row_y(6), CMD_MOUSE_LDOWN, CMD_MOUSE_LUP),
            (std::vector<int>{CMD_MOUSE_LDOWN, CMD_MOUSE_LUP}));
  // The right button makes the row the focus and only mark too.
  event(c.w, 60, row_y(3), 3, true, 3000);
  event(c.w, 60, row_y(3), 3, false, CMD_MOUSE_RUP);
  EXPECT_EQ(g.LAST_OPERATION, 2);
  EXPECT_EQ(g.pos(), 3);
  EXPECT_EQ(marks(), std::vector<int>{3});
}

TEST_F(Grid, CtrlTogglesOneRowAndShiftMarksTheRowsBetween) {
  tdbquery& q = devices(9);
  chooser c(q);
  tdbgrid& g = c.grid;
  click(c.w, 60, row_y(1), 3000, 3000);
  EXPECT_EQ(marks(), std::vector<int>{1});

  key(c.w, VK_CONTROL, true);
  click(c.w, 60, row_y(4), 3000, 3000);
  EXPECT_EQ(marks(), (std::vector<int>{1, 4}));
  EXPECT_EQ(g.pos(), 4);
  click(c.w, 60, row_y(1), 3000, 3000);
  EXPECT_EQ(marks(), std::vector<int>{4}) << "a second Ctrl+click takes the mark away";
  EXPECT_EQ(g.pos(), 1);
  key(c.w, VK_CONTROL, false);

  key(c.w, VK_SHIFT, true);
  click(c.w, 60, row_y(7), 3000, 3000);
  EXPECT_EQ(marks(), (std::vector<int>{2, 3, 4, 5, 6, 7})) << "strictly between 1 and 7, then 7 itself";
  EXPECT_EQ(g.pos(), 7);
  // Shift held, the arrow keys' navigation keeps the marks and adds.
  EXPECT_TRUE(++g);
  EXPECT_EQ(marks(), (std::vector<int>{2, 3, 4, 5, 6, 7, 8}));
  EXPECT_FALSE(++g) << "the last row";
  key(c.w, VK_SHIFT, false);
  EXPECT_TRUE(--g);
  EXPECT_EQ(marks(), std::vector<int>{7}) << "a plain move leaves one mark";
  EXPECT_EQ(g.pos(), 7);

  // A plain click: the only mark again; right of the columns clears them.
  click(c.w, 60, row_y(0), 3000, 3000);
  EXPECT_EQ(marks(), std::vector<int>{0});
  EXPECT_TRUE(g.operator=(5));
  EXPECT_EQ(marks(), std::vector<int>{5});
  EXPECT_FALSE(g.operator=(9));
  click(c.w, 420, row_y(0), 3000, CMD_MOUSE_LUP);
  EXPECT_TRUE(marks().empty());
  EXPECT_EQ(g.LAST_OPERATION, 7);
}

TEST_F(Grid, ThumbLengthPositionAndTheArrowCodes) {
  twindow w(300, 200, "bars");
  int first = GL_ID;
  {
    tvsb v(10, 10, 132, 77);  // track 100
    tgsb h(40, 170, 132, 78);
    EXPECT_EQ(v.KEY_BASE, first);
    EXPECT_EQ(h.KEY_BASE, first + 2);
    EXPECT_EQ(GL_ID, first + 4);
    EXPECT_EQ(v.SB->y(), 26);
    EXPECT_EQ(v.SB->down(), 100);
    EXPECT_EQ(v.SBOX->down(), 100) << "MAX below 2: the thumb fills the track";

    v.max(10);
    EXPECT_EQ(v.SBOX->down(), 16) << "100 / 10 is raised to 16";
    EXPECT_EQ(v.SBOX->y(), 26);
    EXPECT_FALSE(v.BPR->ACTIVATE);
    EXPECT_TRUE(v.BNX->ACTIVATE);
    v = 9;
    EXPECT_EQ(v.SBOX->y() + v.SBOX->down(), 126) << "the last position ends at the track's end";
    EXPECT_TRUE(v.BPR->ACTIVATE);
    EXPECT_FALSE(v.BNX->ACTIVATE);
    v = 50;
    EXPECT_EQ(v.pos(), 9);
    v = -3;
    EXPECT_EQ(v.pos(), 0);
    EXPECT_FALSE(--v);
    pump_for(60);
    // The thumb is light grey over a lighter track, framed like a button.
    EXPECT_EQ(px(w, 17, 26), cWHITE.COLOR);
    EXPECT_EQ(px(w, 17, 33), cLGRAY.COLOR);
    EXPECT_EQ(px(w, 17, 60), cLLGRAY.COLOR);

    // The down arrow steps; a press in the track pages by STEP; dragging
    // the thumb to the bottom gives the last position.
    std::vector<int> seen = click(w, 17, 10 + 132 - 8, 77, CMD_MOUSE_LUP);
    EXPECT_EQ(v.pos(), 1);
    // Pressed where the paged thumb will cover it, so that no repeat can
    // follow however slowly the release comes.
    event(w, 17, 80, 0, false, CMD_MOUSE_MOVE);
    event(w, 17, 80, 1, true, 77);
    EXPECT_EQ(v.pos(), 5);
    EXPECT_EQ(v.SELECTED, 3u);
    event(w, 17, 80, 1, false, CMD_MOUSE_LUP);
    EXPECT_EQ(v.SELECTED, 0u);
    int thumb_mid = v.SBOX->y() + 8;
    event(w, 17, thumb_mid, 0, false, CMD_MOUSE_MOVE);
    event(w, 17, thumb_mid, 1, true, CMD_MOUSE_LDOWN);
    EXPECT_EQ(v.SELECTED, 1u);
    event(w, 17, 125, 0, false, 77);
    EXPECT_EQ(v.pos(), 9);
    event(w, 17, 125, 1, false, CMD_MOUSE_LUP);
    EXPECT_EQ(v.SELECTED, 0u);

    h.max(3);
    EXPECT_EQ(h.SB->x(), 56);
    EXPECT_EQ(h.SB->len(), 100);
    EXPECT_EQ(h.SBOX->len(), 33);
    h = 2;
    EXPECT_EQ(h.SBOX->x() + h.SBOX->len(), 156);
  }
  EXPECT_EQ(GL_ID, first) << "the codes are given back";
}

// Both bars take the same gestures along their own axis: a held press in
// the track pages and repeats, a thumb follows the pointer, and a release
// ends either. Only the vertical bar shows paging on its track.
TEST_F(Grid, BothBarsPageRepeatAndDragAlongTheirOwnAxis) {
  twindow w(300, 200, "bars");
  tvsb v(10, 10, 132, 77);   // track y 26 .. 126
  tgsb h(40, 170, 132, 78);  // track x 56 .. 156
  v.max(40);
  h.max(40);
  struct axis {
    tobject* bar;
    int* pos;
    tobject* thumb;
    int code;
    bool vertical;
    int start;
  };
  for (axis a : {axis{&v, &v.POS, v.SBOX, 77, true, 26}, axis{&h, &h.POS, h.SBOX, 78, false, 56}}) {
    SCOPED_TRACE(a.vertical ? "vertical" : "horizontal");
    auto at = [&](int along) { return a.vertical ? std::make_pair(17, along) : std::make_pair(along, 177); };
    auto [px_x, px_y] = at(a.start + 95);
    event(w, px_x, px_y, 0, false, CMD_MOUSE_MOVE);
    event(w, px_x, px_y, 1, true, a.code);
    EXPECT_EQ(*a.pos, 4) << "a press after the thumb pages by STEP";
    pump_for(30);
    EXPECT_EQ(px(w, px_x, px_y), a.vertical ? cBLACK.COLOR : cLLGRAY.COLOR);
    EXPECT_TRUE(pump_until(a.code, 2000)) << "the held press repeats";
    EXPECT_EQ(*a.pos, 8);
    event(w, px_x, px_y, 1, false, CMD_MOUSE_LUP);
    pump_for(30);
    EXPECT_EQ(px(w, px_x, px_y), cLLGRAY.COLOR) << "the track is light again";
    int after = *a.pos;
    pump_for(700);
    EXPECT_EQ(*a.pos, after) << "no repeat after the release";

    int mid = (a.vertical ? a.thumb->y() : a.thumb->x()) + 8;
    auto [mx, my] = at(mid);
    event(w, mx, my, 0, false, CMD_MOUSE_MOVE);
    event(w, mx, my, 1, true, CMD_MOUSE_LDOWN);
    auto [sx, sy] = at(a.start + 2);
    event(w, sx, sy, 0, false, a.code);
    EXPECT_EQ(*a.pos, 0) << "the thumb dragged to the track's start";
    event(w, sx, sy, 1, false, CMD_MOUSE_LUP);
    // A press elsewhere right after the release, with no move between,
    // drags nothing.
    event(w, 200, 40, 1, true, CMD_MOUSE_LDOWN);
    auto [ex, ey] = at(a.start + 99);
    event(w, ex, ey, 0, false, CMD_MOUSE_MOVE);
    EXPECT_EQ(*a.pos, 0);
    event(w, ex, ey, 1, false, CMD_MOUSE_LUP);
  }
}

TEST_F(Grid, ColumnBordersDragAndWideColumnsBringTheHorizontalBar) {
  tdbquery& q = devices(3);
  chooser c(q);
  tdbgrid& g = c.grid;
  const int edge = 5 + 135;
  event(c.w, edge + 1, 12, 0, false, -1);
  EXPECT_EQ(g.HEADER->SELECT, 0);
  EXPECT_EQ(plat::cursor_id(plat::get_cursor()), IDC_SIZEWE);
  event(c.w, edge + 1, 12, 1, true, -1);
  event(c.w, 80, 12, 0, false, -1);
  std::vector<int> seen = event(c.w, 80, 12, 1, false, 3000);
  EXPECT_EQ(g.LAST_OPERATION, 4);
  EXPECT_EQ(g.len_column(0), 75);
  EXPECT_EQ(g.HEADER->BUT[1]->x(), 80);
  EXPECT_EQ(g.HEADER->BUT[2]->x(), 215);
  // What the header gave up is background again, header and rows alike.
  EXPECT_EQ(px(c.w, 352, 12), cWHITE.COLOR);
  EXPECT_EQ(px(c.w, 352, 5 + 32), cWHITE.COLOR);
  // Leaving the border restores the arrow.
  event(c.w, 40, 12, 0, false, CMD_MOUSE_MOVE);
  EXPECT_EQ(g.HEADER->SELECT, -1);
  EXPECT_EQ(plat::cursor_id(plat::get_cursor()), IDC_ARROW);
  // A release ten pixels or less right of the column's left edge changes
  // nothing.
  event(c.w, 80, 12, 0, false, -1);
  event(c.w, 80, 12, 1, true, -1);
  event(c.w, 12, 12, 0, false, -1);
  event(c.w, 15, 12, 1, false, 3000);
  EXPECT_EQ(g.len_column(0), 75);
  event(c.w, 40, 12, 0, false, CMD_MOUSE_MOVE);

  // Widen the last column past the background: the horizontal bar comes,
  // and one step of it shifts header and cells by the first column's width.
  g.HEADER->button_size(2, 300);
  EXPECT_EQ(g.message(3000), 3000);
  pump_for(60);
  EXPECT_TRUE(g.GSB->VISIBLE);
  EXPECT_FALSE(g.VSB->VISIBLE);
  EXPECT_EQ(g.BGR->down(), 168 - 16);
  EXPECT_EQ(g.GSB->MAX, 2);
  EXPECT_EQ(g.GSB->len(), 425) << "alone, the bar runs the whole width";
  click(c.w, 425, 5 + 168 - 8, 3000, CMD_MOUSE_LUP);
  EXPECT_EQ(g.LAST_OPERATION, 5);
  EXPECT_EQ(g.HEADER->BUT[0]->x(), 5 - 75);
  EXPECT_EQ(g.HEADER->BUT[1]->x(), 5);
  EXPECT_GT(count_colour(c.w, 6, 5 + 18, 120, 14, cBLACK.COLOR) +
                count_colour(c.w, 6, 5 + 18, 120, 14, cBLUE.COLOR),
            10)
      << "the address column is drawn at the left edge";
  // Scrolled back and narrowed again, the bar goes.
  click(c.w, 12, 5 + 168 - 8, 3000, CMD_MOUSE_LUP);
  EXPECT_EQ(g.HEADER->BUT[0]->x(), 5);
  g.HEADER->button_size(2, 100);
  g.message(3000);
  pump_for(60);
  EXPECT_FALSE(g.GSB->VISIBLE);
  EXPECT_EQ(g.HEADER->BUT[0]->x(), 5);
  EXPECT_EQ(g.BGR->down(), 168);
}

TEST_F(Grid, CellsOfEveryFieldType) {
  base = std::make_unique<_mbase>("types", "s8 i f c d t h p c", 10, 0);
  query = std::make_unique<tdbquery>(base.get());
  tdbquery& q = *query;
  ASSERT_EQ(q.append(), 0);
  q.set_string("abc", 0);
  q.set_int(1234567, 1);
  q.set_double(2.5, 2);
  q.set_char(-7, 3);
  q.set_date(tdate(11, 11, 1998), 4);
  q.set_time(ttime(11, 11, 11), 5);
  q.set_int(0xBEEF, 6);
  q.set_int(50 | 25 << 8, 7);  // done 50 %, second mark at 25 %
  q.set_char((char)232, 8);    // a picture number
  ASSERT_EQ(q.append(), 1);
  q.set_int(20 | 200 << 8, 7);  // the second mark is held to 100 %

  twindow w(640, 120, "types");
  tdbgrid g(3, 3, -4, -4, &q, 500);
  for (int f = 0; f < 7; f++) g.add("f", 70, (char)f, f == 0 ? 8 : -1);
  g.add("progress", 104, 7, -1);
  pump_for(60);
  tfont font("MS Sans Serif", 14);
  EXPECT_EQ(g.len_column(4), font.strlen("11-11-1998") + 6) << "date columns take their text's width";
  EXPECT_EQ(g.len_column(5), font.strlen("11:11.11") + 6);

  auto cell_has = [&](int col, int row, uint32_t colour) {
    tobject* b = g.HEADER->BUT[col];
    return count_colour(w, b->x(), 5 + 18 + row * 15, b->len() - 1, 14, colour);
  };
  EXPECT_GT(cell_has(0, 0, 0x00005000) + cell_has(0, 0, 0x0000B000), 5) << "the picture field's picture";
  // The focus row (unmarked) is written in blue, in every text column.
  for (int col = 0; col < 7; col++) EXPECT_GT(cell_has(col, 0, cBLUE.COLOR), 5) << col;
  // Right-aligned numbers end near the cell's right edge.
  tobject* num = g.HEADER->BUT[1];
  EXPECT_GT(count_colour(w, num->x() + num->len() - 12, 5 + 18, 10, 14, cBLUE.COLOR), 0);
  EXPECT_EQ(count_colour(w, num->x(), 5 + 18, 10, 14, cBLUE.COLOR), 0);

  // Progress: yellow to the second mark, green on to the first.
  tobject* p = g.HEADER->BUT[7];
  int left = p->x(), cw = p->len() - 1, top = 5;
  int e1 = left + (cw - 4) * 50 / 100 + 2, e2 = left + (cw - 4) * 25 / 100 + 2;
  EXPECT_EQ(px(w, left + 1, top + 25), cBLACK.COLOR);
  EXPECT_EQ(px(w, left + 3, top + 25), cYELLOW.COLOR);
  EXPECT_EQ(px(w, e2 - 1, top + 25), cYELLOW.COLOR);
  EXPECT_EQ(px(w, e2, top + 25), cGREEN.COLOR);
  EXPECT_EQ(px(w, e1 - 1, top + 25), cGREEN.COLOR);
  EXPECT_EQ(px(w, e1, top + 25), cLGRAY.COLOR);
  EXPECT_EQ(px(w, left + cw - 2, top + 25), cBLACK.COLOR);
  // Second row: the first mark is below the second, yellow stops at it and
  // the rest up to the full width is light grey.
  top += 15;
  e1 = left + (cw - 4) * 20 / 100 + 2;
  EXPECT_EQ(px(w, e1 - 1, top + 25), cYELLOW.COLOR);
  EXPECT_EQ(px(w, e1, top + 25), cLLGRAY.COLOR);
  EXPECT_EQ(px(w, left + cw - 3, top + 25), cLLGRAY.COLOR);

  // A check picture on the focus row of a column marked for it.
  g.AUTO_EDIT[1] = 3;
  g.update();
  pump_for(30);
  EXPECT_GT(cell_has(1, 0, 0x00404040), 0) << "the unmarked check picture";
  EXPECT_TRUE(g.operator=(0));
  click(w, num->x() + 5, 5 + 18 + 7, 500, CMD_MOUSE_LUP);
  EXPECT_EQ(g.LAST_OPERATION, 9) << "a second click on a marked focus row of such a column";
}

TEST_F(Grid, ASecondClickEditsTheCellInPlace) {
  base = std::make_unique<_mbase>("edit", "s8 i", 10, 0);
  query = std::make_unique<tdbquery>(base.get());
  tdbquery& q = *query;
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(q.append(), i);
    q.set_string("old", 0);
    q.set_int(7, 1);
  }
  twindow w(300, 120, "edit");
  tdbgrid g(3, 3, -4, -4, &q, 700);
  g.add("text", 100, 0, -1);
  g.add("number", 100, 1, -1);
  g.AUTO_EDIT[0] = g.AUTO_EDIT[1] = 1;
  pump_for(30);
  click(w, 40, row_y(1), 700, 700);
  ASSERT_EQ(g.pos(), 1);
  // The editor runs its own loop: everything it reads is queued up front.
  auto edit = [&](int x, const char* typed, int vk) {
    event(w, x, row_y(1), 0, false, CMD_MOUSE_MOVE);
    plat::inject_mouse_button(w.hwnd, x, row_y(1), 1, true);
    plat::inject_mouse_button(w.hwnd, x, row_y(1), 1, false);
    plat::inject_text(w.hwnd, typed);
    plat::inject_key(w.hwnd, vk, true);
    plat::inject_key(w.hwnd, vk, false);
    EXPECT_TRUE(pump_until(700));
    EXPECT_EQ(g.LAST_OPERATION, 6);
    EXPECT_FALSE(g.IN_EDIT);
  };
  edit(40, "xyz", VK_RETURN);
  EXPECT_STREQ(q.get_string(0, 1), "xyz     ");
  EXPECT_STREQ(q.get_string(0, 0), "old     ");
  edit(140, "42", VK_RETURN);
  EXPECT_EQ(q.get_int(1, 1), 42);
  edit(140, "99", VK_ESCAPE);
  EXPECT_EQ(q.get_int(1, 1), 42) << "Esc keeps the value";
  edit(140, "-", VK_RETURN);
  EXPECT_EQ(q.get_int(1, 1), 42) << "a text that is no number changes nothing";
  EXPECT_EQ(q.get_int(1, 0), 7);
}

}  // namespace
