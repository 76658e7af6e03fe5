// Console transcripts: parsing a transcript file, splitting what `kel --cli` printed into the
// output of each case, and comparing it with the expected output.
//
// A transcript file is a sequence of cases:
//
//   ### integer overflow becomes float        a case starts with its title
//   >> 2147483647 + 1                         one or more lines typed at the prompt
//   == 2147483648.0                           the output they give
//
// Line kinds, by their first characters:
//   "### title"   starts a case.
//   ">> text"     an input line (">>" alone types an empty line). Input and output lines may
//                 alternate within a case; the case's output is compared as a whole.
//   "#! option"   a file option, before the first case. "#! shared-state" runs all cases of the
//                 file in one console, in order, so that a case sees what earlier ones defined.
//   "#..."        any other line starting with '#' is a comment.
//   "*** text"    the first line of an error report: the report's further "*** " lines and the
//                 one empty line the console prints after it are not compared.
//   "\text"       the output line "text" taken literally (for output that starts with '#', '>>',
//                 '\' or "*** " but is to be compared as it is; "\" alone is an empty line).
//   anything else is an output line, compared exactly ("== molded result", printed text).
// Blank lines before a case's first input, before an input line and at the end of a case only
// separate; blank lines between two output lines are expected empty output lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kel::transcript {

struct ExpectedLine {
  std::string text;
  int line = 0;         // line number in the transcript file
  bool report = false;  // first line of an error report
};

struct Case {
  std::string title;
  int line = 0;                        // line of the title
  std::vector<std::string> inputs;     // lines typed at the prompt, in order
  std::vector<ExpectedLine> expected;  // the output of all the inputs, in order
};

struct Problem {
  int line = 0;  // 1-based line of the transcript file
  std::string message;
};

struct Transcript {
  bool shared_state = false;
  std::vector<Case> cases;
  std::vector<Problem> problems;  // a file with problems is malformed and is not run
};

Transcript parse(std::string_view text);

// The prompts the console prints before reading a line: ">> ", and while an input is
// incomplete, the last open delimiter followed by four blanks.
bool starts_with_prompt(std::string_view text, std::size_t* length);

// What the console printed, split per case. The console prints a prompt before reading each
// input line and once more before it meets the end of its input, so the output holds
// (number of input lines + 1) prompts. Everything before the first prompt (the banner) is
// dropped. A prompt is recognised at the start of a line only, and several in a row are taken
// while the count allows (an input that prints nothing leaves the next prompt on the same line);
// the last prompt is also recognised after text that did not end its line when only line ends
// follow it. The lines after the k-th prompt are the output of input line k; what follows the
// last prompt goes to the last case.
struct ConsoleOutput {
  bool prompt_found = false;
  std::vector<std::vector<std::string>> per_case;
};
ConsoleOutput split_output(std::string_view out, const std::vector<std::size_t>& inputs_per_case);

// Compares one case's output with its expected lines. Empty lines at the end of the actual
// output are allowed. On a mismatch, expected_index is the first expected line that did not
// match (expected.size() when the output goes on past the expected lines) and actual_index the
// actual line it was compared with (actual.size() when the output ended too soon).
struct Comparison {
  bool match = true;
  std::size_t expected_index = 0;
  std::size_t actual_index = 0;
};
Comparison compare(const std::vector<ExpectedLine>& expected, const std::vector<std::string>& actual);

}  // namespace kel::transcript
