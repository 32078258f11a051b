// Who answers the boxes the program shows: the keyboard at a terminal, or --answer.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "device.h"

namespace cesim {

// How a box with a choice is answered.
enum class Answer { FromKeyboard, Yes, No, FailToShow };

// The terminal cesim talks to while a box waits.
struct Terminal {
  std::istream& in;
  std::ostream& prompts;         // prompts and hints
  bool inputIsTerminal = false;  // false: nobody can type an answer
  bool boxesOnPrompts = false;   // the record of the run is not the terminal: boxes go there too
};

// The answer source behind --answer and the keyboard: --answer yes|no answers the boxes that have
// Yes and No and shows no other box that asks; --answer fail shows none; without --answer the
// keyboard chooses when input is a terminal, and no box that asks is shown when it is not. With
// --answer no box waits for the keyboard, OK boxes included.
class Answers : public device::AnswerSource {
 public:
  Answers(Answer answer, Terminal terminal) : answer_(answer), terminal_(terminal) {}

  std::optional<std::string> Unanswerable(const std::vector<device::BoxButton>& buttons) override;
  int Choose(const std::string& box, const std::vector<device::BoxButton>& buttons) override;
  void Acknowledge(const std::string& box, const std::string& okLabel) override;

 private:
  Answer answer_;
  Terminal terminal_;
};

}  // namespace cesim
