// The console-transcript format: parsing, splitting the console's output per case, comparing.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/lang/transcript.h"

namespace kt = kel::transcript;

namespace {

std::vector<std::string> texts(const std::vector<kt::ExpectedLine>& lines) {
  std::vector<std::string> v;
  for (const auto& l : lines) v.push_back(l.text);
  return v;
}

// Expected lines written as in a transcript: "*** " starts an error report, a leading backslash
// makes the line literal.
std::vector<kt::ExpectedLine> expect(const std::vector<std::string>& lines) {
  std::vector<kt::ExpectedLine> v;
  for (const auto& l : lines) {
    if (l.starts_with("\\"))
      v.push_back({l.substr(1), 0, false});
    else
      v.push_back({l, 0, l.starts_with("*** ")});
  }
  return v;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(TranscriptParse, CasesWithCommentsBlanksAndMultiLineInput) {
  const auto t = kt::parse(
      "# leading comment\n"
      "\n"
      "### first\n"
      ">> 1 + 2\n"
      "== 3\n"
      "\n"
      "# between cases\n"
      "\n"
      "###   block over two lines  \n"
      "\n"
      ">> [1 2\n"
      ">> 3]\n"
      "== [1 2 3]\n"
      "\n"
      "### printed lines\r\n"
      ">> print \"a^/^/b\"\r\n"
      "a\r\n"
      "\r\n"
      "# a comment inside the output\n"
      "b\n"
      "\n"
      "\n"
      "### empty input then output after it, no final newline\n"
      ">>\n"
      ">> 1\n"
      "== 1");
  ASSERT_TRUE(t.problems.empty()) << t.problems[0].line << ": " << t.problems[0].message;
  EXPECT_FALSE(t.shared_state);
  ASSERT_EQ(t.cases.size(), 4u);

  EXPECT_EQ(t.cases[0].title, "first");
  EXPECT_EQ(t.cases[0].line, 3);
  EXPECT_EQ(t.cases[0].inputs, Lines{"1 + 2"});
  EXPECT_EQ(texts(t.cases[0].expected), Lines{"== 3"});
  EXPECT_EQ(t.cases[0].expected[0].line, 5);

  EXPECT_EQ(t.cases[1].title, "block over two lines");
  EXPECT_EQ(t.cases[1].inputs, (Lines{"[1 2", "3]"}));
  EXPECT_EQ(texts(t.cases[1].expected), Lines{"== [1 2 3]"});

  EXPECT_EQ(t.cases[2].inputs, Lines{"print \"a^/^/b\""});
  EXPECT_EQ(texts(t.cases[2].expected), (Lines{"a", "", "b"}));
  EXPECT_EQ(t.cases[2].expected[1].line, 18);

  EXPECT_EQ(t.cases[3].inputs, (Lines{"", "1"}));
  EXPECT_EQ(texts(t.cases[3].expected), Lines{"== 1"});
}

TEST(TranscriptParse, ErrorReportsAndEscapedLines) {
  const auto t = kt::parse(
      "### errors\n"
      ">> foo\n"
      "*** Script Error: foo has no value\n"
      "\n"
      ">> 1\n"
      "== 1\n"
      "\\*** Where: ???\n"
      "\\# not a comment\n"
      "\\>> not an input\n"
      "\\\n"
      "\\\\x\n"
      "***no blank: plain output\n");
  ASSERT_TRUE(t.problems.empty());
  ASSERT_EQ(t.cases.size(), 1u);
  const auto& c = t.cases[0];
  // The blank line before ">> 1" only separates.
  EXPECT_EQ(c.inputs, (Lines{"foo", "1"}));
  EXPECT_EQ(texts(c.expected), (Lines{"*** Script Error: foo has no value", "== 1", "*** Where: ???", "# not a comment",
                                      ">> not an input", "", "\\x", "***no blank: plain output"}));
  std::vector<bool> report;
  for (const auto& e : c.expected) report.push_back(e.report);
  EXPECT_EQ(report, (std::vector<bool>{true, false, false, false, false, false, false, false}));
}

TEST(TranscriptParse, FileOptions) {
  EXPECT_TRUE(kt::parse("#! shared-state\n### a\n>> 1\n== 1\n").shared_state);
  EXPECT_FALSE(kt::parse("# shared-state\n### a\n>> 1\n== 1\n").shared_state);
}

TEST(TranscriptParse, MalformedFilesReportTheirLines) {
  struct Row {
    const char* name;
    const char* text;
    std::vector<int> lines;  // lines of the expected problems, in order
    const char* first_message_part;
  };
  const Row rows[] = {
      {"input before any title", ">> 1\n### a\n>> 1\n== 1\n", {1}, "input line before the first case title"},
      {"output before any title", "\n== 1\n### a\n>> 1\n", {2}, "output line before the first case title"},
      {"title without input, followed by a case", "### a\n== 1\n\n### b\n>> 1\n", {2, 1}, "before the first input"},
      {"title without input at the end", "### a\n>> 1\n\n### empty\n# nothing\n", {4}, "case \"empty\" has no input line"},
      {"title without text", "###\n>> 1\n", {1}, "case without a title"},
      {"title without its blank", "###a\n>> 1\n", {1, 2}, "\"### \""},
      {"input without its blank", "### a\n>>1\n", {2, 1}, "\">> \""},
      {"option after a case", "### a\n>> 1\n#! shared-state\n", {3}, "file option after the first case"},
      {"unknown option", "#! fresh\n### a\n>> 1\n", {1}, "unknown file option \"fresh\""},
      {"no case at all", "# only a comment\n\n", {1}, "no case"},
      {"empty file", "", {1}, "no case"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto t = kt::parse(row.text);
    std::vector<int> lines;
    for (const auto& p : t.problems) lines.push_back(p.line);
    EXPECT_EQ(lines, row.lines);
    if (!t.problems.empty()) {
      EXPECT_NE(t.problems[0].message.find(row.first_message_part), std::string::npos) << t.problems[0].message;
    }
  }
}

TEST(TranscriptSplit, OutputIsCutAtPrompts) {
  struct Row {
    const char* name;
    const char* out;
    std::vector<std::size_t> inputs;
    std::vector<Lines> per_case;
  };
  const Row rows[] = {
      {"banner dropped, final prompt without newline", "--== Kel ==--\nType HELP\n\n>> == 3\n>> ", {1}, {{"== 3"}}},
      {"final prompt followed by a newline", "banner\n>> == 3\n>> \n", {1}, {{"== 3", ""}}},
      {"input that prints nothing", ">> >> == 3\n>> ", {2}, {{"== 3"}}},
      {"continuation prompt", ">> [    == [1 2 3]\n>> ", {2}, {{"== [1 2 3]"}}},
      {"several lines and empty lines", ">> a\n\nb\n>> ", {1}, {{"a", "", "b"}}},
      {"text without line end before the last prompt", ">> hi\n>> abc>> ", {2}, {{"hi", "abc"}}},
      {"the same, a line end after the last prompt", ">> hi\n>> abc>> \n", {2}, {{"hi", "abc"}}},
      {"text without line end before a prompt that is not the last", ">> abc>> == 3\n>> ", {2}, {{"abc>> == 3"}}},
      {"output attributed per case", "B\n>> == 5\n>> == 5\n>> [    == [1 2 3]\n>> == 3\n>> ", {1, 1, 3},
       {{"== 5"}, {"== 5"}, {"== [1 2 3]", "== 3"}}},
      {"a case that prints nothing", ">> >> x\n>> ", {1, 1}, {{}, {"x"}}},
      {"a prompt inside a line is output", ">> a >> b\n>> ", {1}, {{"a >> b"}}},
      {"prompts past the count are output", ">> == 1\n>> \n>> y\n", {1}, {{"== 1", "", ">> y"}}},
      {"output after the last prompt goes to the last case", ">> == 1\n>> ends\n", {1}, {{"== 1", "ends"}}},
      {"output cut short (crash)", ">> partial", {2}, {{"partial"}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto r = kt::split_output(row.out, row.inputs);
    EXPECT_TRUE(r.prompt_found);
    EXPECT_EQ(r.per_case, row.per_case);
  }
}

TEST(TranscriptSplit, NoPromptAtALineStart) {
  EXPECT_FALSE(kt::split_output("", {1}).prompt_found);
  EXPECT_FALSE(kt::split_output("crashed before the prompt\n", {1}).prompt_found);
  EXPECT_FALSE(kt::split_output("text >> \n", {1}).prompt_found);
}

TEST(TranscriptCompare, Cases) {
  struct Row {
    const char* name;
    Lines expected;
    Lines actual;
    bool match;
    std::size_t expected_index, actual_index;  // of the first difference
  };
  const Row rows[] = {
      {"equal", {"== 3"}, {"== 3"}, true, 0, 0},
      {"different", {"== 3"}, {"== 4"}, false, 0, 0},
      {"output ends too soon", {"a", "b"}, {"a"}, false, 1, 1},
      {"extra output", {"a"}, {"a", "b"}, false, 1, 1},
      {"trailing empty output lines are allowed", {"a"}, {"a", "", ""}, true, 0, 0},
      {"an expected empty line must be there", {"a", "", "b"}, {"a", "b"}, false, 1, 1},
      {"no output expected, none given", {}, {}, true, 0, 0},
      {"no output expected, some given", {}, {"x"}, false, 0, 0},
      {"report: only its first line is compared",
       {"*** Script Error: x has no value", "== 1"},
       {"*** Script Error: x has no value", "*** Where: ???", "*** Near : x", "", "== 1"}, true, 0, 0},
      {"report: first line differs",
       {"*** Script Error: y has no value"}, {"*** Script Error: x has no value", "*** Where: ???"}, false, 0, 0},
      {"report: only one empty line after it is skipped",
       {"*** Math Error: attempt to divide by zero", "== 1"},
       {"*** Math Error: attempt to divide by zero", "", "", "== 1"}, false, 1, 2},
      {"report: listed continuation lines are compared",
       {"*** Script Error: x has no value", "\\*** Where: ???", "\\*** Near : y"},
       {"*** Script Error: x has no value", "*** Where: ???", "*** Near : x"}, false, 2, 2},
      {"report: an expected empty line after it is compared",
       {"*** Script Error: x has no value", "", "== 1"},
       {"*** Script Error: x has no value", "*** Where: ???", "", "== 1"}, true, 0, 0},
      {"report: text after the report is not skipped",
       {"*** Script Error: x has no value"}, {"*** Script Error: x has no value", "*** Where: ???", "", "more"}, false, 1, 3},
      {"two reports in a row",
       {"*** Preprocessor Error in #x", "*** Script Error: y has no value"},
       {"*** Preprocessor Error in #x", "*** Script Error: y has no value", "*** Where: ???"}, true, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto c = kt::compare(expect(row.expected), row.actual);
    EXPECT_EQ(c.match, row.match);
    if (!row.match) {
      EXPECT_EQ(c.expected_index, row.expected_index);
      EXPECT_EQ(c.actual_index, row.actual_index);
    }
  }
}

TEST(TranscriptCompare, EscapedReportLineIsComparedWhole) {
  // "\*** ..." is plain output: the lines after it are not skipped.
  std::vector<kt::ExpectedLine> e{{"*** Script Error: x has no value", 1, false}};
  EXPECT_FALSE(kt::compare(e, {"*** Script Error: x has no value", "*** Where: ???"}).match);
}
