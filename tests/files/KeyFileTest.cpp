#include <gtest/gtest.h>

#include <fstream>

#include "files/KeyFile.h"
#include "tests/support/TempDir.h"

namespace telvaro {
namespace {

using test::TempDir;

TEST(KeyFile, LoadsFromTheProgramDirectoryOrSaysWhyNot) {
  TempDir dir;
  const KeyTableLoad missing = LoadKeyTable(dir.withSlash());
  EXPECT_FALSE(missing.Table);
  EXPECT_EQ(missing.Reason, "no key file " + dir.withSlash() + "keys.txt");

  std::ofstream(dir.withSlash() + "keys.txt") << "00112233445566778899\n";
  const KeyTableLoad tooFew = LoadKeyTable(dir.withSlash());
  EXPECT_FALSE(tooFew.Table);
  EXPECT_EQ(tooFew.Reason, "keys.txt holds 1 keys, not 30");

  {
    std::ofstream out(dir.withSlash() + "keys.txt");
    for (int r = 0; r < Max_KEY; ++r) out << "00112233445566778899\r\n";
  }
  const KeyTableLoad loaded = LoadKeyTable(dir.withSlash());
  ASSERT_TRUE(loaded.Table) << loaded.Reason;
  EXPECT_EQ(loaded.Table->Rows[29][9], 0x99);
}

}  // namespace
}  // namespace telvaro
