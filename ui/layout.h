// Where the window's controls sit, in twips, from the inner corner of their container.
#pragma once

namespace ui {

struct ControlPlace {
  const char* name;       // the control's object name
  const char* container;  // its parent's object name
  int left, top, width, height;
};

constexpr ControlPlace kLayout[] = {
    {"azon2queue", "Form1", 2920, 600, 970, 285}, {"Command1", "Form1", 2920, 1320, 970, 285},
    {"Frame2", "Form1", 0, 2400, 3855, 2175},     {"btQueue2", "Frame2", 2520, 1800, 1215, 255},
    {"q_letolt", "Frame2", 2520, 720, 1215, 375}, {"q_del", "Frame2", 2520, 240, 1215, 255},
    {"queue", "Frame2", 120, 240, 2295, 1815},    {"toQueue", "Form1", 4080, 1920, 970, 285},
    {"btQueue", "Form1", 2920, 1650, 970, 285},   {"Command2", "Form1", 5400, 1920, 970, 285},
    {"Frame1", "Form1", 3960, 0, 2500, 2295},     {"Lista", "Frame1", 50, 240, 2400, 1620},
    {"Go", "Form1", 2920, 90, 970, 410},          {"Drive1", "Form1", 0, 560, 2895, 315},
    {"directory", "Form1", 0, 920, 2895, 990},    {"Picture1", "Form1", 0, 1960, 3900, 375},
    {"info", "Picture1", 0, 0, 3855, 375},        {"processBar", "Picture1", 0, 0, 3855, 375},
    {"azonosito", "Form1", 0, 90, 2895, 420},     {"lblEgy", "Form1", 3720, 1680, 135, 135},
};

}  // namespace ui
