// Administrative access: checks an administrator password against the
// encrypted one stored in kqsd.ini (section "ACCESS", key "Passwd": a crypt
// result in any method the system's crypt knows, such as yescrypt or the old
// 13-character form with the salt "zQ"). A question and answer only: nothing
// is remembered about a successful check.
#pragma once

#include <cstdint>

// name is not used; password is the plain text, NUL-terminated. Returns
// KQS_SUCCESS when crypt(password, stored) equals the stored value exactly,
// KQS_NO_ACCESS otherwise (also when no password is stored, or crypt fails),
// KQS_INVALID_PARAMETER for a null password.
uint32_t AdminAccessUX(const char* name, const char* password);
