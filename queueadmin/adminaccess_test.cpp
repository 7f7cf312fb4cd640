// The administrator password check against kqsd.ini beside the program.
#include "queueadmin/adminaccess.h"

#include <crypt.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/host/sysinfo.h"
#include "common/testing/scratch_dir.h"
#include "protocol/kqsids.h"

namespace kqs {
namespace {

// Checks password with a fresh program directory whose kqsd.ini holds ini
// (no file at all without ini).
uint32_t CheckWith(const std::optional<std::string>& ini, const char* password) {
  ScratchDir dir;
  if (ini) ScratchDir::WriteFile(dir / "kqsd.ini", *ini);
  std::string program = dir / "kqsd";
  char* argv[] = {program.data(), nullptr};
  xRegisterArguments(1, argv);
  uint32_t rc = AdminAccessUX("ignored", password);
  xRegisterArguments(0, nullptr);
  return rc;
}

std::string Stored(const std::string& value) { return "[ACCESS]\nPasswd=  " + value + " \n"; }

TEST(AdminAccess, AcceptsOnlyThePasswordWhoseCryptIsStoredInAnyMethod) {
  const std::string secret = crypt("secret", "zQ");
  EXPECT_EQ(CheckWith(Stored(secret), "secret"), KQS_SUCCESS);
  EXPECT_EQ(CheckWith(Stored(secret), "Secret"), KQS_NO_ACCESS);
  EXPECT_EQ(CheckWith(Stored(secret), ""), KQS_NO_ACCESS);

  std::string upper = secret;
  for (char& c : upper) c = char(toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(CheckWith(Stored(upper), "secret"), KQS_NO_ACCESS);
  // Any method crypt knows: another salt, yescrypt.
  EXPECT_EQ(CheckWith(Stored(crypt("secret", "ab")), "secret"), KQS_SUCCESS);
  const std::string yescrypt = crypt("secret", crypt_gensalt("$y$", 0, nullptr, 0));
  EXPECT_EQ(CheckWith(Stored(yescrypt), "secret"), KQS_SUCCESS);
  EXPECT_EQ(CheckWith(Stored(yescrypt), "secreT"), KQS_NO_ACCESS);
  EXPECT_EQ(CheckWith(Stored(crypt("", "zQ")), ""), KQS_SUCCESS);
  EXPECT_EQ(CheckWith(Stored(secret), nullptr), KQS_INVALID_PARAMETER);
  // Without a file or a stored password every password is refused.
  for (const std::optional<std::string>& ini :
       {std::optional<std::string>(), {"[ACCESS]\nOther=x\n"}, {"[ACCESS]\nPasswd=\n"}}) {
    EXPECT_EQ(CheckWith(ini, ""), KQS_NO_ACCESS) << ini.value_or("(no file)");
    EXPECT_EQ(CheckWith(ini, "zQ"), KQS_NO_ACCESS) << ini.value_or("(no file)");
  }
}

}  // namespace
}  // namespace kqs
