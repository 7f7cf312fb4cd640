// The discovery reply: one line of "Name=value" fields separated by ";" that
// a server sends back for any datagram on its discovery port.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kqsctl {

using Fields = std::vector<std::pair<std::string, std::string>>;

// Splits a reply into its fields, in the order sent. A piece without "=" is
// taken as part of the previous value (a ";" inside a value, such as an
// operating system description, survives). Returns false when the text holds
// no "Platform" field, i.e. it is not a server's reply.
bool ParseDiscoveryReply(std::string_view text, Fields* fields);

// The value of the first field called name, or "" when there is none.
std::string FieldValue(const Fields& fields, std::string_view name);

}  // namespace kqsctl
