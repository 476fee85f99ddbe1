// The settings syntax: every vector gives the same DCB, or the same rejection
// with ERROR_INVALID_PARAMETER, as the platform's own parser. Built natively
// against our parser and for Windows against the platform's.
#include <gtest/gtest.h>

#include "settings_vectors.h"

// Whether the platform under test is Wine, whose parser differs from
// Windows' in one known place.
static bool running_on_wine() {
#if defined(_WIN32)
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
#else
  return false;
#endif
}

class SettingsSyntax : public testing::TestWithParam<syntax_vector> {};

TEST_P(SettingsSyntax, ParsesAsThePlatformDoes) {
  syntax_vector vector = GetParam();
  if (vector.wine_rejects && running_on_wine())
    vector = {vector.settings, false, ""};
  SCOPED_TRACE(std::string("settings \"") + vector.settings + "\"");
  DCB expected;
  ASSERT_TRUE(expected_dcb(vector, &expected)) << "bad vector: " << vector.changes;
  DCB dcb = base_dcb();
  SetLastError(0);
  BOOL accepted = BuildCommDCBA(vector.settings, &dcb);
  ASSERT_EQ(vector.accepted, accepted != FALSE) << describe_dcb(dcb);
  if (!accepted) {
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
  }
  EXPECT_EQ(describe_dcb(expected), describe_dcb(dcb));
  EXPECT_EQ(0, memcmp(&expected, &dcb, sizeof dcb)) << "a member outside the settings changed";
}

static std::string vector_name(const testing::TestParamInfo<syntax_vector> &info) {
  return "v" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(Vectors, SettingsSyntax, testing::ValuesIn(SYNTAX_VECTORS), vector_name);
