#include "arguments.hpp"

namespace quarn::py {

int float_sequence_from_buffer(PyObject*, std::vector<double>&) { return 0; }
int unsigned_sequence_from_buffer(PyObject*, std::vector<std::uint64_t>&) { return 0; }

}  // namespace quarn::py
