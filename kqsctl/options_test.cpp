// Command lines, and the parameter lists they turn into.
#include "kqsctl/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/params.h"
#include "queueadmin/queueadd.h"

namespace kqsctl {
namespace {

bool Parse(std::vector<std::string> words, Options* opts, std::string* error) {
  std::vector<const char*> argv = {"kqsctl"};
  for (const auto& w : words) argv.push_back(w.c_str());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), opts, error);
}

// The queue list of a command line as the server's own parser reads it: the
// values of its thirteen keys in order, or none when the server would refuse.
std::vector<std::string> ServerSees(const std::vector<std::string>& words) {
  Options opts;
  std::string error, list;
  EXPECT_TRUE(Parse(words, &opts, &error) && BuildQueueParameters(opts, &list, &error)) << error;
  std::vector<ParameterEntry> table(std::begin(QueueParameterTable), std::end(QueueParameterTable));
  char* copy = ParseAlloc(list.c_str());
  std::vector<std::string> values;
  if (ParseParameters(copy, table.data(), static_cast<unsigned>(table.size())) == 0) {
    for (const auto& e : table) values.emplace_back(e.value);
  }
  ParseFree(copy);
  return values;
}

TEST(OptionsTest, AddQueueSendsEveryKeyTheServerRequires) {
  Options opts;
  std::string error;
  // Global options may come after the command.
  const std::vector<std::string> words = {"add-queue", "lab", "--model", "standard", "--device=/dev/lp0",
                                          "--default", "-H", "10.1.2.3", "--timeout", "250", "--teoj"};
  ASSERT_TRUE(Parse(words, &opts, &error)) << error;
  EXPECT_EQ(std::tuple(Command::kAddQueue, "lab", "10.1.2.3", 250),
            std::tie(opts.command, opts.name, opts.servers[0], opts.timeout_ms));
  auto v = ServerSees(words);
  ASSERT_EQ(13u, v.size());
  // Device, Class, Default exactly ON, Type following the model, TEOJ given, JRECOV and BANNER not.
  EXPECT_EQ(std::tuple("/dev/lp0", "", "ON", "standard"), std::tie(v[0], v[3], v[4], v[6]));
  EXPECT_EQ(std::tuple(true, false, false), std::tuple(std::stoi(v[8]) != 0, std::stoi(v[9]) != 0, std::stoi(v[11]) != 0));

  v = ServerSees({"-Hhost", "add-queue", "q2", "--model", "m", "--device", "d", "--class", "c1"});
  ASSERT_EQ(13u, v.size());
  EXPECT_EQ("c1", v[3]);
  EXPECT_NE("ON", v[4]) << "without --default the queue must not become the default";
  ASSERT_TRUE(Parse({"-Hhost", "queues"}, &opts, &error));
  EXPECT_EQ(std::vector<std::string>{"host"}, opts.servers);
}

TEST(OptionsTest, RefusesCommandLinesAndValuesItCannotCarry) {
  const std::vector<std::pair<std::vector<std::string>, const char*>> cases = {
      {{"frobnicate"}, "unknown command"},
      {{"queues", "--bogus"}, "unknown option"},
      {{"queues", "--model", "m"}, "takes no option --model"},
      {{"remove-queue"}, "name is missing"},
      {{"add-queue", "q", "--model", "m"}, "needs --device"},
      {{"passwd"}, "needs --ini"},
      {{"queues", "--timeout", "5s"}, "--timeout"},
      {{"-Hhost:0", "queues"}, "port must be 1-65535"},
      {{"remove-queue", std::string(128, 'q')}, "at most 127"},
      {{"remove-port", "bad\tname"}, "non-printable"},
      {{"remove-queue", "_q"}, "begins with a letter or digit"},
      {{"add-queue", "q.1", "--model", "m", "--device", "d"}, "only letters, digits"},
      {{"add-queue", "q", "--model", ".m", "--device", "d"}, "cannot begin with '.'"},
      {{"add-queue", "q", "--model", "m", "--device", "d", "--ip-port", "65536"}, "from 1 to 65535"},
      {{"add-port", "p", "--host", "h", "--ip", "10.0.0.7", "--hw", "00:11:22:33:44"}, "six pairs"},
  };
  Options opts;
  std::string error, list;
  for (const auto& [words, expected] : cases) {
    EXPECT_FALSE(Parse(words, &opts, &error)) << words[0];
    EXPECT_NE(std::string::npos, error.find(expected)) << "got: " << error;
  }
  // No command, or help anywhere, is a request for help.
  ASSERT_TRUE(Parse({}, &opts, &error));
  EXPECT_EQ(Command::kHelp, opts.command);
  ASSERT_TRUE(Parse({"queues", "-h"}, &opts, &error));
  EXPECT_EQ(Command::kHelp, opts.command);

  // A ";" would start a new pair; a leading blank would be dropped; the
  // server keeps 512 bytes of data.
  ASSERT_TRUE(Parse({"add-queue", "q", "--model", "m", "--device", "d;Class=evil"}, &opts, &error));
  EXPECT_FALSE(BuildQueueParameters(opts, &list, &error));
  EXPECT_NE(std::string::npos, error.find("--device"));
  ASSERT_TRUE(Parse({"add-port", "p", "--host", " h", "--ip", "1.2.3.4"}, &opts, &error));
  EXPECT_FALSE(BuildPortParameters(opts, &list, &error));
  ASSERT_TRUE(Parse({"add-queue", "q", "--model", "m", "--device", std::string(500, 'd')}, &opts, &error));
  EXPECT_FALSE(BuildQueueParameters(opts, &list, &error));
  EXPECT_NE(std::string::npos, error.find("512"));
}

}  // namespace
}  // namespace kqsctl
