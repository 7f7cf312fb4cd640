// Administrative access: checks an administrator password against the
// encrypted one stored in kqsd.ini (section "ACCESS", key "Passwd", the crypt
// result of the password with the salt "zQ"). A question and answer only:
// nothing is remembered about a successful check.
#pragma once

#include <cstdint>

// name is not used; password is the plain text, NUL-terminated. Returns
// KQS_SUCCESS when crypt(password, "zQ") equals the stored value exactly,
// KQS_NO_ACCESS otherwise (also when no password is stored, or crypt fails),
// KQS_INVALID_PARAMETER for a null password.
uint32_t AdminAccessUX(const char* name, const char* password);
