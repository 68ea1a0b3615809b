#include "quarn/refine.hpp"
