#include "quarn/bootstrap.hpp"
