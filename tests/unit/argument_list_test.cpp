#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "controller/argument_list.h"
#include "platform/win32.h"

namespace {

std::vector<std::string> Split(const std::string& commandLine) {
  ArgumentList list(commandLine.c_str());
  std::vector<std::string> arguments;
  for (uint32_t i = 0; i < list.Count(); ++i) arguments.push_back(list.Argument(i));
  return arguments;
}

TEST(ArgumentList, SplitsLikeAWindowsCommandLine) {
  struct Row {
    std::string line;
    std::vector<std::string> arguments;
  } rows[] = {
      {"\"C:\\Program Files\\Knobvane.exe\" COM3 1 2",
       {"C:\\Program Files\\Knobvane.exe", "COM3", "1", "2"}},
      {"Knobvane.exe \\\\.\\COM13 x x x 3 2 1",
       {"Knobvane.exe", "\\\\.\\COM13", "x", "x", "x", "3", "2", "1"}},
      {"Knobvane.exe COM3 1 ", {"Knobvane.exe", "COM3", "1"}},
      {"Knobvane.exe COM3 1  ", {"Knobvane.exe", "COM3", "1", ""}},
      {"a\"b c", {"a\"b", "c"}},
      {"\"a\"b c\"", {"a\"b c"}},
      {"a\tb\tc", {"a", "b", "c"}},
      {"   ", {""}},
      {"", {}},
      {"a \"\" b", {"a", "", "b"}},
      {"a \"\"", {"a", ""}},
      {"a \"", {"a", ""}},
      {"\"a b", {"a b"}},  // no closing quote: to the end of the line
      {"\"a\" ", {"a"}},   // one blank after a closing quote is its end
      {"\"a\"  ", {"a", ""}},
      {"a\\\" b", {"a\\\"", "b"}},  // no escapes
      {"a\v\f\r\nb", {"a", "b"}},
      {"a\xA0\x85 b", {"a\xA0\x85", "b"}},  // bytes of 128 and more are never whitespace
  };
  for (const Row& row : rows) EXPECT_EQ(Split(row.line), row.arguments) << row.line;
}

// Random lines over the characters that matter: every argument lies inside the list's copy,
// at the place its text has in the line, in order, with a terminator between two of them.
TEST(ArgumentList, ArgumentsAreCutsOfTheLine) {
  std::mt19937 random(4);
  const char alphabet[] = {'a', 'b', ' ', ' ', '\t', '\n', '"', '"', '\\', '\xE9'};
  for (int round = 0; round < 20000; ++round) {
    std::string line(random() % 24, ' ');
    for (char& c : line) c = alphabet[random() % sizeof alphabet];
    SCOPED_TRACE(line);
    ArgumentList list(line.c_str());
    if (list.Count() == 0) {
      EXPECT_TRUE(line.empty());
      continue;
    }
    // The first argument starts after the leading whitespace and an opening quote.
    size_t first = line.find_first_not_of(" \t\n");
    if (first == std::string::npos) first = line.size();
    if (first < line.size() && line[first] == '"') ++first;
    const char* copy = list.Argument(0) - first;
    size_t end = 0;
    for (uint32_t i = 0; i < list.Count(); ++i) {
      size_t offset = static_cast<size_t>(list.Argument(i) - copy);
      ASSERT_TRUE(i == 0 || offset > end) << i;
      ASSERT_LE(offset, line.size());
      size_t length = strlen(list.Argument(i));
      ASSERT_LE(offset + length, line.size());
      EXPECT_EQ(line.compare(offset, length, list.Argument(i)), 0) << i;
      end = offset + length;
    }
  }
}

// Words without whitespace or a leading quote split the same whether quoted or not, and
// come back exactly as written.
TEST(ArgumentList, QuotedAndPlainWordsAgree) {
  std::mt19937 random(7);
  const char alphabet[] = {'a', 'b', '"', '\\', '.', '\xE9'};
  for (int round = 0; round < 5000; ++round) {
    std::vector<std::string> words(1 + random() % 6);
    std::string plain, quoted;
    for (std::string& word : words) {
      word = std::string(1, 'a' + random() % 26);
      for (size_t n = random() % 5; n > 0; --n) word += alphabet[random() % sizeof alphabet];
      const char* separator = random() % 2 ? " " : "\t";
      plain += (plain.empty() ? "" : separator) + word;
      quoted += (quoted.empty() ? "" : separator) + (random() % 2 ? "\"" + word + "\"" : word);
    }
    EXPECT_EQ(Split(plain), words) << plain;
    EXPECT_EQ(Split(quoted), words) << quoted;
  }
}

// The process's own command line: an argument holding blanks comes back whole.
TEST(ArgumentList, ProcessCommandLineKeepsEveryArgument) {
  std::vector<std::string> arguments = {PRINT_ARGUMENTS, "COM3",      "with blank", "",
                                        "\"quoted",      "tab\there", "1"};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  int output[2];
  ASSERT_EQ(pipe(output), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  pid_t child;
  ASSERT_EQ(posix_spawn(&child, PRINT_ARGUMENTS, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(output[1]);
  std::string printed;
  char chunk[256];
  for (ssize_t n; (n = read(output[0], chunk, sizeof chunk)) > 0;) printed.append(chunk, n);
  close(output[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);

  std::string expected;
  for (const std::string& argument : arguments) expected += argument + '\0';
  EXPECT_EQ(printed, expected);
}

}  // namespace
