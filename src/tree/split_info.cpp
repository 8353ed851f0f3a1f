#include "tree/split_info.hpp"
