#include "split_info.hpp"
