#include "base/message_box.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>

#include "base/strfmt.h"

namespace drover {

int DefaultButton(unsigned type) {
  bool second = (type & MB_DEFBUTTON2) != 0;
  switch (type & MB_BUTTON_MASK) {
    case MB_YESNO: return second ? IDNO : IDYES;
    case MB_OKCANCEL: return second ? IDCANCEL : IDOK;
    default: return IDOK;
  }
}

int ConsoleMessageBox::Show(const std::string& text, const std::string& caption, unsigned type) {
  const unsigned buttons = type & MB_BUTTON_MASK;
  const int def = DefaultButton(type);
  std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
  if (buttons != MB_YESNO && buttons != MB_OKCANCEL) return IDOK;
  const bool yesNo = buttons == MB_YESNO;
  const char* prompt = yesNo ? (def == IDYES ? "[Y/n]" : "[y/N]") : (def == IDOK ? "[O/c]" : "[o/C]");
  if (!isatty(STDIN_FILENO)) {
    std::fprintf(stderr, "%s %s\n", prompt, yesNo ? (def == IDYES ? "yes" : "no") : (def == IDOK ? "ok" : "cancel"));
    return def;
  }
  for (;;) {
    std::fprintf(stderr, "%s ", prompt);
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line)) return def;
    std::string a = AsciiLower(line);
    if (a.empty()) return def;
    if (yesNo && (a == "y" || a == "yes")) return IDYES;
    if (yesNo && (a == "n" || a == "no")) return IDNO;
    if (!yesNo && (a == "o" || a == "ok")) return IDOK;
    if (!yesNo && (a == "c" || a == "cancel")) return IDCANCEL;
  }
}

namespace {
std::mutex g_lock;
std::shared_ptr<IMessageBox>& Slot() {
  static std::shared_ptr<IMessageBox> box = std::make_shared<ConsoleMessageBox>();
  return box;
}
}  // namespace

IMessageBox& MessageBoxes() {
  std::lock_guard<std::mutex> g(g_lock);
  return *Slot();
}

std::shared_ptr<IMessageBox> GetMessageBoxPtr() {
  std::lock_guard<std::mutex> g(g_lock);
  return Slot();
}

void SetMessageBox(std::shared_ptr<IMessageBox> box) {
  std::lock_guard<std::mutex> g(g_lock);
  Slot() = box ? std::move(box) : std::make_shared<ConsoleMessageBox>();
}

}  // namespace drover
