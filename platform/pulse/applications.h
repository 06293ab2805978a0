// The applications the Linux mixer has seen play, in the order it first saw them. The list is
// kept in a file shared by every program of ours, one application a line, so that each
// application keeps its line number from run to run and while it comes and goes. The file
// only ever grows; remove it to start the list afresh.
#pragma once

#include <string>
#include <vector>

namespace pulse {

struct Application {
  std::string id;    // what tells one application from another, e.g. its stream-restore id
  std::string name;  // what the user sees
};

// $XDG_STATE_HOME/knobvane/applications, or ~/.local/state/knobvane/applications; empty when
// neither variable says where.
std::string ApplicationListPath();

class ApplicationList {
 public:
  explicit ApplicationList(std::string path) : path_(std::move(path)) {}

  // Takes up what the file holds beyond what is known already, as long as the file still
  // begins with the known applications (so no known one changes place). A missing,
  // unreadable or damaged file leaves what is known as it is.
  void Load();

  // The application's place in the list, added at the end (and to the file) when it is new;
  // -1 when the list is full.
  int Remember(const std::string& id, const std::string& name);

  const std::vector<Application>& All() const { return applications_; }

 private:
  std::string path_;
  std::vector<Application> applications_;
};

}  // namespace pulse
