// The pulse face's tests count the heap allocations of a mixer call (fake_link.h): every
// operator new of their program goes through here.
#include <cstdlib>
#include <new>

#include "tests/unit/fake_link.h"

void* operator new(size_t size) {
  if (pulse_fake::counting) ++pulse_fake::allocations;
  if (void* block = malloc(size > 0 ? size : 1)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { free(block); }
void operator delete(void* block, size_t) noexcept { free(block); }
