#include "answers.h"

#include <algorithm>
#include <istream>
#include <ostream>

#include "message_box.h"
#include "platform_types.h"

namespace cesim {
namespace {

bool Has(const std::vector<device::BoxButton>& buttons, int result) {
  return std::any_of(buttons.begin(), buttons.end(),
                     [&](const device::BoxButton& button) { return button.result == result; });
}

bool IsYesNo(const std::vector<device::BoxButton>& buttons) {
  return Has(buttons, IDYES) && Has(buttons, IDNO);
}

// "Yes/No" for the question of a Yes/No box, else its buttons as shown: "OK / Abbrechen".
std::string BoxKind(const std::vector<device::BoxButton>& buttons) {
  if (buttons.size() == 2 && IsYesNo(buttons)) return "Yes/No";
  std::string row;
  for (const device::BoxButton& button : buttons) row += (row.empty() ? "" : " / ") + button.label;
  return row;
}

}  // namespace

std::optional<std::string> Answers::Unanswerable(const std::vector<device::BoxButton>& buttons) {
  switch (answer_) {
    case Answer::Yes:
    case Answer::No:
      if (IsYesNo(buttons)) return std::nullopt;
      terminal_.prompts << "cesim: --answer does not answer a " << BoxKind(buttons)
                        << " box; it is not shown (answer it on a terminal without --answer)\n"
                        << std::flush;
      return "--answer names none of its buttons";
    case Answer::FailToShow:
      return "";
    case Answer::FromKeyboard:
      break;
  }
  if (terminal_.inputIsTerminal) return std::nullopt;
  terminal_.prompts << "cesim: a " << BoxKind(buttons)
                    << " box cannot be shown without a terminal to answer it"
                    << (IsYesNo(buttons) ? "; use --answer" : "") << '\n'
                    << std::flush;
  return "no terminal to answer it";
}

int Answers::Choose(const std::string& box, const std::vector<device::BoxButton>& buttons) {
  if (answer_ == Answer::Yes) return IDYES;
  if (answer_ == Answer::No) return IDNO;
  if (terminal_.boxesOnPrompts) terminal_.prompts << box;
  const device::ButtonKeys keys = device::KeysFor(buttons);
  terminal_.prompts << keys.prompt << std::flush;
  for (std::string line;;) {
    if (!std::getline(terminal_.in, line)) {
      throw device::InputEnded("end of input at the " + BoxKind(buttons) + " question");
    }
    if (const std::optional<int> answer = device::ReadAnswer(line, keys)) return *answer;
    terminal_.prompts << keys.hint << keys.prompt << std::flush;
  }
}

void Answers::Acknowledge(const std::string& box, const std::string& okLabel) {
  // With --answer the run is scripted: no box waits for the keyboard.
  if (answer_ != Answer::FromKeyboard || !terminal_.inputIsTerminal) return;
  if (terminal_.boxesOnPrompts) terminal_.prompts << box;
  terminal_.prompts << okLabel << " (Enter) " << std::flush;
  std::string line;
  if (!std::getline(terminal_.in, line))
    throw device::InputEnded("end of input while a box waited");
}

}  // namespace cesim
