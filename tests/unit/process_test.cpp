// The command-line splitter undoes exactly the quoting the console writes for script arguments.
#include "core/console.h"
#include "services/process.h"

#include <gtest/gtest.h>

namespace kel {
namespace {

TEST(Process, SplitUndoesTheConsoleQuoting) {
    const std::vector<std::vector<std::string>> cases = {
        {"plain"},
        {"a b", "c"},
        {""},
        {"", "", "x"},
        {"say \"hi\""},
        {"trailing\\"},
        {"blank and trailing\\"},
        {"\\\"", "\\\\\"", "a\\\\b"},
        {"tab\there", "é"},
        {"\\", "\\\\"},
    };
    for (const auto& args : cases) {
        std::string line = join_command_line(args);
        EXPECT_EQ(split_command_line(line), args) << line;
    }
}

TEST(Process, SplitTakesRunsOfBlanksAsOneSeparator) {
    EXPECT_EQ(split_command_line("  a \t b  "), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(split_command_line(" \t ").empty());
    EXPECT_EQ(split_command_line("a\"b c\"d"), (std::vector<std::string>{"ab cd"}));
}

} // namespace
} // namespace kel
