#include <new>

// There is no heap: nothing can have come from operator new (which does
// not exist), so there is nothing to give back.  These exist because the
// deleting destructor of every class with a virtual destructor names one.

void operator delete(void *) noexcept {}
void operator delete[](void *) noexcept {}
void operator delete(void *, std::size_t) noexcept {}
void operator delete[](void *, std::size_t) noexcept {}
void operator delete(void *, std::align_val_t) noexcept {}
void operator delete[](void *, std::align_val_t) noexcept {}
void operator delete(void *, std::size_t, std::align_val_t) noexcept {}
void operator delete[](void *, std::size_t, std::align_val_t) noexcept {}
