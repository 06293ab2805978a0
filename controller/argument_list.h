// The controller's command line split into arguments the way Windows programs of its kind
// split it: whitespace separates, an argument that starts with a double quote runs to a quote
// followed by whitespace or the end, and nothing is escaped. Argument 0 is the program path
// as written. The controller reads its port name and line numbers from here.
#ifndef KNOBVANE_CONTROLLER_ARGUMENT_LIST_H
#define KNOBVANE_CONTROLLER_ARGUMENT_LIST_H

#include <cstdint>

class ArgumentList {
 public:
  // Splits the process's whole command line (GetCommandLineA).
  ArgumentList();
  // Splits commandLine (a null one as an empty line); the list keeps its own copy.
  explicit ArgumentList(const char* commandLine);
  ~ArgumentList();
  ArgumentList(const ArgumentList&) = delete;
  ArgumentList& operator=(const ArgumentList&) = delete;

  // The number of arguments, program path included.
  uint32_t Count() const { return count_; }
  // The text of argument i, owned by the list; null when i is not below Count().
  const char* Argument(uint32_t i) const { return i < count_ ? arguments_[i] : nullptr; }

 private:
  void Split();
  void Append(char* argument);

  char* text_ = nullptr;        // the copy, cut in place: every argument points into it
  char** arguments_ = nullptr;  // grown by doubling
  uint32_t count_ = 0;
  uint32_t capacity_ = 0;
};

#endif  // KNOBVANE_CONTROLLER_ARGUMENT_LIST_H
