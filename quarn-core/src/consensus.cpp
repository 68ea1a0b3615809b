#include "quarn/consensus.hpp"
