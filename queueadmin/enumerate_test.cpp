// Enumeration buffers byte for byte: layout, offsets and size negotiation,
// and which entries count as drivers, queues and monitors. The monitor's
// version is read back through kqsctl (kqsctl_daemon_test.cpp).
#include "queueadmin/enumerate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/testing/scratch_dir.h"
#include "common/util/byteorder.h"
#include "protocol/kqsids.h"
#include "queueadmin/lppaths.h"

namespace kqs {
namespace {

// One call of an enumeration with a buffer of *size bytes (0xEE-filled;
// null when *size is 0).
struct Result {
  uint32_t rc, size;
  std::vector<unsigned char> buf;
  uint32_t Word(size_t at) const { return LoadBE32(buf.data() + at); }
  // The string that the word at `at` points to.
  std::string String(size_t at) const { return reinterpret_cast<const char*>(buf.data() + 4 + Word(at)); }
};
Result Call(uint32_t (*fn)(unsigned char*, uint32_t*), uint32_t size) {
  Result r{0, size, std::vector<unsigned char>(size, 0xEE)};
  r.rc = fn(size == 0 ? nullptr : r.buf.data(), &r.size);
  return r;
}

class EnumerateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"opt/qvnx/sh", "usr/lib/lp/model/subdir", "etc/lp/interfaces/model.orig"})
      std::filesystem::create_directories(dir_ / d);
    ASSERT_TRUE(ScratchDir::WriteFile(dir_ / "opt/qvnx/sh/qvnx.model", "#!/bin/sh\n"));
    ASSERT_TRUE(ScratchDir::WriteFile(dir_ / "usr/lib/lp/model/abc", "#!/bin/sh\n"));
    ASSERT_EQ(SetLpRoot(dir_.path().c_str()), 0);
  }
  void TearDown() override { SetLpRoot(""); }
  ScratchDir dir_;
};

TEST_F(EnumerateTest, LaysDriversOutExactlyAndListsOnlyNamesThatCanBeAdded) {
  Result r = Call(DriverEnumUX, 0);
  ASSERT_TRUE(r.rc == KQS_INSUFFICIENT_BUFFER && r.size == 28u) << r.rc << " " << r.size;
  r = Call(DriverEnumUX, 28);
  EXPECT_TRUE(r.rc == KQS_SUCCESS && r.size == 28u);
  EXPECT_EQ(r.buf, (std::vector<unsigned char>{0, 0, 0, 1, 0, 0, 0, 20, 0, 0, 0, 20, 0, 0, 0, 0,
                                               0, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c', 0}));

  // Product models come first; the wrapper template is no driver, nor is a
  // name that could not be added.
  ASSERT_TRUE(ScratchDir::WriteFile(dir_ / "opt/qvnx/sh/de", ""));
  for (const char* unsafe : {".hidden", "two words", "ctl\x01"})
    ASSERT_TRUE(ScratchDir::WriteFile(dir_ / (std::string("usr/lib/lp/model/") + unsafe), ""));
  r = Call(DriverEnumUX, 60);
  EXPECT_TRUE(r.rc == KQS_SUCCESS && r.size == 60u && r.Word(0) == 2u);
  EXPECT_EQ(r.String(8), "de");
  EXPECT_EQ(r.String(28), "abc");

  std::filesystem::remove_all(dir_ / "usr/lib/lp/model");
  r = Call(DriverEnumUX, 60);
  EXPECT_TRUE(r.rc == KQS_FAILURE && r.size == 60u);
}

TEST_F(EnumerateTest, ListsOnlyLpOwnedUndottedRegularFilesAsQueuesAndNoMonitorWithoutItsVersion) {
  const std::string ifdir = dir_ / "etc/lp/interfaces";
  for (const char* f : {"q1", "other", "a.b"}) ASSERT_TRUE(ScratchDir::WriteFile(ifdir + "/" + f, ""));
  for (const char* f : {"q1", "a.b", "model.orig"}) ASSERT_EQ(chown((ifdir + "/" + f).c_str(), 7, 7), 0);
  const uid_t saved = lpid;
  lpid = 7;
  Result r = Call(QueueEnumUX, 0);
  EXPECT_EQ(r.rc, KQS_INSUFFICIENT_BUFFER);
  r = Call(QueueEnumUX, r.size);
  lpid = saved;
  EXPECT_EQ(r.rc, KQS_SUCCESS);
  ASSERT_EQ(r.size, 4u + 24 + 3 + ifdir.size() + 1);
  EXPECT_TRUE(r.Word(0) == 1u && r.Word(4) == 24u && r.Word(8) == r.size - 3 - 4);
  EXPECT_EQ(r.String(8), "q1");
  EXPECT_EQ(r.Word(12) | r.Word(16) | r.Word(24), 0u);
  EXPECT_EQ(r.Word(20), 24u);
  EXPECT_EQ(r.String(20), ifdir);

  r = Call(MonitorEnumUX, 0);
  ASSERT_TRUE(r.rc == KQS_INSUFFICIENT_BUFFER && r.size == 4u);
  r = Call(MonitorEnumUX, 4);
  EXPECT_TRUE(r.rc == KQS_SUCCESS && r.Word(0) == 0u) << "no version file, no monitor";
}

}  // namespace
}  // namespace kqs
