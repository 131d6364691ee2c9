// A test skipped on purpose, with the reason. CI (scripts/test) fails on every
// skipped test whose output lacks this marker, so that a test skipped by
// accident, say after a failed set-up, does not pass unnoticed.
#pragma once

#include <gtest/gtest.h>

#define SKIP_ON_PURPOSE(reason) GTEST_SKIP() << "Skipped on purpose: " << reason

namespace vexar
{

} // namespace vexar
