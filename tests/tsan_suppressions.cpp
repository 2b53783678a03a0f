// SPDX-License-Identifier: GPL-2.0-or-later
// ThreadSanitizer's built-in suppressions, linked into the thread-sanitized
// programs whose threads each use libsystemd on objects of their own.
//
// libsystemd 252 keeps the hash key it hands to new tables in one static
// buffer and redraws it with getrandom() whenever any thread rehashes a table
// that has filled up, without a lock. The table copies the key at once and
// hashes with its own copy from then on, so a redraw racing with the copy
// only gives that table another random key. The race is inside the library's
// key cache; nothing of ours is shared there.
//
// libsystemd is not instrumented, so ThreadSanitizer sees its memory accesses
// only through the C library calls it intercepts (getrandom, memcpy, ...).
// called_from_lib ignores exactly those intercepted calls when libsystemd
// itself makes them; every access made by our code, including code that
// libsystemd calls back (bus handlers, the device monitor's handler), is
// still checked, so a race of ours is reported whatever the stack holds.
extern "C" const char *__tsan_default_suppressions();

extern "C" const char *__tsan_default_suppressions()
{
    return "called_from_lib:libsystemd.so.0\n";
}
