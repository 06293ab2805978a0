// The Linux mixer's lists of the devices and applications it has seen, on files in a folder of
// its own.
#include "platform/remembered.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace {

// A list file as several programs, a crash or a user may leave it: whatever is in it, no
// entry listed changes place, and one not yet listed comes after the others.
TEST(RememberedList, KeepsEveryPlaceWhateverTheFileHolds) {
  char tmpl[] = "/tmp/knobvane-applications-XXXXXX";
  const std::string folder = mkdtemp(tmpl);
  const auto write = [](const std::string& path, const std::string& text) {
    FILE* file = fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
  };
  const auto ids = [](const RememberedList& list) {
    std::string all;
    for (const Remembered& entry : list.All()) all += entry.id + ",";
    return all;
  };
  struct Row {
    const char* what;
    const char* file;   // null: none
    std::string after;  // the ids once "new" is remembered, in their places
    int newPlace;
  } rows[] = {
      {"no file, no folder", nullptr, "new,", 0},
      {"damaged lines and duplicates", "x\tX\ngarbage\n\tno id\nno name\t\ny\tY\nx\tagain\n",
       "x,y,new,", 2},
      // A line cut short by a crash is ended before the next one, and comes first.
      {"a last line without its end", "x\tX\ncut\tC", "x,cut,new,", 2},
      {"control characters", "x\tX\nb\x01\tB\nc\tC\x7f\n", "x,new,", 1},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string path = folder + "/" + std::to_string(n++) + "/knobvane/applications";
    if (row.file != nullptr) {
      std::filesystem::create_directories(std::filesystem::path(path).parent_path());
      write(path, row.file);
    }
    RememberedList list(path, RememberedList::BY_ID);
    list.Load();
    EXPECT_EQ(list.Remember("new", "New"), row.newPlace);
    EXPECT_EQ(ids(list), row.after);
    RememberedList reread(path, RememberedList::BY_ID);
    reread.Load();
    EXPECT_EQ(ids(reread), row.after);
  }

  // Two programs that loaded the list before either added, adding in turn: each finds the
  // other's addition in the file before placing its own.
  const std::string shared = folder + "/shared";
  write(shared, "x\tX\n");
  RememberedList one(shared, RememberedList::BY_ID), other(shared, RememberedList::BY_ID);
  one.Load();
  other.Load();
  EXPECT_EQ(one.Remember("a", "A"), 1);
  EXPECT_EQ(other.Remember("b", "B"), 2);
  EXPECT_EQ(one.Remember("b", "B"), 2);
  EXPECT_EQ(ids(one), "x,a,b,");
  // Tabs and line breaks in what servers report never split a line.
  EXPECT_EQ(one.Remember("c\td", "line\nbreak"), 3);
  RememberedList reread(shared, RememberedList::BY_ID);
  reread.Load();
  ASSERT_EQ(ids(reread), "x,a,b,c d,");
  EXPECT_EQ(reread.All()[3].name, "line break");

  // A file that cannot be read or written: the places hold for this run.
  const std::string unreadable = folder + "/a-folder";
  std::filesystem::create_directories(unreadable);
  RememberedList memory(unreadable, RememberedList::BY_ID);
  memory.Load();
  EXPECT_EQ(memory.Remember("a", "A"), 0);
  EXPECT_EQ(memory.Remember("b", "B"), 1);
  EXPECT_EQ(memory.Remember("a", "A"), 0);
  // Nor may a pipe at its path stall the mixer.
  const std::string pipe = folder + "/pipe";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  RememberedList piped(pipe, RememberedList::BY_ID);
  piped.Load();
  EXPECT_EQ(piped.Remember("a", "A"), 0);

  // A list by name, its lines with other ids (one name twice): every line keeps its
  // place, and an application is taken up by the first of its name.
  const std::string old = folder + "/old";
  write(old,
        "sink-input-by-media-role:music\tOne\nsink-input-by-media-role:video\tOne\n"
        "sink-input-by-application-name:Two\tTwo\n");
  RememberedList byName(old, RememberedList::BY_NAME);
  byName.Load();
  EXPECT_EQ(byName.Remember("application-name:Two", "Two"), 2);
  EXPECT_EQ(byName.Remember("application-name:One", "One"), 0);
  EXPECT_EQ(byName.Remember("application-name:Three", "Three"), 3);
  EXPECT_EQ(byName.All().size(), 4u);

  // A full list takes nothing more, and reads no further than its cap.
  std::string many;
  for (int i = 0; i < 250; ++i) many += "id" + std::to_string(i) + "\tN\n";
  const std::string full = folder + "/full";
  write(full, many);
  RememberedList capped(full, RememberedList::BY_ID);
  capped.Load();
  EXPECT_EQ(capped.All().size(), 200u);
  EXPECT_EQ(capped.Remember("id199", "N"), 199);
  EXPECT_EQ(capped.Remember("another", "A"), -1);
  std::filesystem::remove_all(folder);
}

}  // namespace
