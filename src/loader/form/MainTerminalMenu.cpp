// The Terminal menu: showing and hiding the pane, its colours and its font;
// and the key the window handles for the pane.

#include <QAction>

#include "loader/form/MainUnit.h"

namespace kestrel {

namespace {

// Indexed by menu choice: default, black, red, green, blue, white.
constexpr uint32_t kBackgrounds[] = {paneBlack, paneBlack, paneRed, paneGreen, paneBlue, paneWhite};
constexpr uint32_t kTextColors[] = {paneSilver, paneBlack, paneRed, paneGreen, paneBlue, paneWhite};

}  // namespace

void TKestrelForm::VisibleMenuClick() {
  VisibleMenu->setChecked(!VisibleMenu->isChecked());
  // The pane keeps its size, port and contents; a short window just leaves
  // it outside the client area.
  set_client_height(VisibleMenu->isChecked() ? kClientHeightPane : kClientHeightNoPane);
}

void TKestrelForm::choose_background(int choice) {
  if (choice < 0 || choice > 5) return;
  AdTerminal1->SetColor(kBackgrounds[choice]);
}

void TKestrelForm::choose_text_color(int choice) {
  if (choice < 0 || choice > 5) return;
  TTerminalFont font = AdTerminal1->Font();
  font.Color = kTextColors[choice];
  AdTerminal1->SetFont(font);
}

void TKestrelForm::BackDefaultMenuClick() {
  choose_background(0);
}
void TKestrelForm::BackBlackMenuClick() {
  choose_background(1);
}
void TKestrelForm::BackRedMenuClick() {
  choose_background(2);
}
void TKestrelForm::BackGreenMenuClick() {
  choose_background(3);
}
void TKestrelForm::BackBlueMenuClick() {
  choose_background(4);
}
void TKestrelForm::BackWhiteMenuClick() {
  choose_background(5);
}

void TKestrelForm::TextDefaultMenuClick() {
  choose_text_color(0);
}
void TKestrelForm::TextBlackMenuClick() {
  choose_text_color(1);
}
void TKestrelForm::TextRedMenuClick() {
  choose_text_color(2);
}
void TKestrelForm::TextGreenMenuClick() {
  choose_text_color(3);
}
void TKestrelForm::TextBlueMenuClick() {
  choose_text_color(4);
}
void TKestrelForm::TextWhiteMenuClick() {
  choose_text_color(5);
}

void TKestrelForm::TerminalFonts1Click() {
  if (auto chosen = Dialog.ChooseFont(this, AdTerminal1->Font())) AdTerminal1->SetFont(*chosen);
}

void TKestrelForm::AdTerminal1KeyPress(char& Key) {
  // Backspace erases on the unit's side: back, blank, back.
  if (Key != '\b' || !port_open()) return;
  Key = '\0';
  ApdComPort1->PutChar('\b');
  ApdComPort1->PutChar(' ');
  ApdComPort1->PutChar('\b');
}

}  // namespace kestrel
