#include "quarn/detect.hpp"
