// The lists of the devices and applications a mixer face has seen, on files in a folder of
// its own: one table of what a file may hold and what programs do to it, each row a case of
// its own, so that one failing row hides none of the others.
#include "platform/remembered.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// What lies at the list's path before the first program loads it.
enum class Found { NOTHING, FILE, FOLDER, PIPE };

// One call of Remember, by the first program (0) or a second one (1), and the place it gives.
struct Step {
  int program;
  std::string id, name;
  int place;
};

struct Scenario {
  const char* name;
  Found found;
  std::string file;  // what the file holds when found is FILE
  std::vector<Step> steps;
  std::string after;  // the first program's entries after the steps, "id=name," each
  bool kept = true;   // whether a program that loads the list afresh then finds them too
  RememberedList::Key key = RememberedList::BY_ID;
};

// A failing case names its row, not its bytes.
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

std::string Entries(const RememberedList& list) {
  std::string all;
  for (const Remembered& entry : list.All()) all += entry.id + "=" + entry.name + ",";
  return all;
}

// count numbered entries, "id0", "id1" ..., all named "N", as `form` writes each.
std::string Numbered(int count, const char* form) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "id" + std::to_string(i) + form;
  return text;
}

// Whatever the file holds, no entry listed changes place, and one not yet listed comes after
// the others.
std::vector<Scenario> Scenarios() {
  const Step NEW_AT_0 = {0, "new", "New", 0}, NEW_AT_1 = {0, "new", "New", 1},
             NEW_AT_2 = {0, "new", "New", 2};
  // One row a line where it fits, as a table reads.
  // clang-format off
  return {
      {"NoFileNoFolder", Found::NOTHING, "", {NEW_AT_0}, "new=New,"},
      {"DamagedLinesAndDuplicatesAreSkipped", Found::FILE,
       "x\tX\ngarbage\n\tno id\nno name\t\ny\tY\nx\tagain\n", {NEW_AT_2}, "x=X,y=Y,new=New,"},
      // A line cut short by a crash is ended before the next one, and comes first.
      {"ALastLineWithoutItsEndKeepsItsPlace", Found::FILE, "x\tX\ncut\tC", {NEW_AT_2},
       "x=X,cut=C,new=New,"},
      {"LinesWithControlCharactersAreSkipped", Found::FILE, "x\tX\nb\x01\tB\nc\tC\x7f\n",
       {NEW_AT_1}, "x=X,new=New,"},
      // Both loaded the list before either added: each finds the other's addition in the file
      // before placing its own.
      {"TwoProgramsAddingInTurnAgreeOnThePlaces", Found::FILE, "x\tX\n",
       {{0, "a", "A", 1}, {1, "b", "B", 2}, {0, "b", "B", 2}}, "x=X,a=A,b=B,"},
      {"TabsAndLineBreaksFromTheServerNeverSplitALine", Found::FILE, "x\tX\n",
       {{0, "c\td", "line\nbreak", 1}}, "x=X,c d=line break,"},
      {"AFileThatCannotBeKeptHoldsThePlacesForTheRun", Found::FOLDER, "",
       {{0, "a", "A", 0}, {0, "b", "B", 1}, {0, "a", "A", 0}}, "a=A,b=B,", false},
      {"APipeAtThePathNeverStallsTheMixer", Found::PIPE, "", {{0, "a", "A", 0}}, "a=A,", false},
      // Lines with other ids (the server's stream-restore ids), one name twice: every line
      // keeps its place, and an application is taken up by the first line of its name.
      {"AListByNameTakesUpLinesOfOtherIds", Found::FILE,
       "sink-input-by-media-role:music\tOne\nsink-input-by-media-role:video\tOne\n"
       "sink-input-by-application-name:Two\tTwo\n",
       {{0, "application-name:Two", "Two", 2}, {0, "application-name:One", "One", 0},
        {0, "application-name:Three", "Three", 3}},
       "sink-input-by-media-role:music=One,sink-input-by-media-role:video=One,"
       "sink-input-by-application-name:Two=Two,application-name:Three=Three,",
       true, RememberedList::BY_NAME},
      // A full list reads no further than its cap and takes nothing more.
      {"AFullListTakesNothingMore", Found::FILE, Numbered(250, "\tN\n"),
       {{0, "id199", "N", 199}, {0, "another", "A", -1}}, Numbered(200, "=N,")},
  };
  // clang-format on
}

class RememberedListTest : public testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/knobvane-remembered-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string folder_;
};

TEST_P(RememberedListTest, KeepsEveryPlace) {
  const Scenario& scenario = GetParam();
  const std::string path = folder_ + "/knobvane/applications";
  std::filesystem::create_directories(folder_ + "/knobvane");
  if (scenario.found == Found::FILE) {
    FILE* file = fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fwrite(scenario.file.data(), 1, scenario.file.size(), file);
    fclose(file);
  } else if (scenario.found == Found::FOLDER) {
    std::filesystem::create_directories(path);
  } else if (scenario.found == Found::PIPE) {
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  } else {
    std::filesystem::remove_all(folder_ + "/knobvane");
  }

  RememberedList programs[] = {{path, scenario.key}, {path, scenario.key}};
  for (RememberedList& program : programs) program.Load();
  for (const Step& step : scenario.steps) {
    EXPECT_EQ(programs[step.program].Remember(step.id, step.name), step.place) << step.id;
  }
  EXPECT_EQ(Entries(programs[0]), scenario.after);
  RememberedList reread(path, scenario.key);
  reread.Load();
  EXPECT_EQ(Entries(reread), scenario.kept ? scenario.after : "");
}

INSTANTIATE_TEST_SUITE_P(Files, RememberedListTest, testing::ValuesIn(Scenarios()),
                         [](const testing::TestParamInfo<Scenario>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
