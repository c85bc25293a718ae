#include <gtest/gtest.h>

#include <iostream>

#include "cli/tests/ModelDriver.h"
#include "cli/tests/RunCli.h"

namespace tessaly::cli {
namespace {

using testing::ModelDriver;
using testing::Outcome;
using testing::RunOn;

}  // namespace
}  // namespace tessaly::cli
