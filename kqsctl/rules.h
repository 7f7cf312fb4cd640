// Names and values that kqsd refuses, refused at the console first with the
// rule that failed: a typing error then costs no round trip to each server
// and leaves no half-made queue behind.
#pragma once

#include <string>
#include <string_view>

namespace kqsctl {

// A queue or class name: 1 to 127 characters from A-Z, a-z, 0-9, "_" and
// "-", the first one a letter or digit. Returns false with the rule that
// failed in error.
bool CheckQueueName(const std::string& name, std::string* error);

// The value of option (its long name, without "--") when the option has a
// rule: --class a queue name, --model a file name (no "/", no leading ".",
// no control character), --export, --ip-port, --pslevel and --port whole
// numbers in their ranges, --hw a MAC address (six pairs of hexadecimal
// digits separated by ":"), --ip a dotted IPv4 address. Other options pass.
// Returns false with "--option: rule" in error.
bool CheckOptionValue(std::string_view option, const std::string& value, std::string* error);

}  // namespace kqsctl
