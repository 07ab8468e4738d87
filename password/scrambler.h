// SPDX-License-Identifier: GPL-3.0-or-later
// The console password: keyed scrambling into hexadecimal text and its registry value
// HKEY_LOCAL_MACHINE\SOFTWARE\TOVRA\Vellamorix\pass, value "pass".
#pragma once

#include "platform/common/ansistring.h"

#include <cstdint>
#include <functional>
#include <stdexcept>

// The key every caller passes: "k#%$&!+47".
extern const AnsiString ScrambleKey;

extern const char *const PasswordKeyPath;   // "SOFTWARE\TOVRA\Vellamorix\pass"
extern const char *const PasswordValueName; // "pass"

// A stored text that is not hexadecimal (or too short) cannot be unscrambled.
// what() is ASCII apart from the quoted offending characters.
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The stored password cannot be read at all (the store is unreadable or damaged, or "pass" is
// not a text). Callers treat it as a stored text that cannot be unscrambled.
class EPasswordReadError : public EConvertError {
public:
    using EConvertError::EConvertError;
};

// A password that no start offset can scramble so that it comes back (it holds a zero byte).
class EScrambleError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Action "E": scramble Src (a plain password) with a fresh random start offset; the result always
// unscrambles to Src (throws EScrambleError when no offset can achieve that). Action "D":
// unscramble Src (throws EConvertError for a text of two characters or fewer or a non-hex digit).
// Any other action, lower case included, gives the empty text.
AnsiString ScrambleText(const AnsiString &Action, const AnsiString &Src, const AnsiString &Key);

// One scramble pass with a given start offset (no check that it comes back).
AnsiString ScrambleWithOffset(const AnsiString &Src, const AnsiString &Key, uint8_t offset);

// Source of the random start offsets (0..255). Tests replace it; an empty function restores the
// clock-seeded generator. Returns the previous source.
using ScrambleOffsetSource = std::function<int()>;
ScrambleOffsetSource SetScrambleOffsetSource(ScrambleOffsetSource source);

// Start-up read: opens the key for reading only and reads "pass". Empty when no password has been
// set: no store, no key, no value or an empty value. Any other failure throws
// EPasswordReadError.
AnsiString ReadStoredPassword();

// Stores the scrambled password as "pass". False when the key could not be opened for writing
// (nothing written). Throws ERegistryException when the write fails, EScrambleError as above and
// for the empty text (it could never be checked), without writing anything.
bool StorePassword(const AnsiString &plain);

// Opens the key for reading, reads "pass" and compares its unscrambled text with plain byte for
// byte. Throws EConvertError when the stored text cannot be read (missing included).
bool CheckPassword(const AnsiString &plain);
