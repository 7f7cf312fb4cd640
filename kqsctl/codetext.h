// One-line explanations of the server's return codes, shown after the code's
// name so that a user need not look the number up, and the next step to take
// after a refusal.
#pragma once

#include <cstdint>
#include <string>

#include "kqsctl/options.h"

namespace kqsctl {

// "NAME: explanation", the name as the protocol module gives it
// (KQSReturnCodeFromID). Codes that carry an error number of the server's
// system, and unknown codes, get a generic explanation.
std::string DescribeReturnCode(uint32_t code);

// What to do after command got code, e.g. for KQS_NO_ACCESS on a change
// "the server requires a password: add --login"; "" when there is nothing
// better to say than the explanation.
std::string HintFor(uint32_t code, Command command);

}  // namespace kqsctl
