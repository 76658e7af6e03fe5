#include "tests/lang/transcript.h"

#include <algorithm>

namespace kel::transcript {
namespace {

bool is_blank(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c == ' ' || c == '\t'; });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

Transcript parse(std::string_view text) {
  Transcript t;
  auto problem = [&](int line, std::string message) { t.problems.push_back({line, std::move(message)}); };
  // Blank lines seen since the last output or input line of the current case: they become
  // expected empty lines only when another output line follows.
  std::vector<int> pending_blanks;
  auto close_case = [&] {
    if (!t.cases.empty() && t.cases.back().inputs.empty())
      problem(t.cases.back().line, "case \"" + t.cases.back().title + "\" has no input line");
  };

  int n = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++n;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    const bool in_case = !t.cases.empty();
    if (is_blank(line)) {
      if (in_case && !t.cases.back().inputs.empty()) pending_blanks.push_back(n);
    } else if (line.starts_with("###")) {
      if (line.size() > 3 && line[3] != ' ') {
        problem(n, "a title line is \"### \" followed by the title");
        continue;
      }
      close_case();
      pending_blanks.clear();
      Case c;
      c.title = std::string(trim(line.substr(3)));
      c.line = n;
      if (c.title.empty()) problem(n, "case without a title");
      t.cases.push_back(std::move(c));
    } else if (line.starts_with("#!")) {
      const std::string_view option = trim(line.substr(2));
      if (in_case)
        problem(n, "file option after the first case");
      else if (option == "shared-state")
        t.shared_state = true;
      else
        problem(n, "unknown file option \"" + std::string(option) + "\"");
    } else if (line.starts_with("#")) {
      // comment
    } else if (line.starts_with(">>")) {
      if (line.size() > 2 && line[2] != ' ') {
        problem(n, "an input line is \">> \" followed by the input");
        continue;
      }
      if (!in_case) {
        problem(n, "input line before the first case title");
        continue;
      }
      pending_blanks.clear();
      t.cases.back().inputs.emplace_back(line.size() > 2 ? line.substr(3) : std::string_view{});
    } else {
      if (!in_case) {
        problem(n, "output line before the first case title");
        continue;
      }
      Case& c = t.cases.back();
      if (c.inputs.empty()) {
        problem(n, "output line before the first input of case \"" + c.title + "\"");
        continue;
      }
      for (int blank : pending_blanks) c.expected.push_back({"", blank, false});
      pending_blanks.clear();
      if (line.front() == '\\')
        c.expected.push_back({std::string(line.substr(1)), n, false});
      else
        c.expected.push_back({std::string(line), n, line.starts_with("*** ")});
    }
  }
  close_case();
  if (t.cases.empty() && t.problems.empty()) problem(1, "no case in the file");
  return t;
}

bool starts_with_prompt(std::string_view text, std::size_t* length) {
  if (text.starts_with(">> ")) {
    *length = 3;
    return true;
  }
  static constexpr std::string_view kOpeners = "[({/<";
  if (text.size() >= 5 && kOpeners.find(text[0]) != std::string_view::npos && text.substr(1, 4) == "    ") {
    *length = 5;
    return true;
  }
  return false;
}

ConsoleOutput split_output(std::string_view out, const std::vector<std::size_t>& inputs_per_case) {
  ConsoleOutput r;
  r.per_case.resize(inputs_per_case.size());
  std::vector<std::size_t> owner;  // case of each input line
  for (std::size_t c = 0; c < inputs_per_case.size(); ++c) owner.insert(owner.end(), inputs_per_case[c], c);
  if (owner.empty()) return r;

  // The banner ends where the first prompt starts a line.
  std::size_t pos = 0;
  while (!out.substr(pos).starts_with(">> ")) {
    pos = out.find('\n', pos);
    if (pos == std::string_view::npos) return r;
    ++pos;
  }
  r.prompt_found = true;

  std::size_t prompts_left = owner.size() + 1;
  std::size_t taken = 0;
  while (pos < out.size()) {
    std::size_t length = 0;
    while (prompts_left > 0 && starts_with_prompt(out.substr(pos), &length)) {
      pos += length;
      ++taken;
      --prompts_left;
    }
    const std::size_t end = out.find('\n', pos);
    std::string_view line = out.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    const bool last_line = end == std::string_view::npos || out.find_first_not_of('\n', end) == std::string_view::npos;
    if (last_line && prompts_left > 0 && line.ends_with(">> ")) {
      line.remove_suffix(3);
      --prompts_left;
    }
    if (end == std::string_view::npos && line.empty()) break;
    const std::size_t input = std::min(taken, owner.size()) - 1;
    r.per_case[owner[input]].emplace_back(line);
    if (end == std::string_view::npos) break;
    pos = end + 1;
  }
  return r;
}

Comparison compare(const std::vector<ExpectedLine>& expected, const std::vector<std::string>& actual) {
  std::size_t i = 0, j = 0;
  while (i < expected.size()) {
    if (j >= actual.size() || expected[i].text != actual[j]) return {false, i, j};
    const bool report = expected[i].report;
    ++i;
    ++j;
    if (!report) continue;
    // Skip the rest of the report: its "*** " lines, then the empty line after it, unless the
    // transcript lists them itself.
    bool blank_skipped = false;
    while (j < actual.size() && !(i < expected.size() && expected[i].text == actual[j])) {
      if (!blank_skipped && actual[j].starts_with("*** ")) {
        ++j;
      } else if (!blank_skipped && actual[j].empty()) {
        blank_skipped = true;
        ++j;
      } else {
        break;
      }
    }
  }
  for (std::size_t k = j; k < actual.size(); ++k)
    if (!actual[k].empty()) return {false, i, k};
  return {};
}

}  // namespace kel::transcript
