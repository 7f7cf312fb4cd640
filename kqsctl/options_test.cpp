// Command lines, and the parameter lists they turn into.
#include "kqsctl/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/params.h"
#include "common/util/strbuf.h"

namespace kqsctl {
namespace {

bool Parse(std::vector<std::string> words, Options* opts, std::string* error) {
  std::vector<const char*> argv = {"kqsctl"};
  for (const auto& w : words) argv.push_back(w.c_str());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), opts, error);
}

// Parses list with the server's own parser against the named keys; returns
// the values in table order, or an empty vector when the server would refuse.
std::vector<std::string> ServerParse(const std::string& list, const std::vector<std::string>& keys) {
  std::vector<ParameterEntry> table(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    RelStrCpyIntoBufA(table[i].name, keys[i].c_str(), sizeof table[i].name);
    table[i].value = nullptr;
  }
  char* copy = ParseAlloc(list.c_str());
  std::vector<std::string> values;
  if (ParseParameters(copy, table.data(), static_cast<unsigned>(table.size())) == 0) {
    for (const auto& e : table) values.emplace_back(e.value);
  }
  ParseFree(copy);
  return values;
}

const std::vector<std::string> kQueueKeys = {"Device", "EXPort", "IPPort", "Class",   "Default", "Model",     "Type",
                                             "DEVTYPE", "TEOJ",  "JRECOV", "PSLEVEL", "BANNER",  "PERSONALTY"};

TEST(OptionsTest, AddQueueSendsEveryKeyTheServerRequires) {
  Options opts;
  std::string error;
  // Global options may come after the command.
  ASSERT_TRUE(Parse({"add-queue", "lab", "--model", "standard", "--device=/dev/lp0", "--default", "-H", "10.1.2.3",
                     "--timeout", "250", "--teoj"},
                    &opts, &error))
      << error;
  EXPECT_EQ(Command::kAddQueue, opts.command);
  EXPECT_EQ("lab", opts.name);
  EXPECT_EQ(std::vector<std::string>{"10.1.2.3"}, opts.servers);
  EXPECT_EQ(250, opts.timeout_ms);

  std::string list;
  ASSERT_TRUE(BuildQueueParameters(opts, &list, &error)) << error;
  const auto values = ServerParse(list, kQueueKeys);
  ASSERT_EQ(kQueueKeys.size(), values.size()) << "server refuses " << list;
  EXPECT_EQ("/dev/lp0", values[0]);
  EXPECT_EQ("", values[3]);          // no class
  EXPECT_EQ("ON", values[4]);        // exactly ON makes it the default
  EXPECT_EQ("standard", values[6]);  // Type follows the model
  EXPECT_NE(0, std::atoi(values[8].c_str()));   // TEOJ given
  EXPECT_EQ(0, std::atoi(values[9].c_str()));   // JRECOV not given
  EXPECT_EQ(0, std::atoi(values[11].c_str()));  // BANNER not given

  // Without --default the queue must not become the default.
  ASSERT_TRUE(Parse({"-Hhost", "add-queue", "q2", "--model", "m", "--device", "d", "--class", "c1"}, &opts, &error));
  ASSERT_TRUE(BuildQueueParameters(opts, &list, &error));
  const auto plain = ServerParse(list, kQueueKeys);
  ASSERT_EQ(kQueueKeys.size(), plain.size());
  EXPECT_NE("ON", plain[4]);
  EXPECT_EQ("c1", plain[3]);
  EXPECT_EQ(std::vector<std::string>{"host"}, opts.servers);
}

TEST(OptionsTest, RefusesCommandLinesItCannotCarryOut) {
  const std::vector<std::pair<std::vector<std::string>, const char*>> cases = {
      {{"frobnicate"}, "unknown command"},
      {{"queues", "--bogus"}, "unknown option"},
      {{"queues", "--model", "m"}, "takes no option --model"},
      {{"remove-queue"}, "name is missing"},
      {{"add-queue", "q", "--model", "m"}, "needs --device"},
      {{"passwd"}, "needs --ini"},
      {{"queues", "--timeout", "5s"}, "--timeout"},
      {{"remove-queue", std::string(128, 'q')}, "at most 127"},
      {{"remove-port", "bad\tname"}, "non-printable"},
      {{"remove-queue", "_q"}, "begins with a letter or digit"},
      {{"add-queue", "q.1", "--model", "m", "--device", "d"}, "only letters, digits"},
      {{"add-queue", "q", "--model", ".m", "--device", "d"}, "cannot begin with '.'"},
      {{"add-queue", "q", "--model", "m", "--device", "d", "--ip-port", "65536"}, "from 1 to 65535"},
      {{"add-port", "p", "--host", "h", "--ip", "10.0.0.7", "--hw", "00:11:22:33:44"}, "six pairs"},
  };
  for (const auto& [words, expected] : cases) {
    Options opts;
    std::string error;
    EXPECT_FALSE(Parse(words, &opts, &error)) << words[0];
    EXPECT_NE(std::string::npos, error.find(expected)) << "got: " << error;
  }
  // No command, or help anywhere, is a request for help.
  Options opts;
  std::string error;
  ASSERT_TRUE(Parse({}, &opts, &error));
  EXPECT_EQ(Command::kHelp, opts.command);
  ASSERT_TRUE(Parse({"queues", "-h"}, &opts, &error));
  EXPECT_EQ(Command::kHelp, opts.command);
}

TEST(OptionsTest, RefusesValuesThatWouldChangeTheList) {
  Options opts;
  std::string error;
  std::string list;
  // A ";" would start a new pair; a leading blank would be dropped.
  ASSERT_TRUE(Parse({"add-queue", "q", "--model", "m", "--device", "d;Class=evil"}, &opts, &error));
  EXPECT_FALSE(BuildQueueParameters(opts, &list, &error));
  EXPECT_NE(std::string::npos, error.find("--device"));
  ASSERT_TRUE(Parse({"add-port", "p", "--host", " h", "--ip", "1.2.3.4"}, &opts, &error));
  EXPECT_FALSE(BuildPortParameters(opts, &list, &error));
  // The server keeps 512 bytes of data.
  ASSERT_TRUE(Parse({"add-queue", "q", "--model", "m", "--device", std::string(500, 'd')}, &opts, &error));
  EXPECT_FALSE(BuildQueueParameters(opts, &list, &error));
  EXPECT_NE(std::string::npos, error.find("512"));
}

}  // namespace
}  // namespace kqsctl
