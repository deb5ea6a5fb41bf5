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
  EXPECT_FALSE(missing.table);
  EXPECT_EQ(missing.reason, "no key file " + dir.withSlash() + "keys.txt");

  std::ofstream(dir.withSlash() + "keys.txt") << "00112233445566778899\n";
  const KeyTableLoad tooFew = LoadKeyTable(dir.withSlash());
  EXPECT_FALSE(tooFew.table);
  EXPECT_EQ(tooFew.reason, "keys.txt holds 1 keys, not 30");

  {
    std::ofstream out(dir.withSlash() + "keys.txt");
    for (int r = 0; r < Max_KEY; ++r) out << "00112233445566778899\r\n";
  }
  const KeyTableLoad loaded = LoadKeyTable(dir.withSlash());
  ASSERT_TRUE(loaded.table) << loaded.reason;
  EXPECT_EQ(loaded.table->rows[29][9], 0x99);
}

}  // namespace
}  // namespace telvaro
