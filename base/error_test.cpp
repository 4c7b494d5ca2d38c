#include "base/error.h"

#include <gtest/gtest.h>

namespace tollbrook {
namespace {

TEST(ErrorTest, NamesAreTheVocabularyTexts) {
  struct Case {
    Error error;
    std::string_view name;
  } cases[] = {
      {Error::OutOfMemory, "OutOfMemory"},
      {Error::KeyFilePermissionsTooOpen, "KeyFilePermissionsTooOpen"},
      {Error::InvalidPadding, "InvalidPadding"},
      {Error::BodyTooLarge, "BodyTooLarge"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(errorName(c.error), c.name);
  }
}

}  // namespace
}  // namespace tollbrook
