#include "zv_badparam.h"

#include <gtest/gtest.h>

#include <string>

#include "support/zv_test_support.h"
#include "zv_log.h"

namespace {

using zvtest::CaptureLog;

// Each form with its exact text; the location is the line of the call in this file.
TEST(BadParameters, FourFormsNameTheCallersModuleAndLine) {
  CaptureLog log(ZV_LOG_ERRORS);
  const int l2 = __LINE__ + 1;
  zv_log_bad_parameters("conf:", true, false);
  const int l3 = __LINE__ + 1;
  zv_log_bad_parameters("redirect:", false, true, false);
  const int l4 = __LINE__ + 1;
  zv_log_bad_parameters("zvlib: ipc:", false, false, true, true);
  const int l1 = __LINE__ + 1;
  zv_log_bad_parameter("starter: wait ");
  const std::string at = "zv_badparam_test:";
  const std::vector<std::string> expected = {
      "conf: bad parameters (1.0) were passed (" + at + std::to_string(l2) + ")",
      "redirect: bad parameters (0.1.0) were passed (" + at + std::to_string(l3) + ") ",
      "zvlib: ipc: bad parameters (0.0.1.1) were passed (" + at + std::to_string(l4) + ")",
      "starter: wait  (" + at + std::to_string(l1) + ") bad parameter was passed",
  };
  EXPECT_EQ(log.texts(), expected);
}

TEST(BadParameters, ModuleIsTheBaseNameWithoutExtension) {
  EXPECT_EQ(zv_source_module("/src/lib/filter/zv_files.cpp"), "zv_files");
  EXPECT_EQ(zv_source_module("zvc_ipc.cpp"), "zvc_ipc");
  EXPECT_EQ(zv_source_module("dir/zv_listfile.h"), "zv_listfile");
  EXPECT_EQ(zv_source_module("noext"), "noext");
  EXPECT_EQ(zv_source_module(nullptr), "");
}

TEST(BadParameters, WrittenAtTheErrorsLevel) {
  CaptureLog quiet(ZV_LOG_ERRORS - 1);
  zv_log_bad_parameter("x");
  EXPECT_TRUE(quiet.texts().empty());
}

}  // namespace
