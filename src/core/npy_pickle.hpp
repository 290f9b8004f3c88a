// Reading the one kind of pickle a .npy file of text may carry: a NumPy array of Python
// str objects, as np.save (or pickle.dump) writes an object array of strings.
//
// General unpickling runs whatever the file names, and even a pickle restricted to NumPy's
// own constructors can hand NumPy a dtype state that makes it read raw bytes as object
// pointers. So nothing from the file reaches NumPy or Python here: a small interpreter
// runs only the opcodes such a pickle uses (protocols 2 to 5), over plain C++ values,
// calls nothing, and then checks that the result has exactly the shape NumPy's writer
// produces (an object dtype with NumPy's own state, a 0-d or 1-d array, a list of items).
// The strings are decoded here. Memory stays proportional to the pickle's size.
#pragma once

#include "npy.hpp"

#include <string>

namespace ql::npy {

// The strings of the pickled array, concatenated. Throws FormatError when the pickle is
// anything else, names a global other than NumPy's array and dtype constructors, holds an
// item that is not a str, or would decode to more than `max_chars` characters.
std::u32string join_pickled_strings(const std::string &pickle, size_t max_chars);

}  // namespace ql::npy
