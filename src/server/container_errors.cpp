// The DLL's own definitions of the errors that standard containers and
// strings raise when they cannot grow.  libstdc++ raises them as
// std::length_error and friends, whose definitions bring the whole
// std::logic_error family with its string and std::random_device machinery
// into the DLL (about 75 KB of a 125 KB library).  Inside the DLL every
// container sits behind a catch that treats any exception as "cannot hold
// it", so each of these surfaces as std::bad_alloc instead: the same
// outcome for the caller, without the weight.
#include <new>

namespace std {

void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_alloc(); }
void __throw_length_error(const char*) { throw bad_alloc(); }
void __throw_logic_error(const char*) { throw bad_alloc(); }
// Position checks of std::string (insert, replace, substr) that the string
// code the frame core uses refers to.
void __throw_out_of_range(const char*) { throw bad_alloc(); }
void __throw_out_of_range_fmt(const char*, ...) { throw bad_alloc(); }

}  // namespace std
