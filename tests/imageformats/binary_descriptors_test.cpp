#include <gtest/gtest.h>

#include "memory_files.h"
#include "readers.h"
