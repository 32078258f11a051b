#include "message_box.h"

#include <algorithm>
#include <stdexcept>

#include "platform_types.h"
#include "reg_text.h"
#include "utf_text.h"

namespace device {
namespace {

constexpr size_t kMinimumWidth = 24;  // room for any button row

// The frame's pieces, in one style.
struct Frame {
  std::string_view horizontal, vertical, topLeft, topRight, bottomLeft, bottomRight;
};
constexpr Frame kUnicodeFrame{"─", "│", "┌", "┐", "└", "┘"};
constexpr Frame kAsciiFrame{"-", "|", "+", "+", "+", "+"};

std::string Repeat(std::string_view piece, size_t count) {
  std::string result;
  for (size_t i = 0; i < count; ++i) result += piece;
  return result;
}

void WrapParagraph(std::string_view paragraph, size_t columns, std::vector<std::string>& lines) {
  std::string line;
  auto flush = [&] {
    lines.push_back(line);
    line.clear();
  };
  size_t start = 0;
  while (start <= paragraph.size()) {
    size_t end = std::min(paragraph.find(' ', start), paragraph.size());
    std::string_view word = paragraph.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && Columns(line) + 1 + Columns(word) > columns) flush();
    while (Columns(word) > columns) {  // a word longer than a line is broken
      if (!line.empty()) flush();
      size_t cut = PrefixBytes(word, columns);
      lines.emplace_back(word.substr(0, cut));
      word.remove_prefix(cut);
    }
    if (!line.empty()) line += ' ';
    line += word;
  }
  flush();
}

// The key that stands for a label: its first character, in lower case when it is an ASCII letter.
std::u16string KeyOf(std::string_view label) {
  std::u16string key = FromUtf8(label).substr(0, 1);
  if (!key.empty() && key[0] >= u'A' && key[0] <= u'Z') key[0] = key[0] - u'A' + u'a';
  return key;
}

bool Matches(std::u16string_view answer, const std::vector<std::u16string>& accepted) {
  return std::any_of(accepted.begin(), accepted.end(), [&](const std::u16string& candidate) {
    return EqualsIgnoringCase(candidate, answer);
  });
}

}  // namespace

ButtonLabels LabelsForLanguage(std::u16string_view romLanguage) {
  if (romLanguage == u"DEUTSCH") {
    return {"OK", "Abbrechen", "Abbrechen", "Wiederholen", "Ignorieren", "Ja", "Nein"};
  }
  if (romLanguage == u"FRANCAIS") {
    return {"OK", "Annuler", "Abandonner", "Réessayer", "Ignorer", "Oui", "Non"};
  }
  if (romLanguage == u"ITALIANO") {
    return {"OK", "Annulla", "Interrompi", "Riprova", "Ignora", "Sì", "No"};
  }
  if (romLanguage == u"PORTUGUES") {
    return {"OK", "Cancelar", "Anular", "Repetir", "Ignorar", "Sim", "Não"};
  }
  return {"OK", "Cancel", "Abort", "Retry", "Ignore", "Yes", "No"};
}

std::vector<BoxButton> ButtonsFor(unsigned group, const ButtonLabels& labels) {
  const BoxButton ok{labels.ok, IDOK, {u"ok"}}, cancel{labels.cancel, IDCANCEL, {u"cancel"}},
      abort{labels.abort, IDABORT, {u"abort"}}, retry{labels.retry, IDRETRY, {u"retry"}},
      ignore{labels.ignore, IDIGNORE, {u"ignore"}},
      yes{labels.yes, IDYES, {u"j", u"ja", u"y", u"yes"}},
      no{labels.no, IDNO, {u"n", u"nein", u"no"}};
  switch (group) {
    case MB_OK:
      return {ok};
    case MB_OKCANCEL:
      return {ok, cancel};
    case MB_ABORTRETRYIGNORE:
      return {abort, retry, ignore};
    case MB_YESNOCANCEL:
      return {yes, no, cancel};
    case MB_YESNO:
      return {yes, no};
    case MB_RETRYCANCEL:
      return {retry, cancel};
    default:
      return {};
  }
}

ButtonKeys KeysFor(std::vector<BoxButton> buttons) {
  ButtonKeys keys;
  std::vector<std::u16string> shownKeys;
  for (const BoxButton& button : buttons) {
    const std::u16string key = KeyOf(button.label);
    // A letter that another button's label starts with, or that stands for another button,
    // would be ambiguous: that button is answered by its label or its words only.
    const bool unique = std::none_of(buttons.begin(), buttons.end(), [&](const BoxButton& other) {
      return &other != &button &&
             (EqualsIgnoringCase(KeyOf(other.label), key) || Matches(key, other.words));
    });
    shownKeys.push_back(unique ? key : u"");
  }
  std::string typed;
  for (size_t i = 0; i < buttons.size(); ++i) {
    BoxButton& button = buttons[i];
    button.words.push_back(FromUtf8(button.label));
    if (!shownKeys[i].empty()) button.words.push_back(shownKeys[i]);
    const std::string key = shownKeys[i].empty() ? button.label : ToUtf8(shownKeys[i]);
    const char* separator = i == 0 ? "" : i + 1 == buttons.size() ? " or " : ", ";
    keys.prompt +=
        (i == 0 ? "" : " / ") + button.label + (shownKeys[i].empty() ? "" : " (" + key + ")");
    typed += separator + (shownKeys[i].empty() ? key : key + " for " + button.label);
  }
  keys.prompt += "? ";
  keys.hint = "Please type " + typed + ", then Enter.\n";
  keys.buttons = std::move(buttons);
  return keys;
}

std::optional<int> ReadAnswer(std::string_view line, const ButtonKeys& keys) {
  constexpr std::string_view kBlanks = " \t\r\f\v";
  const size_t first = line.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return std::nullopt;
  line = line.substr(first, line.find_last_not_of(kBlanks) - first + 1);
  std::u16string answer;
  try {
    answer = FromUtf8(line);
  } catch (const std::invalid_argument&) {
    return std::nullopt;
  }
  for (const BoxButton& button : keys.buttons) {
    if (Matches(answer, button.words)) return button.result;
  }
  return std::nullopt;
}

std::vector<std::string> WrapText(std::string_view text, size_t columns) {
  columns = std::max<size_t>(columns, 1);
  std::vector<std::string> lines;
  size_t start = 0;
  while (true) {
    size_t end = std::min(text.find('\n', start), text.size());
    std::string_view paragraph = text.substr(start, end - start);
    if (paragraph.ends_with('\r')) paragraph.remove_suffix(1);
    WrapParagraph(paragraph, columns, lines);
    if (end == text.size()) break;
    start = end + 1;
  }
  return lines;
}

std::string DrawMessageBox(std::string_view caption, std::string_view text,
                           const std::vector<std::string>& buttons, size_t width, BoxLines lines) {
  const Frame& f = lines == BoxLines::kAscii ? kAsciiFrame : kUnicodeFrame;
  const size_t maxInner = std::max(width, kMinimumWidth) - 4;  // "│ " and " │"
  std::string buttonRow;
  for (const std::string& label : buttons) {
    buttonRow += (buttonRow.empty() ? "[ " : "   [ ") + label + " ]";
  }
  const std::vector<std::string> textLines = WrapText(text, maxInner);
  size_t inner = std::max(Columns(buttonRow), Columns(caption) + 1);
  for (const std::string& line : textLines) inner = std::max(inner, Columns(line));
  inner = std::min(inner, maxInner);
  std::string shownCaption(caption.substr(0, PrefixBytes(caption, inner - 1)));

  std::string box = std::string(f.topLeft) + "[" + shownCaption + "]" +
                    Repeat(f.horizontal, inner + 2 - 2 - Columns(shownCaption)) +
                    std::string(f.topRight) + "\n";
  auto row = [&](std::string_view content, size_t indent) {
    box += std::string(f.vertical) + " " + std::string(indent, ' ') + std::string(content) +
           std::string(inner - indent - Columns(content), ' ') + " " + std::string(f.vertical) +
           "\n";
  };
  for (const std::string& line : textLines) row(line, 0);
  row("", 0);
  row(buttonRow, (inner - std::min(inner, Columns(buttonRow))) / 2);
  box += std::string(f.bottomLeft) + Repeat(f.horizontal, inner + 2) + std::string(f.bottomRight) +
         "\n";
  return box;
}

}  // namespace device
