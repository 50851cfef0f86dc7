#pragma once
// Message boxes behind one interface: Qt in dialog mode, a terminal prompt in command-line mode.
#include <memory>
#include <string>

namespace drover {

// Button sets and flags, numbered as the platform's message-box types.
inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_OKCANCEL = 0x1;
inline constexpr unsigned MB_YESNO = 0x4;
inline constexpr unsigned MB_ICONERROR = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONWARNING = 0x30;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;
inline constexpr unsigned MB_DEFBUTTON2 = 0x100;
inline constexpr unsigned MB_SYSTEMMODAL = 0x1000;
inline constexpr unsigned MB_BUTTON_MASK = 0xF;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Contract: shows text with caption and the buttons of type; answers the button chosen.
class IMessageBox {
 public:
  virtual ~IMessageBox() = default;
  virtual int Show(const std::string& text, const std::string& caption, unsigned type) = 0;
};

// The default button of a type: the second button with MB_DEFBUTTON2, else the first.
int DefaultButton(unsigned type);

// Terminal form: prints to standard error; reads the answer from standard input when it is a
// terminal, otherwise takes the default button.
class ConsoleMessageBox final : public IMessageBox {
 public:
  int Show(const std::string& text, const std::string& caption, unsigned type) override;
};

IMessageBox& MessageBoxes();
void SetMessageBox(std::shared_ptr<IMessageBox> box);
std::shared_ptr<IMessageBox> GetMessageBoxPtr();
inline int ShowMessageBox(const std::string& text, const std::string& caption = "Drover", unsigned type = MB_OK) {
  return MessageBoxes().Show(text, caption, type);
}

}  // namespace drover
