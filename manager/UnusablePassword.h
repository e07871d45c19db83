// What every window says of a typed password that no program could take (a
// character the code page of the user's language lacks, platform::passwordBytes):
// the key of section MSGSTRING in the language files, and the text shown when
// the file has none.
#pragma once

namespace passwords {

inline constexpr char kUnusableKey[] = "PWDCHAR";
inline constexpr char kUnusableText[] = "The password contains a character that cannot be used.";

} // namespace passwords
