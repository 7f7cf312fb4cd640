// One-line explanations of the server's return codes, shown after the code's
// name so that a user need not look the number up.
#pragma once

#include <cstdint>
#include <string>

namespace kqsctl {

// "NAME: explanation", the name as the protocol module gives it
// (KQSReturnCodeFromID). Codes that carry an error number of the server's
// system, and unknown codes, get a generic explanation.
std::string DescribeReturnCode(uint32_t code);

}  // namespace kqsctl
