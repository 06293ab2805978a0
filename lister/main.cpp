// Linescout's entry point. Arguments are ignored.
#include "lister/lister.h"

int main() { return ListSoundLines(); }
