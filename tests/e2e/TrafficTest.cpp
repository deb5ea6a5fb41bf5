#include "tests/e2e/Harness.h"
