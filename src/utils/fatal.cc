#include "utils/fatal.h"

namespace larkspan {

void fatal_index(size_t index, size_t len) {
    fatal("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
          std::to_string(index));
}

}  // namespace larkspan
