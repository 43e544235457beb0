// SPDX-License-Identifier: MIT
// Storing a file's new content so that a failure is never silent and, where
// the folder allows it, never leaves a half-written file.
#pragma once

#include <string>

// Replaces the content of the file at `path` (a local 8-bit path) by `data`.
//
// Where the folder can be written, a temporary file beside the target is
// written, flushed to disk and renamed over it: the file is either old or new.
// A folder the user cannot write (a shared installation folder holding a file
// that everybody may write) allows no temporary file; a writable regular file
// there is rewritten in place: the new bytes from the start, then the file is
// cut to their length when they are shorter, then flushed to disk. `old` is
// what the file holds now: when the rewrite fails half-way, the old bytes are
// written back (they fit in the room the file already has) and the file is cut
// to their length, so it is never left shorter than its old content.
//
// Returns false on every failure, also when the old bytes could be put back.
bool SaveFileContent(const std::string& path, const std::string& data, const std::string& old);
