// The sandbox root a test process runs under: a fresh temporary directory, set as
// DISPLAYHEAD_ROOT while the program starts (the code reads it once, at first use) and removed
// at exit by the process that made it (a forked child leaves it to its parent). Standard output
// is unbuffered, as in the daemon, so captured messages arrive whole, also from children.
//
// Code that sets up at namespace scope calls test_root() first: the order in which translation
// units start is not fixed.
#pragma once

#include <string>

// The root directory (what the code under test sees as "/").
const std::string &test_root();
