// A window holding every drawn control in every state, for looking at the
// toolkit's artwork and layout. Hovered and pressed examples are posed at
// start-up by handing them the mouse codes a real pointer would give; moving
// the real pointer over them afterwards works as usual. Esc closes.
//
//   controls_demo [--shot FILE.png]   with --shot: save the window and quit
#include <cstring>

#include "class/class.h"
#include "platform/platform.h"

namespace {

// Delivers code to one element as if the pointer were over its middle.
void pose(tobject& o, int code) {
  int mx = MOUSE_X, my = MOUSE_Y;
  MOUSE_X = o.x() + o.len() / 2;
  MOUSE_Y = o.y() + o.down() / 2;
  o.message(code);
  MOUSE_X = mx;
  MOUSE_Y = my;
}

void pump_ms(unsigned ms) {
  uint32_t start = plat::tick();
  while (plat::tick() - start < ms) getkey();
}

}  // namespace

int main(int argc, char** argv) {
  const char* shot = nullptr;
  for (int i = 1; i + 1 < argc; i++)
    if (std::strcmp(argv[i], "--shot") == 0) shot = argv[i + 1];

  static int instance;
  reg_class("VeskorControls", &instance, 1);
  twindow w(640, 420, "Элементы управления");
  w.foreground();

  // ---- texts ----
  ttext h1(10, 8, "Тексты", &cDBLUE, &cLGRAY);
  ttext t1(10, YT + 8, "Обычный текст");
  ttext t2(10, YT + 6, "Цветной текст", &cRED, &cLYELLOW);
  ttext t3(10, YT + 6, "Отключённый текст");
  t3.off();
  ttext t4(12, YT + 10, "Поле ввода", &cBLACK, &cWHITE, 140);
  tborder t4b(&t4, (char)254);
  ttext t5(12, YT + 10, 1234567.5, 12, &cBLACK, &cWHITE, 140);
  tborder t5b(&t5, (char)254);
  ttext t6(12, YT + 10, "5A3C19", &cBLACK, &cWHITE, 60);
  tborder t6b(&t6, (char)255);

  // ---- frames ----
  ttext h2(230, 8, "Рамки", &cDBLUE, &cLGRAY);
  ttext f1(234, 32, "1 выпуклая тонкая", 160);
  tborder f1b(&f1, (char)1);
  ttext f2(234, YT + 10, "2 выпуклая толстая", 160);
  tborder f2b(&f2, (char)2);
  ttext f3(234, YT + 10, "255 вдавленная тонкая", 160);
  tborder f3b(&f3, (char)255);
  ttext f4(234, YT + 10, "254 вдавленная толстая", 160);
  tborder f4b(&f4, (char)254);
  ttext f5t(234, YT + 10, "3 плоская", 160);
  tborder f5tb(&f5t, (char)3);

  // ---- check boxes ----
  ttext h3(430, 8, "Флажки", &cDBLUE, &cLGRAY);
  tcheck c1(430, 32, "Не отмечен", 0);
  tcheck c2(430, YT + 6, "Отмечен", 0, 1);
  tcheck c3(430, YT + 6, "Третье состояние", 0, 2);
  tcheck c4(430, YT + 6, "Отключён, не отмечен", 0);
  c4.off();
  tcheck c5(430, YT + 6, "Отключён, отмечен", 0, 1);
  c5.off();
  tcheck c6(430, YT + 6, "Под указателем", 0, 1);
  tcheck c7(430, YT + 6, "Нажат, отмечен", 0, 1);
  tcheck c8(430, YT + 6, "Нажат, не отмечен", 0);

  // ---- buttons ----
  ttext h4(10, 190, "Кнопки", &cDBLUE, &cLGRAY);
  ttext l1(10, 214, "tbutton:");
  tbutton b1(100, 210, 0, "Открыть файл", 100, 20, 1, nullptr, 2, nullptr, &cLGRAY);
  tbutton b2(XBT + 4, 210, 0, "Отключена", 90, 20, 2, nullptr, 2, nullptr, &cLGRAY);
  b2.off();
  tbutton b3(XBT + 4, 210, 0, "Наведена", 90, 20, 3, nullptr, 2, nullptr, &cLGRAY);
  tbutton b4(XBT + 4, 210, 0, "Нажата", 90, 20, 4, nullptr, 2, nullptr, &cLGRAY);
  tbutton b5(XBT + 4, 210, 232, nullptr, 0, 0, 5, nullptr, 2, nullptr, &cLGRAY);

  ttext l2(10, 244, "thbutton:");
  thbutton d1(100, 240, 232, "Ok", 90, 20, KEY_ENTER, nullptr, 0, nullptr, &cLGRAY);
  thbutton d2(XBT + 2, 240, 234, "Отмена", 90, 20, KEY_ESC, nullptr, 0, nullptr, &cLGRAY);
  thbutton d3(XBT + 4, 240, 232, "Отключена", 100, 20, 6, nullptr, 0, nullptr, &cLGRAY);
  d3.off();
  thbutton d4(XBT + 4, 240, 234, "Наведена", 90, 20, 7, nullptr, 0, nullptr, &cLGRAY);
  thbutton d5(XBT + 4, 240, 232, "Нажата", 90, 20, 8, nullptr, 0, nullptr, &cLGRAY);

  ttext l3(10, 274, "tsbutton:");
  tsbutton s1(100, 272, 0, "<", 20, 18, 9, nullptr, 2, nullptr, &cLGRAY);
  tsbutton s2(XBT + 4, 272, 0, ">", 20, 18, 10, nullptr, 2, nullptr, &cLGRAY);
  tsbutton s3(XBT + 4, 272, 0, "<", 20, 18, 11, nullptr, 2, nullptr, &cLGRAY);
  s3.off();
  tsbutton s4(XBT + 4, 272, 0, ">", 20, 18, 12, nullptr, 2, nullptr, &cLGRAY);
  ttext l3b(XBT + 8, 274, "(обычные, отключена, нажата)");

  ttext l4(10, 304, "ttbutton:");
  tbox menu_bg(99, 299, 162, 46, &cWHITE);
  tborder menu_frame(&menu_bg, (char)1);
  ttbutton m1(100, 300, 0, "Пункт меню", 160, 14, 500, nullptr, 5, nullptr, &cWHITE);
  ttbutton m2(100, 315, 0, "Под указателем", 160, 14, 501, nullptr, 5, nullptr, &cWHITE);
  ttbutton m3(100, 330, 0, "Отключён", 160, 14, 502, nullptr, 5, nullptr, &cWHITE);
  m3.off();

  ttext l5(300, 304, "theaderbutton:");
  tnull header_bg(400, 300, 230, 40);
  theaderbutton g1(400, 300, "Адрес", 90, 600, &header_bg);
  theaderbutton g2(490, 300, "Имя", 70, 601, &header_bg);
  theaderbutton g3(560, 300, "Версия", 70, 602, &header_bg);

  ttext l6(10, 364, "Рамка 5 (без рамки, заголовок слева):");
  tbutton f5(XT + 8, 360, 0, "Без рамки", 120, 20, 14, nullptr, 5, nullptr, &cLGRAY);

  ttext hint(10, -22, "Esc — выход");
  tbutton bexit(-86, -26, 0, "Выход", 78, 20, KEY_ESC, nullptr, 2, nullptr, &cLGRAY);

  // Pose the hovered and pressed examples once the window has settled.
  pump_ms(300);
  pose(b3, CMD_MOUSE_MOVE);
  pose(b4, CMD_MOUSE_MOVE);
  pose(b4, CMD_MOUSE_LDOWN);
  pose(d4, CMD_MOUSE_MOVE);
  pose(d5, CMD_MOUSE_MOVE);
  pose(d5, CMD_MOUSE_LDOWN);
  pose(s4, CMD_MOUSE_LDOWN);
  pose(m2, CMD_MOUSE_MOVE);
  pose(c6, CMD_MOUSE_MOVE);
  pose(c7, CMD_MOUSE_LDOWN);
  pose(c8, CMD_MOUSE_LDOWN);

  if (shot) {
    pump_ms(100);
    plat::present();
    return plat::save_client(w.hwnd, shot) ? 0 : 1;
  }

  for (;;) {
    int c = getkey();
    if (c == KEY_ESC || c == CMD_CLOSE) break;
  }
  return 0;
}
